// Conversions through the command-line converter, driven as a user runs it: a real process,
// real clips, a private configuration folder and home, outputs checked with ffprobe and with
// frames decoded by the ffmpeg command.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/core/inifile.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::FfprobeNumber;
using testsupport::FfprobeValue;
using testsupport::MediaPath;
using testsupport::ShellQuote;

const std::string kProgram = std::string(ORVANE_BINARY_DIR) + "/orvane-convert";

// One decoded frame of a file as RGB bytes.
struct TFrame {
  int width = 0, height = 0;
  std::string rgb;
  const unsigned char* At(int x, int y) const {
    return reinterpret_cast<const unsigned char*>(rgb.data()) + (size_t(y) * size_t(width) + size_t(x)) * 3;
  }
};

// The frame at `seconds`, decoded by the ffmpeg command (after `filter`, when given).
TFrame DecodeFrame(const std::string& file, double seconds, const std::string& filter = "") {
  TFrame f;
  f.width = int(FfprobeNumber(file, "stream=width", "v:0"));
  f.height = int(FfprobeNumber(file, "stream=height", "v:0"));
  std::string cmd = "ffmpeg -v error -nostdin -ss " + std::to_string(seconds) + " -i " + ShellQuote(file);
  if (!filter.empty()) cmd += " -vf " + ShellQuote(filter);
  cmd += " -frames:v 1 -f rawvideo -pix_fmt rgb24 -";
  testsupport::RunCapture(cmd, f.rgb);
  return f;
}

// Mean absolute difference of two frames of one size over the rows [y0, y1).
double MeanDiff(const TFrame& a, const TFrame& b, int y0, int y1) {
  double sum = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = 0; x < a.width; ++x)
      for (int c = 0; c < 3; ++c) sum += std::abs(int(a.At(x, y)[c]) - int(b.At(x, y)[c]));
  return sum / (double(y1 - y0) * a.width * 3);
}

// A running orvane-convert whose standard output and error go to a pipe or to a terminal.
class TChild {
public:
  TChild(const std::vector<std::string>& args, const std::string& config, const std::string& home, bool terminal,
         int columns = 80) {
    std::vector<std::string> all{kProgram};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto exec = [&] {
      setenv("XDG_CONFIG_HOME", config.c_str(), 1);
      setenv("HOME", home.c_str(), 1);
      execv(kProgram.c_str(), argv.data());
      _exit(127);
    };
    if (terminal) {
      winsize ws{};
      ws.ws_col = static_cast<unsigned short>(columns);
      ws.ws_row = 24;
      pid_ = forkpty(&fd_, nullptr, nullptr, &ws);
      if (pid_ == 0) {
        setenv("TERM", "xterm", 1);
        exec();
      }
    } else {
      int p[2];
      if (pipe(p) != 0) return;
      pid_ = fork();
      if (pid_ == 0) {
        dup2(p[1], 1);
        dup2(p[1], 2);
        close(p[0]);
        close(p[1]);
        exec();
      }
      close(p[1]);
      fd_ = p[0];
    }
  }
  ~TChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  bool Started() const { return pid_ > 0 && fd_ >= 0; }
  pid_t Pid() const { return pid_; }
  const std::string& Output() const { return out_; }

  // Reads until `done` holds for the output so far; false at the end of the output or after
  // timeoutMs.
  bool ReadUntil(const std::function<bool(const std::string&)>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(out_)) {
      const int left = int(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
      if (left <= 0) return false;
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, left) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) return done(out_);  // end of output (a terminal reports EIO)
      out_.append(buf, size_t(n));
    }
    return true;
  }
  // Reads the rest of the output and returns the exit status (-1 when killed or timed out).
  int Finish(int timeoutMs) {
    ReadUntil([](const std::string&) { return false; }, timeoutMs);
    int status = 0;
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(20000);
    }
    return -1;
  }

private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string out_;
};

class CliConvertTest : public ::testing::Test {
protected:
  // Runs orvane-convert through the shell; stdout in `out` and stderr in `err` (merged into
  // `out` when err is null). Returns the exit status.
  int Run(const std::string& args, std::string& out, std::string* err = nullptr) {
    const std::string errFile = home_.file("stderr.txt");
    const std::string cmd = "XDG_CONFIG_HOME=" + ShellQuote(config_.path().string()) +
                            " HOME=" + ShellQuote(home_.path().string()) + " " + ShellQuote(kProgram) + " " + args +
                            (err ? " 2>" + ShellQuote(errFile) : std::string(" 2>&1"));
    const int rc = testsupport::RunCapture(cmd, out);
    if (err) {
      std::ifstream in(errFile);
      err->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return rc;
  }
  std::string Out(const std::string& name) const { return outDir_.file(name); }
  std::string OutArg() const { return "--output-dir " + ShellQuote(outDir_.path().string()); }
  size_t OutputCount() const {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(outDir_.path())) n += e.is_regular_file() ? 1 : 0;
    return n;
  }

  testsupport::TempDir config_, home_, outDir_;
};

TEST_F(CliConvertTest, ConvertsEveryReadableFileAndNamesTheBrokenOne) {
  // A file that is no media file is named, fails the run and leaves no output behind. (The
  // random bytes of random.bin read as a text-art picture without sound, which the PSP
  // profile now converts with a silent sound track, as the ffmpeg command converts it.)
  const std::string broken = home_.file("broken.mp4");
  std::ofstream(broken) << "not a video\n";
  std::string out;
  // clip.mp4 and clip.avi share their name: the second output takes the next free name.
  const int rc = Run("--profile 0 --trim 0,2 --progress=plain " + OutArg() + " " + ShellQuote(MediaPath("clip.mp4")) +
                         " " + ShellQuote(broken) + " " + ShellQuote(MediaPath("clip.avi")),
                     out);
  EXPECT_EQ(rc, 1) << out;
  const size_t named = out.find(broken + ": ");
  ASSERT_NE(named, std::string::npos) << out;
  EXPECT_EQ(out.compare(out.rfind('\n', named) + 1, 16, "orvane-convert: "), 0) << out;
  EXPECT_NE(out.find("2 of 3 files converted"), std::string::npos) << out;
  EXPECT_EQ(OutputCount(), 2u);
  for (const char* name : {"clip_(new).mp4", "clip_(new_1).mp4"}) {
    SCOPED_TRACE(name);
    EXPECT_NE(out.find("-> " + Out(name)), std::string::npos) << out;
    EXPECT_EQ(FfprobeValue(Out(name), "stream=codec_name", "v:0"), "mpeg4");
    EXPECT_EQ(FfprobeValue(Out(name), "stream=codec_name", "a:0"), "aac");
    EXPECT_NEAR(FfprobeNumber(Out(name), "format=duration"), 2.0, 0.25);
  }
}

// A file whose video codec the libraries do not know, in the middle of a batch: it is refused
// with its reason, the files before and after it convert, and the run exits with 1.
TEST_F(CliConvertTest, UnknownVideoCodecFailsOnlyItsFile) {
  std::string out, err;
  const int rc = Run("-q --profile 202 --trim 0,1 " + OutArg() + " " + ShellQuote(MediaPath("clip.mp4")) + " " +
                         ShellQuote(MediaPath("unknown_codec.mp4")) + " " + ShellQuote(MediaPath("clip.mkv")),
                     out, &err);
  EXPECT_EQ(rc, 1) << out << err;
  EXPECT_NE(err.find(MediaPath("unknown_codec.mp4") + ": failed: video codec not supported: qqqq"), std::string::npos)
      << err;
  EXPECT_EQ(OutputCount(), 2u);
  for (const char* name : {"clip_(new).mp4", "clip_(new_1).mp4"}) {
    SCOPED_TRACE(name);
    EXPECT_NEAR(FfprobeNumber(Out(name), "format=duration"), 1.0, 0.1);
  }
}

// A file refused for what it lacks is refused with that reason and leaves no output.
TEST_F(CliConvertTest, RefusalsNameWhatTheFileLacks) {
  const struct {
    const char* clip;
    const char* profile;
    const char* reason;
  } cases[] = {
      {"tiny_1x1.mp4", "202", "The 1x1 picture is too small to convert"},
      {"no_streams.mp4", "202", "The file has no picture or sound to convert"},
      {"no_streams.mp4", "300", "The file has no picture or sound to convert"},
      {"audio.mp3", "202", "The file has no picture to convert"},
      {"audio.mp3", "0", "The file has no picture to convert"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.clip) + " with profile " + c.profile);
    std::string out, err;
    EXPECT_EQ(Run(std::string("-q --profile ") + c.profile + " " + OutArg() + " " + ShellQuote(MediaPath(c.clip)), out,
                  &err),
              1)
        << out << err;
    EXPECT_NE(err.find(MediaPath(c.clip) + ": " + c.reason), std::string::npos) << err;
    EXPECT_EQ(OutputCount(), 0u);
  }
  // The tiny picture's sound converts with a sound profile.
  std::string out;
  ASSERT_EQ(Run("-q --profile 300 " + OutArg() + " " + ShellQuote(MediaPath("tiny_1x1.mp4")), out), 0) << out;
  EXPECT_NEAR(FfprobeNumber(Out("tiny_1x1_(new).mp3"), "format=duration"), 1.0, 0.1);
}

TEST_F(CliConvertTest, ParallelJobsReportJsonEvents) {
  // Task 0 converts ten seconds, task 1 one second: run side by side, task 1 ends first.
  const std::string longer = MediaPath("clip.mp4"), shorter = MediaPath("lang.ts");
  const std::string missing = home_.file("missing.mp4");
  std::string out, err;
  const int rc = Run("--jobs 2 --json --profile 0 " + OutArg() + " " + ShellQuote(longer) + " " + ShellQuote(missing) +
                         " " + ShellQuote(shorter),
                     out, &err);
  EXPECT_EQ(rc, 1) << out << err;
  EXPECT_NE(err.find(missing), std::string::npos) << err;

  std::vector<QJsonObject> events;
  size_t start = 0;
  while (start < out.size()) {
    const size_t end = out.find('\n', start);
    const std::string line = out.substr(start, end - start);
    start = end == std::string::npos ? out.size() : end + 1;
    QJsonParseError perr{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &perr);
    ASSERT_TRUE(doc.isObject()) << "not a JSON object: " << line;
    events.push_back(doc.object());
  }
  std::vector<std::string> order;  // queued/skipped/end events as "kind:task"
  double lastPercent[2] = {-1, -1};
  const double sourceDuration[2] = {FfprobeNumber(longer, "format=duration"),
                                    FfprobeNumber(shorter, "format=duration")};
  for (const QJsonObject& e : events) {
    const std::string kind = e["event"].toString().toStdString();
    const int task = e["task"].toInt(-1);
    if (kind == "queued") {
      EXPECT_EQ(e["file"].toString().toStdString(), task == 0 ? longer : shorter);
      EXPECT_EQ(e["output"].toString().toStdString(), Out(task == 0 ? "clip_(new).mp4" : "lang_(new).mp4"));
      order.push_back("queued:" + std::to_string(task));
    } else if (kind == "skipped") {
      EXPECT_EQ(e["file"].toString().toStdString(), missing);
      EXPECT_FALSE(e["error"].toString().isEmpty());
      order.push_back("skipped");
    } else if (kind == "progress") {
      ASSERT_TRUE(task == 0 || task == 1) << task;
      const double p = e["percent"].toDouble(-1);
      EXPECT_GE(p, lastPercent[task]);
      EXPECT_LE(p, 100.0);
      EXPECT_GE(e["size"].toDouble(-1), 0);
      EXPECT_NEAR(e["duration"].toDouble(), sourceDuration[task], 0.01);
      lastPercent[task] = p;
    } else if (kind == "end") {
      EXPECT_EQ(e["status"].toString().toStdString(), "converted");
      EXPECT_EQ(e["error"].toString().toStdString(), "");
      order.push_back("end:" + std::to_string(task));
    } else if (kind == "run_end") {
      EXPECT_EQ(e["converted"].toInt(), 2);
      EXPECT_EQ(e["skipped"].toInt(), 1);
      EXPECT_EQ(e["failed"].toInt(), 0);
      EXPECT_EQ(e["exit_code"].toInt(), 1);
      order.push_back("run_end");
    } else {
      ADD_FAILURE() << "unknown event " << kind;
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"skipped", "queued:0", "queued:1", "end:1", "end:0", "run_end"}));
  EXPECT_GE(lastPercent[0], 95.0);
  EXPECT_NEAR(FfprobeNumber(Out("clip_(new).mp4"), "format=duration"), 10.0, 0.3);
  EXPECT_NEAR(FfprobeNumber(Out("lang_(new).mp4"), "format=duration"), 1.0, 0.3);
}

TEST_F(CliConvertTest, ProfileByNumberAndByName) {
  struct Case {
    const char* profile;
    const char* header;
    const char* output;
    const char* videoCodec;  // empty: no video stream
    const char* audioCodec;
    int width;
  };
  const Case cases[] = {
      {"300", "Profile 300:", "clip_(new).mp3", "", "mp3", 0},
      {"'psp video (480p)'", "Profile 4:", "clip_(new).mp4", "mpeg4", "aac", 480},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    std::string out;
    ASSERT_EQ(Run(std::string("--profile ") + c.profile + " --trim 0,1 " + OutArg() + " " +
                      ShellQuote(MediaPath("clip.mp4")),
                  out),
              0)
        << out;
    EXPECT_NE(out.find(c.header), std::string::npos) << out;
    const std::string file = Out(c.output);
    EXPECT_EQ(FfprobeValue(file, "stream=codec_name", "v:0"), c.videoCodec);
    EXPECT_EQ(FfprobeValue(file, "stream=codec_name", "a:0"), c.audioCodec);
    if (c.width > 0) {
      EXPECT_EQ(FfprobeNumber(file, "stream=width", "v:0"), c.width);
    }
    EXPECT_NEAR(FfprobeNumber(file, "format=duration"), 1.0, 0.25);
  }
}

TEST_F(CliConvertTest, BatchFileGivesEachFileItsOwnSettings) {
  // A red 40x40 picture beside the batch file (named relative to it).
  std::string ignored;
  ASSERT_EQ(testsupport::RunCapture("ffmpeg -v error -nostdin -f lavfi -i color=c=red:s=40x40 -frames:v 1 " +
                                        ShellQuote(home_.file("red.png")),
                                    ignored),
            0);
  const std::string batch = home_.file("jobs.ini");
  TIniFile ini(batch);
  // File 1: the middle 320x160 of the picture stretched over the whole frame, seconds 1 to 3,
  // the red picture at (140,100) of the source throughout.
  ini.WriteStrings("file1", {{"SourceFile", MediaPath("clip.mp4")},
                             {"CropTop", "40"},
                             {"CropBottom", "40"},
                             {"ZoomMode", "full"},
                             {"TrimStart", "1000000"},
                             {"TrimLength", "2000000"}});
  ini.WriteStrings("file1.wm1",
                   {{"Kind", "image"}, {"ImageFile", "red.png"}, {"ImageLeft", "140"}, {"ImageTop", "100"}});
  // File 2: the first three seconds uncropped, a "." on a green box at (200,20) during the
  // first second only.
  ini.WriteStrings("file2", {{"SourceFile", MediaPath("clip.mkv")}, {"TrimLength", "3000000"}});
  ini.WriteStrings("file2.wm1", {{"Kind", "text"},
                                 {"Text", "."},
                                 {"BackColor", "00FF00"},
                                 {"FontSize", "30"},
                                 {"TextLeft", "200"},
                                 {"TextTop", "20"},
                                 {"StartSec", "0"},
                                 {"EndSec", "0"}});

  std::string out;
  ASSERT_EQ(Run("--profile 0 " + OutArg() + " --batch " + ShellQuote(batch), out), 0) << out;
  const std::string out1 = Out("clip_(new).mp4"), out2 = Out("clip_(new_1).mp4");
  EXPECT_NEAR(FfprobeNumber(out1, "format=duration"), 2.0, 0.25);
  EXPECT_NEAR(FfprobeNumber(out2, "format=duration"), 3.0, 0.25);
  ASSERT_EQ(FfprobeNumber(out1, "stream=width", "v:0"), 320);
  ASSERT_EQ(FfprobeNumber(out1, "stream=height", "v:0"), 240);

  auto isColour = [](const unsigned char* p, int r, int g, int b) {
    return std::abs(p[0] - r) < 60 && std::abs(p[1] - g) < 60 && std::abs(p[2] - b) < 60;
  };
  // File 1 at 0.5 s (source 1.5 s): the red picture at source (140..180, 100..140) lands on
  // output (140..180, 90..150) after the crop and the stretch to 240 rows; the picture above
  // it is the source's cropped middle, not its whole height.
  const TFrame f1 = DecodeFrame(out1, 0.5);
  ASSERT_EQ(f1.rgb.size(), size_t(320 * 240 * 3));
  EXPECT_TRUE(isColour(f1.At(160, 120), 255, 0, 0));
  const TFrame cropped = DecodeFrame(MediaPath("clip.mp4"), 1.5, "crop=320:160:0:40,scale=320:240");
  const TFrame whole = DecodeFrame(MediaPath("clip.mp4"), 1.5);
  EXPECT_LT(MeanDiff(f1, cropped, 0, 80), MeanDiff(f1, whole, 0, 80) / 2);

  // File 2: the green box in the first second only, and no red picture of file 1.
  const TFrame early = DecodeFrame(out2, 0.5), late = DecodeFrame(out2, 2.5);
  ASSERT_EQ(early.rgb.size(), size_t(320 * 240 * 3));
  ASSERT_EQ(late.rgb.size(), size_t(320 * 240 * 3));
  EXPECT_TRUE(isColour(early.At(204, 24), 0, 255, 0));
  EXPECT_FALSE(isColour(late.At(204, 24), 0, 255, 0));
  EXPECT_FALSE(isColour(early.At(160, 120), 255, 0, 0));
}

TEST_F(CliConvertTest, CtrlCLeavesAPlayableFileAndExits130) {
  TChild child({"--profile", "0", "--progress=plain", "--output-dir", outDir_.path().string(), MediaPath("long.mp4"),
                MediaPath("clip.mp4")},
               config_.path().string(), home_.path().string(), false);
  ASSERT_TRUE(child.Started());
  // Stopped once the first file is under way.
  ASSERT_TRUE(child.ReadUntil(
      [](const std::string& s) { return std::regex_search(s, std::regex(R"(\[1/2\] long\.mp4: +\d+%)")); }, 60000))
      << child.Output();
  kill(child.Pid(), SIGINT);
  EXPECT_EQ(child.Finish(60000), 130) << child.Output();
  EXPECT_NE(child.Output().find("stopped"), std::string::npos) << child.Output();

  const std::string file = Out("long_(new).mp4");
  const double duration = FfprobeNumber(file, "format=duration");
  EXPECT_GT(duration, 0.0);
  EXPECT_LT(duration, 100.0);
  std::string decodeErrors;
  EXPECT_EQ(testsupport::RunCapture("ffmpeg -v error -nostdin -i " + ShellQuote(file) + " -f null - 2>&1",
                                    decodeErrors),
            0);
  EXPECT_EQ(decodeErrors, "");
  // The second file never started: no output is left for it.
  EXPECT_FALSE(std::filesystem::exists(Out("clip_(new).mp4")));
}

TEST_F(CliConvertTest, LiveProgressLineOnATerminal) {
  // A name far longer than the 60-column terminal: the live line shortens it and never wraps.
  const std::string name = std::string(70, 'n') + "_long.mp4";
  std::filesystem::create_symlink(MediaPath("long.mp4"), home_.file(name));
  TChild child({"--profile", "0", "--trim", "0,80", "--output-dir", outDir_.path().string(), home_.file(name)},
               config_.path().string(), home_.path().string(), true, 60);
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(child.Finish(120000), 0) << child.Output();
  const std::string& text = child.Output();

  // Every live line is drawn over the previous one: clear the line, write it, and later move
  // the cursor back up before the next drawing.
  std::vector<std::string> live;
  for (size_t pos = text.find("\x1b[2K"); pos != std::string::npos; pos = text.find("\x1b[2K", pos + 1)) {
    const size_t end = text.find_first_of("\r\n", pos);
    live.push_back(text.substr(pos + 4, end - pos - 4));
  }
  ASSERT_GE(live.size(), 2u) << text;
  EXPECT_NE(text.find("\x1b[1F"), std::string::npos);
  const std::regex line(R"(\[1/1\] \.\.\.n+_long\.mp4: +\d+%.*)");
  for (const std::string& l : live) {
    EXPECT_TRUE(std::regex_match(l, line)) << l;
    EXPECT_LE(l.size(), 59u) << l;
  }
  // Once the speed is known the line shows it and the time left; the narrow terminal leaves
  // no room for the frame rate and the size.
  EXPECT_TRUE(std::regex_match(live.back(), std::regex(R"(.*: +\d+%  [0-9.]+x  \d:\d\d:\d\d left)"))) << live.back();
  // The finished file stays on the screen with its output.
  EXPECT_NE(text.find("-> " + Out(std::string(70, 'n') + "_long_(new).mp4")), std::string::npos) << text;
  EXPECT_NEAR(FfprobeNumber(Out(std::string(70, 'n') + "_long_(new).mp4"), "format=duration"), 80.0, 0.5);
}

// Lengths the container only estimates are no limits: the whole file converts.
TEST_F(CliConvertTest, WholeFileConvertsWhenTheLengthIsOnlyEstimated) {
  struct Case {
    const char* clip;
    const char* profile;
    const char* output;
    double duration;  // seconds
    int frames;       // video frames, 0 for sound only
  };
  const Case cases[] = {
      // ~23 s estimated from the first frames' bit rate, 30 s of sound.
      {"vbr_noheader.mp3", "304", "vbr_noheader_(new).wav", 30.0, 0},
      // Four joined 1.2 s segments: one segment's length estimated, 120 frames in all.
      {"joined_segments.ts", "204", "joined_segments_(new).avi", 4.8, 120},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clip);
    std::string out;
    ASSERT_EQ(Run(std::string("-q --profile ") + c.profile + " " + OutArg() + " " + ShellQuote(MediaPath(c.clip)), out),
              0)
        << out;
    EXPECT_NEAR(FfprobeNumber(Out(c.output), "format=duration"), c.duration, 0.2);
    if (c.frames > 0) {
      std::string frames;
      testsupport::RunCapture(
          "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
          "-of csv=p=0 " +
              ShellQuote(Out(c.output)),
          frames);
      EXPECT_NEAR(std::atof(frames.c_str()), c.frames, 2) << frames;
    }
  }
}

// An --output-dir with a file where the folder would go is a usage error, one that cannot be
// made otherwise may pass on a retry; the stored folder's fallback is announced even with -q;
// the settings file is never written; a dry run changes nothing.
TEST_F(CliConvertTest, OutputFoldersAndTheUsersSettingsStayAsTheyAre) {
  namespace fs = std::filesystem;
  const std::string clip = ShellQuote(MediaPath("audio.mp3"));
  std::ofstream(home_.file("blocker")) << "a file where a folder should go";
  std::string out, err;
  EXPECT_EQ(Run("--profile 300 --output-dir " + ShellQuote(home_.file("blocker/out")) + " " + clip, out, &err), 2);
  EXPECT_NE(err.find("the output folder " + home_.file("blocker/out") + " cannot be made: " + home_.file("blocker") +
                     " is not a folder"),
            std::string::npos)
      << err;
  // An output folder that cannot be made may be there on a retry (a storage not mounted yet): 75.
  EXPECT_EQ(Run("--profile 300 --output-dir /proc/orvane-none/out " + clip, out, &err), 75);
  EXPECT_NE(err.find("cannot create the output folder /proc/orvane-none/out"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(home_.file("Videos")));

  // A dry run into folders that do not exist yet creates none of them, nor a settings file.
  ASSERT_EQ(Run("--dry-run --profile 300 --output-dir " + ShellQuote(home_.file("new/out")) + " " + clip, out), 0)
      << out;
  ASSERT_EQ(Run("--dry-run --profile 300 " + clip, out), 0) << out;
  EXPECT_NE(out.find("output: " + home_.file("Videos/videoconverter/audio_(new).mp3")), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(home_.file("new")));
  EXPECT_FALSE(fs::exists(home_.file("Videos")));
  EXPECT_TRUE(fs::is_empty(config_.path()));

  // The stored folder cannot be made: the run uses the default folder, says so on the error
  // stream although quiet, and leaves the settings file byte for byte as it was. No copy of
  // the settings is made in the temporary folder.
  const std::string settingsPath = config_.file("orvane-video-converter/orvanepspvideoconverter.ini");
  TIniFile(settingsPath).WriteString("settings", "OutPutDir", home_.file("blocker/stored"));
  std::string before;
  testsupport::RunCapture("cat " + ShellQuote(settingsPath), before);
  testsupport::TempDir tmp;
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  setenv("TMPDIR", tmp.path().c_str(), 1);
  const int rc = Run("-q --profile 300 --trim 0,1 " + clip, out, &err);
  if (oldTmp)
    setenv("TMPDIR", savedTmp.c_str(), 1);
  else
    unsetenv("TMPDIR");
  ASSERT_EQ(rc, 0) << out << err;
  EXPECT_NE(err.find("Cannot create output directory:" + home_.file("blocker/stored")), std::string::npos) << err;
  EXPECT_TRUE(fs::exists(home_.file("Videos/videoconverter/audio_(new).mp3")));
  std::string after;
  testsupport::RunCapture("cat " + ShellQuote(settingsPath), after);
  EXPECT_EQ(after, before);
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

// Two runs at once into one folder never take the same name: ten rounds of two runs give
// twenty outputs, each complete.
TEST_F(CliConvertTest, RunsAtOnceIntoOneFolderNeverShareAName) {
  const std::string one = ShellQuote(kProgram) + " -q --profile 300 --trim 0,0.3 " + OutArg() + " " +
                          ShellQuote(MediaPath("clip.mp4"));
  const std::string env = "XDG_CONFIG_HOME=" + ShellQuote(config_.path().string()) +
                          " HOME=" + ShellQuote(home_.path().string()) + " ";
  std::string out;
  for (int round = 0; round < 10; ++round)
    ASSERT_EQ(testsupport::RunCapture("export " + env + "; " + one + " & " + one + " & wait %1 && wait %2", out), 0)
        << out;
  EXPECT_EQ(OutputCount(), 20u);
  for (int n = 0; n < 20; ++n) {
    const std::string name = n == 0 ? "clip_(new).mp3" : "clip_(new_" + std::to_string(n) + ").mp3";
    EXPECT_NEAR(FfprobeNumber(Out(name), "format=duration"), 0.3, 0.1) << name;
  }
}

// A closed --json pipe or the file-size limit ends the run like a stop, with a message; a
// killed run never leaves a broken file under the final name; nothing temporary outlives a
// run that ends.
TEST_F(CliConvertTest, EndsOfARunNeverLeaveABrokenFileUnderItsName) {
  namespace fs = std::filesystem;
  const std::string env = "XDG_CONFIG_HOME=" + ShellQuote(config_.path().string()) +
                          " HOME=" + ShellQuote(home_.path().string()) + " ";
  const std::string errFile = home_.file("err.txt");
  auto errText = [&] {
    std::ifstream in(errFile);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  std::string out;
  // The reader takes the first line and goes: the file converted so far stays, playable.
  testsupport::RunCapture("bash -c " +
                              ShellQuote("export " + env + "; " + ShellQuote(kProgram) + " --json --profile 0 " +
                                         OutArg() + " " + ShellQuote(MediaPath("long.mp4")) + " 2>" +
                                         ShellQuote(errFile) + " | head -1 >/dev/null; echo ${PIPESTATUS[0]}"),
                          out);
  EXPECT_EQ(out, "141\n") << errText();
  EXPECT_NE(errText().find("the standard output was closed"), std::string::npos) << errText();
  std::string decodeErrors;
  EXPECT_EQ(testsupport::RunCapture("ffmpeg -v error -nostdin -i " + ShellQuote(Out("long_(new).mp4")) +
                                        " -f null - 2>&1",
                                    decodeErrors),
            0);
  EXPECT_EQ(decodeErrors, "");
  EXPECT_EQ(OutputCount(), 1u);

  // A 100 kB file-size limit: the first file cannot be finished, the run stops with a
  // message, and neither file is left half-written.
  testsupport::RunCapture("bash -c " +
                              ShellQuote("export " + env + "; ulimit -f 100; " + ShellQuote(kProgram) +
                                         " -q --profile 0 " + OutArg() + " " + ShellQuote(MediaPath("clip.mp4")) +
                                         " 2>" + ShellQuote(errFile) + "; echo $?"),
                          out);
  EXPECT_EQ(out, "153\n") << errText();
  EXPECT_NE(errText().find("file-size limit"), std::string::npos) << errText();
  EXPECT_FALSE(fs::exists(Out("clip_(new).mp4")));
  EXPECT_EQ(OutputCount(), 1u);

  // A conversion of the long clip into `dir`, once it has converted a part.
  auto startLong = [&](const std::string& dir) {
    auto child = std::make_unique<TChild>(std::vector<std::string>{"--profile", "0", "--progress=plain", "--output-dir",
                                                                   dir, MediaPath("long.mp4")},
                                          config_.path().string(), home_.path().string(), false);
    EXPECT_TRUE(child->ReadUntil(
        [](const std::string& s) { return std::regex_search(s, std::regex(R"(long\.mp4: +[1-9]\d*%)")); }, 60000))
        << child->Output();
    return child;
  };

  // SIGKILL mid-run: the final name holds nothing.
  kill(startLong(outDir_.path().string())->Pid(), SIGKILL);
  EXPECT_FALSE(fs::exists(Out("long_(new_1).mp4")));

  // A second stop signal before the first is done with: the run leaves at once and takes its
  // unfinished file with it. The process is held while both arrive, so that they come one
  // right after the other (two pending Ctrl-Cs would merge into one: the second is SIGTERM).
  testsupport::TempDir quick;
  {
    auto child = startLong(quick.path().string());
    kill(child->Pid(), SIGSTOP);
    kill(child->Pid(), SIGINT);
    kill(child->Pid(), SIGTERM);
    kill(child->Pid(), SIGCONT);
    const int rc = child->Finish(60000);
    EXPECT_TRUE(rc == 130 || rc == 143) << rc << "\n" << child->Output();
  }
  for (const auto& e : fs::directory_iterator(quick.path())) ADD_FAILURE() << "left behind: " << e.path();
}

// Names and batch files as users have them.
TEST_F(CliConvertTest, LocalNamesWithColonsAndBatchFilesFromOtherEditors) {
  namespace fs = std::filesystem;
  fs::copy_file(MediaPath("audio.mp3"), home_.file("file:clip.mp3"));
  std::string out, err;
  const std::string env = "XDG_CONFIG_HOME=" + ShellQuote(config_.path().string()) +
                          " HOME=" + ShellQuote(home_.path().string()) + " ";
  ASSERT_EQ(testsupport::RunCapture("cd " + ShellQuote(home_.path().string()) + " && " + env + ShellQuote(kProgram) +
                                        " -q --profile 300 --trim 0,1 " + OutArg() + " file:clip.mp3 2>&1",
                                    out),
            0)
      << out;
  EXPECT_NEAR(FfprobeNumber(Out("file:clip_(new).mp3"), "format=duration"), 1.0, 0.1);

  // A batch file with a byte-order mark; crop margins on a file without a picture.
  const std::string batch = home_.file("jobs.ini");
  std::ofstream(batch, std::ios::binary) << "\xEF\xBB\xBF[file1]\r\nSourceFile=" << MediaPath("audio.mp3")
                                         << "\r\nCropTop=8\r\nCropLeft=8\r\nTrimLength=1000000\r\n";
  ASSERT_EQ(Run("-q --profile 300 " + OutArg() + " --batch " + ShellQuote(batch), out, &err), 0) << out << err;
  EXPECT_NEAR(FfprobeNumber(Out("audio_(new).mp3"), "format=duration"), 1.0, 0.1);

  // A NUL byte in a value: the message shows where it is, whole.
  std::ofstream(batch, std::ios::binary) << "[file1]\nSourceFile=a" << '\0' << "b.mp4\n";
  EXPECT_EQ(Run("--dry-run --batch " + ShellQuote(batch), out, &err), 2);
  EXPECT_NE(err.find(batch + ": [file1] SourceFile holds a NUL byte after 'a'\n"), std::string::npos) << err;
}

}  // namespace

// An input that ends before its known length fails its file, named with the time it reached,
// and leaves no output (exit 1). With --accept-partial it converts as far as it goes and says
// so: on the file's line, in the JSON end event and in the summary.
TEST_F(CliConvertTest, InputEndingEarlyFailsUnlessPartialInputsAreAccepted) {
  const std::string cut = ShellQuote(MediaPath("truncated.mkv"));
  std::string out, err;
  EXPECT_EQ(Run("--profile 0 --progress=plain " + OutArg() + " " + cut, out, &err), 1) << out << err;
  EXPECT_NE(err.find("truncated.mkv: failed: the input ended early, at 0:00:0"), std::string::npos) << err;
  EXPECT_NE(err.find(" of 0:00:10 (the incomplete output was removed); --accept-partial keeps such files"),
            std::string::npos)
      << err;
  EXPECT_NE(out.find("0 of 1 file converted"), std::string::npos) << out;
  EXPECT_NE(out.find("1 failed."), std::string::npos) << out;
  EXPECT_EQ(OutputCount(), 0u);

  ASSERT_EQ(Run("--accept-partial --profile 0 --progress=plain " + OutArg() + " " + cut, out), 0) << out;
  EXPECT_NE(out.find("; the input ended early, at 0:00:0"), std::string::npos) << out;
  EXPECT_NE(out.find(" of 0:00:10"), std::string::npos) << out;
  EXPECT_NE(out.find("1 of 1 file converted (1 input ended early)."), std::string::npos) << out;
  std::filesystem::remove(Out("truncated_(new).mp4"));

  ASSERT_EQ(Run("--accept-partial --json --profile 0 " + OutArg() + " " + cut + " " + ShellQuote(MediaPath("clip.mkv")),
                out),
            0)
      << out;
  int ends = 0;
  size_t start = 0;
  while (start < out.size()) {
    const size_t end = out.find('\n', start);
    const QJsonObject e = QJsonDocument::fromJson(QByteArray::fromStdString(out.substr(start, end - start))).object();
    start = end == std::string::npos ? out.size() : end + 1;
    const std::string kind = e["event"].toString().toStdString();
    if (kind == "end") {
      ++ends;
      const bool cutOff = e["task"].toInt() == 0;
      SCOPED_TRACE(cutOff ? "truncated.mkv" : "clip.mkv");
      EXPECT_EQ(e["status"].toString().toStdString(), "converted");
      EXPECT_EQ(e["ended_early"].toBool(!cutOff), cutOff);
      if (cutOff) {
        const double at = e["ended_at"].toDouble(-1);
        EXPECT_GT(at, 2.0);
        EXPECT_LT(at, 6.0);
        EXPECT_NEAR(at, FfprobeNumber(Out("truncated_(new).mp4"), "format=duration"), 0.5);
        EXPECT_NEAR(e["length"].toDouble(-1), 10.0, 0.2);
      } else {
        EXPECT_FALSE(e.contains("ended_at"));
      }
    } else if (kind == "run_end") {
      EXPECT_EQ(e["ended_early"].toInt(-1), 1);
    }
  }
  EXPECT_EQ(ends, 2);
}

// A file truncated while it converts (a download that was cut, a file rewritten meanwhile)
// fails with the time it reached instead of passing for converted.
TEST_F(CliConvertTest, InputTruncatedWhileItConvertsFails) {
  const std::string copy = home_.file("growing.mp4");
  std::filesystem::copy_file(MediaPath("long.mp4"), copy);
  const auto size = std::filesystem::file_size(copy);
  TChild child({"--profile", "0", "--progress=plain", "--output-dir", outDir_.path().string(), copy},
               config_.path().string(), home_.path().string(), false);
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(
      child.ReadUntil([](const std::string& s) { return std::regex_search(s, std::regex(R"(growing\.mp4: +\d+%)")); },
                      60000))
      << child.Output();
  std::filesystem::resize_file(copy, size * 3 / 5);
  EXPECT_EQ(child.Finish(60000), 1) << child.Output();
  EXPECT_TRUE(std::regex_search(child.Output(),
                                std::regex(R"(growing\.mp4: failed: the input ended early, at 0:0\d:\d\d of 0:02:00)")))
      << child.Output();
  EXPECT_EQ(OutputCount(), 0u);
}

// A pipe gives its data only once: it is refused at once with a message (no wait for a
// writer, no output cut short), and the other files of the run still convert.
TEST_F(CliConvertTest, PipeInputIsRefusedAtOnce) {
  const std::string fifo = home_.file("stream.ts");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TChild child({"--profile", "300", "--trim", "0,1", "--progress=plain", "--output-dir", outDir_.path().string(), fifo,
                MediaPath("clip.mp4")},
               config_.path().string(), home_.path().string(), false);
  ASSERT_TRUE(child.Started());
  EXPECT_EQ(child.Finish(20000), 1) << child.Output();
  EXPECT_NE(child.Output().find(fifo + ": a pipe (FIFO) gives its data only once"), std::string::npos)
      << child.Output();
  EXPECT_NE(child.Output().find("1 of 2 files converted, 1 skipped."), std::string::npos) << child.Output();
  EXPECT_NEAR(FfprobeNumber(Out("clip_(new).mp3"), "format=duration"), 1.0, 0.1);
  EXPECT_EQ(OutputCount(), 1u);
}
