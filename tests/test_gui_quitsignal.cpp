// SIGTERM and SIGINT close the desktop program as Exit does, also while a player is open (the
// preview playing, an editing dialog open) or a conversion runs: the program ends promptly with
// status 0, and no unfinished output is left under a final name. The real program binary is
// signalled, and so is a child of this test that runs the program's windows with a file
// (the program takes no file on its command line): it builds the main window and installs the
// signal handling exactly as app/main.cpp does, then adds a clip as Add does after its dialog.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/core/inifile.h"
#include "app/jobadder.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "app/previewpanel.h"
#include "app/quitsignals.h"
#include "app/runcontroller.h"
#include "controls/imagebutton.h"
#include "controls/theme.h"
#include "dialogs/trim.h"
#include "media/player.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kFormatIni = std::string(ORVANE_BINARY_DIR) + "/data/orvanepspformat.ini";

// Starts a program with extra environment entries; its pid, or -1.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env(extraEnv);
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0].c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  return pid;
}

// Waits up to timeoutMs for the child to end; true with its wait status in `status`.
bool WaitChild(pid_t pid, int timeoutMs, int& status) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string Describe(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "wait status " + std::to_string(status);
}

// Whether the process has a handler of its own for the signal (/proc's SigCgt mask).
bool CatchesSignal(pid_t pid, int sig) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
  return false;
}

void WriteSettings(const TempDir& dir) {
  fs::create_directories(dir.file("out"));
  fs::create_directories(dir.file("cfg"));
  TIniFile(dir.file("cfg/orvanepspvideoconverter.ini")).WriteString("settings", "OutPutDir", dir.file("out"));
}

// The program's windows with a file, in a child of the test (see the top of the file), set up
// by the scenario named in ORVANE_QUIT_SCENARIO; then "ready" is written into ORVANE_QUIT_DIR
// and the event loop runs until the program closes. The child's status is the loop's, as
// main()'s is; 3 when the scenario could not be set up.
int ChildProgram(const std::string& s, const std::string& dir) {
  const auto fail = [](const char* what) {
    std::fprintf(stderr, "quit-signal child: %s\n", what);
    return 3;
  };
  int rc = -1;
  {
    TfrmMain main(dir + "/cfg/orvanepspvideoconverter.ini", kFormatIni);
    TQuitSignals quitSignals(main);
    main.show();
    QSignalSpy added(main.Adder(), &TJobAdder::Finished);
    main.AddFiles({QString::fromStdString(MediaPath(s == "run" ? "long.mp4" : "clip.mp4"))});
    if (!(added.count() > 0 || added.wait(60000)) || main.JobModel()->rowCount() != 1) return fail("adding failed");
    main.JobList()->setCurrentIndex(main.JobModel()->index(0, 0));
    if (s == "preview") {
      TPreviewPanel& p = *main.Preview();
      QTest::mouseClick(p.PlayButton(), Qt::LeftButton, {}, p.PlayButton()->rect().center());
      if (!QTest::qWaitFor([&] { return p.Player().IsOpen() && p.Player().CurrentPosition() > 0; }, 20000))
        return fail("the preview did not play");
    } else if (s == "trim") {
      main.UpdateEditMenu();
      for (QAction* a : main.EditMenu()->actions())
        if (a->text() == "&Trim" && a->isEnabled()) a->trigger();
      if (!main.TrimDialog() ||
          !QTest::qWaitFor([&] { return main.TrimDialog()->isVisible() && main.TrimDialog()->Player().IsOpen(); },
                           20000))
        return fail("the trim dialog did not play");
    } else if (s == "run") {
      main.Runner()->Start();
      // Running, with some of the output written.
      if (!main.Runner()->Running() || !QTest::qWaitFor(
                                           [&] {
                                             for (const auto& e : fs::directory_iterator(dir + "/out"))
                                               if (e.is_regular_file() && e.file_size() > 50000) return true;
                                             return false;
                                           },
                                           60000))
        return fail("the run did not start");
    }
    std::ofstream(dir + "/ready") << "ready";
    rc = QApplication::exec();
  }
  return rc;
}

}  // namespace

// The real program, idle: it handles the signals itself and ends with status 0 (the default
// action would kill it).
TEST(QuitSignal, TheProgramEndsOnSigtermWithStatusZero) {
  TempDir dir;
  WriteSettings(dir);
  const std::string program = std::string(ORVANE_BINARY_DIR) + "/orvane-video-converter";
  ASSERT_TRUE(fs::exists(program)) << program;
  const pid_t pid = Spawn({program}, {"HOME=" + dir.file("home"), "XDG_CONFIG_HOME=" + dir.file("cfg")});
  ASSERT_GT(pid, 0);
  // Up (its handler installed), or given up after 20 s.
  for (auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end && !CatchesSignal(pid, SIGTERM);)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(pid, SIGTERM);
  int status = 0;
  const bool ended = WaitChild(pid, 20000, status);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(ended) << "the program did not end within 20 s of SIGTERM";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Describe(status);
}

// With the preview playing, the trim dialog's player open, and a conversion running: SIGTERM
// or SIGINT ends the program with status 0 within seconds; a run stops cleanly, so the output
// folder holds no hidden unfinished file and every file under a final name decodes.
TEST(QuitSignal, PlayersAndRunsCloseLikeExit) {
  const struct {
    const char* scenario;
    int sig;
  } cases[] = {{"preview", SIGTERM}, {"trim", SIGINT}, {"run", SIGTERM}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.scenario) + ", signal " + std::to_string(c.sig));
    TempDir dir;
    WriteSettings(dir);
    const pid_t pid = Spawn({"/proc/self/exe"}, {std::string("ORVANE_QUIT_SCENARIO=") + c.scenario,
                                                 "ORVANE_QUIT_DIR=" + dir.path().string()});
    ASSERT_GT(pid, 0);
    int status = 0;
    bool ended = false;
    for (auto end = Clock::now() + std::chrono::seconds(90); Clock::now() < end && !fs::exists(dir.file("ready"));) {
      if ((ended = waitpid(pid, &status, WNOHANG) == pid)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(ended) << "the program ended before it was ready: " << Describe(status);
    ASSERT_TRUE(fs::exists(dir.file("ready"))) << "the program did not get ready";
    const auto t0 = Clock::now();
    kill(pid, c.sig);
    ended = WaitChild(pid, 20000, status);
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << "the program did not end within 20 s of the signal";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Describe(status);
    std::printf("[ %s ] ended %lld ms after the signal\n", c.scenario,
                (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    int outputs = 0;
    for (const auto& e : fs::directory_iterator(dir.file("out"))) {
      const std::string name = e.path().filename().string();
      EXPECT_NE(name[0], '.') << "unfinished output left: " << name;
      if (name[0] == '.') continue;
      ++outputs;
      std::string out;
      EXPECT_EQ(RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(e.path().string()) + " -f null - 2>&1", out), 0)
          << name;
      EXPECT_EQ(out, "") << name << " does not decode cleanly";
    }
    // (A run stopped by the exit leaves its output up to where it stopped, or none.)
    if (std::string(c.scenario) != "run") {
      EXPECT_EQ(outputs, 0);
    }
    std::printf("[ %s ] %d output(s) under a final name\n", c.scenario, outputs);
  }
}

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  theme::SetSkinDir(QString(ORVANE_SOURCE_DIR) + "/skin");
  theme::Apply(app);
  const char* scenario = std::getenv("ORVANE_QUIT_SCENARIO");
  const char* dir = std::getenv("ORVANE_QUIT_DIR");
  if (scenario && dir) return ChildProgram(scenario, dir);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
