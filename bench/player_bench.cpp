// Plays one clip through the preview player into an in-memory surface of the clip's size,
// with whatever sound driver SDL_AUDIODRIVER names, and prints the synchronisation figures:
// the offset between each shown picture's time and the sound clock when it is shown, the
// share of dropped pictures, the CPU time per second of playback, and the time from a seek
// request to the first picture after it.
//
// Usage: orvane-player-bench CLIP [--seconds S] [--no-seek]
// Last line: p95_ms=... max_ms=... drop_pct=... cpu_s=... seek_ms=... shown=... dropped=...
//
// orvane-player-bench CLIP --exact-seeks KEY_INTERVAL_S [--fps N] times exact seeks instead: to the middle
// of every key interval (the farthest from a key picture on average), playing and paused, each
// from the Seek call to the surface's first picture whose time span holds the target, with the
// process's CPU time over that span (paused, the seek is nearly all the process does then).
// Last line: playing_median_ms=... playing_worst_ms=... paused_median_ms=... paused_worst_ms=...
// paused_cpu_median_ms=...
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "media/dispatcher.h"
#include "media/loader.h"
#include "media/player.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

class BenchSurface : public IVideoSurface {
public:
  TCustomPlayer* player = nullptr;
  std::atomic<int> width{0}, height{0};
  void ClientSize(int& w, int& h) const override {
    w = width;
    h = height;
  }
  void Present(const TBitmap24&, int, int, int, int, int64_t pts) override {
    int64_t master = player->MasterClockUS();
    std::lock_guard<std::mutex> g(m);
    if (recording) offsetsMs.push_back(std::fabs(double(pts - master)) / 1000.0);
    if (trace)
      std::fprintf(stderr, "present pts=%lld master=%lld diff=%lld\n", (long long)pts, (long long)master,
                   (long long)(pts - master));
    lastPts = pts;
    lastTime = Clock::now();
    ++presents;
    if (!targetShown && pts <= target && target < pts + targetSpan) {
      targetShown = true;
      targetTime = lastTime;
    }
  }
  // Set by an exact-seek timing: the first picture whose span holds the target is noted here.
  int64_t target = INT64_MIN, targetSpan = 0;
  bool targetShown = true;
  Clock::time_point targetTime;
  std::mutex m;
  bool recording = true;
  std::vector<double> offsetsMs;
  int64_t lastPts = -1;
  Clock::time_point lastTime;
  int64_t presents = 0;
  bool trace = std::getenv("PLAYER_BENCH_TRACE") != nullptr;
};

void PumpFor(double seconds) {
  auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < end) HeadlessDispatcher().WaitAndProcess(10);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? NAN : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Seeks to the middle of each key interval, playing and then paused; milliseconds from the
// Seek call to the first picture shown at the target (5000 when none came within 5 s).
int ExactSeeks(TFFPlayer& player, BenchSurface& surface, int64_t duration, double keyInterval, double frameSeconds) {
  const int64_t interval = int64_t(keyInterval * 1e6);
  const int64_t frame = int64_t(frameSeconds * 1e6);
  std::vector<int64_t> targets;
  for (int64_t t = interval / 2; t + frame < duration; t += interval) targets.push_back(t);
  // Out of order, so that no seek continues where the last one stopped.
  std::vector<int64_t> order;
  for (size_t i = 0; i < targets.size(); i += 2) order.push_back(targets[i]);
  for (size_t i = targets.size() - 1 - targets.size() % 2; i < targets.size(); i -= 2) order.push_back(targets[i]);
  std::vector<double> results[2], cpu[2];
  for (int pausedRun = 0; pausedRun < 2; ++pausedRun) {
    if (pausedRun) {
      player.Pause();
      PumpFor(0.5);
    }
    for (int64_t target : order) {
      {
        std::lock_guard<std::mutex> g(surface.m);
        surface.target = target;
        surface.targetSpan = frame;
        surface.targetShown = false;
      }
      auto s0 = Clock::now();
      const double c0 = CpuSeconds();
      player.Seek(0, false, target);
      double ms = 5000;
      while (std::chrono::duration<double>(Clock::now() - s0).count() < 5) {
        HeadlessDispatcher().WaitAndProcess(1);
        std::lock_guard<std::mutex> g(surface.m);
        if (surface.targetShown) {
          ms = std::chrono::duration<double>(surface.targetTime - s0).count() * 1000;
          break;
        }
      }
      const double cpuMs = (CpuSeconds() - c0) * 1000;
      results[pausedRun].push_back(ms);
      cpu[pausedRun].push_back(cpuMs);
      std::fprintf(stderr, "%s seek to %.2f s: %.0f ms (CPU %.0f ms)\n", pausedRun ? "paused" : "playing", target / 1e6,
                   ms, cpuMs);
      PumpFor(pausedRun ? 0.3 : 1.0);
    }
  }
  auto worst = [](const std::vector<double>& v) { return v.empty() ? NAN : *std::max_element(v.begin(), v.end()); };
  std::printf(
      "playing_median_ms=%.0f playing_worst_ms=%.0f paused_median_ms=%.0f paused_worst_ms=%.0f "
      "paused_cpu_median_ms=%.0f seeks=%zu\n",
      Median(results[0]), worst(results[0]), Median(results[1]), worst(results[1]), Median(cpu[1]), order.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(
        stderr,
        "usage: orvane-player-bench CLIP [--seconds S] [--no-seek] | CLIP --exact-seeks KEY_INTERVAL_S [--fps N]\n");
    return 2;
  }
  std::string clip = argv[1];
  double seconds = 0;
  double keyInterval = 0, fps = 30;
  bool seek = true;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
      seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--exact-seeks") && i + 1 < argc)
      keyInterval = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--fps") && i + 1 < argc)
      fps = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--no-seek"))
      seek = false;
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  FFLoader().SetLibraryFolder("");
  if (!FFLoader().LoadLibs(kPlayerLibs)) {
    std::fprintf(stderr, "%s\n", FFLoader().LastError().c_str());
    return 1;
  }
  GetFFLogger().SetLogLevel(llQuiet);
  BenchSurface surface;
  TFFPlayer player;
  surface.player = &player;
  std::atomic<bool> ended{false};
  int64_t duration = 0;
  player.OnFileOpen = [&](TCustomPlayer*, int64_t d, int32_t w, int32_t h, int32_t& sw, int32_t& sh) {
    duration = d;
    surface.width = sw = w;
    surface.height = sh = h;
  };
  player.OnState = [&](TCustomPlayer*, TPlayState s) {
    if (s == psEnd) ended = true;
  };
  double cpu0 = CpuSeconds();
  auto t0 = Clock::now();
  if (!player.Open(clip, &surface)) {
    std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    return 1;
  }
  if (keyInterval > 0) {
    PumpFor(1.0);
    const int rc = ExactSeeks(player, surface, duration, keyInterval, 1.0 / fps);
    player.Stop(true);
    return rc;
  }
  double limit = seconds > 0 ? seconds : duration / 1e6 + 5;
  while (!ended && std::chrono::duration<double>(Clock::now() - t0).count() < limit)
    HeadlessDispatcher().WaitAndProcess(10);
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  double played = std::min(wall, double(player.CurrentPosition()) / 1e6);
  double cpu = CpuSeconds() - cpu0;
  TPlayerCounters c = player.Counters();

  std::vector<double> offsets;
  {
    std::lock_guard<std::mutex> g(surface.m);
    surface.recording = false;
    offsets = surface.offsetsMs;
  }
  std::sort(offsets.begin(), offsets.end());
  double p95 = offsets.empty() ? NAN : offsets[std::min(offsets.size() - 1, offsets.size() * 95 / 100)];
  double mx = offsets.empty() ? NAN : offsets.back();
  int64_t lost = c.PicturesDropped + c.PicturesSkipped;
  double dropPct = 100.0 * double(lost) / double(std::max<int64_t>(1, c.PicturesShown + lost));

  // Seeks (key frames every 2 s): from the request to the first picture of the new place.
  double seekMs = NAN;
  if (seek && duration > 10000000) {
    std::vector<double> times;
    for (double frac : {0.3, 0.75, 0.15, 0.5}) {
      int64_t target = int64_t(duration * frac);
      auto s0 = Clock::now();
      player.Seek(0, false, target);
      bool got = false;
      while (std::chrono::duration<double>(Clock::now() - s0).count() < 5) {
        HeadlessDispatcher().WaitAndProcess(1);
        std::lock_guard<std::mutex> g(surface.m);
        if (surface.lastTime > s0 && surface.lastPts <= target + 100000 && surface.lastPts >= target - 2100000) {
          times.push_back(std::chrono::duration<double>(surface.lastTime - s0).count() * 1000);
          got = true;
          break;
        }
      }
      if (!got) times.push_back(5000);
      PumpFor(1.0);
    }
    std::sort(times.begin(), times.end());
    seekMs = times[times.size() / 2];
    std::fprintf(stderr, "seeks (ms):");
    for (double t : times) std::fprintf(stderr, " %.0f", t);
    std::fprintf(stderr, "\n");
  }
  player.Stop(true);
  std::fprintf(stderr, "late drops %lld, decoder skips %lld\n", (long long)c.PicturesDropped,
               (long long)c.PicturesSkipped);
  std::printf("p95_ms=%.1f max_ms=%.1f drop_pct=%.2f cpu_s=%.3f seek_ms=%.0f shown=%lld dropped=%lld played_s=%.1f\n",
              p95, mx, dropPct, played > 0 ? cpu / played : NAN, seekMs, (long long)c.PicturesShown, (long long)lost,
              played);
  return 0;
}
