// orvane-bench-queue: queues many files in one engine run the way the front ends do (AddTask,
// then SetOutputFile for each), prints what the queue holds in memory before the first task
// starts, then converts them one at a time and prints how many converted. The soft open-file
// limit is set to the usual 1,024 first, so that a queue that keeps files open runs out.
//
//   orvane-bench-queue COUNT INPUT OUTDIR [VCODEC ACODEC]
//     COUNT tasks of INPUT into OUTDIR/0.mkv ... (stream copy unless codecs are given).
//
// Prints "queue: N tasks, RSS +X MB, heap +Y MB" and "converted: K of N"; exit status 0 when
// every task converted.
#include <malloc.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "engine/engine.h"
#include "media/dispatcher.h"
#include "media/logger.h"

namespace {

double RssMb() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      double kb = 0;
      in >> kb;
      return kb / 1024.0;
    }
    in.ignore(4096, '\n');
  }
  return 0;
}

double HeapMb() { return double(mallinfo2().uordblks) / (1024.0 * 1024.0); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "usage: orvane-bench-queue COUNT INPUT OUTDIR [VCODEC ACODEC]\n");
    return 2;
  }
  const int count = std::atoi(argv[1]);
  const std::string input = argv[2], outDir = argv[3];
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::min<rlim_t>(files.rlim_max, 1024);
  setrlimit(RLIMIT_NOFILE, &files);

  TConvertEngine engine;
  if (!engine.LoadAVLib("")) {
    std::fprintf(stderr, "orvane-bench-queue: %s\n", engine.LastErrMsg().c_str());
    return 1;
  }
  TOutputOptions out;
  out.VideoCodec = argc == 6 ? argv[4] : "copy";
  out.AudioCodec = argc == 6 ? argv[5] : "copy";

  // The baseline: libraries loaded and one task opened and freed (the libraries' own first
  // allocations are not the queue's).
  {
    const int t = engine.AddTask(input, TInputOptions());
    if (t < 0 || !engine.SetOutputFile(t, outDir + "/warm-up.mkv", out)) {
      std::fprintf(stderr, "orvane-bench-queue: %s\n", engine.LastErrMsg().c_str());
      return 1;
    }
    engine.ClearTasks();
    std::remove((outDir + "/warm-up.mkv").c_str());
  }
  malloc_trim(0);
  const double rss0 = RssMb(), heap0 = HeapMb();
  int queued = 0;
  for (int i = 0; i < count; ++i) {
    const int t = engine.AddTask(input, TInputOptions());
    if (t < 0) {
      std::fprintf(stderr, "orvane-bench-queue: task %d: %s\n", i, engine.LastErrMsg().c_str());
      continue;
    }
    if (!engine.SetOutputFile(t, outDir + "/" + std::to_string(i) + ".mkv", out)) {
      std::fprintf(stderr, "orvane-bench-queue: task %d: %s\n", i, engine.LastErrMsg().c_str());
      continue;
    }
    ++queued;
  }
  std::printf("queue: %d tasks, RSS +%.1f MB, heap +%.1f MB\n", queued, RssMb() - rss0, HeapMb() - heap0);
  std::fflush(stdout);

  std::atomic<bool> runEnded{false};
  std::atomic<int> converted{0};
  std::atomic<int> failed{0};
  engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
    if (info->TaskIndex < 0)
      runEnded = true;
    else if (info->Finished && !info->Exception)
      ++converted;
    else if (failed++ < 5)
      std::fprintf(stderr, "orvane-bench-queue: task %d: %s\n", info->TaskIndex, info->ExceptionMsg.c_str());
  });
  engine.StartTask(1);
  while (!runEnded) HeadlessDispatcher().WaitAndProcess(50);
  engine.SetOnTerminate(nullptr);
  engine.ClearTasks();
  std::printf("converted: %d of %d\n", converted.load(), count);
  return converted == count ? 0 : 1;
}
