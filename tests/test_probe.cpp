#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "media/errors.h"
#include "media/ffapi.h"
#include "media/loader.h"
#include "media/logger.h"
#include "media/probe.h"
#include "media/unicode_protocol.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

using testsupport::MediaPath;
using testsupport::RunCapture;
using testsupport::ShellQuote;

namespace {

using Fields = std::map<std::string, std::string>;

// ffprobe's compact output, one map per line ("key=value|key=value").
std::vector<Fields> FfprobeRows(const std::string& file, const std::string& entries) {
  std::string out;
  RunCapture("ffprobe -v error -show_entries " + ShellQuote(entries) + " -of compact=p=0 " + ShellQuote(file) +
                 " 2>/dev/null",
             out);
  std::vector<Fields> rows;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    Fields f;
    std::istringstream parts(line);
    std::string part;
    while (std::getline(parts, part, '|')) {
      size_t eq = part.find('=');
      if (eq != std::string::npos) f[part.substr(0, eq)] = part.substr(eq + 1);
    }
    // A stream listed under its program comes again in the stream list: keep it once.
    bool seen = false;
    if (f.count("index"))
      for (const Fields& r : rows) seen = seen || (r.count("index") && r.at("index") == f.at("index"));
    if (!seen) rows.push_back(f);
  }
  return rows;
}

// ffprobe's "N/A" or a decimal number of seconds as microseconds; -1 for N/A.
int64_t Micros(const std::string& seconds) {
  if (seconds.empty() || seconds == "N/A") return -1;
  return std::llround(std::strtod(seconds.c_str(), nullptr) * 1e6);
}

std::pair<int, int> Fraction(const std::string& text, char sep = '/') {
  size_t p = text.find(sep);
  return {std::atoi(text.substr(0, p).c_str()), std::atoi(text.substr(p + 1).c_str())};
}

// The expected texts, derived independently from the values.
std::string HMS(int64_t us) {
  return StrFormat("%02lld:%02lld:%02lld.%03lld", (long long)(us / 3600000000), (long long)(us / 60000000 % 60),
                   (long long)(us / 1000000 % 60), (long long)(us % 1000000 / 1000));
}
std::string ByteSize(int64_t n) {
  if (n > (int64_t(1) << 30)) return StrFormat("%.2f GB", n / 1073741824.0);
  if (n > (int64_t(1) << 20)) return StrFormat("%.2f MB", n / 1048576.0);
  if (n > 1024) return StrFormat("%.2f KB", n / 1024.0);
  return StrFormat("%lld Byte", (long long)n);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    EXPECT_NE(end, std::string::npos) << "last line without CR LF";
    if (end == std::string::npos) break;
    out.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return out;
}

bool StartsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
bool EndsWith(const std::string& s, const std::string& p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

// Collects what the probes log, synchronously.
using testsupport::LogCapture;

using testsupport::LocaleScope;

class Probe : public ::testing::Test {
protected:
  void SetUp() override { testsupport::LoadEngineLibs(); }
};

const char* const kClips[] = {
    "clip.avi",      "clip.mp4",        "clip.mkv",      "clip.ts",     "video_only.mp4",       "audio.mp3",
    "audio.wav",     "pal_720x576.mpg", "two_audio.mkv", "mono48k.mp4", "odd_321x241.mkv",      "subtitles.mkv",
    "truncated.avi", "random.bin",      "ntsc_16x9.mkv", "lang.ts",     "vidéo ünïcode 片.mp4",
};

}  // namespace

TEST_F(Probe, AgreesWithFfprobeOnEveryClip) {
  for (const char* clip : kClips) {
    const std::string path = MediaPath(clip);
    SCOPED_TRACE(clip);
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(path)) << probe.LastErrMsg();
    const Fields fmt = FfprobeRows(path, "format=format_name,nb_streams,nb_programs,duration,start_time,size").at(0);
    EXPECT_EQ(probe.GetFormatName(), fmt.at("format_name"));
    EXPECT_EQ(std::to_string(probe.StreamCount()), fmt.at("nb_streams"));
    EXPECT_EQ(std::to_string(probe.ProgramCount()), fmt.at("nb_programs"));
    EXPECT_EQ(std::to_string(probe.FileSize()), fmt.at("size"));
    EXPECT_EQ(probe.GetFileName(), path);
    TFileStreamInfo fi = probe.GetFileStreamInfo();
    EXPECT_NEAR(double(fi.Duration), double(Micros(fmt.at("duration"))), 1000);
    EXPECT_NEAR(double(fi.StartTime), double(Micros(fmt.at("start_time"))), 1000);

    const auto streams = FfprobeRows(
        path, "stream=index,codec_type,codec_name,width,height,r_frame_rate,sample_rate,channels,start_time,duration");
    ASSERT_EQ(int(streams.size()), probe.StreamCount());
    int audio = 0, video = 0, subtitle = 0, firstAudio = -1, firstVideo = -1;
    for (const Fields& s : streams) {
      const int i = std::atoi(s.at("index").c_str());
      const std::string type = s.at("codec_type");
      SCOPED_TRACE("stream " + std::to_string(i) + " " + type);
      EXPECT_EQ(probe.IsAudioStream(i), type == "audio");
      EXPECT_EQ(probe.IsVideoStream(i), type == "video");
      if (type == "video") {
        if (firstVideo < 0) firstVideo = i;
        ++video;
        TVideoStreamInfo v = probe.GetVideoStreamInfo(i);
        EXPECT_TRUE(StartsWith(v.CodecName, s.at("codec_name"))) << v.CodecName;
        EXPECT_EQ(std::to_string(v.Width), s.at("width"));
        EXPECT_EQ(std::to_string(v.Height), s.at("height"));
        auto [num, den] = Fraction(s.at("r_frame_rate"));
        EXPECT_EQ(v.FrameRateNum, num);
        EXPECT_EQ(v.FrameRateDen, den);
        EXPECT_NEAR(double(v.StartTimeUS), double(Micros(s.at("start_time"))), 1000);
        EXPECT_NEAR(double(v.DurationUS), double(Micros(s.at("duration"))), 1000);
      } else if (type == "audio") {
        if (firstAudio < 0) firstAudio = i;
        ++audio;
        TAudioStreamInfo a = probe.GetAudioStreamInfo(i);
        EXPECT_TRUE(StartsWith(a.CodecName, s.at("codec_name"))) << a.CodecName;
        EXPECT_EQ(std::to_string(a.SampleRate), s.at("sample_rate"));
        EXPECT_EQ(std::to_string(a.Channels), s.at("channels"));
        EXPECT_NEAR(double(a.StartTimeUS), double(Micros(s.at("start_time"))), 1000);
        EXPECT_NEAR(double(a.DurationUS), double(Micros(s.at("duration"))), 1000);
      } else if (type == "subtitle") {
        ++subtitle;
      }
    }
    EXPECT_EQ(probe.AudioStreamCount(), audio);
    EXPECT_EQ(probe.VideoStreamCount(), video);
    EXPECT_EQ(probe.SubtitleStreamCount(), subtitle);
    EXPECT_EQ(probe.FirstAudioStreamIndex(), firstAudio);
    EXPECT_EQ(probe.FirstVideoStreamIndex(), firstVideo);
  }
}

TEST_F(Probe, NonAsciiNameUnderBothLocales) {
  const std::string path = MediaPath("vidéo ünïcode 片.mp4");
  for (const char* locale : {"C.UTF-8", "C"}) {
    LocaleScope loc(locale);
    ASSERT_TRUE(loc.ok()) << locale;
    SCOPED_TRACE(locale);
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(path)) << probe.LastErrMsg();
    EXPECT_EQ(UsesUnicodeIO(probe.FormatContext()), std::string(locale) == "C");
    EXPECT_EQ(probe.GetFileName(), path);
    EXPECT_EQ(probe.FileSize(), int64_t(std::filesystem::file_size(path)));
    EXPECT_EQ(probe.StreamCount(), 2);
    EXPECT_TRUE(StartsWith(probe.GetInfoText(), "File Name: " + path + "\r\n"));
    EXPECT_TRUE(StartsWith(probe.GetVideoStreamInfo().CodecName, "h264"));
  }
}

TEST_F(Probe, BadFilesGiveErrorsAndLeaveProbeClosed) {
  LogCapture log;
  testsupport::TempDir dir;
  // Random bytes under a name that gives the format library no hint: some format claims
  // them with a low score, and no stream can be analysed.
  const std::string noise = dir.file("noise é.dat");
  std::filesystem::copy_file(MediaPath("random.bin"), noise);
  struct Case {
    std::string file, format, message;
    bool logged;
  };
  const Case cases[] = {
      {dir.file("missing.mp4"), "", dir.file("missing.mp4") + ": No such file or directory", true},
      {noise, "", noise + ": could not find codec parameters", false},
      {MediaPath("clip.mp4"), "no-such-format", "Unknown input format: no-such-format", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(MediaPath("clip.avi")));  // a failed load closes the previous file
    EXPECT_FALSE(probe.LoadFile(c.file, c.format));
    EXPECT_EQ(probe.LastErrMsg(), c.message);
    auto entries = log.Take(&probe);
    if (c.logged) {
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_EQ(entries[0].level, llError);
      EXPECT_EQ(entries[0].msg, c.message);
    } else {
      EXPECT_TRUE(entries.empty());
    }
    EXPECT_EQ(probe.FormatContext(), nullptr);
    EXPECT_EQ(probe.StreamCount(), -1);
    EXPECT_EQ(probe.FileSize(), -1);
    EXPECT_EQ(probe.FirstVideoStreamIndex(), -1);
  }

  TAVProbe probe;
  EXPECT_FALSE(probe.LoadFile("/" + std::string(3000, 'x') + ".mp4"));
  EXPECT_NE(probe.LastErrMsg().find("too long"), std::string::npos) << probe.LastErrMsg();
  EXPECT_EQ(probe.FormatContext(), nullptr);

  // The truncated AVI (its index lost) still opens, with the duration that is left.
  ASSERT_TRUE(probe.LoadFile(MediaPath("truncated.avi"))) << probe.LastErrMsg();
  EXPECT_NEAR(double(probe.GetFileStreamInfo().Duration),
              double(Micros(FfprobeRows(MediaPath("truncated.avi"), "format=duration").at(0).at("duration"))), 1000);
  EXPECT_FALSE(probe.GetInfoText().empty());
}

TEST_F(Probe, QueriesReportProblemsWithTheirLevels) {
  LogCapture log;
  TAVProbe probe;
  // Nothing open: warnings and reset records.
  TFileStreamInfo fi = probe.GetFileStreamInfo();
  EXPECT_EQ(fi.Duration, -1);
  EXPECT_EQ(fi.BitRate, -1);
  EXPECT_TRUE(fi.Title.empty());
  EXPECT_EQ(probe.GetInfoText(), "");
  EXPECT_FALSE(probe.IsAudioStream(0));
  EXPECT_EQ(probe.GetVideoStreamInfo().Width, -1);
  auto entries = log.Take(&probe);
  ASSERT_EQ(entries.size(), 4u);
  for (const auto& e : entries) {
    EXPECT_EQ(e.level, llWarning);
    EXPECT_EQ(e.msg, "file not loaded.");
  }

  struct Case {
    const char* clip;
    int index;
    bool audio;
    const char* message;
  };
  const Case cases[] = {
      {"video_only.mp4", -1, true, "no audio stream."},        {"audio.mp3", -1, false, "no video stream."},
      {"clip.avi", 2, true, "stream index #2 is invalid."},    {"clip.avi", 99, false, "stream index #99 is invalid."},
      {"clip.avi", 0, true, "stream #0 is not audio stream."}, {"clip.avi", 1, false, "stream #1 is not video stream."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.clip) + " " + c.message);
    ASSERT_TRUE(probe.LoadFile(MediaPath(c.clip)));
    if (c.audio) {
      TAudioStreamInfo a = probe.GetAudioStreamInfo(c.index);
      EXPECT_EQ(a.SampleRate, -1);
      EXPECT_EQ(a.Channels, -1);
      EXPECT_EQ(a.StartTime, -1);
      EXPECT_TRUE(a.CodecName.empty());
    } else {
      TVideoStreamInfo v = probe.GetVideoStreamInfo(c.index);
      EXPECT_EQ(v.Width, -1);
      EXPECT_EQ(v.FrameRateNum, -1);
      EXPECT_EQ(v.AspectRatio, -1.0f);
      EXPECT_TRUE(v.CodecName.empty());
    }
    EXPECT_EQ(probe.LastErrMsg(), c.message);
    auto logged = log.Take(&probe);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, llError);
  }
  EXPECT_FALSE(probe.IsVideoStream(-1));
  EXPECT_EQ(probe.LastErrMsg(), "stream index #-1 is invalid.");
}

TEST_F(Probe, AttachedContextStaysOpenAfterProbeCloses) {
  AVFormatContext* ctx = nullptr;
  ASSERT_EQ(OpenInputFile(&ctx, MediaPath("subtitles.mkv"), nullptr, nullptr), 0);
  ASSERT_GE(ff::avformat_find_stream_info(ctx, nullptr), 0);
  {
    TAVProbe probe;
    probe.AttachContext(ctx);
    EXPECT_FALSE(probe.OwnsContext());
    EXPECT_EQ(probe.StreamCount(), 3);
    EXPECT_EQ(probe.SubtitleStreamCount(), 1);
    EXPECT_EQ(probe.FirstSubtitleStreamIndex(), 2);
    EXPECT_EQ(probe.GetAudioStreamInfo().SampleRate, 44100);
    probe.CloseFile();
    EXPECT_EQ(probe.StreamCount(), -1);
    probe.AttachContext(ctx);
  }  // destroying the probe leaves the attached context alone
  AVPacket* pkt = ff::av_packet_alloc();
  EXPECT_GE(ff::av_read_frame(ctx, pkt), 0);
  ff::av_packet_free(&pkt);
  CloseInput(&ctx);
}

TEST_F(Probe, StreamTimeBaseWithoutDenominatorIsRepaired) {
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(MediaPath("clip.avi")));
  AVStream* st = probe.FormatContext()->streams[1];
  st->time_base = AVRational{7, 0};
  probe.GetAudioStreamInfo(1);
  EXPECT_EQ(st->time_base.num, 7);
  EXPECT_EQ(st->time_base.den, 7);
  st->time_base = AVRational{0, 0};
  TAudioStreamInfo a = probe.GetAudioStreamInfo();
  EXPECT_EQ(st->time_base.num, 0);
  EXPECT_EQ(st->time_base.den, 1);
  EXPECT_EQ(a.SampleRate, 44100);
}

TEST(ProbeText, RatePiecesAndID3v2Keys) {
  const struct {
    double value;
    const char* unit;
    const char* text;
  } rates[] = {
      {25.0, "fps", ", 25 fps"},
      {30000.0 / 1001, "fps", ", 29.97 fps"},
      {24000.0 / 1001, "tbr", ", 23.98 tbr"},
      {90000.0, "tbn", ", 90k tbn"},
      {1000.0, "tbn", ", 1k tbn"},
      {12800.0, "tbn", ", 12800 tbn"},
      {50.0, "tbc", ", 50 tbc"},
  };
  for (const auto& r : rates) EXPECT_EQ(RatePiece(r.value, r.unit), r.text) << r.value;
  EXPECT_EQ(ID3v2DisplayKey("TIT2"), "title");
  EXPECT_EQ(ID3v2DisplayKey("TP1"), "artist");
  EXPECT_EQ(ID3v2DisplayKey("TSOP"), "authorsort");
  EXPECT_EQ(ID3v2DisplayKey("tit2"), "tit2");  // exact case only
  EXPECT_EQ(ID3v2DisplayKey("ARTIST"), "ARTIST");
}

// The information text of a transport stream: program with its metadata, stream ids,
// 90 kHz time bases, an audio language without a metadata block.
TEST_F(Probe, InfoTextOfTransportStream) {
  const std::string path = MediaPath("lang.ts");
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(path)) << probe.LastErrMsg();
  const Fields fmt = FfprobeRows(path, "format=format_long_name,size,duration,start_time,bit_rate").at(0);
  const auto streams = FfprobeRows(path, "stream=index,id,time_base,avg_frame_rate,r_frame_rate,start_time,duration");
  ASSERT_EQ(streams.size(), 2u);
  const std::vector<std::string> lines = Lines(probe.GetInfoText());
  const int64_t start = Micros(fmt.at("start_time"));
  std::vector<std::string> expected = {
      "File Name: " + path,
      "Format Name: mpegts",
      "Format Long Name: " + fmt.at("format_long_name"),
      "File Size: " + ByteSize(std::atoll(fmt.at("size").c_str())),
      "Duration: " + HMS(Micros(fmt.at("duration"))),
      StrFormat("StartTime: %lld.%06lld", (long long)(start / 1000000), (long long)(start % 1000000)),
      StrFormat("Bit Rate: %lld kb/s", std::atoll(fmt.at("bit_rate").c_str()) / 1000),
      "Program 1 Tests@Orvane",
      "  Metadata:",
      "    service_name    : Orvane",
      "    service_provider: Tests",
  };
  ASSERT_EQ(lines.size(), expected.size() + 2) << probe.GetInfoText();
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]);

  for (int i = 0; i < 2; ++i) {
    const Fields& s = streams[i];
    const std::string& line = lines[expected.size() + i];
    SCOPED_TRACE(line);
    auto [tbNum, tbDen] = Fraction(s.at("time_base"));
    std::string head = StrFormat("Stream #%d[0x%x]%s, %d/%d: %s", i, unsigned(std::stoul(s.at("id"), nullptr, 16)),
                                 i == 1 ? "(eng)" : "", tbNum, tbDen, i == 0 ? "Video: mpeg2video" : "Audio: mp2");
    EXPECT_TRUE(StartsWith(line, head)) << head;
    const int64_t st = Micros(s.at("start_time"));
    std::string tail = StrFormat(", StartTime: %lld.%06lld, Duration: %s", (long long)(st / 1000000),
                                 (long long)(st % 1000000), HMS(Micros(s.at("duration"))).c_str());
    if (i == 0) {
      ASSERT_EQ(s.at("avg_frame_rate"), "25/1");
      ASSERT_EQ(s.at("r_frame_rate"), "25/1");
      ASSERT_EQ(tbDen / tbNum, 90000);
      tail = ", 25 fps, 25 tbr, 90k tbn" + tail;
    }
    EXPECT_TRUE(EndsWith(line, tail)) << tail;
    EXPECT_EQ(line.find(", PAR "), std::string::npos);
  }
}

// File metadata, a container aspect ratio that differs from the bitstream's, 29.97 fps and
// a stream metadata block under its stream line.
TEST_F(Probe, InfoTextOfMatroskaWithAspectAndMetadata) {
  const std::string path = MediaPath("ntsc_16x9.mkv");
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(path)) << probe.LastErrMsg();
  const std::vector<std::string> lines = Lines(probe.GetInfoText());
  const Fields s =
      FfprobeRows(path,
                  "stream=time_base,avg_frame_rate,r_frame_rate,start_time,sample_aspect_ratio,display_aspect_ratio")
          .at(0);
  ASSERT_EQ(s.at("avg_frame_rate"), "30000/1001");

  // Dictionary order of the file and stream tags, as ffprobe lists them.
  const Fields ftags = FfprobeRows(path, "format_tags").at(0);
  ASSERT_EQ(ftags.at("tag:title"), "Probe Title");
  size_t i = 0;
  while (i < lines.size() && lines[i] != "Metadata:") ++i;
  ASSERT_LT(i, lines.size()) << "no file metadata block";
  // The container's creation time in local standard time (no daylight-saving shift).
  tzset();
  const time_t local = time_t(1577934245) - timezone;  // 2020-01-02T03:04:05Z
  struct tm tm {};
  gmtime_r(&local, &tm);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  EXPECT_EQ(lines[i - 1], std::string("Time Stamp: ") + stamp);
  EXPECT_TRUE(StartsWith(lines[i - 2], "Bit Rate: ")) << lines[i - 2];
  std::vector<std::string> tagLines;
  for (size_t k = i + 1; k < lines.size() && StartsWith(lines[k], "  "); ++k) tagLines.push_back(lines[k]);
  EXPECT_EQ(tagLines.size(), ftags.size());
  for (const auto& [key, value] : ftags) {
    std::string want = StrFormat("  %-16s: %s", key.substr(4).c_str(), value.c_str());
    EXPECT_NE(std::find(tagLines.begin(), tagLines.end(), want), tagLines.end()) << want;
  }

  const std::string& line = lines.at(i + 1 + tagLines.size());
  auto [tbNum, tbDen] = Fraction(s.at("time_base"));
  ASSERT_EQ(tbDen / tbNum, 1000);
  EXPECT_TRUE(StartsWith(line, StrFormat("Stream #0(fre), %d/%d: Video: h264", tbNum, tbDen))) << line;
  auto [sn, sd] = Fraction(s.at("sample_aspect_ratio"), ':');
  auto [dn, dd] = Fraction(s.at("display_aspect_ratio"), ':');
  const int64_t st = Micros(s.at("start_time"));
  std::string tail =
      StrFormat(", PAR %d:%d DAR %d:%d, 29.97 fps, 29.97 tbr, 1k tbn, StartTime: %lld.%06lld, Duration: N/A", sn, sd,
                dn, dd, (long long)(st / 1000000), (long long)(st % 1000000));
  EXPECT_TRUE(EndsWith(line, tail)) << line << "\n" << tail;

  // The stream's own tags follow, indented, without "language" (shown in the line instead).
  const Fields stags = FfprobeRows(path, "stream_tags").at(0);
  size_t shown = 0;
  ASSERT_EQ(lines.at(i + 2 + tagLines.size()), "  Metadata:");
  for (const auto& [key, value] : stags) {
    if (key == "tag:language") continue;
    ++shown;
    std::string want = StrFormat("    %-16s: %s", key.substr(4).c_str(), value.c_str());
    EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want;
  }
  EXPECT_EQ(lines.size(), i + 3 + tagLines.size() + shown);

  TFileStreamInfo fi = probe.GetFileStreamInfo();
  EXPECT_EQ(fi.TimeStamp, 1577934245);
  EXPECT_EQ(fi.Title, "Probe Title");
  EXPECT_EQ(fi.Author, "Probe Artist");
  TVideoStreamInfo v = probe.GetVideoStreamInfo();
  EXPECT_EQ(v.Language, "fre");
  EXPECT_NEAR(v.AspectRatio, 4.0 / 3.0, 1e-4);  // the codec's 1:1 sample aspect ratio
}
