// Sharded and resumable runs of the command-line converter as job runners start them: real
// processes at once into one shared folder, the index from each runner's environment, GNU
// parallel, a kill -9 in the middle and a resumed run; outputs checked with the ffmpeg command.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::MediaPath;
using testsupport::ShellQuote;

const std::string kProgram = std::string(ORVANE_BINARY_DIR) + "/orvane-convert";

std::vector<QJsonObject> JsonEvents(const std::string& text) {
  std::vector<QJsonObject> events;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line));
    if (doc.isObject()) events.push_back(doc.object());
  }
  return events;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The names in a folder (the ledger left out).
std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename() != "orvane-convert.ledger") names.insert(e.path().filename().string());
  return names;
}

// Every output decodes without an error.
void ExpectDecodesCleanly(const fs::path& dir) {
  for (const std::string& name : Names(dir)) {
    std::string errors;
    EXPECT_EQ(testsupport::RunCapture("ffmpeg -v error -nostdin -i " + ShellQuote((dir / name).string()) +
                                          " -f null - 2>&1",
                                      errors),
              0)
        << name;
    EXPECT_EQ(errors, "") << name;
  }
}

size_t LedgerLines(const fs::path& dir) {
  const std::string text = ReadFile((dir / "orvane-convert.ledger").string());
  return size_t(std::count(text.begin(), text.end(), '\n'));
}

class CliShardTest : public ::testing::Test {
protected:
  // The shell's environment for a run: a private configuration folder and home.
  std::string Env() const {
    return "export XDG_CONFIG_HOME=" + ShellQuote(config_.path().string()) +
           " HOME=" + ShellQuote(home_.path().string()) + "; ";
  }
  std::string Sources() const {
    std::string s;
    for (const std::string& f : sources_) {
      s += ' ';
      s += ShellQuote(f);
    }
    return s;
  }
  // A conversion of the job list into `dir` with `options`, in the shell.
  std::string Command(const std::string& dir, const std::string& options) const {
    return ShellQuote(kProgram) + " --profile 300" + trim_ + " --output-dir " + ShellQuote(dir) + " " + options +
           Sources();
  }
  // The reference: one unsharded run of the whole list, and which output each source took.
  std::set<std::string> ReferenceNames() {
    testsupport::TempDir ref;
    std::string out;
    EXPECT_EQ(testsupport::RunCapture(Env() + Command(ref.path().string(), "--json") + " 2>/dev/null", out), 0) << out;
    referenceOutputs_ = OutputsOf(out);
    return Names(ref.path());
  }
  // Source -> output file name, of the converted jobs in a run's JSON events.
  static std::map<std::string, std::string> OutputsOf(const std::string& json) {
    std::map<std::string, std::string> outputs;
    for (const QJsonObject& e : JsonEvents(json))
      if (e["event"].toString() == "end" && e["status"].toString() == "converted")
        outputs[e["file"].toString().toStdString()] =
            fs::path(e["output"].toString().toStdString()).filename().string();
    return outputs;
  }

  testsupport::TempDir config_, home_;
  std::string trim_ = " --trim 0,1";
  std::map<std::string, std::string> referenceOutputs_;
  // Two pairs of sources share their name without the extension: the shards must number
  // their outputs as one run does.
  std::vector<std::string> sources_ = {MediaPath("clip.mp4"), MediaPath("audio.mp3"),    MediaPath("clip.avi"),
                                       MediaPath("lang.ts"),  MediaPath("mono48k.mp4"),  MediaPath("audio.wav"),
                                       MediaPath("clip.mkv"), MediaPath("two_audio.mkv")};
};

// Four shards at once into one folder, their index from the command line, from a Slurm job
// array's environment, from a Kubernetes Indexed Job's environment, and from GNU parallel:
// each time the outputs of one unsharded run, each job converted by exactly one shard.
TEST_F(CliShardTest, FourShardsAtOnceGiveTheOutputsOfOneRun) {
  const std::set<std::string> reference = ReferenceNames();
  ASSERT_EQ(reference.size(), sources_.size());
  struct TRunner {
    const char* Name;
    std::string Options;      // {i}: the shard index
    std::string Environment;  // {i}: the shard index
    const char* VerboseNote;
  };
  const std::vector<TRunner> runners = {
      {"--shard", "--shard {i}/4", "", "index from --shard"},
      // An array from 1 to 4 (--array=1-4), as Slurm sets it.
      {"slurm", "", "SLURM_ARRAY_TASK_ID=$(({i}+1)) SLURM_ARRAY_TASK_MIN=1 SLURM_ARRAY_TASK_COUNT=4 ",
       "index from SLURM_ARRAY_TASK_ID"},
      {"kubernetes", "--shards 4", "JOB_COMPLETION_INDEX={i} ", "index from JOB_COMPLETION_INDEX"},
  };
  auto replace = [](std::string s, const std::string& i) {
    for (size_t at; (at = s.find("{i}")) != std::string::npos;) s.replace(at, 3, i);
    return s;
  };
  for (const TRunner& r : runners) {
    SCOPED_TRACE(r.Name);
    testsupport::TempDir out, logs;
    std::string script = Env();
    for (int i = 0; i < 4; ++i) {
      const std::string log = logs.file(std::to_string(i));
      script += replace(r.Environment, std::to_string(i)) +
                Command(out.path().string(), "-v --json --resume " + replace(r.Options, std::to_string(i))) + " >" +
                ShellQuote(log + ".json") + " 2>" + ShellQuote(log + ".err") + " & pids=\"$pids $!\"; ";
    }
    script += "s=0; for p in $pids; do wait $p || s=$?; done; echo $s";
    std::string status;
    testsupport::RunCapture("bash -c " + ShellQuote(script), status);
    EXPECT_EQ(status, "0\n");
    std::map<int, int> converted;  // job -> times
    std::map<std::string, std::string> outputs;
    for (int i = 0; i < 4; ++i) {
      const std::string log = logs.file(std::to_string(i));
      outputs.merge(OutputsOf(ReadFile(log + ".json")));
      EXPECT_NE(ReadFile(log + ".err").find(r.VerboseNote), std::string::npos) << ReadFile(log + ".err");
      for (const QJsonObject& e : JsonEvents(ReadFile(log + ".json"))) {
        EXPECT_EQ(e["shard"].toInt(-1), i);
        EXPECT_EQ(e["shards"].toInt(), 4);
        if (e["event"].toString() == "end" && e["status"].toString() == "converted") ++converted[e["job"].toInt()];
      }
    }
    EXPECT_EQ(converted.size(), sources_.size());
    for (const auto& [job, times] : converted) EXPECT_EQ(times, 1) << "job " << job;
    EXPECT_EQ(Names(out.path()), reference);
    EXPECT_EQ(outputs, referenceOutputs_);
    EXPECT_EQ(LedgerLines(out.path()), sources_.size());
    ExpectDecodesCleanly(out.path());
  }

  // GNU parallel runs the four shards as a runner on this machine would.
  std::string have;
  if (testsupport::RunCapture("command -v parallel", have) != 0) GTEST_SKIP() << "GNU parallel is not installed";
  testsupport::TempDir out;
  std::string log;
  const int rc = testsupport::RunCapture(Env() + "parallel --will-cite -j 4 " +
                                             Command(out.path().string(), "-q --resume --shard {}/4") +
                                             " ::: 0 1 2 3 2>&1",
                                         log);
  EXPECT_EQ(rc, 0) << log;
  EXPECT_EQ(Names(out.path()), reference);
  EXPECT_EQ(LedgerLines(out.path()), sources_.size());
  ExpectDecodesCleanly(out.path());
}

// kill -9 in the middle of a sharded run, then --resume: only the unfinished jobs convert,
// and the shards' final set is that of one unsharded run.
TEST_F(CliShardTest, KilledShardResumesOnlyWhatIsMissing) {
  // Shard 0 of 2 takes jobs 0, 2 and 4; job 2 is the long clip, which the kill interrupts.
  sources_ = {MediaPath("clip.mp4"), MediaPath("audio.mp3"), MediaPath("long.mp4"),
              MediaPath("lang.ts"),  MediaPath("clip.avi"),  MediaPath("mono48k.mp4")};
  // Without a trim, so that the long clip takes a few seconds.
  trim_ = "";
  const std::set<std::string> reference = ReferenceNames();
  testsupport::TempDir out, logs;
  const std::string log = logs.file("killed.json");
  std::string cmd = Command(out.path().string(), "--json --resume --shard 0/2");
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/bash", "bash", "-c", (Env() + "exec " + cmd + " >" + ShellQuote(log) + " 2>&1").c_str(), nullptr);
    _exit(127);
  }
  // Wait until job 0 is done and job 2 is part way through.
  bool midway = false;
  for (int waited = 0; waited < 60000 && !midway; waited += 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    bool firstDone = false;
    for (const QJsonObject& e : JsonEvents(ReadFile(log))) {
      if (e["event"].toString() == "end" && e["job"].toInt() == 0) firstDone = true;
      if (firstDone && e["event"].toString() == "progress" && e["job"].toInt() == 2 && e["percent"].toDouble() > 5)
        midway = true;
    }
  }
  ASSERT_TRUE(midway) << ReadFile(log);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(LedgerLines(out.path()), 1u);

  std::string resumed;
  cmd.replace(cmd.find("--json"), 6, "--json -q");
  EXPECT_EQ(testsupport::RunCapture(Env() + cmd + " 2>&1", resumed), 0) << resumed;
  std::set<int> done, queued;
  for (const QJsonObject& e : JsonEvents(resumed)) {
    if (e["event"].toString() == "done") done.insert(e["job"].toInt());
    if (e["event"].toString() == "queued") queued.insert(e["job"].toInt());
  }
  EXPECT_EQ(done, (std::set<int>{0}));
  EXPECT_EQ(queued, (std::set<int>{2, 4}));
  // The other shard, then a second resumed run of both: nothing left to convert.
  std::string other = Command(out.path().string(), "-q --resume --shard 1/2");
  std::string text;
  EXPECT_EQ(testsupport::RunCapture(Env() + other + " 2>&1", text), 0) << text;
  EXPECT_EQ(Names(out.path()), reference);
  EXPECT_EQ(LedgerLines(out.path()), sources_.size());
  ExpectDecodesCleanly(out.path());
  EXPECT_EQ(testsupport::RunCapture(Env() + Command(out.path().string(), "--json --resume") + " 2>&1", text), 0)
      << text;
  size_t doneCount = 0;
  for (const QJsonObject& e : JsonEvents(text)) {
    EXPECT_NE(e["event"].toString(), "queued") << text;
    doneCount += e["event"].toString() == "done" ? 1 : 0;
  }
  EXPECT_EQ(doneCount, sources_.size()) << text;
}

// Two machines mount the shared storage at different places: each reads and writes at its own
// place, the ledger names the shared place, and the second machine's resumed run finds done
// what the first converted.
TEST_F(CliShardTest, MachinesWithOtherMountsShareOneLedger) {
  testsupport::TempDir storage, mounts;
  fs::create_directories(storage.path() / "in");
  fs::copy_file(MediaPath("audio.mp3"), storage.path() / "in" / "a b.mp3");
  fs::copy_file(MediaPath("lang.ts"), storage.path() / "in" / "c.ts");
  const std::string shared = "/orvane-shared-storage";  // a name no machine has
  std::ofstream(storage.file("jobs.ini"))
      << "[file1]\nSourceFile=" << shared << "/in/a b.mp3\n[file2]\nSourceFile=in/c.ts\n";
  fs::create_directory_symlink(storage.path(), mounts.path() / "one");
  fs::create_directory_symlink(storage.path(), mounts.path() / "two");
  sources_.clear();
  auto run = [&](const std::string& mount, std::string& out) {
    return testsupport::RunCapture(Env() +
                                       Command(shared + "/out", "--json --resume --map-root " + shared + "=" +
                                                                    ShellQuote((mounts.path() / mount).string()) +
                                                                    " --batch " + shared + "/jobs.ini") +
                                       " 2>&1",
                                   out);
  };
  std::string out;
  ASSERT_EQ(run("one", out), 0) << out;
  EXPECT_EQ(Names(storage.path() / "out"), (std::set<std::string>{"a b_(new).mp3", "c_(new).mp3"}));
  const std::string ledger = ReadFile(storage.file("out/orvane-convert.ledger"));
  EXPECT_NE(ledger.find("\t" + shared + "/in/a b.mp3\t"), std::string::npos) << ledger;
  EXPECT_NE(ledger.find("\t" + shared + "/in/c.ts\t"), std::string::npos) << ledger;
  EXPECT_NE(ledger.find("\t" + shared + "/out/c_(new).mp3\n"), std::string::npos) << ledger;
  ASSERT_EQ(run("two", out), 0) << out;
  size_t done = 0;
  for (const QJsonObject& e : JsonEvents(out)) {
    EXPECT_NE(e["event"].toString(), "queued") << out;
    done += e["event"].toString() == "done" ? 1 : 0;
  }
  EXPECT_EQ(done, 2u) << out;
}

// A source changed since its entry converts again; the exit statuses a runner acts on.
TEST_F(CliShardTest, ChangedSourcesConvertAgainAndFailuresTellWhetherToRetry) {
  testsupport::TempDir src, out;
  const std::string a = src.file("a.mp4");
  fs::copy_file(MediaPath("clip.mp4"), a);
  sources_ = {a};
  std::string text;
  const std::string cmd = Env() + Command(out.path().string(), "--resume") + " 2>&1";
  ASSERT_EQ(testsupport::RunCapture(cmd, text), 0) << text;
  ASSERT_EQ(testsupport::RunCapture(cmd, text), 0) << text;
  EXPECT_NE(text.find("converted already"), std::string::npos) << text;
  EXPECT_EQ(Names(out.path()), (std::set<std::string>{"a_(new).mp3"}));
  // Same size, another modification time.
  fs::last_write_time(a, fs::last_write_time(a) + std::chrono::seconds(5));
  ASSERT_EQ(testsupport::RunCapture(cmd, text), 0) << text;
  EXPECT_EQ(Names(out.path()), (std::set<std::string>{"a_(new).mp3", "a_(new_1).mp3"}));

  // A broken input will not convert on a retry: 1.
  const std::string broken = src.file("broken.mp4");
  std::ofstream(broken) << "not a video\n";
  sources_ = {broken};
  EXPECT_EQ(testsupport::RunCapture(Env() + Command(out.path().string(), "--resume") + " 2>&1", text), 1) << text;
  // An output folder that cannot be made or written may be there on a retry (a file system
  // not mounted yet): 75. A file where the folder would be is a usage error: 2.
  std::ofstream(src.file("file")) << "in the way";
  sources_ = {a};
  EXPECT_EQ(testsupport::RunCapture(Env() + Command("/proc/orvane-none/out", "--resume") + " 2>&1", text), 75) << text;
  EXPECT_NE(text.find("cannot create the output folder"), std::string::npos) << text;
  EXPECT_EQ(testsupport::RunCapture(Env() + Command(src.file("file") + "/out", "--resume") + " 2>&1", text), 2) << text;
  EXPECT_NE(text.find(src.file("file") + " is not a folder"), std::string::npos) << text;
  // SIGTERM (a preempted task) in a resumable run: 143, and the part converted so far goes, so
  // that the next run converts the file whole under the same name.
  {
    testsupport::TempDir termOut, logs;
    sources_ = {MediaPath("long.mp4")};
    trim_ = "";
    const std::string log = logs.file("term.json");
    const pid_t pid = fork();
    if (pid == 0) {
      execl("/bin/bash", "bash", "-c",
            (Env() + "exec " + Command(termOut.path().string(), "--json --resume") + " >" + ShellQuote(log) + " 2>&1")
                .c_str(),
            nullptr);
      _exit(127);
    }
    bool midway = false;
    for (int waited = 0; waited < 60000 && !midway; waited += 20) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      for (const QJsonObject& e : JsonEvents(ReadFile(log)))
        midway = midway || (e["event"].toString() == "progress" && e["percent"].toDouble() > 5);
    }
    EXPECT_TRUE(midway) << ReadFile(log);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143) << ReadFile(log);
    EXPECT_EQ(Names(termOut.path()), std::set<std::string>{}) << ReadFile(log);
    EXPECT_EQ(LedgerLines(termOut.path()), 0u);
    trim_ = " --trim 0,1";
  }

  // A ledger that cannot be opened: 75.
  sources_ = {a};
  EXPECT_EQ(testsupport::RunCapture(Env() + Command(out.path().string(), "--ledger /proc/none/x.ledger --resume") +
                                        " 2>&1",
                                    text),
            75)
      << text;
}

// The same shard started twice at once (a runner that retried too early, a user who typed it
// twice): each job is converted by exactly one of the two processes, under its own name; the
// other one leaves it and says so.
TEST_F(CliShardTest, SameShardStartedTwiceConvertsEachJobOnce) {
  // Whole clips with pictures: the conversions last long enough for the two runs to meet.
  sources_ = {MediaPath("clip.mp4"), MediaPath("audio.mp3"),   MediaPath("clip.avi"),      MediaPath("lang.ts"),
              MediaPath("clip.mkv"), MediaPath("mono48k.mp4"), MediaPath("bars_16x9.mp4"), MediaPath("two_audio.mkv")};
  trim_ = "";
  testsupport::TempDir out, logs;
  std::string script = Env();
  for (int i = 0; i < 2; ++i)
    script += Command(out.path().string(), "--profile 0 --json --resume --shard 0/2") + " >" +
              ShellQuote(logs.file(std::to_string(i) + ".json")) + " 2>" +
              ShellQuote(logs.file(std::to_string(i) + ".err")) + " & pids=\"$pids $!\"; sleep 0.3; ";
  script += "s=0; for p in $pids; do wait $p || s=$?; done; echo $s";
  std::string status;
  testsupport::RunCapture("bash -c " + ShellQuote(script), status);
  EXPECT_EQ(status, "0\n") << ReadFile(logs.file("0.err")) << ReadFile(logs.file("1.err"));
  std::map<int, int> converted;  // job -> times
  int leftToTheOther = 0;
  for (int i = 0; i < 2; ++i)
    for (const QJsonObject& e : JsonEvents(ReadFile(logs.file(std::to_string(i) + ".json")))) {
      if (e["event"].toString() == "end" && e["status"].toString() == "converted") ++converted[e["job"].toInt()];
      if (e["event"].toString() == "elsewhere") ++leftToTheOther;
      if (e["event"].toString() == "run_end") {
        EXPECT_EQ(e["exit_code"].toInt(-1), 0);
      }
    }
  EXPECT_EQ(converted, (std::map<int, int>{{0, 1}, {2, 1}, {4, 1}, {6, 1}}));
  EXPECT_GT(leftToTheOther, 0);  // the runs met
  EXPECT_EQ(Names(out.path()),
            (std::set<std::string>{"clip_(new).mp4", "clip_(new_1).mp4", "clip_(new_2).mp4", "bars_16x9_(new).mp4"}));
  EXPECT_EQ(LedgerLines(out.path()), 4u);
}

// A ledger that went through an editor of another system (CR LF), a ledger whose lines were
// torn or garbled, and the output folder written another way: a resumed run converts nothing
// again; a damaged line is reported, and its job's complete output is recorded anew.
TEST_F(CliShardTest, DamagedLedgersAndFolderSpellingsConvertNothingAgain) {
  sources_ = {MediaPath("clip.mp4"), MediaPath("audio.mp3"), MediaPath("lang.ts")};
  testsupport::TempDir out;
  const std::string ledgerPath = (out.path() / "orvane-convert.ledger").string();
  // Job -> "converted" or "done", from a run's JSON events.
  auto run = [&](const std::string& folder, std::string& err) {
    std::string text;
    const std::string errFile = (out.path().parent_path() / (out.path().filename().string() + ".err")).string();
    EXPECT_EQ(testsupport::RunCapture(Env() + Command(folder, "--json --resume") + " 2>" + ShellQuote(errFile), text),
              0)
        << text << ReadFile(errFile);
    err = ReadFile(errFile);
    std::map<int, std::string> what;
    for (const QJsonObject& e : JsonEvents(text)) {
      if (e["event"].toString() == "done") what[e["job"].toInt()] = "done";
      if (e["event"].toString() == "end") what[e["job"].toInt()] = e["status"].toString().toStdString();
    }
    return what;
  };
  const std::map<int, std::string> allDone{{0, "done"}, {1, "done"}, {2, "done"}};
  std::string err;
  ASSERT_EQ(run(out.path().string(), err),
            (std::map<int, std::string>{{0, "converted"}, {1, "converted"}, {2, "converted"}}));
  const std::set<std::string> names = Names(out.path());
  ASSERT_EQ(names.size(), 3u);

  std::string crlf;
  for (char c : ReadFile(ledgerPath)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::ofstream(ledgerPath, std::ios::binary | std::ios::trunc) << crlf;
  EXPECT_EQ(run(out.path().string() + "/", err), allDone) << err;
  EXPECT_EQ(run(out.path().string() + "//.", err), allDone) << err;
  EXPECT_EQ(err, "");

  // Line 1 garbled, line 3 torn after its source (a crash), then closed by an append.
  std::string text = ReadFile(ledgerPath);
  const size_t firstTab = text.find('\t', 5);
  text[firstTab + 1] = 'x';  // the size field
  const size_t third = text.find('\n', text.find('\n') + 1) + 1;
  text = text.substr(0, text.find('\t', third + 5) + 3);
  std::ofstream(ledgerPath, std::ios::binary | std::ios::trunc) << text;
  EXPECT_EQ(run(out.path().string(), err), allDone) << err;
  EXPECT_NE(err.find("ledger " + ledgerPath + ": line 1 is damaged and was left out (it names " + sources_[0] + ")"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find(": line 3 is damaged and was left out (it names " + sources_[2] + ")"), std::string::npos) << err;
  EXPECT_EQ(Names(out.path()), names);
  // Recorded anew: a later run finds every job in whole lines.
  EXPECT_EQ(run(out.path().string(), err), allDone) << err;
  EXPECT_EQ(Names(out.path()), names);
}

}  // namespace
