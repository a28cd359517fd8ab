// The delivered output profiles converted through the engine, and the conversion renderer's
// picture adjustments, watermarks and the builder's letterbox checked in decoded frames of real
// output. Each job goes the way Start sends it: the source probed, the output named, the option
// records filled by the builder from a fresh settings file, then one inline engine task.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "app/core/apppaths.h"
#include "app/core/inifile.h"
#include "app/core/jobprep.h"
#include "app/core/optionbuilder.h"
#include "app/core/profiles.h"
#include "engine/engine.h"
#include "media/errors.h"
#include "media/logger.h"
#include "media/probe.h"
#include "render/renderer.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// A fresh installation: configuration and home folders in a temporary folder (the default
// output folder lies under the home folder), and the font system the text items need.
class AppEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    dir_ = std::make_unique<TempDir>();
    ::setenv("XDG_CONFIG_HOME", dir_->file("config").c_str(), 1);
    ::setenv("HOME", dir_->file("home").c_str(), 1);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QGuiApplication>(argc_, argv_);
  }
  void TearDown() override {
    app_.reset();
    dir_.reset();
  }

private:
  std::unique_ptr<TempDir> dir_;
  int argc_ = 1;
  char name_[32] = "test_app_profiles_engine";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QGuiApplication> app_;
};
[[maybe_unused]] auto* const gAppEnvironment = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

constexpr int64_t kSec = 1000000;

// The steps of Start for one row, through the job preparation both front ends use; a zoom
// mode given here replaces the profile's.
TPreparedJob Prepare(TlvFilesRecord job, int32_t code, const std::string& zoom = "") {
  const TAppSettings settings(SettingsIniPath(), FormatIniPath(ORVANE_SOURCE_DIR));
  TAutoAnswerPrompts prompts;
  TConversionRenderer renderer;
  TAVProbe probe;
  TJobPreparation preparation(settings, prompts, renderer);
  TPreparedJob p;
  std::string err;
  if (!zoom.empty()) job.ZoomMode = zoom;
  EXPECT_TRUE(preparation.Prepare(TJobSettings{job, !zoom.empty()}, code, probe, p, err)) << err;
  for (const std::string& q : prompts.Questions) ADD_FAILURE() << "builder asked: " << q;
  for (const std::string& w : prompts.Warnings) ADD_FAILURE() << "builder warned: " << w;
  return p;
}

struct TRunResult {
  std::string SetupError;  // LastErrMsg of a refused AddTask or SetOutputFile
  TTerminateInfo Terminate;
  std::string ErrorLog;
  std::string HookErrors;
};

// One inline engine task; with a renderer, the OnCustomHook handler draws the job into every
// frame as the main window does.
TRunResult Convert(const TPreparedJob& p, TConversionRenderer* renderer = nullptr) {
  TRunResult r;
  testsupport::LogCapture log;
  {
    TConvertEngine engine;
    engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
      if (info->TaskIndex >= 0) r.Terminate = *info;
    });
    if (renderer)
      engine.SetOnCustomHook([&](TCustomConvertEngine*, PHookInfo info) {
        try {
          renderer->RenderFrame(*info, p.Job);
        } catch (const std::exception& e) {
          r.HookErrors += std::string(e.what()) + "\n";
          throw;
        }
      });
    const int index = engine.AddTask(p.In.FileName, p.In);
    if (index < 0) {
      r.SetupError = engine.LastErrMsg();
    } else if (!engine.SetOutputFile(index, p.Out.FileName, p.Out)) {
      r.SetupError = engine.LastErrMsg();
    } else {
      engine.StartTask(0);
    }
  }
  r.ErrorLog = log.Text(llError);
  return r;
}

std::string Describe(const TRunResult& r) {
  return "setup: " + r.SetupError + "\nterminate: " + r.Terminate.ExceptionMsg + "\nlog:\n" + r.ErrorLog;
}

// One ffprobe call: format and first video and audio stream entries as "format.<key>",
// "v.<key>", "a.<key>", and the stream counts as "count.video" and "count.audio".
std::map<std::string, std::string> Probe(const std::string& file) {
  std::string out;
  RunCapture(
      "ffprobe -v error -show_entries "
      "format=format_name,duration:format_tags=major_brand:stream=codec_type,codec_name,profile,level,"
      "width,height,pix_fmt,avg_frame_rate,sample_rate,channels -of flat " +
          ShellQuote(file) + " 2>/dev/null",
      out);
  std::map<std::string, std::string> raw, m;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    raw[line.substr(0, eq)] = value;
  }
  int videos = 0, audios = 0;
  for (int i = 0; raw.count("streams.stream." + std::to_string(i) + ".codec_type"); ++i) {
    const std::string prefix = "streams.stream." + std::to_string(i) + ".";
    const std::string type = raw[prefix + "codec_type"];
    const int seen = type == "video" ? videos++ : type == "audio" ? audios++ : -1;
    if (seen != 0) continue;
    for (const auto& [key, value] : raw)
      if (key.rfind(prefix, 0) == 0) m[type.substr(0, 1) + "." + key.substr(prefix.size())] = value;
  }
  for (const auto& [key, value] : raw)
    if (key.rfind("format.", 0) == 0) m[key] = value;
  m["count.video"] = std::to_string(videos);
  m["count.audio"] = std::to_string(audios);
  return m;
}

// "30000/1001" as a number.
double Rate(const std::string& text) {
  const size_t slash = text.find('/');
  const double den = slash == std::string::npos ? 1.0 : std::atof(text.c_str() + slash + 1);
  return den > 0 ? std::atof(text.c_str()) / den : 0.0;
}

// ffmpeg decodes the whole file without a message.
std::string DecodeMessages(const std::string& file) {
  std::string out;
  const int status = RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(file) + " -f null - 2>&1", out);
  if (status != 0 && out.empty()) out = "ffmpeg exit status " + std::to_string(status);
  return out;
}

std::string Rgb(const TRgbFrame& f, int x, int y) {
  return "(" + std::to_string(f.At(x, y, 0)) + "," + std::to_string(f.At(x, y, 1)) + "," +
         std::to_string(f.At(x, y, 2)) + ")";
}

// The largest channel difference between a pixel and a colour.
int Distance(const TRgbFrame& f, int x, int y, int r, int g, int b) {
  return std::max({std::abs(f.At(x, y, 0) - r), std::abs(f.At(x, y, 1) - g), std::abs(f.At(x, y, 2) - b)});
}

class ProfilesEngineTest : public ::testing::Test {
protected:
  void SetUp() override {
    LoadEngineLibs();
    // Every test starts from a fresh installation: no settings file, an empty output folder.
    std::error_code ec;
    fs::remove(SettingsIniPath(), ec);
    fs::remove_all(DefaultOutputDir(), ec);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(DefaultOutputDir(), ec);
  }
};

}  // namespace

// Each of the delivered profiles, with the choices of a fresh installation, converts a 2 s
// piece of the test clip through the engine into what the profile promises; the audio
// profiles also convert the audio-only clip.
TEST_F(ProfilesEngineTest, EveryProfileConvertsToWhatItPromises) {
  struct Promise {
    int code;
    const char* format;    // part of ffprobe's format_name
    const char* brand;     // MP4 major brand, or empty
    const char* vcodec;    // empty: no video stream
    const char* vprofile;  // ffprobe's profile name, or empty
    const char* size;
    double rate;      // frames per second
    const char* pix;  // pixel format, or empty
    const char* acodec;
    const char* aprofile;
    int sampleRate;
  };
  const Promise promises[] = {
      {0, "mp4", "MSNV", "mpeg4", "Simple Profile", "320x240", 29.97, "", "aac", "LC", 48000},
      {1, "mp4", "MSNV", "mpeg4", "Simple Profile", "320x240", 29.97, "", "aac", "LC", 48000},
      {2, "mp4", "MSNV", "mpeg4", "Simple Profile", "320x240", 29.97, "", "aac", "LC", 48000},
      {3, "mp4", "MSNV", "h264", "Main", "480x272", 29.97, "", "aac", "LC", 48000},
      {4, "mp4", "MSNV", "mpeg4", "Simple Profile", "480x272", 29.97, "", "aac", "LC", 48000},
      {100, "mp4", "", "mpeg4", "", "720x480", 29.97, "", "aac", "LC", 48000},
      {101, "mp4", "", "mpeg4", "", "720x480", 29.97, "", "aac", "LC", 48000},
      {102, "mp4", "", "mpeg4", "", "1280x720", 29.97, "", "aac", "LC", 48000},
      {103, "mp4", "", "mpeg4", "", "1920x1080", 29.97, "", "aac", "LC", 48000},
      {200, "mpeg", "", "mpeg1video", "", "352x288", 25, "", "mp2", "", 44100},
      {201, "mpeg", "", "mpeg2video", "", "720x576", 25, "", "mp2", "", 48000},
      {202, "mp4", "", "mpeg4", "", "640x480", 25, "", "aac", "LC", 44100},
      {203, "mp4", "", "h264", "", "640x480", 25, "", "aac", "LC", 44100},
      {204, "avi", "", "mpeg4", "", "640x480", 25, "", "mp3", "", 44100},
      {205, "asf", "", "wmv2", "", "640x480", 25, "", "wmav2", "", 44100},
      {206, "avi", "", "mpeg4", "", "640x480", 25, "", "mp3", "", 44100},
      {207, "avi", "", "mpeg4", "", "640x480", 25, "", "mp3", "", 44100},
      {208, "dv", "", "dvvideo", "", "720x480", 29.97, "yuv411p", "pcm_s16le", "", 48000},
      {209, "dv", "", "dvvideo", "", "720x576", 25, "yuv420p", "pcm_s16le", "", 48000},
      {300, "mp3", "", "", "", "", 0, "", "mp3", "", 44100},
      {301, "aac", "", "", "", "", 0, "", "aac", "LC", 44100},
      {302, "mp4", "", "", "", "", 0, "", "aac", "LC", 44100},
      {303, "asf", "", "", "", "", 0, "", "wmav2", "", 44100},
      {304, "wav", "", "", "", "", 0, "", "pcm_s16le", "", 44100},
      {305, "ogg", "", "", "", "", 0, "", "vorbis", "", 44100},
      {306, "ac3", "", "", "", "", 0, "", "ac3", "", 48000},
  };
  size_t profileCount = 0;
  for (const TProfileGroup& g : BuiltinProfileGroups()) profileCount += g.Entries.size();
  ASSERT_EQ(std::size(promises), profileCount) << "one promise per built-in profile";

  for (const Promise& p : promises) {
    const bool audioOnly = !*p.vcodec;
    std::vector<std::string> sources = {MediaPath("clip.mp4")};
    if (audioOnly) sources.push_back(MediaPath("audio.mp3"));
    for (const std::string& source : sources) {
      SCOPED_TRACE(std::to_string(p.code) + " " + BuiltinProfileName(p.code) + " from " + source);
      TlvFilesRecord job;
      job.SourceFile = source;
      job.TrimStart = 3 * kSec;
      job.TrimLength = 2 * kSec;
      const TPreparedJob prepared = Prepare(job, p.code);
      const TRunResult r = Convert(prepared);
      if (!r.SetupError.empty() || !r.Terminate.Finished || r.Terminate.Exception) {
        ADD_FAILURE() << Describe(r);
        continue;
      }
      const std::string out = prepared.Out.FileName;

      auto m = Probe(out);
      EXPECT_NE(m["format.format_name"].find(p.format), std::string::npos) << m["format.format_name"];
      if (*p.brand) {
        EXPECT_EQ(m["format.tags.major_brand"], p.brand);
      }
      EXPECT_NEAR(std::atof(m["format.duration"].c_str()), 2.0, 0.25);
      if (audioOnly) {
        EXPECT_EQ(m["count.video"], "0");
      } else {
        EXPECT_EQ(m["count.video"], "1");
        EXPECT_EQ(m["v.codec_name"], p.vcodec);
        EXPECT_EQ(m["v.width"] + "x" + m["v.height"], p.size);
        EXPECT_NEAR(Rate(m["v.avg_frame_rate"]), p.rate, 0.01) << m["v.avg_frame_rate"];
        if (*p.vprofile) {
          EXPECT_EQ(m["v.profile"], p.vprofile);
        }
        if (*p.pix) {
          EXPECT_EQ(m["v.pix_fmt"], p.pix);
        }
        if (*p.brand && std::string(p.vcodec) == "h264") {
          const int level = std::atoi(m["v.level"].c_str());
          EXPECT_TRUE(level > 0 && level <= 30) << "level " << m["v.level"];
        }
        if (std::string(p.vcodec) == "dvvideo") {
          // A DV file is a sequence of whole frames of the system's fixed size.
          const uintmax_t frameBytes = m["v.height"] == "480" ? 120000 : 144000;
          EXPECT_EQ(fs::file_size(out) % frameBytes, 0u) << fs::file_size(out);
        }
      }
      EXPECT_EQ(m["count.audio"], "1");
      EXPECT_EQ(m["a.codec_name"], p.acodec);
      if (*p.aprofile) {
        EXPECT_EQ(m["a.profile"], p.aprofile);
      }
      EXPECT_EQ(std::atoi(m["a.sample_rate"].c_str()), p.sampleRate);
      EXPECT_EQ(m["a.channels"], "2");
      EXPECT_EQ(DecodeMessages(out), "");
    }
  }
}

namespace {

// The profile's own choices saved by the settings dialog's OK, with another zoom mode.
void SaveProfileChoices(int32_t code, const std::string& zoom) {
  TIniFile settings(SettingsIniPath());
  const TProfileParams p = ReadProfileParams(settings, TIniFile(FormatIniPath(ORVANE_SOURCE_DIR)), code);
  settings.WriteStrings(ProfileSection(code), {{"paraVideoEncoder", p.VideoEncoder},
                                               {"paraAudioEncoder", p.AudioEncoder},
                                               {"paraVideoSize", p.VideoSize},
                                               {"paraVideoBitRate", p.VideoBitRate},
                                               {"paraFrameRate", p.FrameRate},
                                               {"paraSampleRate", p.SampleRate},
                                               {"paraAudioBitRate", p.AudioBitRate},
                                               {"paraChannel", p.Channel},
                                               {"paraVolume", p.Volume},
                                               {"parazoom", zoom}});
}

void SaveTwoColourBmp(const std::string& path, int w, int h) {
  QImage img(w, h, QImage::Format_RGB888);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.setPixelColor(x, y, x < w / 2 ? QColor(255, 0, 0) : QColor(0, 255, 0));
  ASSERT_TRUE(img.save(QString::fromStdString(path), "BMP"));
}

// Brightness 320 of the adjustment dialog scales every level j to about 1.25 * (j - 1) + 1.
int Brightened(int v) { return std::clamp(int(1.25 * (v - 1) + 1), 0, 255); }

}  // namespace

// A job with a crop, a trim, a brightness change, a picture item and a text item, converted
// with the renderer in the hook. The frame the hook draws on is the whole source picture; the
// output is its crop (32 left and right, 18 top and bottom of the 384x216 bars) stretched to the
// PSP's 320x240 ("full" zoom): source (x, y) lands on (x - 32, (y - 18) * 4 / 3). Each item
// appears where the record puts it, only in its time range, the picture in its box; the
// rest of the frame is the source brightened.
TEST_F(ProfilesEngineTest, WatermarksAndAdjustmentsReachTheOutputFrames) {
  TempDir tmp;
  const std::string bmp = tmp.file("mark.bmp");
  SaveTwoColourBmp(bmp, 48, 32);
  SaveProfileChoices(0, "full");
  auto sourceX = [](int x) { return x + 32; };
  auto sourceY = [](int y) { return int(std::lround(y * 0.75)) + 18; };

  TlvFilesRecord job;
  job.SourceFile = MediaPath("bars_16x9.mp4");
  job.CropLeft = job.CropRight = 32;
  job.CropTop = job.CropBottom = 18;
  job.TrimLength = 3 * kSec;
  job.Brightness = 320;
  TWmRec picture;
  picture.Kind = wmkImage;
  picture.ImageFile = bmp;
  picture.ImageLeft = 64;  // output x 32..80, y 52..95
  picture.ImageTop = 57;
  picture.ImageWidth = 48;  // the box the editor gives a picture at its own size
  picture.ImageHeight = 32;
  picture.StartSec = 0;
  picture.EndSec = 1;
  TWmRec text;
  text.Kind = wmkText;
  text.Text = "MW";
  text.Font.Size = 20;
  text.Font.Bold = true;
  text.Font.Color = clWhite;
  text.HasBackColor = true;
  text.BackColor = clBlue;
  text.TextLeft = 200;  // output x 168..288, y 132..185
  text.TextTop = 117;
  text.TextWidth = 120;
  text.TextHeight = 40;
  text.StartSec = 1;
  text.EndSec = 2;
  job.WaterMarks = {picture, text};

  const TPreparedJob prepared = Prepare(job, 0);
  ASSERT_EQ(prepared.Job.ZoomMode, "full");
  ASSERT_TRUE(prepared.Out.CustomHook);
  TConversionRenderer renderer;
  const TRunResult r = Convert(prepared, &renderer);
  ASSERT_TRUE(r.SetupError.empty()) << Describe(r);
  ASSERT_TRUE(r.Terminate.Finished && !r.Terminate.Exception) << Describe(r);
  EXPECT_EQ(r.HookErrors, "");
  const std::string out = prepared.Out.FileName;
  ASSERT_EQ(FfprobeValue(out, "stream=width,height", "v:0"), "320\n240");
  EXPECT_NEAR(FfprobeNumber(out, "format=duration"), 3.0, 0.25);

  const TRgbFrame source = DecodeFrame(job.SourceFile, 1.5, 384, 216);
  ASSERT_TRUE(source.Valid());
  struct Moment {
    double seconds;
    bool picture, text;
  } moments[] = {{0.5, true, false}, {1.5, true, true}, {2.5, false, true}};
  for (const Moment& m : moments) {
    SCOPED_TRACE("at " + std::to_string(m.seconds) + " s");
    const TRgbFrame f = DecodeFrame(out, m.seconds, 320, 240);
    ASSERT_TRUE(f.Valid());
    // Outside the items: the cropped source, brightened. (105, 72) lies just right of the
    // picture.
    for (auto [x, y] : {std::pair{105, 72}, {215, 72}, {270, 100}, {150, 215}, {310, 110}}) {
      const int sx = sourceX(x), sy = sourceY(y);
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(f.At(x, y, c), Brightened(source.At(sx, sy, c)), 12)
            << "pixel " << x << "," << y << " " << Rgb(f, x, y) << " source " << Rgb(source, sx, sy);
    }

    // The picture: red left half, green right half.
    EXPECT_EQ(Distance(f, 42, 72, 255, 0, 0) <= 24, m.picture) << Rgb(f, 42, 72);
    EXPECT_EQ(Distance(f, 70, 72, 0, 255, 0) <= 24, m.picture) << Rgb(f, 70, 72);

    // The text box: its background colour right of the glyphs, white glyph strokes in its
    // left part.
    EXPECT_EQ(Distance(f, 276, 140, 0, 0, 255) <= 24 && Distance(f, 276, 178, 0, 0, 255) <= 24, m.text)
        << Rgb(f, 276, 140) << Rgb(f, 276, 178);
    int whiteGlyphPixels = 0;
    for (int y = 134; y < 180; ++y)
      for (int x = 170; x < 230; ++x) whiteGlyphPixels += Distance(f, x, y, 255, 255, 255) <= 40;
    if (m.text) {
      EXPECT_GE(whiteGlyphPixels, 40);
    } else {
      EXPECT_EQ(whiteGlyphPixels, 0);
    }
  }
  EXPECT_EQ(DecodeMessages(out), "");
}

// The builder's letterbox (fresh settings, so zoom "lbox") pads the scaled picture with black
// bands: top and bottom for a wide source in a 4:3 frame, left and right for a 4:3 source in
// the PSP's wide frame.
TEST_F(ProfilesEngineTest, LetterboxPadsThePictureWithBlackBands) {
  struct Case {
    const char* clip;
    int code;
    const char* size;  // output frame
    int bandX, bandY;  // thickness of the left/right and top/bottom bands
  } cases[] = {
      {"bars_16x9.mp4", 0, "320x240", 0, 30},
      {"clip.mp4", 4, "480x272", 58, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clip);
    TlvFilesRecord job;
    job.SourceFile = MediaPath(c.clip);
    job.TrimLength = 1 * kSec;
    const TPreparedJob prepared = Prepare(job, c.code);
    EXPECT_EQ(prepared.Job.ZoomMode, "lbox");
    const TRunResult r = Convert(prepared);
    ASSERT_TRUE(r.Terminate.Finished && !r.Terminate.Exception) << Describe(r);
    const std::string out = prepared.Out.FileName;
    const std::string size = FfprobeValue(out, "stream=width", "v:0") + "x" + FfprobeValue(out, "stream=height", "v:0");
    ASSERT_EQ(size, c.size);
    const int w = std::atoi(c.size), h = std::atoi(std::strchr(c.size, 'x') + 1);
    const TRgbFrame f = DecodeFrame(out, 0.5, w, h);
    ASSERT_TRUE(f.Valid());
    // Inside the bands (two pixels clear of their inner edge): black, apart from a faint
    // bleed of the picture's colour through the halved colour resolution.
    int bandPixels = 0, nonBlack = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const bool inBand = x < c.bandX - 2 || x >= w - c.bandX + 2 || y < c.bandY - 2 || y >= h - c.bandY + 2;
        if (!inBand) continue;
        ++bandPixels;
        nonBlack += Distance(f, x, y, 0, 0, 0) > 16;
      }
    EXPECT_GT(bandPixels, 0);
    EXPECT_EQ(nonBlack, 0) << "of " << bandPixels << " band pixels";
    // The picture fills the rest: its first lines and columns next to the bands carry the
    // source's colours (both clips are bright there).
    const int cx = c.bandX + 4, cy = c.bandY + 4;
    EXPECT_GT(std::max({f.At(cx, h / 2, 0), f.At(cx, h / 2, 1), f.At(cx, h / 2, 2)}), 60) << Rgb(f, cx, h / 2);
    EXPECT_GT(std::max({f.At(w / 2, cy, 0), f.At(w / 2, cy, 1), f.At(w / 2, cy, 2)}), 60) << Rgb(f, w / 2, cy);
    EXPECT_EQ(DecodeMessages(out), "");
  }
}

// Letterbox with a crop: the engine cuts the crop margins, scales the kept picture and pads
// it by the builder's filter text. Of the bars clip (384x216) with
// 32 cropped left and right and 18 top and bottom, the kept 320x180 goes unscaled between two
// black bands of 30 lines: output (x, y) shows source (x + 32, y - 12).
TEST_F(ProfilesEngineTest, LetterboxWithCropShowsTheCroppedPicture) {
  TlvFilesRecord job;
  job.SourceFile = MediaPath("bars_16x9.mp4");
  job.CropLeft = job.CropRight = 32;
  job.CropTop = job.CropBottom = 18;
  job.TrimLength = 1 * kSec;
  const TPreparedJob prepared = Prepare(job, 0);
  ASSERT_EQ(prepared.Out.VideoFilters, "pad=320:240:0:30");
  const TRunResult r = Convert(prepared);
  ASSERT_TRUE(r.Terminate.Finished && !r.Terminate.Exception) << Describe(r);
  const TRgbFrame f = DecodeFrame(prepared.Out.FileName, 0.5, 320, 240);
  const TRgbFrame source = DecodeFrame(job.SourceFile, 0.5, 384, 216);
  ASSERT_TRUE(f.Valid() && source.Valid());
  for (auto [x, y] : {std::pair{105, 72}, {215, 72}, {270, 100}, {150, 190}, {310, 110}})
    EXPECT_LE(Distance(f, x, y, source.At(x + 32, y - 12, 0), source.At(x + 32, y - 12, 1),
                       source.At(x + 32, y - 12, 2)),
              12)
        << "pixel " << x << "," << y << " " << Rgb(f, x, y) << " source " << Rgb(source, x + 32, y - 12);
  for (auto [x, y] : {std::pair{10, 5}, {300, 20}, {160, 235}})
    EXPECT_LE(Distance(f, x, y, 0, 0, 0), 16) << "band pixel " << x << "," << y << " " << Rgb(f, x, y);
}

// Every zoom mode gives exactly the profile's frame size, for an ordinary clip, a 4000x16
// strip, a 16:9 DVD picture and a turned picture, into the 320x240 and 480x272 PSP profiles.
TEST_F(ProfilesEngineTest, EveryZoomModeGivesTheProfileFrameSize) {
  const struct {
    int code;
    const char* size;
  } profiles[] = {{0, "320x240"}, {4, "480x272"}};
  for (const char* clip : {"clip.mp4", "strip_4000x16.mp4", "anamorphic_720x576.mpg", "rotated.mp4"})
    for (const char* zoom : {"full", "lbox", "pan", "center"})
      for (const auto& profile : profiles) {
        SCOPED_TRACE(std::string(clip) + " " + zoom + " profile " + std::to_string(profile.code));
        TlvFilesRecord job;
        job.SourceFile = MediaPath(clip);
        job.TrimLength = kSec / 2;
        const TPreparedJob prepared = Prepare(job, profile.code, zoom);
        const TRunResult r = Convert(prepared);
        ASSERT_TRUE(r.Terminate.Finished && !r.Terminate.Exception) << Describe(r);
        const std::string out = prepared.Out.FileName;
        EXPECT_EQ(FfprobeValue(out, "stream=width", "v:0") + "x" + FfprobeValue(out, "stream=height", "v:0"),
                  profile.size);
        std::error_code ec;
        fs::remove(out, ec);
      }
}

namespace {

// The fraction of a frame's rows (or columns) from..to whose pixels are all nearly black.
bool BlackRect(const TRgbFrame& f, int x0, int y0, int x1, int y1) {
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      if (Distance(f, x, y, 0, 0, 0) > 16) return false;
  return true;
}

}  // namespace

// Letterbox by the shown shape: the 16:9 DVD picture (720x576, pixels 64:45) fills the width
// of the 4:3 frame with bands of 30 lines above and below, and its picture is the source's as
// the ffmpeg command shows it (not squeezed): compared with ffmpeg's own 320x180 scaling of the
// shown picture. A clip shown turned a quarter comes out upright (compared with the ffmpeg
// command's own turned picture), 180x240 between bands of 70 columns.
TEST_F(ProfilesEngineTest, LetterboxUsesTheShownShapeAndTurnsPicturesUpright) {
  const struct {
    const char* clip;
    int x, y, w, h;  // where the picture lies in the 320x240 frame
  } cases[] = {{"anamorphic_720x576.mpg", 0, 30, 320, 180}, {"rotated.mp4", 70, 0, 180, 240}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clip);
    TlvFilesRecord job;
    job.SourceFile = MediaPath(c.clip);
    job.TrimLength = 1 * kSec;
    const TPreparedJob prepared = Prepare(job, 0, "lbox");
    const TRunResult r = Convert(prepared);
    ASSERT_TRUE(r.Terminate.Finished && !r.Terminate.Exception) << Describe(r);
    const TRgbFrame f = DecodeFrame(prepared.Out.FileName, 0.48, 320, 240);
    ASSERT_TRUE(f.Valid());
    // The oracle: the ffmpeg command's picture as shown (turned, pixel shape applied) at the
    // size our picture has inside the frame.
    TRgbFrame expect;
    expect.Width = c.w;
    expect.Height = c.h;
    RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(job.SourceFile) + " -ss 0.48 -frames:v 1 -vf scale=" +
                   std::to_string(c.w) + ":" + std::to_string(c.h) + " -f rawvideo -pix_fmt rgb24 - 2>/dev/null",
               expect.Bytes);
    ASSERT_TRUE(expect.Valid());
    int far = 0, checked = 0;
    for (int y = 4; y < c.h - 4; y += 3)
      for (int x = 4; x < c.w - 4; x += 3) {
        ++checked;
        far += Distance(f, c.x + x, c.y + y, expect.At(x, y, 0), expect.At(x, y, 1), expect.At(x, y, 2)) > 48;
      }
    // Coding differences stay at sharp edges; a squeezed, shifted or turned picture differs
    // across whole bars.
    EXPECT_LT(far, checked / 50) << far << " of " << checked << " pixels differ";
    if (c.y > 0) {
      EXPECT_TRUE(BlackRect(f, 0, 0, 320, c.y - 2));
      EXPECT_TRUE(BlackRect(f, 0, c.y + c.h + 2, 320, 240));
    } else {
      EXPECT_TRUE(BlackRect(f, 0, 0, c.x - 2, 240));
      EXPECT_TRUE(BlackRect(f, c.x + c.w + 2, 0, 320, 240));
    }
  }
}

// Every video profile converts colour bars coded with the BT.709 matrix (and tagged so) into
// what its device decodes: the pixel format it takes (4:2:0 of 8 bits, 4:1:1 for NTSC DV), for
// H.264 the profile the device plays, whatever the source's format (4:4:4, 4:2:2, 10 bits, full
// range). The colours the ffmpeg command shows (it honours the colour tags) stay the source's,
// bar by bar: where the written file keeps a colour description the output is tagged with the
// source's matrix; where the device expects BT.601 (PSP, disc formats, MPEG-1/2, DV) or the
// file cannot keep one, the pictures are converted to BT.601 and, where they can be, tagged so.
// Full range stays full where the codec signals it (H.264) and is converted elsewhere.
TEST_F(ProfilesEngineTest, EveryVideoProfileKeepsTheColoursInAFormatItsDeviceDecodes) {
  struct Expect {
    int code;
    const char* pix;          // pixel format
    const char* h264Profile;  // empty: not H.264
    const char* matrix;       // ffprobe's color_space of the output
    bool everySource;         // else only the limited 4:2:0 source
  };
  const Expect profiles[] = {
      {0, "yuv420p", "", "unknown", true},     {1, "yuv420p", "", "unknown", false},
      {2, "yuv420p", "", "unknown", false},    {3, "yuv420p", "Main", "smpte170m", true},
      {4, "yuv420p", "", "unknown", false},    {100, "yuv420p", "", "bt709", false},
      {101, "yuv420p", "", "bt709", false},    {102, "yuv420p", "", "bt709", false},
      {103, "yuv420p", "", "bt709", false},    {200, "yuv420p", "", "unknown", false},
      {201, "yuv420p", "", "bt470bg", true},   {202, "yuv420p", "", "bt709", true},
      {203, "yuv420p", "High", "bt709", true}, {204, "yuv420p", "", "unknown", false},
      {205, "yuv420p", "", "unknown", false},  {206, "yuv420p", "", "unknown", false},
      {207, "yuv420p", "", "unknown", false},  {208, "yuv411p", "", "unknown", true},
      {209, "yuv420p", "", "unknown", false},
  };
  size_t videoProfiles = 0;
  for (const TProfileGroup& g : BuiltinProfileGroups())
    for (const TProfileEntry& e : g.Entries) videoProfiles += e.Code < 300;  // group 3 holds the sound profiles
  ASSERT_EQ(std::size(profiles), videoProfiles) << "one row per video profile";

  for (const char* kind : {"420", "444", "422", "10bit", "full"}) {
    const std::string source = MediaPath(std::string("bars709_") + kind + ".mp4");
    const TRgbFrame bars = DecodeFrame(source, 0.2, 160, 120);
    ASSERT_TRUE(bars.Valid()) << source;
    const bool first = std::string(kind) == "420", fullRange = std::string(kind) == "full";
    for (const Expect& p : profiles) {
      if (!first && !p.everySource) continue;
      SCOPED_TRACE(std::string(kind) + " source into profile " + std::to_string(p.code) + " " +
                   BuiltinProfileName(p.code));
      TlvFilesRecord job;
      job.SourceFile = source;
      const TPreparedJob prepared = Prepare(job, p.code, "full");
      const TRunResult r = Convert(prepared);
      ASSERT_TRUE(r.SetupError.empty() && r.Terminate.Finished && !r.Terminate.Exception) << Describe(r);
      const std::string out = prepared.Out.FileName;
      auto m = Probe(out);
      const bool keepsFullRange = fullRange && *p.h264Profile;
      // The decoder shows full-range 4:2:0 as the JPEG variant of the format.
      EXPECT_EQ(m["v.pix_fmt"], keepsFullRange ? std::string("yuvj420p") : std::string(p.pix));
      if (*p.h264Profile) {
        EXPECT_EQ(m["v.profile"], p.h264Profile);
      }
      EXPECT_EQ(FfprobeValue(out, "stream=color_space", "v:0"), p.matrix);
      const std::string range = FfprobeValue(out, "stream=color_range", "v:0");
      if (keepsFullRange) {
        EXPECT_EQ(range, "pc");
      } else {
        EXPECT_NE(range, "pc");
      }
      const int w = std::atoi(m["v.width"].c_str()), h = std::atoi(m["v.height"].c_str());
      const TRgbFrame f = DecodeFrame(out, 0.2, w, h);
      ASSERT_TRUE(f.Valid());
      // The centres of the seven bars of the top row.
      for (int i = 0; i < 7; ++i) {
        const int sx = (2 * i + 1) * 160 / 14, sy = 40, x = (2 * i + 1) * w / 14, y = h / 3;
        EXPECT_LE(Distance(f, x, y, bars.At(sx, sy, 0), bars.At(sx, sy, 1), bars.At(sx, sy, 2)), 8)
            << "bar " << i << " " << Rgb(f, x, y) << " source " << Rgb(bars, sx, sy);
      }
      std::error_code ec;
      fs::remove(out, ec);
    }
  }

  // The letterbox of the PSP's wide frame pads the picture in a filter graph: the colours come
  // out the same there (the 4:3 picture lies between bands of about 59 columns).
  for (const char* kind : {"420", "full"}) {
    SCOPED_TRACE(std::string(kind) + " source into profile 3 with letterbox");
    TlvFilesRecord job;
    job.SourceFile = MediaPath(std::string("bars709_") + kind + ".mp4");
    const TRgbFrame bars = DecodeFrame(job.SourceFile, 0.2, 160, 120);
    const TPreparedJob prepared = Prepare(job, 3, "lbox");
    ASSERT_NE(prepared.Out.VideoFilters.find("pad="), std::string::npos) << prepared.Out.VideoFilters;
    const TRunResult r = Convert(prepared);
    ASSERT_TRUE(r.SetupError.empty() && r.Terminate.Finished && !r.Terminate.Exception) << Describe(r);
    const std::string out = prepared.Out.FileName;
    EXPECT_EQ(FfprobeValue(out, "stream=color_space", "v:0"), "smpte170m");
    const TRgbFrame f = DecodeFrame(out, 0.2, 480, 272);
    ASSERT_TRUE(bars.Valid() && f.Valid());
    const int left = 59, width = 362;
    for (int i = 0; i < 7; ++i) {
      const int sx = (2 * i + 1) * 160 / 14, sy = 40, x = left + (2 * i + 1) * width / 14, y = 272 / 3;
      EXPECT_LE(Distance(f, x, y, bars.At(sx, sy, 0), bars.At(sx, sy, 1), bars.At(sx, sy, 2)), 8)
          << "bar " << i << " " << Rgb(f, x, y) << " source " << Rgb(bars, sx, sy);
    }
  }
}

// The PSP's MP4 needs a sound track: a video without sound gets silence of its length on
// every PSP profile; other containers keep the video without sound.
TEST_F(ProfilesEngineTest, VideoWithoutSoundGetsASilentTrackWhereTheContainerNeedsOne) {
  for (int code : {0, 1, 2, 3, 4, 202}) {
    SCOPED_TRACE("profile " + std::to_string(code));
    TlvFilesRecord job;
    job.SourceFile = MediaPath("video_only.mp4");
    job.TrimLength = 2 * kSec;
    const TPreparedJob prepared = Prepare(job, code);
    const TRunResult r = Convert(prepared);
    ASSERT_TRUE(r.Terminate.Finished && !r.Terminate.Exception) << Describe(r);
    const std::string out = prepared.Out.FileName;
    auto m = Probe(out);
    EXPECT_EQ(m["count.video"], "1");
    if (code == 202) {
      EXPECT_EQ(m["count.audio"], "0");
      continue;
    }
    ASSERT_EQ(m["count.audio"], "1");
    const double video = FfprobeNumber(out, "stream=duration", "v:0"),
                 audio = FfprobeNumber(out, "stream=duration", "a:0");
    EXPECT_NEAR(video, 2.0, 0.1);
    EXPECT_NEAR(audio, video, 0.1);
    std::string text;
    RunCapture("ffmpeg -nostdin -v info -i " + ShellQuote(out) + " -vn -af volumedetect -f null - 2>&1", text);
    const size_t at = text.find("max_volume: ");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_LT(std::atof(text.c_str() + at + 12), -80.0) << "the track is silent";
    EXPECT_EQ(DecodeMessages(out), "");
  }
}

// A sound file with cover art: into a video profile, a video showing the cover for the whole
// sound; into a sound profile, the sound alone.
TEST_F(ProfilesEngineTest, CoverArtIsShownForTheWholeSoundOrLeftOut) {
  const std::string clip = MediaPath("cover_art.mp3");
  TRgbFrame cover;
  cover.Width = 320;
  cover.Height = 240;
  RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(clip) +
                 " -map 0:v -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null",
             cover.Bytes);
  ASSERT_TRUE(cover.Valid());
  for (int code : {0, 204, 300, 306}) {
    SCOPED_TRACE("profile " + std::to_string(code));
    TlvFilesRecord job;
    job.SourceFile = clip;
    const TPreparedJob prepared = Prepare(job, code);
    const TRunResult r = Convert(prepared);
    ASSERT_TRUE(r.Terminate.Finished && !r.Terminate.Exception) << Describe(r);
    const std::string out = prepared.Out.FileName;
    auto m = Probe(out);
    EXPECT_EQ(m["count.audio"], "1");
    EXPECT_NEAR(FfprobeNumber(out, "stream=duration", "a:0"), 3.0, 0.1);
    if (code >= 300) {
      EXPECT_EQ(m["count.video"], "0");
      continue;
    }
    ASSERT_EQ(m["count.video"], "1");
    EXPECT_EQ(FfprobeValue(out, "stream_disposition=attached_pic", "v:0"), "0");
    EXPECT_NEAR(FfprobeNumber(out, "stream=duration", "v:0"), 3.0, 0.15);
    // Near the end the cover is still shown (profile 204's frame is 640x480, the same shape).
    const int w = code == 204 ? 640 : 320, h = code == 204 ? 480 : 240;
    const TRgbFrame f = DecodeFrame(out, 2.8, w, h);
    ASSERT_TRUE(f.Valid());
    for (auto [x, y] : {std::pair{20, 40}, {100, 60}, {180, 100}, {300, 120}, {60, 200}}) {
      const int fx = x * w / 320, fy = y * h / 240;
      EXPECT_LE(Distance(f, fx, fy, cover.At(x, y, 0), cover.At(x, y, 1), cover.At(x, y, 2)), 24)
          << "pixel " << fx << "," << fy << " " << Rgb(f, fx, fy) << " cover " << Rgb(cover, x, y);
    }
    EXPECT_EQ(DecodeMessages(out), "");
  }
}

// A sound profile given a file without sound says what is missing.
TEST_F(ProfilesEngineTest, SoundProfileGivenAFileWithoutSoundSaysSo) {
  TlvFilesRecord job;
  job.SourceFile = MediaPath("video_only.mp4");
  const TPreparedJob prepared = Prepare(job, 300);
  const TRunResult r = Convert(prepared);
  EXPECT_EQ(r.SetupError, "The file has no sound to convert");
}

// A profile's encoder name is checked against the loaded libraries: an encoder of the other
// kind of stream, a missing one and an experimental one are refused, each with its reason.
TEST_F(ProfilesEngineTest, EncoderNamesAreCheckedAgainstTheLoadedLibraries) {
  struct TCase {
    const char* name;
    TEncoderKind kind;
    const char* error;  // null: accepted
  };
  const TCase cases[] = {
      {"mpeg4", TEncoderKind::Video, nullptr},
      {"libfaac", TEncoderKind::Audio, nullptr},  // its working equivalent "aac"
      {"mpeg4", TEncoderKind::Audio, "\"mpeg4\" is not a audio encoder"},
      {"aac", TEncoderKind::Video, "\"aac\" is not a video encoder"},
      {"no_such_encoder", TEncoderKind::Video,
       "The video encoder \"no_such_encoder\" is not available in the codec libraries"},
      {"dca", TEncoderKind::Audio, "The audio encoder \"dca\" is only experimental in the codec libraries"},
  };
  for (const TCase& c : cases) {
    if (!c.error) {
      EXPECT_NO_THROW(ResolveEncoderName(c.name, c.kind)) << c.name;
      continue;
    }
    try {
      ResolveEncoderName(c.name, c.kind);
      ADD_FAILURE() << c.name << " was accepted";
    } catch (const FFmpegException& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
  }
}
