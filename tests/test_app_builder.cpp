// The output option builder: output names, the profile rules, the zoom arithmetic, and the
// delivered profiles checked end to end with the ffmpeg command as the oracle.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "app/core/apppaths.h"
#include "app/core/inifile.h"
#include "app/core/optionbuilder.h"
#include "app/core/profiles.h"
#include "media/errors.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

void WriteText(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Answers the builder's questions with a fixed answer and records them.
class TFixedPrompts : public TBuilderPrompts {
public:
  explicit TFixedPrompts(bool yes) : yes_(yes) {}
  bool AskYesNo(const std::string& title, const std::string& text) override {
    Asked.push_back(title + "|" + text);
    return yes_;
  }
  void Warn(const std::string& title, const std::string& text) override { Warned.push_back(title + "|" + text); }
  std::vector<std::string> Asked, Warned;

private:
  bool yes_;
};

// A record as Start hands it over: the job's crop copied into the crop fields.
TOutputOptions StartRecord(const TlvFilesRecord& job) {
  TOutputOptions out;
  out.FileName = "/tmp/out.mp4";
  if (job.CropTop > 0) out.CropTop = job.CropTop;
  if (job.CropBottom > 0) out.CropBottom = job.CropBottom;
  if (job.CropLeft > 0) out.CropLeft = job.CropLeft;
  if (job.CropRight > 0) out.CropRight = job.CropRight;
  return out;
}

std::string Field(const TOutputOptions& o, const TInputOptions& in, const std::string& name) {
  static const std::map<std::string, std::function<std::string(const TOutputOptions&)>> fields = {
      {"FileFormat", [](auto& o) { return o.FileFormat; }},
      {"VideoCodec", [](auto& o) { return o.VideoCodec; }},
      {"VideoPreset", [](auto& o) { return o.VideoPreset; }},
      {"AudioCodec", [](auto& o) { return o.AudioCodec; }},
      {"FrameSize", [](auto& o) { return o.FrameSize; }},
      {"AspectRatio", [](auto& o) { return o.AspectRatio; }},
      {"VideoFilters", [](auto& o) { return o.VideoFilters; }},
      {"FrameRate", [](auto& o) { return o.FrameRate; }},
      {"ExtOptions", [](auto& o) { return o.ExtOptions; }},
      {"Crop",
       [](auto& o) {
         return std::to_string(o.CropTop) + "," + std::to_string(o.CropBottom) + "," + std::to_string(o.CropLeft) +
                "," + std::to_string(o.CropRight);
       }},
      {"VideoBitrate", [](auto& o) { return std::to_string(o.VideoBitrate); }},
      {"AudioBitrate", [](auto& o) { return std::to_string(o.AudioBitrate); }},
      {"AudioSampleRate", [](auto& o) { return std::to_string(o.AudioSampleRate); }},
      {"AudioChannels", [](auto& o) { return std::to_string(o.AudioChannels); }},
      {"AudioVolume", [](auto& o) { return std::to_string(o.AudioVolume); }},
      {"Target", [](auto& o) { return std::to_string(o.Target) + "/" + std::to_string(o.TargetNorm); }},
      {"Disable",
       [](auto& o) {
         return std::string(o.DisableVideo ? "v" : "") + (o.DisableAudio ? "a" : "") + (o.DisableSubtitle ? "s" : "");
       }},
  };
  if (name == "InExt") return in.ExtOptions;
  auto it = fields.find(name);
  if (it == fields.end()) {
    ADD_FAILURE() << "unknown field " << name;
    return "";
  }
  return it->second(o);
}

class BuilderTest : public ::testing::Test {
protected:
  void SetUp() override {
    oldHome_ = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", dir_.path().c_str(), 1);
    settingsPath_ = dir_.file("config/orvanepspvideoconverter.ini");
    formatPath_ = dir_.file("data/orvanepspformat.ini");
  }
  void TearDown() override { ::setenv("HOME", oldHome_.c_str(), 1); }

  TempDir dir_;
  std::string oldHome_;
  std::string settingsPath_;
  std::string formatPath_;
};

}  // namespace

TEST_F(BuilderTest, OutputNamesCountUpAndKeepInnerDots) {
  const std::string out = dir_.file("out");
  TIniFile(settingsPath_).WriteString("settings", "OutPutDir", out);
  TFixedPrompts prompts(true);
  TOutputOptionBuilder b(settingsPath_, formatPath_, prompts);

  const std::string first = b.BuildOutputPath("/v/clip.avi", ".mp4");
  EXPECT_EQ(first, out + "/clip_(new).mp4");
  WriteText(first, "x");
  const std::string second = b.BuildOutputPath("/v/clip.avi", ".mp4");
  EXPECT_EQ(second, out + "/clip_(new_1).mp4");
  WriteText(second, "x");
  EXPECT_EQ(b.BuildOutputPath("/v/clip.avi", ".mp4"), out + "/clip_(new_2).mp4");
  EXPECT_EQ(b.BuildOutputPath("/v/a.b.avi", ".mp4"), out + "/a.b_(new).mp4");
  EXPECT_EQ(b.BuildOutputPath("/v/noext", "_ipod.mp4"), out + "/noext_(new)_ipod.mp4");
  EXPECT_TRUE(prompts.Warned.empty());

  // A name longer than the file system allows is shortened; the suffix stays whole and no
  // multi-byte character is cut in two.
  std::string longName;
  while (longName.size() < 300) longName += "\xC3\xA9";  // é
  const std::string shortened = b.BuildOutputPath("/v/" + longName + ".avi", ".mp4");
  const std::string leaf = fs::path(shortened).filename().string();
  EXPECT_LE(leaf.size(), 255u);
  EXPECT_EQ(leaf.substr(leaf.size() - 10), "_(new).mp4");
  EXPECT_EQ((leaf.size() - 10) % 2, 0u);
  WriteText(shortened, "x");
  EXPECT_TRUE(fs::exists(shortened));
}

TEST_F(BuilderTest, OutputFolderThatCannotBeMadeFallsBackToTheDefault) {
  WriteText(dir_.file("blocker"), "a file where the folder should go");
  const std::string bad = dir_.file("blocker/out");
  TIniFile settings(settingsPath_);
  settings.WriteString("settings", "OutPutDir", bad);
  TFixedPrompts prompts(true);
  TOutputOptionBuilder b(settingsPath_, formatPath_, prompts);
  const std::string fallback = DefaultOutputDir();
  EXPECT_EQ(fallback, dir_.path().string() + "/Videos/videoconverter");

  EXPECT_EQ(b.BuildOutputPath("/v/clip.avi", ".mp4"), fallback + "/clip_(new).mp4");
  ASSERT_EQ(prompts.Warned.size(), 1u);
  EXPECT_EQ(prompts.Warned[0],
            "Warning|Cannot create output directory:" + bad + ".It will create default directory " + fallback + "!");
  EXPECT_TRUE(fs::is_directory(fallback));
  EXPECT_EQ(settings.ReadString("settings", "OutPutDir", ""), fallback);
}

// The profile rules and the zoom arithmetic, each row a profile section (in the format file),
// the user's saved section (in the settings file), the job and the source.
TEST_F(BuilderTest, ProfileRulesAndZoomModes) {
  struct Row {
    const char* name;
    const char* format;    // lines of [formatInfo7] in the format file
    const char* settings;  // lines of [formatInfo7] in the settings file
    const char* zoom;
    int crop;  // on every side
    int SW, SH, videoStreams;
    int64_t videoBitRate;
    std::vector<std::pair<std::string, std::string>> expect;
  };
  // clang-format off
  const std::vector<Row> rows = {
      {"letterbox 720x400 into 640x480", "Format=mp4", "paraVideoEncoder=mpeg4\nparaVideoSize=640x480", "lbox", 0,
       720, 400, 1, 0,
       {{"FrameSize", "640x356"}, {"AspectRatio", "640:356"}, {"VideoFilters", "pad=640:480:0:62"},
        {"Crop", "0,0,0,0"}}},
      {"letterbox with a crop of 8", "Format=mp4", "paraVideoEncoder=mpeg4\nparaVideoSize=640x480", "lbox", 8, 720,
       400, 1, 0,
       {{"FrameSize", "640x350"}, {"AspectRatio", "640:350"}, {"VideoFilters", "pad=640:480:0:64"},
        {"Crop", "8,8,8,8"}}},
      {"letterbox at the source size", "Format=mp4", "paraVideoEncoder=mpeg4\nparaVideoSize=320x240", "lbox", 0, 320,
       240, 1, 0, {{"FrameSize", "320x240"}, {"VideoFilters", ""}, {"AspectRatio", "320:240"}}},
      {"letterbox of a tall source", "Format=mp4", "paraVideoEncoder=mpeg4\nparaVideoSize=640x480", "lbox", 0, 480,
       640, 1, 0, {{"FrameSize", "360x480"}, {"VideoFilters", "pad=640:480:140:0"}}},
      {"full screen copies the crop", "Format=mp4", "paraVideoEncoder=mpeg4\nparaVideoSize=640x480", "full", 8, 720,
       400, 1, 0,
       {{"FrameSize", "640x480"}, {"AspectRatio", "640:480"}, {"VideoFilters", ""}, {"Crop", "8,8,8,8"}}},
      {"pan and scan fills the frame", "Format=mp4", "paraVideoEncoder=mpeg4\nparaVideoSize=320x240", "pan", 0, 720,
       400, 1, 0, {{"FrameSize", "320x240"}, {"AspectRatio", "320:240"}, {"Crop", "0,0,92,92"}}},
      {"pan and scan of a tall source", "Format=mp4", "paraVideoEncoder=mpeg4\nparaVideoSize=320x240", "pan", 0, 480,
       640, 1, 0, {{"Crop", "140,140,0,0"}}},
      {"centre shrinks a larger source to fit", "Format=mp4", "paraVideoEncoder=mpeg4\nparaVideoSize=640x480",
       "center", 0, 720, 400, 1, 0, {{"FrameSize", "640x356"}, {"VideoFilters", "pad=640:480:0:62"}}},
      {"centre keeps a smaller source at its size", "Format=mp4", "paraVideoEncoder=mpeg4\nparaVideoSize=640x480",
       "center", 0, 320, 240, 1, 0,
       {{"FrameSize", "320x240"}, {"AspectRatio", "320:240"}, {"VideoFilters", "pad=640:480:160:120"}}},
      {"a wide DVD frame gives the letterboxed picture its share of 16:9", "Format=pal-dvd",
       "paraVideoEncoder=mpeg2video\nparaVideoSize=720x576", "lbox", 0, 320, 240, 1, 0,
       {{"FrameSize", "540x576"}, {"AspectRatio", "4:3"}, {"VideoFilters", "pad=720:576:90:0"}}},
      {"h263 400x300 snaps to 704x576", "Format=3gp", "paraVideoEncoder=h263\nparaVideoSize=400x300", "full", 0, 320,
       240, 1, 0, {{"FrameSize", "704x576"}, {"VideoCodec", "h263"}, {"FileFormat", "3gp"}}},
      {"h263 200x150 snaps to 352x288", "Format=3gp", "paraVideoEncoder=h263\nparaVideoSize=200x150", "full", 0, 320,
       240, 1, 0, {{"FrameSize", "352x288"}}},
      {"h263 176x144 stays", "Format=3gp", "paraVideoEncoder=h263\nparaVideoSize=176x144", "full", 0, 320, 240, 1, 0,
       {{"FrameSize", "176x144"}}},
      {"a size part that is no number takes the source's", "Format=mp4",
       "paraVideoEncoder=mpeg4\nparaVideoSize=abcx200", "full", 0, 320, 240, 1, 0, {{"FrameSize", "320x200"}}},
      {"pal-dvd 720x576 is wide", "Format=pal-dvd", "paraVideoEncoder=mpeg2video\nparaVideoSize=720x576", "orig", 0,
       720, 576, 1, 0, {{"AspectRatio", "16:9"}, {"Target", "3/1"}, {"VideoCodec", "mpeg2video"}}},
      {"pal-dvd 704x576 is 4:3", "Format=pal-dvd", "paraVideoEncoder=mpeg2video\nparaVideoSize=704x576", "orig", 0,
       720, 576, 1, 0, {{"AspectRatio", "4:3"}, {"Target", "3/1"}}},
      {"ntsc-vcd", "Format=ntsc-vcd", "paraVideoEncoder=mpeg1video\nparaVideoSize=352x240", "orig", 0, 720, 480, 1, 0,
       {{"Target", "1/2"}, {"AspectRatio", "4:3"}, {"FileFormat", ""}}},
      {"mpeg2video always makes a dvd target", "Format=mpeg", "paraVideoEncoder=mpeg2video\nparaVideoSize=720x576",
       "full", 0, 720, 576, 1, 0, {{"Target", "3/0"}}},
      {"H.264 for the PSP", "Format=psp", "paraVideoEncoder=libx264\nparaVideoSize=480x272", "full", 0, 320, 240, 1, 0,
       {{"VideoCodec", "libx264"}, {"VideoPreset", "libx264-psp"}, {"FileFormat", "psp"}}},
      {"H.264 elsewhere", "Format=mp4", "paraVideoEncoder=libx264\nparaVideoSize=480x272", "full", 0, 320, 240, 1, 0,
       {{"VideoPreset", "libx264-mp4"}, {"FileFormat", ""}}},
      {"container default codec", "Format=flv", "paraVideoEncoder=flv\nparaVideoSize=320x240", "full", 0, 320, 240, 1,
       0, {{"VideoCodec", ""}, {"FileFormat", "flv"}}},
      {"a source without video", "Format=avi", "paraVideoEncoder=mpeg4\nparaVideoSize=640x480\nparaFrameRate=25\nparaAudioEncoder=mp2",
       "lbox", 0, 0, 0, 0, 0,
       {{"Disable", "v"}, {"FrameSize", ""}, {"VideoBitrate", "-1"}, {"FrameRate", ""}, {"FileFormat", ""},
        {"VideoFilters", ""}, {"Crop", "-1,-1,-1,-1"}}},
      {"as-source bit rate inside the range", "Format=mp4\nVideoBitRate=300,2000\nparaVideoBitRate=900",
       "paraVideoEncoder=mpeg4\nparaVideoSize=320x240\nparaVideoBitRate=as source", "full", 0, 320, 240, 1, 1500000,
       {{"VideoBitrate", "1500000"}}},
      {"as-source bit rate outside the range", "Format=mp4\nVideoBitRate=300,1000\nparaVideoBitRate=900",
       "paraVideoEncoder=mpeg4\nparaVideoSize=320x240\nparaVideoBitRate=as source", "full", 0, 320, 240, 1, 1500000,
       {{"VideoBitrate", "900000"}}},
      {"typed bit rate, frame rate, audio values", "Format=mp4",
       "paraVideoEncoder=mpeg4\nparaVideoSize=320x240\nparaVideoBitRate=1500\nparaFrameRate=23.976\n"
       "paraAudioEncoder=libmp3lame\nparaSampleRate=22050\nparaAudioBitRate=96.5\nparaChannel=1\nparaVolume=512",
       "full", 0, 320, 240, 1, 0,
       {{"VideoBitrate", "1500000"}, {"FrameRate", "23.976"}, {"AudioCodec", "libmp3lame"},
        {"AudioSampleRate", "22050"}, {"AudioBitrate", "96500"}, {"AudioChannels", "1"}, {"AudioVolume", "512"}}},
      {"defaults of a saved section", "Format=mp4", "paraVideoEncoder=mpeg4\nparaVideoSize=320x240", "full", 0, 320,
       240, 1, 0,
       {{"VideoBitrate", "512000"}, {"FrameRate", "29.97"}, {"AudioCodec", ""}, {"Disable", "a"},
        {"AudioSampleRate", "44100"}, {"AudioBitrate", "128000"}, {"AudioChannels", "2"}, {"AudioVolume", "-1"}}},
      {"as-source sample rate and audio bit rate", "Format=mp4\nSampleRate=as source,8000,48000\nAudioBitRate=64,192",
       "paraVideoEncoder=mpeg4\nparaVideoSize=320x240\nparaAudioEncoder=libfaac\nparaSampleRate=as source\n"
       "paraAudioBitRate=as source\nparaChannel=as source",
       "full", 0, 320, 240, 1, 0,
       {{"AudioCodec", "aac"}, {"AudioSampleRate", "44100"}, {"AudioBitrate", "128000"}, {"AudioChannels", "-1"}}},
      {"an old encoder name and a bad volume", "Format=mp4",
       "paraVideoEncoder=mpeg4\nparaVideoSize=320x240\nparaAudioEncoder=vorbis\nparaVolume=loud", "full", 0, 320, 240,
       1, 0, {{"AudioCodec", "libvorbis"}, {"AudioVolume", "-1"}}},
      {"flac audio-only", "Format=FLAC", "paraVideoEncoder=\nparaAudioEncoder=flac\nparaSampleRate=48000", "lbox", 0,
       320, 240, 1, 0,
       {{"FileFormat", "flac"}, {"Disable", "vs"}, {"InExt", "vn=1"}, {"AudioCodec", "flac"},
        {"AudioSampleRate", "48000"}, {"FrameSize", ""}, {"VideoCodec", ""}}},
      {"audio-only default encoder", "Format=mp3", "paraVideoEncoder= \nparaChannel=0", "lbox", 0, 320, 240, 1, 0,
       {{"AudioCodec", "aac"}, {"FileFormat", ""}, {"AudioChannels", "-1"}}},
      {"NTSC DV uses 4:1:1 sampling", "Format=dv", "paraVideoEncoder=dvvideo\nparaVideoSize=720x480", "lbox", 0, 320,
       240, 1, 0, {{"ExtOptions", "pix_fmt=yuv411p"}, {"FileFormat", "dv"}}},
  };
  // clang-format on
  testsupport::LoadEngineLibs();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    fs::remove(settingsPath_);
    WriteText(formatPath_, std::string("[formatInfo7]\n") + r.format + "\n");
    WriteText(settingsPath_, std::string("[formatInfo7]\n") + r.settings + "\n");
    TlvFilesRecord job;
    job.ZoomMode = r.zoom;
    job.CropTop = job.CropBottom = job.CropLeft = job.CropRight = r.crop;
    TSourceInfo src;
    src.VideoStreamCount = r.videoStreams;
    src.Width = r.SW;
    src.Height = r.SH;
    src.VideoBitRate = r.videoBitRate;
    src.AudioSampleRate = 44100;
    src.AudioBitRate = 128000;
    TOutputOptions out = StartRecord(job);
    TInputOptions in;
    TFixedPrompts prompts(true);
    TOutputOptionBuilder(settingsPath_, formatPath_, prompts).BuildOutputOptions(job, 7, out, src, in);
    EXPECT_TRUE(prompts.Asked.empty());
    for (const auto& [field, value] : r.expect) EXPECT_EQ(Field(out, in, field), value) << field;
  }
}

TEST_F(BuilderTest, MalformedFrameSizeAsksForTheDefault) {
  WriteText(formatPath_, "[formatInfo7]\nFormat=mp4\n");
  TSourceInfo src;
  src.VideoStreamCount = 1;
  src.Width = 720;
  src.Height = 400;
  for (const char* size : {"null", "640", "x480", "640x", "0x0"}) {
    for (bool yes : {true, false}) {
      SCOPED_TRACE(std::string(size) + (yes ? " yes" : " no"));
      WriteText(settingsPath_, std::string("[formatInfo7]\nparaVideoEncoder=mpeg4\nparaVideoSize=") + size + "\n");
      TlvFilesRecord job;
      job.ZoomMode = "full";
      TOutputOptions out = StartRecord(job);
      TInputOptions in;
      TFixedPrompts prompts(yes);
      TOutputOptionBuilder(settingsPath_, formatPath_, prompts).BuildOutputOptions(job, 7, out, src, in);
      ASSERT_EQ(prompts.Asked.size(), 1u);
      EXPECT_EQ(prompts.Asked[0], "Warning|Error output Video Size.Use the default size 320x240?");
      EXPECT_EQ(out.FrameSize, yes ? "320x240" : "720x400");
    }
  }
  // The command line answers by itself: Yes.
  WriteText(settingsPath_, "[formatInfo7]\nparaVideoEncoder=mpeg4\n");
  TlvFilesRecord job;
  job.ZoomMode = "full";
  TOutputOptions out = StartRecord(job);
  TInputOptions in;
  TAutoAnswerPrompts automatic;
  TOutputOptionBuilder(settingsPath_, formatPath_, automatic).BuildOutputOptions(job, 7, out, src, in);
  EXPECT_EQ(out.FrameSize, "320x240");
  EXPECT_EQ(automatic.Questions.size(), 1u);
}

TEST_F(BuilderTest, EncoderWithoutEquivalentFailsOnlyThatTask) {
  testsupport::LoadEngineLibs();
  WriteText(formatPath_, "[formatInfo7]\nFormat=avi\n[formatInfo8]\nFormat=avi\n");
  WriteText(settingsPath_,
            "[formatInfo7]\nparaVideoEncoder=msmpeg4v1\nparaVideoSize=320x240\n"
            "[formatInfo8]\nparaVideoEncoder=msmpeg4v2\nparaVideoSize=320x240\nparaAudioEncoder=libfaac\n");
  TSourceInfo src;
  src.VideoStreamCount = 1;
  src.Width = 320;
  src.Height = 240;
  TlvFilesRecord job;
  TFixedPrompts prompts(true);
  TOutputOptionBuilder b(settingsPath_, formatPath_, prompts);
  TOutputOptions out;
  TInputOptions in;
  try {
    b.BuildOutputOptions(job, 7, out, src, in);
    ADD_FAILURE() << "msmpeg4v1 accepted";
  } catch (const FFmpegException& e) {
    EXPECT_NE(std::string(e.what()).find("msmpeg4v1"), std::string::npos) << e.what();
  }
  TOutputOptions next;
  TInputOptions nextIn;
  ASSERT_NO_THROW(b.BuildOutputOptions(job, 8, next, src, nextIn));
  EXPECT_EQ(next.VideoCodec, "msmpeg4v2");
  EXPECT_EQ(next.AudioCodec, "aac");
}

// A fresh installation (no settings file) converts each profile with its own choices.
TEST_F(BuilderTest, FreshInstallationUsesTheProfileChoices) {
  testsupport::LoadEngineLibs();
  const std::string delivered = std::string(ORVANE_BINARY_DIR) + "/data/orvanepspformat.ini";
  TSourceInfo src;
  src.VideoStreamCount = 1;
  src.Width = 320;
  src.Height = 240;
  src.AudioSampleRate = 44100;
  src.AudioBitRate = 128000;
  TlvFilesRecord job;
  job.ZoomMode = ReadProfileZoom(TIniFile(settingsPath_), 0);
  EXPECT_EQ(job.ZoomMode, "lbox");
  TFixedPrompts prompts(false);
  TOutputOptionBuilder b(settingsPath_, delivered, prompts);

  TOutputOptions psp = StartRecord(job);
  TInputOptions in;
  b.BuildOutputOptions(job, 0, psp, src, in);
  EXPECT_EQ(psp.VideoCodec, "mpeg4");
  EXPECT_EQ(psp.FileFormat, "psp");
  EXPECT_EQ(psp.FrameSize, "320x240");
  EXPECT_EQ(psp.VideoBitrate, 768000);
  EXPECT_EQ(psp.FrameRate, "29.97");
  EXPECT_EQ(psp.AudioCodec, "aac");
  EXPECT_EQ(psp.AudioSampleRate, 48000);
  EXPECT_EQ(psp.AudioBitrate, 128000);
  EXPECT_EQ(psp.AudioChannels, 2);
  EXPECT_EQ(psp.AudioVolume, -1);
  EXPECT_FALSE(psp.DisableVideo);
  EXPECT_FALSE(psp.DisableAudio);

  TOutputOptions mp3 = StartRecord(job);
  TInputOptions mp3In;
  b.BuildOutputOptions(job, 300, mp3, src, mp3In);
  EXPECT_TRUE(mp3.DisableVideo);
  EXPECT_EQ(mp3.AudioCodec, "libmp3lame");
  EXPECT_EQ(mp3In.ExtOptions, "vn=1");
  EXPECT_TRUE(prompts.Asked.empty());
  EXPECT_FALSE(fs::exists(settingsPath_)) << "building options writes nothing";
}

namespace {

// The engine's reading of an option record, spelt as ffmpeg command-line options: the frame
// size scales the (cropped) picture before the filter text runs.
std::string CommandLineOptions(const TOutputOptions& o, const TInputOptions& in) {
  using testsupport::ShellQuote;
  std::string args;
  if (in.ExtOptions.find("vn=1") != std::string::npos) args += " -vn";
  if (o.Target >= 1 && o.Target <= 3) {
    static const char* kTypes[] = {"", "vcd", "svcd", "dvd"};
    args += std::string(" -target ") +
            (o.TargetNorm == 1   ? "pal-"
             : o.TargetNorm == 2 ? "ntsc-"
                                 : "") +
            kTypes[o.Target];
  }
  if (!o.FileFormat.empty()) args += " -f " + o.FileFormat;
  if (o.DisableVideo) {
    args += " -vn";
  } else {
    if (!o.VideoCodec.empty()) args += " -c:v " + o.VideoCodec;
    if (o.VideoBitrate > 0) args += " -b:v " + std::to_string(o.VideoBitrate);
    if (!o.FrameRate.empty()) args += " -r " + o.FrameRate;
    std::string size = o.FrameSize;
    if (size.find('x') != std::string::npos) size[size.find('x')] = ':';
    if (!o.FrameSize.empty() && !o.VideoFilters.empty())
      args += " -vf " + ShellQuote("scale=" + size + "," + o.VideoFilters);
    else if (!o.FrameSize.empty())
      args += " -s " + o.FrameSize;
    else if (!o.VideoFilters.empty())
      args += " -vf " + ShellQuote(o.VideoFilters);
    for (const TExtOption& e : ParseExtOptions(o.ExtOptions))
      if (e.Name == "pix_fmt") args += " -pix_fmt " + e.Value;
  }
  if (o.DisableAudio) {
    args += " -an";
  } else {
    if (!o.AudioCodec.empty()) args += " -c:a " + o.AudioCodec;
    if (o.AudioSampleRate > 0) args += " -ar " + std::to_string(o.AudioSampleRate);
    if (o.AudioBitrate > 0) args += " -b:a " + std::to_string(o.AudioBitrate);
    if (o.AudioChannels > 0) args += " -ac " + std::to_string(o.AudioChannels);
  }
  if (o.DisableSubtitle) args += " -sn";
  return args;
}

}  // namespace

// Each delivered profile, with the choices of a fresh installation, gives options that make
// the file the profile promises (checked with ffmpeg and ffprobe).
TEST_F(BuilderTest, DeliveredProfilesMakeWhatTheyPromise) {
  using testsupport::FfprobeValue;
  testsupport::LoadEngineLibs();
  struct Promise {
    int code;
    const char* format;  // part of ffprobe's format_name
    const char* vcodec;  // empty: no video
    const char* size;
    const char* acodec;
    const char* rate;
    const char* extra;  // "brand=..." or "pix=..."
  };
  const std::vector<Promise> promises = {
      {0, "mp4", "mpeg4", "320x240", "aac", "48000", "brand=MSNV"},
      {1, "mp4", "mpeg4", "320x240", "aac", "48000", "brand=MSNV"},
      {2, "mp4", "mpeg4", "320x240", "aac", "48000", "brand=MSNV"},
      {3, "mp4", "h264", "480x272", "aac", "48000", "brand=MSNV"},
      {4, "mp4", "mpeg4", "480x272", "aac", "48000", "brand=MSNV"},
      {100, "mp4", "mpeg4", "720x480", "aac", "48000", ""},
      {101, "mp4", "mpeg4", "720x480", "aac", "48000", ""},
      {102, "mp4", "mpeg4", "1280x720", "aac", "48000", ""},
      {103, "mp4", "mpeg4", "1920x1080", "aac", "48000", ""},
      {200, "mpeg", "mpeg1video", "352x288", "mp2", "44100", ""},
      {201, "mpeg", "mpeg2video", "720x576", "mp2", "48000", ""},
      {202, "mp4", "mpeg4", "640x480", "aac", "44100", ""},
      {203, "mp4", "h264", "640x480", "aac", "44100", ""},
      {204, "avi", "mpeg4", "640x480", "mp3", "44100", ""},
      {205, "asf", "wmv2", "640x480", "wmav2", "44100", ""},
      {206, "avi", "mpeg4", "640x480", "mp3", "44100", ""},
      {207, "avi", "mpeg4", "640x480", "mp3", "44100", ""},
      {208, "dv", "dvvideo", "720x480", "pcm_s16le", "48000", "pix=yuv411p"},
      {209, "dv", "dvvideo", "720x576", "pcm_s16le", "48000", "pix=yuv420p"},
      {300, "mp3", "", "", "mp3", "44100", ""},
      {301, "aac", "", "", "aac", "44100", ""},
      {302, "mp4", "", "", "aac", "44100", ""},
      {303, "asf", "", "", "wmav2", "44100", ""},
      {304, "wav", "", "", "pcm_s16le", "44100", ""},
      {305, "ogg", "", "", "vorbis", "44100", ""},
      {306, "ac3", "", "", "ac3", "48000", ""},
  };
  const std::string delivered = std::string(ORVANE_BINARY_DIR) + "/data/orvanepspformat.ini";
  const std::string source = testsupport::MediaPath("clip.avi");
  TSourceInfo src;
  src.VideoStreamCount = 1;
  src.Width = 320;
  src.Height = 240;
  src.AudioSampleRate = 44100;
  src.AudioBitRate = 128000;
  TIniFile format(delivered);
  TFixedPrompts prompts(false);
  TOutputOptionBuilder b(settingsPath_, delivered, prompts);
  for (const Promise& p : promises) {
    SCOPED_TRACE(BuiltinProfileName(p.code));
    TlvFilesRecord job;
    job.ZoomMode = ReadProfileZoom(TIniFile(settingsPath_), p.code);
    TOutputOptions out = StartRecord(job);
    TInputOptions in;
    b.BuildOutputOptions(job, p.code, out, src, in);
    const std::string file = dir_.file("out" + std::to_string(p.code) + "." +
                                       format.ReadString(ProfileSection(p.code), "FileExt", "mp4"));
    std::string log;
    const std::string cmd = "ffmpeg -nostdin -v error -y -t 1 -i " + testsupport::ShellQuote(source) +
                            CommandLineOptions(out, in) + " " + testsupport::ShellQuote(file) + " 2>&1";
    ASSERT_EQ(testsupport::RunCapture(cmd, log), 0) << cmd << "\n" << log;
    EXPECT_NE(FfprobeValue(file, "format=format_name").find(p.format), std::string::npos) << cmd;
    const std::string extra = p.extra;
    if (*p.vcodec) {
      EXPECT_EQ(FfprobeValue(file, "stream=codec_name", "v:0"), p.vcodec);
      EXPECT_EQ(FfprobeValue(file, "stream=width", "v:0") + "x" + FfprobeValue(file, "stream=height", "v:0"), p.size);
      if (extra.rfind("pix=", 0) == 0) {
        EXPECT_EQ(FfprobeValue(file, "stream=pix_fmt", "v:0"), extra.substr(4));
      }
    } else {
      EXPECT_EQ(FfprobeValue(file, "stream=codec_name", "v"), "");
    }
    EXPECT_EQ(FfprobeValue(file, "stream=codec_name", "a:0"), p.acodec);
    EXPECT_EQ(FfprobeValue(file, "stream=sample_rate", "a:0"), p.rate);
    if (extra.rfind("brand=", 0) == 0) {
      EXPECT_EQ(FfprobeValue(file, "format_tags=major_brand"), extra.substr(6));
    }
    EXPECT_TRUE(prompts.Asked.empty());
  }
}
