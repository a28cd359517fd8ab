// The preview player on real clips with SDL's dummy (and disk) sound drivers: opening and its
// failures, the picture shown at a known time, sound pace, pause, step, seek, end of file,
// the event queue, layout, volume and mute, the frame hook and GetCurrentFrame.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "media/dispatcher.h"
#include "media/loader.h"
#include "media/logger.h"
#include "media/player.h"
#include "media/utils.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::MediaPath;
using Clock = std::chrono::steady_clock;

// The frame number that the stripes of a framenum clip encode, read from a BGR picture.
int StripeNumber(const TBitmap24& bmp) {
  if (bmp.Empty()) return -1;
  int n = 0;
  const uint8_t* row = bmp.Row(bmp.Height / 2);
  for (int k = 0; k < 10; ++k) {
    int x = int((k + 0.5) * bmp.Width / 10);
    if (row[x * 3 + 1] > 128) n |= 1 << k;
  }
  return n;
}

// A surface that keeps what the player hands it.
class MemorySurface : public IVideoSurface {
public:
  struct Shown {
    int x, y, w, h, outW, outH;
    int64_t pts, master;
    int number;
    int whitePixels;
    std::string text;  // the subtitle text in force when the picture came
  };
  MemorySurface(int w, int h) : w_(w), h_(h) {}
  void SetPlayer(TCustomPlayer* p) { player_ = p; }
  void ClientSize(int& w, int& h) const override {
    std::lock_guard<std::mutex> g(m_);
    w = w_;
    h = h_;
  }
  void Resize(int w, int h) {
    std::lock_guard<std::mutex> g(m_);
    w_ = w;
    h_ = h;
  }
  void Present(const TBitmap24& pic, int x, int y, int outW, int outH, int64_t pts) override {
    {
      std::unique_lock<std::mutex> g(holdLock_);
      holdCv_.wait(g, [&] { return !held_; });
    }
    int64_t master = player_ ? player_->MasterClockUS() : -1;
    int white = 0;
    for (int yy = 0; yy < pic.Height; yy += 2)
      for (int xx = 0; xx < pic.Width; xx += 2)
        if (pic.Row(yy)[xx * 3] > 200) ++white;
    std::lock_guard<std::mutex> g(m_);
    shown_.push_back({x, y, pic.Width, pic.Height, outW, outH, pts, master, StripeNumber(pic), white, text_});
    last_ = pic;
  }
  void ShowSubtitle(const TSubtitleText& text) override {
    std::lock_guard<std::mutex> g(m_);
    text_ = text.Plain();
    subtitle_ = text;
  }
  TSubtitleText LastSubtitle() {
    std::lock_guard<std::mutex> g(m_);
    return subtitle_;
  }
  std::vector<Shown> Take() {
    std::lock_guard<std::mutex> g(m_);
    std::vector<Shown> out;
    out.swap(shown_);
    return out;
  }
  // The newest picture's record (w = 0 when none came yet).
  Shown LastShown() {
    std::lock_guard<std::mutex> g(m_);
    return shown_.empty() ? Shown{} : shown_.back();
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(m_);
    return shown_.size();
  }
  TBitmap24 Last() {
    std::lock_guard<std::mutex> g(m_);
    return last_;
  }
  // While held, Present waits (a surface busy with a picture).
  void Hold(bool on) {
    {
      std::lock_guard<std::mutex> g(holdLock_);
      held_ = on;
    }
    holdCv_.notify_all();
  }

private:
  mutable std::mutex m_;
  int w_, h_;
  TCustomPlayer* player_ = nullptr;
  std::vector<Shown> shown_;
  TBitmap24 last_;
  std::string text_;
  TSubtitleText subtitle_;
  std::mutex holdLock_;
  std::condition_variable holdCv_;
  bool held_ = false;
};

// Runs the main thread's pending calls (the player's events) until pred or the timeout.
bool PumpUntil(const std::function<bool()>& pred, int timeoutMs) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    ProcessPendingMessages();
    if (pred()) return true;
    HeadlessDispatcher().WaitAndProcess(5);
  }
  ProcessPendingMessages();
  return pred();
}
void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

class PlayerTest : public ::testing::Test {
protected:
  void SetUp() override {
    TFFmpegLoader& loader = FFLoader();
    if (!loader.LibsLoaded(kPlayerLibs)) {
      loader.SetLibraryFolder("");
      ASSERT_TRUE(loader.LoadLibs(kPlayerLibs)) << loader.LastError();
    }
    // Every test starts on SDL's dummy sound driver (the sound-device tests change it).
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    log_.emplace();
    player_ = std::make_unique<TFFPlayer>();
    surface_.SetPlayer(player_.get());
    player_->OnState = [this](TCustomPlayer*, TPlayState s) {
      EXPECT_TRUE(IsMainThread());
      std::lock_guard<std::mutex> g(m_);
      states_.push_back(s);
    };
    player_->OnPosition = [this](TCustomPlayer*, int64_t pos) {
      EXPECT_TRUE(IsMainThread());
      std::lock_guard<std::mutex> g(m_);
      positions_.push_back(pos);
    };
  }
  void TearDown() override {
    player_.reset();
    log_.reset();
    setenv("SDL_AUDIODRIVER", "dummy", 1);
  }
  std::vector<TPlayState> States() {
    std::lock_guard<std::mutex> g(m_);
    return states_;
  }
  int CountState(TPlayState s) {
    auto v = States();
    return int(std::count(v.begin(), v.end(), s));
  }
  std::vector<int64_t> Positions() {
    std::lock_guard<std::mutex> g(m_);
    return positions_;
  }
  std::vector<std::string> Errors() { return log_->Messages(llError); }
  bool WaitState(TPlayState s, int count, int timeoutMs) {
    return PumpUntil([&] { return CountState(s) >= count; }, timeoutMs);
  }
  void OpenOrFail(const std::string& clip) {
    ASSERT_TRUE(player_->Open(MediaPath(clip), &surface_)) << player_->LastErrMsg();
  }

  std::mutex m_;
  std::vector<TPlayState> states_;
  std::vector<int64_t> positions_;
  std::optional<testsupport::LogCapture> log_;
  MemorySurface surface_{320, 240};
  std::unique_ptr<TFFPlayer> player_;
};

TEST(PlayerLayout, PictureRectangleFollowsTheAspectRule) {
  struct Case {
    float aspect;
    double sar;
    int pw, ph, ow, oh;
    TLayoutRect want;
  } cases[] = {
      {0.0f, 16.0 / 15.0, 720, 576, 640, 360, {80, 0, 480, 360}},  // PAL 4:3 in a wide panel
      {-1.0f, 16.0 / 15.0, 720, 576, 640, 360, {0, 0, 640, 360}},  // stretched to the panel
      {0.0f, 0.0, 320, 240, 640, 360, {80, 0, 480, 360}},          // unknown sample aspect: square
      {16.0f / 9.0f, 1.0, 320, 240, 640, 480, {0, 60, 640, 360}},  // forced 16:9, letterboxed
      {0.0f, 1.0, 321, 241, 100, 100, {0, 13, 100, 74}},           // odd sizes round down to even
  };
  for (const Case& c : cases) {
    TLayoutRect r = LayoutPicture(c.aspect, c.sar, c.pw, c.ph, c.ow, c.oh);
    EXPECT_EQ(r.X, c.want.X) << c.pw << "x" << c.ph << " a=" << c.aspect;
    EXPECT_EQ(r.Y, c.want.Y) << c.pw << "x" << c.ph << " a=" << c.aspect;
    EXPECT_EQ(r.Width, c.want.Width) << c.pw << "x" << c.ph << " a=" << c.aspect;
    EXPECT_EQ(r.Height, c.want.Height) << c.pw << "x" << c.ph << " a=" << c.aspect;
  }
}

TEST(PlayerSubtitleText, EventLinesGiveTheirPlainText) {
  struct Case {
    const char* line;
    const char* want;
  } cases[] = {
      {"0,0,Default,,0,0,0,,First line", "First line"},
      {"3,0,Default,,0,0,0,,Two\\Nlines\\nand three", "Two\nlines\nand three"},
      {"0,0,Default,,0,0,0,,{\\i1}Italic{\\i0} and {\\pos(10,20)\\b1}bold", "Italic and bold"},
      {"0,0,Default,,0,0,0,,hard\\hspace", "hard space"},
      {"0,0,Default,,0,0,0,,Commas, in, the text", "Commas, in, the text"},
      {"0,0,Default,Someone,10,10,20,Banner;5,Named", "Named"},
      {"0,0,Default,,0,0,0,,Escaped \\{braces\\} and \\\\", "Escaped {braces} and \\"},
      {"0,0,Default,,0,0,0,,Unclosed {brace", "Unclosed {brace"},
      {"0,0,Default,,0,0,0,,Ends with a break\\N\r\n", "Ends with a break"},
      {"Dialogue: 0,0:00:01.00,0:00:03.00,Default,,0,0,0,,Old style", "Old style"},
      {"0,0,Default,,0,0,0,,{\\an8}", ""},
      {"0,0,Default,,0,0,0,", ""},  // too few fields: no text
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(SubtitleEventText(c.line), c.want) << c.line;
}

// An event as "place|text[look]text[look]...", the look as b, i, u, s and the colour.
std::string Describe(const TSubtitleEvent& e) {
  std::string out = std::to_string(e.Alignment) + "|";
  for (const TSubtitleRun& r : e.Runs) {
    char colour[8];
    std::snprintf(colour, sizeof colour, "#%06x", unsigned(r.Colour));
    out += r.Text + "[" + (r.Bold ? "b" : "") + (r.Italic ? "i" : "") + (r.Underline ? "u" : "") +
           (r.StrikeOut ? "s" : "") + colour + "]";
  }
  return out;
}

// The script's styles and the override tags give each run its look and the event its place.
TEST(PlayerSubtitleText, EventLinesGiveTheirLookAndPlace) {
  const TSubtitleStyles styles(
      "[Script Info]\nScriptType: v4.00+\n\n[V4+ Styles]\n"
      "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
      "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
      "MarginL, MarginR, MarginV, Encoding\n"
      "Style: Default,Arial,16,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,0\n"
      "Style: Sign,Arial,16,&H0000FFFF,&H000000FF,&H00000000,&H00000000,-1,0,0,0,100,100,0,0,1,1,0,8,10,10,10,0\n"
      "\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n");
  ASSERT_EQ(styles.Count(), 2u);
  struct Case {
    const char* text;
    const char* want;
  } cases[] = {
      {"0,0,Default,,0,0,0,,Plain", "2|Plain[#ffffff]"},
      {"0,0,Default,,0,0,0,,{\\i1}It{\\i0} and {\\b1\\u1}bu", "2|It[i#ffffff] and [#ffffff]bu[bu#ffffff]"},
      {"0,0,sign,,0,0,0,,Yellow {\\r}back {\\rDefault}white", "8|Yellow back [b#ffff00]white[#ffffff]"},
      {"0,0,Default,,0,0,0,,{\\c&H0000FF&}red{\\c}white{\\1c&HFF0000&}blue",
       "2|red[#ff0000]white[#ffffff]blue[#0000ff]"},
      {"0,0,Default,,0,0,0,,{\\an7}first{\\an3} wins", "7|first wins[#ffffff]"},
      {"0,0,Default,,0,0,0,,{\\a6}older top", "8|older top[#ffffff]"},
      {"0,0,Default,,0,0,0,,{\\a10}older middle", "5|older middle[#ffffff]"},
      {"0,0,Default,,0,0,0,,{\\p1}m 0 0 l 10 0 10 10{\\p0}after", "2|after[#ffffff]"},
      {"0,0,Default,,0,0,0,,{\\blur2\\bord3\\shad1\\be1\\alpha&H80&\\iclip(0,0,1,1)\\t(0,100,\\i1)}kept",
       "2|kept[#ffffff]"},
      {"0,0,Default,,0,0,0,,{\\b700}heavy{\\b400}light{\\s1}struck", "2|heavy[b#ffffff]light[#ffffff]struck[s#ffffff]"},
      {"0,0,Nobody,,0,0,0,,Unknown style", "2|Unknown style[#ffffff]"},
      {"0,0,Default,,0,0,0,,{\\i1}Break\\N{\\i0}", "2|Break[i#ffffff]"},
  };
  for (const Case& c : cases) EXPECT_EQ(Describe(SubtitleEvent(c.text, styles)), c.want) << c.text;

  // The older script type: decimal colours, -1 for yes, its own alignment numbers.
  const TSubtitleStyles older(
      "[V4 Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, TertiaryColour, BackColour, "
      "Bold, Italic, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, AlphaLevel, Encoding\n"
      "Style: Default,Arial,20,65535,255,0,0,0,-1,1,2,2,6,10,10,10,0,0\n");
  EXPECT_EQ(Describe(SubtitleEvent("Dialogue: 0,0:00:01.00,0:00:02.00,Default,,0,0,0,,Old", older)), "8|Old[i#ffff00]");
  // No styles at all: white upright text at the bottom centre.
  EXPECT_EQ(Describe(SubtitleEvent("0,0,Default,,0,0,0,,Bare", TSubtitleStyles(""))), "2|Bare[#ffffff]");
}

TEST_F(PlayerTest, OperationsWithoutPlaybackDoNothing) {
  player_->Pause();
  player_->Resume();
  player_->StepToNextFrame();
  player_->Seek(0, true, 1000000);
  player_->Stop(true);
  EXPECT_TRUE(player_->Paused());
  int64_t pos = 0;
  const TBitmap24& bmp = player_->GetCurrentFrame(pos);
  EXPECT_EQ(pos, -1);
  EXPECT_TRUE(bmp.Empty());
  PumpFor(100);
  EXPECT_TRUE(States().empty());
  EXPECT_TRUE(Positions().empty());
}

TEST_F(PlayerTest, UnplayableFilesFailWithTheirTexts) {
  const std::string missing = MediaPath("no-such-file.mp4");
  const std::string noStreams = MediaPath("subtitles_only.mkv");
  const std::string longName = "/tmp/" + std::string(1100, 'a') + ".mp4";
  struct Case {
    std::string file, text;
  } cases[] = {
      {missing, FormatAVError(missing, AVERROR(ENOENT))},
      {noStreams, noStreams + ": could not open codecs, no stream to play."},
      {longName, FormatAVError(longName, AVERROR(ENAMETOOLONG))},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(player_->Open(c.file, &surface_)) << c.file;
    EXPECT_FALSE(player_->IsOpen());
    EXPECT_EQ(player_->LastErrMsg(), c.text);
    auto errs = Errors();
    EXPECT_NE(std::find(errs.begin(), errs.end(), c.text), errs.end()) << c.text;
  }
  // Damaged input either fails to open or plays what it can; it never hangs or crashes.
  for (const char* clip : {"random.bin", "truncated.avi"}) {
    if (player_->Open(MediaPath(clip), &surface_)) PumpFor(1500);
    auto t0 = Clock::now();
    player_->Stop(true);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3)) << clip;
    EXPECT_FALSE(player_->IsOpen());
  }
  // The player still plays a good file afterwards.
  OpenOrFail("framenum_3s.mp4");
  EXPECT_TRUE(PumpUntil([&] { return surface_.Count() > 3; }, 20000));
}

// Only one player can have an open playback at a time.
TEST_F(PlayerTest, OnePlaybackAtATime) {
  OpenOrFail("framenum_3s.mp4");
  TFFPlayer other;
  EXPECT_FALSE(other.Open(MediaPath("framenum.mp4"), nullptr));
  EXPECT_FALSE(other.LastErrMsg().empty());
  EXPECT_TRUE(player_->IsOpen());
  player_->Stop(true);
  EXPECT_TRUE(other.Open(MediaPath("framenum.mp4"), nullptr)) << other.LastErrMsg();
  other.Stop(true);
}

// A stop without waiting returns at once: the playback is no longer open and shows no further
// picture while its threads end; the next Open, of this player or of another one, waits for
// what is left and plays; a second stop does nothing more.
TEST_F(PlayerTest, StopWithoutWaitingEndsThePlaybackBehindTheCaller) {
  OpenOrFail("framenum_3s.mp4");
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() >= 5; }, 5000));
  player_->Stop(false);
  EXPECT_FALSE(player_->IsOpen());
  const size_t shown = surface_.Count();
  player_->Stop(false);
  ASSERT_TRUE(WaitState(psStop, 1, 5000));
  PumpFor(200);
  EXPECT_EQ(surface_.Count(), shown);

  // Stop, then at once Open of another file: the new file plays.
  OpenOrFail("framenum_3s.mp4");
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() >= shown + 5; }, 5000));
  player_->Stop(false);
  OpenOrFail("framenum.mp4");
  EXPECT_TRUE(player_->IsOpen());
  EXPECT_EQ(player_->FileName(), MediaPath("framenum.mp4"));
  const size_t before = surface_.Count();
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() >= before + 5; }, 5000));

  // Another player opens right after a stop without waiting: it waits for the ending playback
  // instead of refusing.
  player_->Stop(false);
  TFFPlayer other;
  EXPECT_TRUE(other.Open(MediaPath("framenum.mp4"), nullptr)) << other.LastErrMsg();
  other.Stop(false);
  // The player goes while its playback may still be ending.
}

// SDL leaves the program's signals alone: it would otherwise catch SIGTERM and SIGINT while
// its sound is open and turn them into a quit event that nobody reads, so that the program
// could not be stopped (the desktop program handles them itself, app/quitsignals.h).
TEST_F(PlayerTest, OpeningLeavesTheProgramsSignalsAlone) {
  OpenOrFail("clip.mp4");
  ASSERT_TRUE(PumpUntil([&] { return player_->Counters().AudioBytesPlayed > 0; }, 20000));
  for (int sig : {SIGTERM, SIGINT}) {
    struct sigaction sa {};
    ASSERT_EQ(sigaction(sig, nullptr, &sa), 0);
    EXPECT_EQ(sa.sa_handler, SIG_DFL) << "signal " << sig;
  }
}

// The picture on show carries the number of the frame its time stands for, and it is shown
// when the sound clock reaches that time.
TEST_F(PlayerTest, ShownPicturesMatchTheirTimeAndTheSoundClock) {
  int64_t duration = 0;
  int32_t fw = 0, fh = 0;
  player_->OnFileOpen = [&](TCustomPlayer*, int64_t d, int32_t w, int32_t h, int32_t&, int32_t&) {
    duration = d;
    fw = w;
    fh = h;
  };
  OpenOrFail("framenum.mp4");
  EXPECT_NEAR(duration, 8000000, 100000);
  EXPECT_EQ(fw, 320);
  EXPECT_EQ(fh, 240);
  EXPECT_NE(player_->AVProbe.GetInfoText().find("Video"), std::string::npos);
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() >= 50; }, 20000));
  auto shown = surface_.Take();
  std::vector<int64_t> offsets;
  for (const auto& s : shown) {
    EXPECT_EQ(s.number, int(std::lround(s.pts / 40000.0))) << "picture at " << s.pts;
    EXPECT_EQ(s.w, 320);
    EXPECT_EQ(s.outW, 320);
    offsets.push_back(std::llabs(s.pts - s.master));
  }
  std::sort(offsets.begin(), offsets.end());
  // Pictures follow the sound (the benchmark measures how closely; this catches a clock that
  // runs apart).
  EXPECT_LT(offsets[offsets.size() / 2], 60000) << "median picture-to-sound offset";
  // Positions reported on the main thread, rising, more than 10 ms apart.
  auto pos = Positions();
  ASSERT_GT(pos.size(), 10u);
  for (size_t i = 1; i < pos.size(); ++i) EXPECT_GT(pos[i] - pos[i - 1], 10000) << i;
  EXPECT_GT(pos.back(), 1500000);
  auto st = States();
  ASSERT_FALSE(st.empty());
  EXPECT_EQ(st.front(), psPlay);
  player_->Stop(true);
  EXPECT_FALSE(player_->IsOpen());
  EXPECT_EQ(States().back(), psStop);
}

// The sound clock follows the sound the device has consumed (the dummy driver consumes it at
// about real time, a little slower on a loaded machine), and the position follows the clock.
TEST_F(PlayerTest, ClockFollowsTheSoundConsumed) {
  OpenOrFail("audio.wav");
  ASSERT_TRUE(PumpUntil([&] { return player_->Counters().AudioBytesPlayed > 0; }, 20000));
  auto t0 = Clock::now();
  for (int i = 0; i < 6; ++i) {
    PumpFor(500);
    double clock = double(player_->MasterClockUS()) / 1e6;
    double consumed = double(player_->Counters().AudioBytesPlayed) / (44100.0 * 4);
    // Within about one device buffer (23 ms) of what the device took.
    EXPECT_NEAR(clock, consumed, 0.06) << "after " << i;
    // The reported position follows the clock (refreshed every 20 ms on a loaded machine).
    EXPECT_NEAR(double(player_->CurrentPosition()) / 1e6, clock, 0.5) << "after " << i;
  }
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  double consumed = double(player_->Counters().AudioBytesPlayed) / (44100.0 * 4);
  EXPECT_GT(consumed / wall, 0.7) << consumed << " s of sound in " << wall << " s";
  EXPECT_LT(consumed / wall, 1.1) << consumed << " s of sound in " << wall << " s";
}

TEST_F(PlayerTest, AudioOnlyFileShowsTheWave) {
  int32_t fw = 0, fh = 0;
  player_->OnFileOpen = [&](TCustomPlayer*, int64_t, int32_t w, int32_t h, int32_t&, int32_t&) {
    fw = w;
    fh = h;
  };
  OpenOrFail("audio.mp3");
  EXPECT_EQ(fw, -1);
  EXPECT_EQ(fh, -1);
  PumpFor(1000);
  auto shown = surface_.Take();
  ASSERT_GT(shown.size(), 5u);
  const auto& s = shown.back();
  EXPECT_EQ(s.pts, -1);
  EXPECT_EQ(s.w, 320);
  EXPECT_EQ(s.h, 240);
  // The tone draws bars in every column of both channels, beyond the separating line.
  EXPECT_GT(s.whitePixels, 2 * 320 / 2);
  EXPECT_GT(player_->CurrentPosition(), 500000);
  int64_t pos = 0;
  EXPECT_TRUE(player_->GetCurrentFrame(pos).Empty());
  EXPECT_EQ(pos, -1);
}

TEST_F(PlayerTest, WithoutASoundDeviceThePicturePlaysAlone) {
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  OpenOrFail("framenum.mp4");
  PumpFor(1500);
  auto shown = surface_.Take();
  ASSERT_GT(shown.size(), 20u);
  // Paced by the frame timer: about 25 pictures a second, in order.
  EXPECT_NEAR(double(shown.back().pts) / 1e6, 1.5, 0.4);
  for (const auto& s : shown) EXPECT_EQ(s.number, int(std::lround(s.pts / 40000.0)));
  auto t0 = Clock::now();
  player_->Stop(true);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
}

// Seeking while paused shows the first picture after the seek and stays paused;
// GetCurrentFrame gives that picture at the coded size with its time.
TEST_F(PlayerTest, SeekWhilePausedShowsTheNewPicture) {
  OpenOrFail("framenum.mp4");
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > 5; }, 20000));
  player_->Pause();
  EXPECT_TRUE(player_->Paused());
  ASSERT_TRUE(WaitState(psPause, 1, 20000));
  player_->Seek(0, true, 5000000);
  // The current frame is taken before the surface is handed the picture, so wait for both.
  ASSERT_TRUE(PumpUntil(
      [&] {
        int64_t p;
        return StripeNumber(player_->GetCurrentFrame(p)) == 125 && StripeNumber(surface_.Last()) == 125;
      },
      3000));
  int64_t pos = 0;
  const TBitmap24& bmp = player_->GetCurrentFrame(pos);
  EXPECT_EQ(bmp.Width, 320);
  EXPECT_EQ(bmp.Height, 240);
  EXPECT_EQ(pos, 5000000);
  PumpFor(300);
  EXPECT_TRUE(player_->Paused());
  EXPECT_EQ(StripeNumber(surface_.Last()), 125);
  // Resume plays on from there.
  player_->Resume();
  ASSERT_TRUE(WaitState(psResume, 1, 20000));
  EXPECT_TRUE(PumpUntil([&] { return StripeNumber(surface_.Last()) > 130; }, 20000));
}

// A seek is exact: reading starts at the key picture before the target (one every 10 s here,
// with B-frames) and decodes forward; the first picture shown, the position reported and the
// current frame are the one whose time span holds the target, and the pictures in between are
// not shown. Paused (as the trim dialog's markers seek), with either seek flag, and at the end
// (the target past the last picture's start shows the last picture); then playing, where the
// sound resumes at the target too.
TEST_F(PlayerTest, SeeksShowThePictureAtTheirTarget) {
  OpenOrFail("framenum_key10s.mp4");
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > 5; }, 20000));
  player_->Pause();
  ASSERT_TRUE(WaitState(psPause, 1, 20000));
  // The pictures queued before the pause come out first.
  for (int i = 0; i < 20 && surface_.Count() > 0; ++i) {
    surface_.Take();
    PumpFor(300);
  }
  const struct {
    int flags;
    int64_t target;
    int number;  // the picture whose 40 ms span holds the target
  } paused[] = {{0, 6000000, 150},  {0, 6020000, 150}, {4, 13370000, 334}, {0, 9990000, 249},
                {0, 21500000, 537}, {0, 3000000, 75},  {0, 22000000, 549}};
  for (const auto& c : paused) {
    surface_.Take();
    player_->Seek(c.flags, true, c.target);
    EXPECT_TRUE(PumpUntil([&] { return surface_.LastShown().number == c.number; }, 5000))
        << "seek to " << c.target << " shows " << surface_.LastShown().number;
    PumpFor(150);
    for (const auto& s : surface_.Take()) {
      EXPECT_EQ(s.number, c.number) << "seek to " << c.target << ": a picture on the way was shown";
      EXPECT_EQ(s.pts, c.number * 40000) << "seek to " << c.target;
    }
    int64_t pos = -1;
    EXPECT_EQ(StripeNumber(player_->GetCurrentFrame(pos)), c.number) << "seek to " << c.target;
    EXPECT_EQ(pos, c.number * 40000) << "seek to " << c.target;
    EXPECT_EQ(player_->CurrentPosition(), c.number * 40000) << "seek to " << c.target;
    EXPECT_TRUE(player_->Paused());
  }

  // Playing: from the end to 16 s (key picture at 10 s), then on in order.
  player_->Resume();
  ASSERT_TRUE(WaitState(psResume, 1, 20000));
  PumpFor(200);
  surface_.Take();
  player_->Seek(0, false, 16000000);
  ASSERT_TRUE(PumpUntil([&] { return surface_.LastShown().number >= 400 + 25; }, 10000)) << surface_.LastShown().number;
  const auto shown = surface_.Take();
  size_t at = 0;
  while (at < shown.size() && shown[at].number < 250) ++at;
  ASSERT_LT(at, shown.size());
  EXPECT_EQ(shown[at].number, 400) << "the first picture of the new place";
  for (size_t i = at + 1; i < shown.size(); ++i) {
    EXPECT_GT(shown[i].number, shown[i - 1].number) << i;
    // Half a second on, the sound plays at the pictures' place: it resumed at the target, not
    // at the key picture 6 s before it.
    if (shown[i].number >= 400 + 13) {
      EXPECT_LT(std::llabs(shown[i].pts - shown[i].master), 150000) << shown[i].number;
    }
  }
}

// A picture the container shows turned (coded 320x240, shown 240x320 through its display
// matrix) is turned upright, as the conversion turns it: the size the open reports, the
// surface's layout and the current frame, whose pixels are those the ffmpeg command decodes.
TEST_F(PlayerTest, TurnedPicturesAreShownUpright) {
  int32_t fw = 0, fh = 0;
  player_->OnFileOpen = [&](TCustomPlayer*, int64_t, int32_t w, int32_t h, int32_t&, int32_t&) {
    fw = w;
    fh = h;
  };
  OpenOrFail("rotated.mp4");
  EXPECT_EQ(fw, 240);
  EXPECT_EQ(fh, 320);
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > 3; }, 10000));
  player_->Pause();
  ASSERT_TRUE(WaitState(psPause, 1, 10000));
  const auto shown = surface_.Take();
  EXPECT_LT(shown.back().w, shown.back().h);
  int64_t pos = 0;
  const TBitmap24 bmp = player_->GetCurrentFrame(pos);
  ASSERT_EQ(bmp.Width, 240);
  ASSERT_EQ(bmp.Height, 320);
  const testsupport::TRgbFrame ref = testsupport::DecodeFrame(testsupport::MediaPath("rotated.mp4"), 0.5, 240, 320);
  ASSERT_TRUE(ref.Valid());
  double diff = 0;
  for (int y = 0; y < 320; ++y)
    for (int x = 0; x < 240; ++x)
      for (int c = 0; c < 3; ++c) diff += std::abs(int(bmp.Row(y)[x * 3 + 2 - c]) - ref.At(x, y, c));
  EXPECT_LT(diff / (240.0 * 320 * 3), 4.0);
}

// Two seeks in quick succession: a request that comes while an earlier one is still pending is
// ignored, so the picture ends at one of the two targets, and stays there while paused;
// playing, the pictures then run on in order from it. A later seek is honoured again.
TEST_F(PlayerTest, TwoQuickSeeksEndAtOneTargetAndPlayOnFromIt) {
  OpenOrFail("framenum.mp4");
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > 5; }, 20000));
  player_->Pause();
  ASSERT_TRUE(WaitState(psPause, 1, 20000));
  player_->Seek(0, false, 2000000);
  player_->Seek(0, false, 6000000);
  const auto atTarget = [&] {
    const int n = StripeNumber(surface_.Last());
    return n == 50 || n == 150;
  };
  ASSERT_TRUE(PumpUntil(atTarget, 5000)) << StripeNumber(surface_.Last());
  // A second seek that comes after the reader took the first shows its picture after the
  // first one's; then the picture rests there.
  PumpFor(300);
  const int first = StripeNumber(surface_.Last());
  EXPECT_TRUE(first == 50 || first == 150) << first;
  PumpFor(300);
  EXPECT_EQ(StripeNumber(surface_.Last()), first);
  int64_t pos = 0;
  player_->GetCurrentFrame(pos);
  EXPECT_EQ(pos, first * 40000);

  // A seek after that one is done goes where it is asked.
  player_->Seek(0, true, 4000000);
  EXPECT_TRUE(PumpUntil([&] { return StripeNumber(surface_.Last()) == 100; }, 5000));

  player_->Resume();
  ASSERT_TRUE(WaitState(psResume, 1, 20000));
  PumpFor(200);
  surface_.Take();
  player_->Seek(0, false, 1000000);
  player_->Seek(0, false, 6000000);
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > 15; }, 5000));
  const auto shown = surface_.Take();
  // The pictures before the jump are the old place's; from the jump on they run in order.
  size_t at = 0;
  while (at < shown.size() && !(shown[at].number == 25 || shown[at].number == 150)) ++at;
  ASSERT_LT(at, shown.size());
  for (size_t i = at + 1; i < shown.size(); ++i) EXPECT_GT(shown[i].number, shown[i - 1].number) << i;
}

// A stream whose times step back in the middle (two pieces joined) plays to its end: no hang,
// no crash, positions within the file's time span.
TEST_F(PlayerTest, BackwardTimestampsPlayToTheEnd) {
  OpenOrFail("backwards.ts");
  ASSERT_TRUE(WaitState(psEnd, 1, 15000)) << surface_.Count() << " pictures shown";
  EXPECT_GT(surface_.Count(), 40u);
  for (int64_t p : Positions()) {
    EXPECT_GE(p, 0);
    EXPECT_LE(p, 6000000);
  }
}

TEST_F(PlayerTest, OpenPausedShowsTheFirstPicturesThenPauses) {
  ASSERT_TRUE(player_->Open(MediaPath("framenum.mp4"), &surface_, true)) << player_->LastErrMsg();
  ASSERT_TRUE(WaitState(psPause, 1, 20000));
  PumpFor(300);
  EXPECT_TRUE(player_->Paused());
  // One of the first pictures (the decoder may skip one on a loaded machine).
  int n = StripeNumber(surface_.Last());
  EXPECT_GE(n, 0);
  EXPECT_LE(n, 3);
  PumpFor(300);
  EXPECT_EQ(StripeNumber(surface_.Last()), n);
}

TEST_F(PlayerTest, StepShowsOneMorePictureAndRaisesStepOnce) {
  OpenOrFail("framenum.mp4");
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > 5; }, 20000));
  player_->Pause();
  ASSERT_TRUE(WaitState(psPause, 1, 20000));
  PumpFor(300);  // the pictures queued before the pause come out
  int before = StripeNumber(surface_.Last());
  player_->StepToNextFrame();
  ASSERT_TRUE(PumpUntil([&] { return StripeNumber(surface_.Last()) > before; }, 20000));
  int mid = StripeNumber(surface_.Last());
  player_->StepToNextFrame();
  ASSERT_TRUE(PumpUntil([&] { return StripeNumber(surface_.Last()) > mid; }, 20000));
  PumpFor(300);
  EXPECT_EQ(CountState(psStep), 1);
  EXPECT_TRUE(player_->Paused());
  int after = StripeNumber(surface_.Last());
  EXPECT_LE(after, before + 6);  // one picture per step, plus what was queued
  PumpFor(300);
  EXPECT_EQ(StripeNumber(surface_.Last()), after);
}

// End of input: the last pictures come out, psEnd is raised once with the position at the
// duration; a seek back and playing to the end raises it once more.
TEST_F(PlayerTest, EndOfFileOnceThenAgainAfterSeekBack) {
  OpenOrFail("framenum_3s.mp4");
  ASSERT_TRUE(WaitState(psEnd, 1, 20000));
  auto shown = surface_.Take();
  ASSERT_FALSE(shown.empty());
  EXPECT_GE(shown.back().number, 70);
  // Every one of the 75 pictures came out of the decoder (shown, or dropped when late), the
  // ones it held back at the end of the input included.
  TPlayerCounters c = player_->Counters();
  EXPECT_EQ(c.PicturesShown + c.PicturesDropped + c.PicturesSkipped, 75);
  PumpFor(500);
  EXPECT_EQ(CountState(psEnd), 1);
  ASSERT_FALSE(Positions().empty());
  EXPECT_NEAR(double(Positions().back()), 3.0e6, 0.1e6);
  EXPECT_TRUE(player_->IsOpen());
  player_->Seek(0, true, 2000000);
  ASSERT_TRUE(WaitState(psEnd, 2, 20000));
  EXPECT_EQ(CountState(psEnd), 2);
  EXPECT_TRUE(player_->IsOpen());
  // Back to the start from the end: the first picture is picture 0 at time 0 (a picture at
  // time 0 has a known time; it does not take the time of the place before the seek).
  PumpFor(300);
  surface_.Take();
  player_->Seek(0, true, 0);
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > 0; }, 5000));
  const MemorySurface::Shown first = surface_.Take().front();
  EXPECT_EQ(first.number, 0);
  EXPECT_LT(first.pts, 40000);
}

// After the end of the file, each seek either shows pictures of the new place or, when it
// lands past the last picture, ends the file again: never a playback that shows nothing and
// does not end (a seek past the end in the stream whose times step back lands there).
TEST_F(PlayerTest, SeekAfterTheEndPlaysOrEndsAgain) {
  for (const char* clip : {"framenum_3s.mp4", "backwards.ts"}) {
    states_.clear();
    OpenOrFail(clip);
    ASSERT_TRUE(WaitState(psEnd, 1, 20000)) << clip;
    // (Each target twice: the decoder waits idle at the end, which once let it take the seek
    // before the reader had marked it, and every later picture was then dropped.)
    for (int64_t target : {int64_t(1000000), int64_t(2000000), int64_t(1000000), int64_t(2000000)}) {
      PumpFor(300);
      surface_.Take();
      const int ends = CountState(psEnd);
      player_->Seek(0, false, target);
      ASSERT_TRUE(WaitState(psEnd, ends + 1, 20000)) << clip << " to " << target << ": " << surface_.Count()
                                                     << " pictures, position " << player_->CurrentPosition();
      // The new place was shown on the way (the joined stream's seek may land past its last
      // picture: it only ends again).
      const auto shown = surface_.Take();
      if (std::string(clip) == "framenum_3s.mp4") {
        EXPECT_TRUE(std::any_of(shown.begin(), shown.end(),
                                [&](const MemorySurface::Shown& p) { return std::llabs(p.pts - target) <= 500000; }))
            << clip << " to " << target << ": " << shown.size() << " pictures, none near the target";
      }
    }
    player_->Stop(true);
  }
}

// The text of a text subtitle (SubRip "First line" at 1-3 s, "Second line" at 5-7 s) reaches
// the surface with the pictures of its display time and goes after it; a seek, forwards into
// the middle of one or back, brings the text of the new place, and the pictures resume at the
// target (decoded from the key picture before it), not at the subtitle's start.
TEST_F(PlayerTest, TextSubtitlesGoToTheSurfaceWithTheirPictures) {
  OpenOrFail("subtitles.mkv");
  ASSERT_TRUE(PumpUntil([&] { return surface_.LastShown().pts > 4200000; }, 20000));
  int during = 0, outside = 0;
  for (const auto& s : surface_.Take()) {
    if (s.pts >= 1100000 && s.pts <= 2900000) {
      EXPECT_EQ(s.text, "First line") << "picture at " << s.pts;
      ++during;
    } else if (s.pts <= 900000 || (s.pts >= 3200000 && s.pts <= 4800000)) {
      EXPECT_EQ(s.text, "") << "picture at " << s.pts;
      ++outside;
    }
  }
  EXPECT_GT(during, 10);
  EXPECT_GT(outside, 10);

  struct Case {
    int64_t target, until;
    const char* text;
  } seeks[] = {{5500000, 6800000, "Second line"}, {2000000, 2900000, "First line"}};
  for (const Case& c : seeks) {
    player_->Seek(0, true, c.target);
    surface_.Take();
    ASSERT_TRUE(PumpUntil(
        [&] {
          const auto last = surface_.LastShown();
          return last.pts >= c.target && last.pts <= c.until;
        },
        5000))
        << "seek to " << c.target;
    EXPECT_EQ(surface_.LastShown().text, c.text) << "seek to " << c.target;
    for (const auto& s : surface_.Take()) EXPECT_GE(s.pts, c.target - 500000) << "seek to " << c.target;
  }

  // Paused, a seek shows the picture of the new place with its text.
  player_->Pause();
  ASSERT_TRUE(WaitState(psPause, 1, 5000));
  player_->Seek(0, true, 5500000);
  ASSERT_TRUE(PumpUntil([&] { return surface_.LastShown().pts >= 5000000; }, 5000));
  PumpFor(300);
  EXPECT_GE(surface_.LastShown().pts, 5000000);
  EXPECT_EQ(surface_.LastShown().text, "Second line");
}

// What the decoders of other text formats make of markup reaches the surface as plain lines,
// after a seek into the subtitle's time too (the two containers seek differently).
TEST_F(PlayerTest, MarkedUpTextSubtitlesArriveAsPlainLines) {
  struct Case {
    const char* clip;
    const char* text;
  } cases[] = {
      {"subtitles_ass.mkv", "Styled, with commas\nsecond row"},
      {"subtitles_movtext.mp4", "Tagged text\nover two lines"},
  };
  for (const Case& c : cases) {
    surface_.Take();
    OpenOrFail(c.clip);
    ASSERT_TRUE(PumpUntil([&] { return surface_.LastShown().pts >= 1000000; }, 10000)) << c.clip;
    EXPECT_EQ(surface_.LastShown().text, c.text) << c.clip;
    // The markup's italic word keeps its look.
    const TSubtitleText shown = surface_.LastSubtitle();
    ASSERT_EQ(shown.Events.size(), 1u) << c.clip;
    ASSERT_FALSE(shown.Events[0].Runs.empty()) << c.clip;
    EXPECT_TRUE(shown.Events[0].Runs[0].Italic) << c.clip;
    EXPECT_EQ(shown.Events[0].Runs[0].Text, std::string(c.text).substr(0, 6)) << c.clip;
    EXPECT_FALSE(shown.Events[0].Runs.back().Italic) << c.clip;
    player_->Seek(0, true, 2000000);
    surface_.Take();
    ASSERT_TRUE(PumpUntil([&] { return surface_.LastShown().pts >= 2000000; }, 10000)) << c.clip;
    EXPECT_EQ(surface_.LastShown().text, c.text) << c.clip << " after a seek";
    player_->Stop(true);
  }
}

// Subtitles that overlap (a sign over 0.5-2.5 s, spoken lines at 1.0-1.5 s and 1.8-2.2 s) show
// together, the earlier one first, each until its own end; a seek into the overlap brings both
// and the pictures from the target on, decoded from the key picture before it (reordered
// pictures: the key picture's decoding time lies before the index's mark).
TEST_F(PlayerTest, OverlappingTextSubtitlesShowTogether) {
  OpenOrFail("subtitles_overlap.mkv");
  ASSERT_TRUE(PumpUntil([&] { return surface_.LastShown().pts >= 2600000; }, 10000));
  struct Span {
    int64_t from, to;
    const char* text;
  } spans[] = {{0, 400000, ""},
               {600000, 900000, "Sign"},
               {1100000, 1400000, "Sign\nSpoken one"},
               {1600000, 1700000, "Sign"},
               {1900000, 2100000, "Sign\nSpoken two"},
               {2300000, 2400000, "Sign"},
               {2600000, 3000000, ""}};
  int checked = 0;
  for (const auto& s : surface_.Take())
    for (const Span& sp : spans)
      if (s.pts >= sp.from && s.pts <= sp.to) {
        EXPECT_EQ(s.text, sp.text) << "picture at " << s.pts;
        ++checked;
      }
  EXPECT_GT(checked, 30);

  player_->Seek(0, true, 1200000);
  surface_.Take();
  ASSERT_TRUE(PumpUntil([&] { return surface_.LastShown().pts >= 1200000; }, 5000));
  EXPECT_EQ(surface_.LastShown().text, "Sign\nSpoken one");
  const auto after = surface_.Take();
  ASSERT_FALSE(after.empty());
  EXPECT_NEAR(after.front().pts, 1200000, 1000);
}

// A slow main thread gets the newest position, never a backlog.
TEST_F(PlayerTest, PositionEventsCoalesceForASlowMainThread) {
  OpenOrFail("framenum.mp4");
  for (int i = 0; i < 6; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ProcessPendingMessages();
  }
  auto pos = Positions();
  // One delivery may be waiting when the main thread looks; the queue holds at most one
  // position behind it.
  EXPECT_LE(pos.size(), 14u);
  ASSERT_FALSE(pos.empty());
  EXPECT_GT(pos.back(), 500000);
}

TEST_F(PlayerTest, PalPictureIsLaidOutByItsSampleAspect) {
  surface_.Resize(640, 360);
  OpenOrFail("pal_720x576.mpg");
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > 3; }, 20000));
  auto s = surface_.LastShown();
  EXPECT_EQ(s.x, 80);
  EXPECT_EQ(s.y, 0);
  EXPECT_EQ(s.w, 480);
  EXPECT_EQ(s.h, 360);
  player_->SetAspectRatio(-1);
  EXPECT_TRUE(PumpUntil([&] { return surface_.LastShown().w == 640; }, 20000));
  s = surface_.LastShown();
  EXPECT_EQ(s.x, 0);
  EXPECT_EQ(s.h, 360);
  // The panel grows: the picture follows at the new size.
  surface_.Resize(800, 400);
  EXPECT_TRUE(PumpUntil([&] { return surface_.LastShown().w == 800; }, 20000));
  EXPECT_EQ(surface_.LastShown().h, 400);
}

// A hook that draws makes its drawing appear; a hook that raises leaves the frame as decoded
// and is logged.
TEST_F(PlayerTest, HookDrawingIsShownAndAFailingHookIsLogged) {
  std::atomic<int> calls{0};
  std::atomic<bool> raise{false};
  std::atomic<bool> onVideoThread{true};
  const auto mainId = std::this_thread::get_id();
  player_->Hook = true;
  player_->OnHook = [&](TCustomPlayer*, TBitmap24& bmp, int64_t pts) {
    if (std::this_thread::get_id() == mainId) onVideoThread = false;
    ++calls;
    if (raise) throw std::runtime_error("hook failed at " + std::to_string(pts));
    // A white block over stripes 8 and 9 (which are black for frames below 256).
    for (int y = 100; y < 140; ++y)
      for (int x = 260; x < 316; ++x) std::memset(bmp.Row(y) + x * 3, 255, 3);
  };
  OpenOrFail("framenum.mp4");
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > 10; }, 20000));
  EXPECT_GE(StripeNumber(surface_.Last()), 768);  // bits 8 and 9 set by the drawing
  EXPECT_GT(calls.load(), 5);
  EXPECT_TRUE(onVideoThread);
  raise = true;
  size_t count = surface_.Count();
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > count + 5; }, 20000));
  int n = StripeNumber(surface_.Last());
  EXPECT_LT(n, 256);
  EXPECT_GT(n, 0);
  auto errs = Errors();
  EXPECT_TRUE(std::any_of(errs.begin(), errs.end(), [](const std::string& e) {
    return e.rfind("Error occurs OnHook: hook failed at ", 0) == 0;
  }));
  // The hook uses this test's locals: the playback ends before they go.
  player_->Stop(true);
}

// A seek does not wait for the presenter: while the surface is busy (a picture in it and the
// picture queue full), the video thread drops the old place's picture it holds and decodes
// the seek's target at once (the hook sees it before the surface is free again).
TEST_F(PlayerTest, SeekDoesNotWaitForABusyPresenter) {
  std::mutex m;
  std::vector<int> hooked;  // frame numbers
  player_->Hook = true;
  player_->OnHook = [&](TCustomPlayer*, TBitmap24& bmp, int64_t) {
    std::lock_guard<std::mutex> g(m);
    hooked.push_back(StripeNumber(bmp));
  };
  auto hookedCount = [&] {
    std::lock_guard<std::mutex> g(m);
    return hooked.size();
  };
  OpenOrFail("framenum.mp4");
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > 3; }, 20000));
  surface_.Hold(true);
  // The video thread fills the picture queue and then waits for a free slot: no more hooks.
  size_t before = hookedCount();
  for (int i = 0; i < 50; ++i) {
    PumpFor(100);
    const size_t now = hookedCount();
    if (now == before && i >= 3) break;
    before = now;
  }
  // Frame 112 (4.48 s) lies in the middle of a key interval.
  player_->Seek(0, false, 4480000);
  const bool reached = PumpUntil(
      [&] {
        std::lock_guard<std::mutex> g(m);
        return std::find(hooked.begin(), hooked.end(), 112) != hooked.end();
      },
      5000);
  surface_.Hold(false);
  EXPECT_TRUE(reached) << "the seek waited for the presenter";
  EXPECT_TRUE(PumpUntil([&] { return surface_.LastShown().number >= 112; }, 10000));
  // The hook uses this test's locals: the playback ends before they go.
  player_->Stop(true);
}

// Mute and volume 0 send silence without stopping the clock; half volume halves the samples.
// The disk driver writes what the device would play.
TEST_F(PlayerTest, MuteAndVolumeShapeTheSound) {
  testsupport::TempDir dir;
  const std::string out = dir.file("sound.raw");
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", out.c_str(), 1);
  auto peakOfNewSound = [&](size_t& offset) {
    std::ifstream f(out, std::ios::binary);
    f.seekg(0, std::ios::end);
    size_t size = size_t(f.tellg());
    std::vector<int16_t> s((size - offset) / 2);
    f.seekg(std::streamoff(offset));
    f.read(reinterpret_cast<char*>(s.data()), std::streamsize(s.size() * 2));
    offset = size;
    int peak = 0;
    for (int16_t v : s) peak = std::max(peak, std::abs(int(v)));
    return peak;
  };
  OpenOrFail("audio.wav");
  PumpFor(600);
  size_t offset = 0;
  peakOfNewSound(offset);
  PumpFor(400);
  int full = peakOfNewSound(offset);
  EXPECT_GT(full, 1000);
  player_->AudioVolume = 64;
  PumpFor(100);
  peakOfNewSound(offset);
  PumpFor(400);
  EXPECT_NEAR(peakOfNewSound(offset), full / 2, full / 20);
  for (int step = 0; step < 2; ++step) {
    if (step == 0) player_->Mute = true;
    if (step == 1) {
      player_->Mute = false;
      player_->AudioVolume = 0;
    }
    int64_t pos0 = player_->CurrentPosition();
    PumpFor(100);
    peakOfNewSound(offset);
    PumpFor(400);
    EXPECT_EQ(peakOfNewSound(offset), 0) << "step " << step;
    EXPECT_GT(player_->CurrentPosition() - pos0, 300000) << "the clock goes on, step " << step;
  }
  unsetenv("SDL_DISKAUDIOFILE");
}

// Stop with wait while the reader sits inside a read that does not return (a pipe whose
// writer has gone quiet): the main thread keeps serving its calls, and Stop returns once the
// read comes back, without a deadlock between the waiting threads.
TEST_F(PlayerTest, StopWaitsOutAReaderBlockedInARead) {
  std::signal(SIGPIPE, SIG_IGN);  // the writer may outlive the reading end
  testsupport::TempDir dir;
  const std::string fifo = dir.file("feed.ts");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string data;
  {
    std::ifstream in(MediaPath("clip.ts"), std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GT(data.size(), 100000u);
  std::atomic<bool> release{false};
  std::atomic<bool> closed{false};
  std::thread writer([&] {
    int fd = open(fifo.c_str(), O_WRONLY);
    if (fd < 0) return;
    size_t half = data.size() / 2, done = 0;
    while (done < half) {
      ssize_t n = write(fd, data.data() + done, half - done);
      if (n <= 0) break;
      done += size_t(n);
    }
    for (int i = 0; i < 300 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    closed = true;
    close(fd);
  });
  ASSERT_TRUE(player_->Open(fifo, &surface_)) << player_->LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] { return surface_.Count() > 3; }, 20000));
  PumpFor(1500);  // the reader has read everything there is and waits for more
  std::atomic<int> servedDuringStop{0};
  std::thread caller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RunInMainThread([&] { ++servedDuringStop; });
    release = true;
  });
  auto t0 = Clock::now();
  player_->Stop(true);
  auto took = Clock::now() - t0;
  caller.join();
  writer.join();
  EXPECT_TRUE(closed);
  EXPECT_EQ(servedDuringStop.load(), 1);
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_FALSE(player_->IsOpen());
  PumpFor(100);
  ASSERT_FALSE(States().empty());
  EXPECT_EQ(States().back(), psStop);
}

}  // namespace
