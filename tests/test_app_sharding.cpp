// The bookkeeping of sharded and resumable runs: which shard a process takes, path mapping,
// the ledger shared by several processes, and output names left behind by a dead process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/core/ledger.h"
#include "app/core/outputfile.h"
#include "app/core/runstatus.h"
#include "app/core/sharding.h"
#include "tests/support/test_support.h"

namespace {

struct TShardCase {
  const char* Name;
  std::string Explicit;
  int Shards;
  std::map<std::string, std::string> Env;
  bool Ok;
  int Index, Count;
  const char* Source;
};

TEST(Sharding, ShardComesFromTheCommandLineOrTheRunnersEnvironment) {
  const std::vector<TShardCase> cases = {
      {"explicit", "2/4", 0, {{"SLURM_ARRAY_TASK_ID", "0"}}, true, 2, 4, "--shard"},
      {"explicit last", "3/4", 0, {}, true, 3, 4, "--shard"},
      {"explicit index too big", "4/4", 0, {}, false, 0, 0, ""},
      {"explicit not numbers", "a/b", 0, {}, false, 0, 0, ""},
      {"explicit negative", "-1/3", 0, {}, false, 0, 0, ""},
      {"explicit without count", "1", 0, {}, false, 0, 0, ""},
      {"explicit and --shards disagree", "1/4", 3, {}, false, 0, 0, ""},
      {"slurm",
       "",
       0,
       {{"SLURM_ARRAY_TASK_ID", "2"}, {"SLURM_ARRAY_TASK_COUNT", "4"}},
       true,
       2,
       4,
       "SLURM_ARRAY_TASK_ID"},
      // --array=1-4: the first task is shard 0.
      {"slurm from 1",
       "",
       0,
       {{"SLURM_ARRAY_TASK_ID", "4"}, {"SLURM_ARRAY_TASK_MIN", "1"}, {"SLURM_ARRAY_TASK_COUNT", "4"}},
       true,
       3,
       4,
       "SLURM_ARRAY_TASK_ID"},
      // --array=0-9:3 gives tasks 0, 3, 6, 9.
      {"slurm with step",
       "",
       0,
       {{"SLURM_ARRAY_TASK_ID", "6"},
        {"SLURM_ARRAY_TASK_MIN", "0"},
        {"SLURM_ARRAY_TASK_STEP", "3"},
        {"SLURM_ARRAY_TASK_COUNT", "4"}},
       true,
       2,
       4,
       "SLURM_ARRAY_TASK_ID"},
      {"slurm without count", "", 0, {{"SLURM_ARRAY_TASK_ID", "1"}}, false, 0, 0, ""},
      {"slurm task outside the array",
       "",
       0,
       {{"SLURM_ARRAY_TASK_ID", "5"}, {"SLURM_ARRAY_TASK_COUNT", "4"}},
       false,
       0,
       0,
       ""},
      {"kubernetes", "", 4, {{"JOB_COMPLETION_INDEX", "1"}}, true, 1, 4, "JOB_COMPLETION_INDEX"},
      {"kubernetes index too big", "", 4, {{"JOB_COMPLETION_INDEX", "4"}}, false, 0, 0, ""},
      {"kubernetes without --shards: whole list, with a note", "", 0, {{"JOB_COMPLETION_INDEX", "1"}}, true, 0, 1, ""},
      {"--shards without an index", "", 4, {}, false, 0, 0, ""},
      {"nothing: whole list", "", 0, {}, true, 0, 1, ""},
  };
  for (const TShardCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TShardSpec spec;
    std::string err;
    std::vector<std::string> notes;
    const bool ok = ChooseShard(
        c.Explicit, c.Shards,
        [&](const char* name) -> const char* {
          auto it = c.Env.find(name);
          return it == c.Env.end() ? nullptr : it->second.c_str();
        },
        spec, err, notes);
    ASSERT_EQ(ok, c.Ok) << err;
    if (!ok) {
      EXPECT_FALSE(err.empty());
      continue;
    }
    EXPECT_EQ(spec.Index, c.Index);
    EXPECT_EQ(spec.Count, c.Count);
    EXPECT_EQ(spec.Source, c.Source);
    EXPECT_EQ(notes.size(), c.Env.count("JOB_COMPLETION_INDEX") && c.Shards == 0 ? 1u : 0u);
  }
}

TEST(Sharding, ShardsCoverTheListOnceWithFairShares) {
  for (size_t jobs : {0u, 1u, 7u, 200u})
    for (int count : {1, 2, 3, 4, 16}) {
      SCOPED_TRACE(std::to_string(jobs) + " jobs in " + std::to_string(count));
      std::vector<int> owner(jobs, -1);
      std::vector<size_t> sizes(size_t(count), 0);
      for (int i = 0; i < count; ++i) {
        TShardSpec spec;
        spec.Index = i;
        spec.Count = count;
        for (size_t k = 0; k < jobs; ++k)
          if (spec.Contains(k)) {
            EXPECT_EQ(owner[k], -1) << "job " << k << " in two shards";
            owner[k] = i;
            ++sizes[size_t(i)];
          }
      }
      for (size_t k = 0; k < jobs; ++k) EXPECT_NE(owner[k], -1) << "job " << k << " in no shard";
      const auto [lo, hi] = std::minmax_element(sizes.begin(), sizes.end());
      EXPECT_LE(*hi - *lo, 1u);
    }
}

TEST(Sharding, PathMapRewritesWholeFolderNamesBothWays) {
  TPathMap map;
  std::string err;
  ASSERT_TRUE(map.Add("/data=/mnt/nas/", err)) << err;
  ASSERT_TRUE(map.Add("/data/special=/fast", err)) << err;
  for (const char* bad : {"/data", "data=/x", "/x=", "=/x", "/x=y"}) EXPECT_FALSE(map.Add(bad, err)) << bad;
  EXPECT_EQ(map.Local("/data/a/b.mp4"), "/mnt/nas/a/b.mp4");
  EXPECT_EQ(map.Local("/data"), "/mnt/nas");
  EXPECT_EQ(map.Local("/data/special/c.mp4"), "/fast/c.mp4");  // the longer rule wins
  EXPECT_EQ(map.Local("/database/x"), "/database/x");          // not the folder /data
  EXPECT_EQ(map.Shared("/mnt/nas/a/b.mp4"), "/data/a/b.mp4");
  EXPECT_EQ(map.Shared("/fast/c.mp4"), "/data/special/c.mp4");
  EXPECT_EQ(map.Shared("/elsewhere/x"), "/elsewhere/x");
}

// One folder has one name, and so one identity in the ledger, however it was written.
TEST(Sharding, FolderNamesAreMadeWholeAndNormal) {
  const std::string cwd = std::filesystem::current_path().string();
  for (const char* same : {"o", "o/", "./o", "o//", "x/../o/."}) EXPECT_EQ(AbsolutePath(same), cwd + "/o") << same;
  EXPECT_EQ(AbsolutePath("/data//out/./"), "/data/out");
  EXPECT_EQ(AbsolutePath("/"), "/");
}

TEST(Sharding, ExitStatusOfARun) {
  testsupport::TempDir dir;
  EXPECT_TRUE(FailureMayPass("/o/a.mp4: No space left on device", dir.path().string()));
  EXPECT_TRUE(FailureMayPass("/o/a.mp4: I/O error", dir.path().string()));
  EXPECT_TRUE(FailureMayPass("/o/a.mp4: Input/output error", dir.path().string()));
  EXPECT_FALSE(FailureMayPass("/i/a.mp4: Invalid data found when processing input", dir.path().string()));
  // Whatever the message, a missing output folder may come back.
  EXPECT_TRUE(FailureMayPass("/i/a.mp4: Invalid data found when processing input", dir.file("gone")));
  EXPECT_EQ(RunExitStatus(0, 0, 0), 0);
  EXPECT_EQ(RunExitStatus(2, 0, 0), 1);
  EXPECT_EQ(RunExitStatus(2, 1, 0), 75);
  EXPECT_EQ(RunExitStatus(2, 1, 15), 143);
}

TJobIdentity Identity(const std::string& source, int64_t size) {
  TJobIdentity id;
  id.Source = source;
  id.Size = size;
  id.MtimeNs = 1700000000123456789;
  id.Profile = 300;
  id.Settings = "0123456789abcdef";
  return id;
}

TEST(Ledger, EntriesSurviveNamesWithTabsAndACutOffLine) {
  testsupport::TempDir dir;
  const std::string path = dir.file("l.ledger");
  const TJobIdentity odd = Identity("/in/tab\there\nnewline\\back.mp4", 10);
  {
    TLedger ledger;
    std::string err;
    ASSERT_TRUE(ledger.Open(path, err)) << err;
    ASSERT_TRUE(ledger.Append(odd, "/out/x_(new).mp4", err)) << err;
  }
  // A crash in the middle of a line: the piece is ignored, and the next entry stays whole.
  std::ofstream(path, std::ios::app) << "done\t/in/cut.mp4\t12\t";
  {
    TLedger ledger;
    std::string err;
    ASSERT_TRUE(ledger.Open(path, err)) << err;
    EXPECT_EQ(ledger.EntryCount(), 1u);
    EXPECT_EQ(ledger.Find(odd), "/out/x_(new).mp4");
    EXPECT_EQ(ledger.Find(Identity("/in/cut.mp4", 12)), "");
    ASSERT_TRUE(ledger.Append(Identity("/in/b.mp4", 20), "/out/b_(new).mp4", err)) << err;
  }
  TLedger ledger;
  std::string err;
  ASSERT_TRUE(ledger.Open(path, err)) << err;
  EXPECT_EQ(ledger.EntryCount(), 2u);
  EXPECT_EQ(ledger.Find(Identity("/in/b.mp4", 20)), "/out/b_(new).mp4");
  // Another size or time is another file.
  EXPECT_EQ(ledger.Find(Identity("/in/b.mp4", 21)), "");
}

// CR LF line ends count as line ends; a torn line (closed by the next append) and a garbled
// one are left out and reported with the source they name; a second reader sees what another
// process appended after it opened the ledger.
TEST(Ledger, LinesAreReadTolerantlyAndDamagedOnesReported) {
  testsupport::TempDir dir;
  const std::string path = dir.file("l.ledger");
  const TJobIdentity a = Identity("/in/a.mp4", 1), b = Identity("/in/b.mp4", 2), c = Identity("/in/c.mp4", 3);
  std::string crlf = LedgerLine(a, "/out/a_(new).mp3");
  crlf.insert(crlf.size() - 1, "\r");
  std::ofstream(path, std::ios::binary) << crlf << "done\t/in/torn.mp4\t12\t";
  std::string err;
  {
    TLedger ledger;
    ASSERT_TRUE(ledger.Open(path, err)) << err;
    EXPECT_EQ(ledger.Find(a), "/out/a_(new).mp3");
    ASSERT_EQ(ledger.Damaged().size(), 1u);  // cut off by a crash: appends are whole lines
    EXPECT_EQ(ledger.Damaged()[0].Source, "/in/torn.mp4");
    ASSERT_TRUE(ledger.Append(b, "/out/b_(new).mp3", err)) << err;
    ASSERT_TRUE(ledger.Refresh(err)) << err;
    EXPECT_EQ(ledger.Damaged().size(), 1u);  // closed by the append, still reported once
  }
  std::ofstream(path, std::ios::binary | std::ios::app) << "done\t/in/garbled.mp4\tx\t\x01\n";
  TLedger reader;
  ASSERT_TRUE(reader.Open(path, err)) << err;
  EXPECT_EQ(reader.EntryCount(), 2u);
  EXPECT_EQ(reader.Find(b), "/out/b_(new).mp3");
  ASSERT_EQ(reader.Damaged().size(), 2u);
  EXPECT_EQ(reader.Damaged()[0].Number, 2u);
  EXPECT_EQ(reader.Damaged()[0].Source, "/in/torn.mp4");
  EXPECT_EQ(reader.Damaged()[1].Number, 4u);
  EXPECT_EQ(reader.Damaged()[1].Source, "/in/garbled.mp4");
  EXPECT_TRUE(reader.MayHaveLost("/in/torn.mp4"));
  EXPECT_FALSE(reader.MayHaveLost("/in/a.mp4"));

  TLedger writer;
  ASSERT_TRUE(writer.Open(path, err)) << err;
  ASSERT_TRUE(writer.Append(c, "/out/c_(new).mp3", err)) << err;
  EXPECT_EQ(reader.Find(c), "");
  ASSERT_TRUE(reader.Refresh(err)) << err;
  EXPECT_EQ(reader.Find(c), "/out/c_(new).mp3");
  EXPECT_EQ(reader.EntryCount(), 3u);
  EXPECT_EQ(reader.Damaged().size(), 2u);  // read once, reported once
  // A line too damaged to name its source may have been any job's.
  std::ofstream(path, std::ios::binary | std::ios::app) << "\x7f\x02garbage\n";
  ASSERT_TRUE(reader.Refresh(err)) << err;
  EXPECT_TRUE(reader.MayHaveLost("/in/a.mp4"));
}

TEST(Ledger, ProcessesAppendingAtOnceLoseNoEntry) {
  testsupport::TempDir dir;
  const std::string path = dir.file("shared.ledger");
  constexpr int kProcesses = 4, kEach = 100;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      TLedger ledger;
      std::string err;
      bool ok = ledger.Open(path, err);
      for (int k = 0; ok && k < kEach; ++k)
        ok = ledger.Append(Identity("/in/" + std::to_string(p) + "-" + std::to_string(k) + ".mp4", k),
                           std::string(200, char('a' + p)), err);
      _exit(ok ? 0 : 1);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  TLedger ledger;
  std::string err;
  ASSERT_TRUE(ledger.Open(path, err)) << err;
  EXPECT_EQ(ledger.EntryCount(), size_t(kProcesses * kEach));
  for (int p = 0; p < kProcesses; ++p)
    for (int k = 0; k < kEach; k += 33)
      EXPECT_EQ(ledger.Find(Identity("/in/" + std::to_string(p) + "-" + std::to_string(k) + ".mp4", k)),
                std::string(200, char('a' + p)));
}

TEST(OutputNames, ATemporaryFileOfADeadProcessIsTakenOverAndALiveOneIsNot) {
  testsupport::TempDir dir;
  const std::string folder = dir.path().string();
  // Left by a process that died: nobody holds it.
  const std::string stale = OutputTempName(OutputCandidate(folder, "/in/a.mp4", ".mp4", 0));
  std::ofstream(stale) << "half a file";
  TOutputReservation a = TOutputReservation::Reserve(folder, "/in/a.mp4", ".mp4");
  EXPECT_EQ(a.TempPath(), stale);
  EXPECT_EQ(std::filesystem::file_size(stale), 0u);
  // Held by a running process (a second open file with the lock taken).
  const std::string held = OutputTempName(OutputCandidate(folder, "/in/b.mp4", ".mp4", 0));
  const int fd = ::open(held.c_str(), O_WRONLY | O_CREAT, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  TOutputReservation b = TOutputReservation::Reserve(folder, "/in/b.mp4", ".mp4");
  EXPECT_EQ(b.FinalPath(), OutputCandidate(folder, "/in/b.mp4", ".mp4", 1));
  // The reservation's own lock keeps a second reservation off its name.
  TOutputReservation a2 = TOutputReservation::Reserve(folder, "/in/a.mp4", ".mp4");
  EXPECT_EQ(a2.FinalPath(), OutputCandidate(folder, "/in/a.mp4", ".mp4", 1));
  // A first number given: the names before it are not tried.
  TOutputReservation c = TOutputReservation::Reserve(folder, "/in/c.mp4", ".mp4", 2);
  EXPECT_EQ(c.FinalPath(), OutputCandidate(folder, "/in/c.mp4", ".mp4", 2));
  ::close(fd);
}

// A job's own output name (a list split over processes): held by another process, writing it
// or not yet done with the finished file, the job is that process's; a finished file nobody
// holds is only a taken name; the process's own reservations are no other process.
TEST(OutputNames, TheOwnNameOfAJobHeldByAnotherProcessIsLeftToIt) {
  testsupport::TempDir dir;
  const std::string folder = dir.path().string();
  auto own = [&](const std::string& source, TOutputReservation::TOwnName& o) {
    return TOutputReservation::Reserve(folder, source, ".mp3", 0, &o);
  };
  auto lockedBy = [](const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0666);
    EXPECT_EQ(::flock(fd, LOCK_EX), 0);
    return fd;
  };
  TOutputReservation::TOwnName o;
  // Being written by another process.
  const int writing = lockedBy(OutputTempName(OutputCandidate(folder, "/in/a.mp4", ".mp3", 0)));
  EXPECT_FALSE(own("/in/a.mp4", o).Reserved());
  EXPECT_TRUE(o.HeldElsewhere);
  // Finished, not yet recorded by the process that wrote it.
  const int finishing = lockedBy(OutputCandidate(folder, "/in/b.mp4", ".mp3", 0));
  EXPECT_FALSE(own("/in/b.mp4", o).Reserved());
  EXPECT_TRUE(o.HeldElsewhere);
  // Finished and let go: a taken name, and the next one is reserved.
  ::close(finishing);
  TOutputReservation b = own("/in/b.mp4", o);
  EXPECT_FALSE(o.HeldElsewhere);
  EXPECT_TRUE(o.Taken);
  EXPECT_EQ(b.FinalPath(), OutputCandidate(folder, "/in/b.mp4", ".mp3", 1));
  // This process's own reservation of the name (two sources whose shortened names meet).
  TOutputReservation c = TOutputReservation::Reserve(folder, "/in/c.mp4", ".mp3");
  TOutputReservation c2 = own("/in/c.mp4", o);
  EXPECT_FALSE(o.HeldElsewhere);
  EXPECT_EQ(c2.FinalPath(), OutputCandidate(folder, "/in/c.mp4", ".mp3", 1));
  // A commit that keeps its lock: another process sees the job as not settled until Release.
  std::ofstream(c.TempPath()) << "data";
  const std::string committed = c.Commit(true);
  auto otherProcessSeesItHeld = [&] {
    const pid_t pid = fork();
    if (pid == 0) {
      TOutputReservation::TOwnName seen;
      TOutputReservation r = TOutputReservation::Reserve(folder, "/in/c.mp4", ".mp3", 0, &seen);
      _exit(seen.HeldElsewhere ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  EXPECT_TRUE(otherProcessSeesItHeld());
  c.Release();
  EXPECT_FALSE(otherProcessSeesItHeld());
  EXPECT_TRUE(std::filesystem::exists(committed));
  ::close(writing);
}

}  // namespace
