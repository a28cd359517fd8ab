// The ledger's cost per job: an append (one locked write and fsync per finished job), the
// reading of a ledger at the start of a run, and the look-up of a job.
//
// Usage: orvane-ledger-bench FOLDER [ENTRIES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/core/ledger.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TJobIdentity Identity(int k) {
  TJobIdentity id;
  id.Source = "/data/in/holiday clip " + std::to_string(k) + ".mkv";
  id.Size = 10000000 + k;
  id.MtimeNs = 1700000000000000000LL + k;
  id.Profile = 1;
  id.Settings = "0123456789abcdef";
  return id;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: orvane-ledger-bench FOLDER [ENTRIES]\n");
    return 2;
  }
  const int entries = argc > 2 ? std::atoi(argv[2]) : 1000;
  const std::string path = std::string(argv[1]) + "/bench.ledger";
  std::remove(path.c_str());
  std::string err;
  {
    TLedger ledger;
    if (!ledger.Open(path, err)) return std::fprintf(stderr, "%s\n", err.c_str()), 1;
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < entries; ++k)
      if (!ledger.Append(Identity(k), "/data/out/holiday clip " + std::to_string(k) + "_(new).mp4", err))
        return std::fprintf(stderr, "%s\n", err.c_str()), 1;
    std::printf("append (locked write + fsync): %.1f us per job (%d jobs)\n", Seconds(t0) * 1e6 / entries, entries);
  }
  TLedger ledger;
  const auto t1 = std::chrono::steady_clock::now();
  if (!ledger.Open(path, err)) return std::fprintf(stderr, "%s\n", err.c_str()), 1;
  std::printf("open and read: %.2f us per entry (%zu entries)\n", Seconds(t1) * 1e6 / double(ledger.EntryCount()),
              ledger.EntryCount());
  const auto t2 = std::chrono::steady_clock::now();
  int found = 0;
  for (int k = 0; k < entries; ++k) found += ledger.Find(Identity(k)).empty() ? 0 : 1;
  std::printf("look-up: %.2f us per job (%d of %d found)\n", Seconds(t2) * 1e6 / entries, found, entries);
  std::remove(path.c_str());
  return found == entries ? 0 : 1;
}
