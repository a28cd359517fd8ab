// Run bookkeeping of the application core: output names reserved under temporary names and
// moved into place, the task book's handling of each task's end, and the typed settings.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "app/core/apppaths.h"
#include "app/core/jobprep.h"
#include "app/core/outputfile.h"
#include "app/core/settings.h"
#include "media/errors.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::vector<std::string> Listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(OutputFile, ReservationTakesTheFirstNameWhoseFileAndTemporaryAreFree) {
  TempDir dir;
  const std::string folder = dir.path().string();
  EXPECT_EQ(OutputTempName(folder + "/clip_(new).mp4"), folder + "/.clip_(new).part.mp4");
  EXPECT_EQ(OutputTempName(folder + "/noext"), folder + "/.noext.part");

  // Number 0 is taken by a finished file, number 1 by the temporary file of another run,
  // which holds its lock (a temporary file nobody holds is taken over: see test_app_sharding).
  WriteText(dir.file("clip_(new).mp4"), "done");
  WriteText(dir.file(".clip_(new_1).part.mp4"), "");
  const int otherRun = ::open(dir.file(".clip_(new_1).part.mp4").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(otherRun, 0);
  ASSERT_EQ(::flock(otherRun, LOCK_EX), 0);
  EXPECT_EQ(FirstFreeOutputName(folder, "/v/clip.avi", ".mp4"), dir.file("clip_(new_2).mp4"));
  {
    TOutputReservation r = TOutputReservation::Reserve(folder, "/v/clip.avi", ".mp4");
    EXPECT_EQ(r.FinalPath(), dir.file("clip_(new_2).mp4"));
    EXPECT_EQ(r.TempPath(), dir.file(".clip_(new_2).part.mp4"));
    EXPECT_TRUE(fs::exists(r.TempPath()));
    EXPECT_FALSE(fs::exists(r.FinalPath()));
    // While it is reserved, the name is not free for anyone else.
    EXPECT_EQ(FirstFreeOutputName(folder, "/v/clip.avi", ".mp4"), dir.file("clip_(new_3).mp4"));
  }
  // A reservation that was neither committed nor kept leaves nothing behind.
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{".clip_(new_1).part.mp4", "clip_(new).mp4"}));
  ::close(otherRun);

  // A folder that cannot be written is an error with the system's reason.
  if (geteuid() != 0) {
    fs::create_directory(dir.file("ro"));
    fs::permissions(dir.file("ro"), fs::perms::owner_read | fs::perms::owner_exec);
    try {
      TOutputReservation::Reserve(dir.file("ro"), "/v/clip.avi", ".mp4");
      ADD_FAILURE() << "reserved in a read-only folder";
    } catch (const FFmpegException& e) {
      EXPECT_NE(std::string(e.what()).find("Permission denied"), std::string::npos) << e.what();
    }
  }
}

TEST(OutputFile, ConcurrentReservationsNeverShareAName) {
  TempDir dir;
  constexpr int kThreads = 8, kEach = 25;
  std::vector<std::vector<std::string>> names(kThreads);
  std::vector<std::thread> threads;
  std::vector<TOutputReservation> kept[kThreads];
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        kept[t].push_back(TOutputReservation::Reserve(dir.path().string(), "/v/clip.avi", ".mp4"));
        names[size_t(t)].push_back(kept[t].back().FinalPath());
      }
    });
  for (std::thread& t : threads) t.join();
  std::set<std::string> all;
  for (const auto& n : names) all.insert(n.begin(), n.end());
  EXPECT_EQ(all.size(), size_t(kThreads * kEach));
}

TEST(OutputFile, CommitNeverReplacesAFileThatAppearedMeanwhile) {
  TempDir dir;
  const std::string folder = dir.path().string();
  TOutputReservation r = TOutputReservation::Reserve(folder, "/v/clip.avi", ".mp4");
  WriteText(r.TempPath(), "converted");
  // Another program writes the final name while the conversion runs.
  WriteText(dir.file("clip_(new).mp4"), "someone else's");
  EXPECT_EQ(r.Commit(), dir.file("clip_(new_1).mp4"));
  std::string text;
  std::ifstream(dir.file("clip_(new_1).mp4")) >> text;
  EXPECT_EQ(text, "converted");
  std::ifstream(dir.file("clip_(new).mp4")) >> text;
  EXPECT_EQ(text, "someone");
  // No temporary file is left, the reservation of the second name included.
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"clip_(new).mp4", "clip_(new_1).mp4"}));
}

TEST(RunBook, EachTaskEndPutsItsOutputInPlaceOrRemovesIt) {
  TempDir dir;
  struct Case {
    const char* name;
    bool finished;
    const char* failure;
    bool wroteData;
    TTaskOutcome::TKind kind;
    bool finalKept;
  };
  const Case cases[] = {
      {"finished", true, "", true, TTaskOutcome::Converted, true},
      {"stopped midway", false, "", true, TTaskOutcome::Stopped, true},
      {"stopped before writing", false, "", false, TTaskOutcome::NotStarted, false},
      {"failed", false, "Invalid data found", true, TTaskOutcome::Failed, false},
      {"finished without output", true, "", false, TTaskOutcome::Failed, false},
  };
  TRunBook book;
  std::vector<std::string> finals, temps;
  for (const Case& c : cases) {
    TPreparedJob job;
    job.Output = TOutputReservation::Reserve(dir.path().string(), std::string("/v/") + c.name + ".avi", ".mp4");
    if (c.wroteData) WriteText(job.Output.TempPath(), "data");
    finals.push_back(job.Output.FinalPath());
    temps.push_back(job.Output.TempPath());
    EXPECT_EQ(book.Add(10 + int(finals.size()), std::move(job)), int(finals.size()) - 1);
  }
  EXPECT_EQ(book.Row(2), 13);
  EXPECT_EQ(book.Row(7), -1);
  for (size_t k = 0; k < std::size(cases); ++k) {
    const Case& c = cases[k];
    SCOPED_TRACE(c.name);
    // The converter's messages name the file it writes; the outcome names the final file.
    const std::string failure = *c.failure ? temps[k] + ": " + c.failure : "";
    const TTaskOutcome o = book.TaskEnded(int(k), c.finished, failure);
    EXPECT_EQ(o.Kind, c.kind);
    EXPECT_EQ(fs::exists(finals[k]), c.finalKept);
    EXPECT_EQ(o.Output, c.finalKept ? finals[k] : "");
    if (c.kind == TTaskOutcome::Failed) {
      EXPECT_FALSE(o.Message.empty());
      EXPECT_EQ(o.Message.find(".part"), std::string::npos) << o.Message;
    }
    if (*c.failure) {
      EXPECT_EQ(o.Message.rfind(finals[k] + ": " + c.failure, 0), 0u) << o.Message;
    }
  }
  // Only the kept outputs remain, under their final names.
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"finished_(new).mp4", "stopped midway_(new).mp4"}));
}

// The end notice decides the outcome for both front ends: an input that ended before its
// known length fails its file (its output removed) unless partial inputs are accepted.
TEST(RunBook, AnInputThatEndedEarlyFailsUnlessPartialInputsAreAccepted) {
  TempDir dir;
  for (const bool accept : {false, true}) {
    SCOPED_TRACE(accept ? "accepted" : "default");
    TRunBook book;
    book.SetAcceptPartial(accept);
    std::vector<std::string> finals;
    for (const char* name : {"cut", "whole"}) {
      TPreparedJob job;
      job.Output = TOutputReservation::Reserve(dir.path().string(), std::string("/v/") + name + ".mkv", ".mp4");
      WriteText(job.Output.TempPath(), "data");
      finals.push_back(job.Output.FinalPath());
      book.Add(0, std::move(job));
    }
    TTerminateInfo info;
    info.TaskIndex = 0;
    info.Finished = true;
    info.EndedEarly = true;
    info.EndedAtUs = 4200000;
    info.DurationUs = 9800000;
    const TTaskOutcome cut = book.TaskEnded(info, "");
    EXPECT_TRUE(cut.EndedEarly);
    EXPECT_EQ(cut.EndedAtUs, 4200000);
    EXPECT_EQ(cut.Kind, accept ? TTaskOutcome::Converted : TTaskOutcome::Failed);
    EXPECT_EQ(cut.Message.rfind("the input ended early, at 0:00:04 of 0:00:10", 0), 0u) << cut.Message;
    EXPECT_EQ(fs::exists(finals[0]), accept);

    info.TaskIndex = 1;
    info.EndedEarly = false;
    const TTaskOutcome whole = book.TaskEnded(info, "");
    EXPECT_EQ(whole.Kind, TTaskOutcome::Converted);
    EXPECT_FALSE(whole.EndedEarly);
    EXPECT_TRUE(fs::exists(finals[1]));
    fs::remove(finals[0]);
    fs::remove(finals[1]);
  }
}

// The [settings] and [lstformat] keys: defaults, letter case and range rules.
TEST(AppSettings, DefaultsAndRangeRules) {
  TempDir dir;
  ::setenv("HOME", dir.path().c_str(), 1);
  const std::string folder = DefaultOutputDir();
  struct Row {
    const char* text;  // the settings file; empty: no file
    const char* field;
    std::string expected;
  };
  const Row rows[] = {
      {"", "FormatCode", "1"},
      {"", "FormatName", "PSP MPEG-4 Normal Quality (*.mp4)"},
      {"", "OutPutDir", folder},
      {"", "SnapOutPutDir", folder},
      {"", "volume", "0"},
      {"", "mute", "0"},
      {"", "priority", "1"},
      {"", "snap", "1111"},
      {"", "jpgCmp", "30"},
      {"", "groups", "1111"},
      {"[Settings]\nSNAPOUTPUTDIR=/snaps\n", "SnapOutPutDir", "/snaps"},
      {"[settings]\nFormatCode=203\n", "FormatCode", "203"},
      {"[settings]\nFormatCode=abc\n", "FormatCode", "1"},
      {"[settings]\nvolume=128\n", "volume", "128"},
      {"[settings]\nvolume=129\n", "volume", "64"},
      {"[settings]\nvolume=-1\n", "volume", "64"},
      {"[settings]\nvolume=loud\n", "volume", "0"},
      {"[settings]\nmute=1\n", "mute", "1"},
      {"[settings]\nmute=5\n", "mute", "1"},
      {"[settings]\npriority=3\n", "priority", "3"},
      {"[settings]\npriority=7\n", "priority", "7"},
      {"[settings]\nsnapFullSize=0\nsnapJpg=0\n", "snap", "0110"},
      {"[settings]\njpgCmp=100\n", "jpgCmp", "100"},
      {"[settings]\njpgCmp=0\n", "jpgCmp", "30"},
      {"[settings]\njpgCmp=101\n", "jpgCmp", "30"},
      {"[lstformat]\n2=0\n", "groups", "1101"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.text) + " " + r.field);
    const std::string path = dir.file("settings.ini");
    fs::remove(path);
    if (*r.text) WriteText(path, r.text);
    const TSettingsValues v = TAppSettings(path, dir.file("format.ini")).Read();
    const std::string field = r.field;
    std::string got;
    if (field == "FormatCode") got = std::to_string(v.FormatCode);
    if (field == "FormatName") got = v.FormatName;
    if (field == "OutPutDir") got = v.OutPutDir;
    if (field == "SnapOutPutDir") got = v.SnapOutPutDir;
    if (field == "volume") got = std::to_string(v.Volume);
    if (field == "mute") got = v.Mute ? "1" : "0";
    if (field == "priority") got = std::to_string(v.Priority);
    if (field == "jpgCmp") got = std::to_string(v.JpgCmp);
    if (field == "snap")
      for (bool b : {v.SnapFullSize, v.SnapSmallSize, v.SnapBmp, v.SnapJpg}) got += b ? "1" : "0";
    if (field == "groups")
      for (bool b : v.GroupClosed) got += b ? "1" : "0";
    EXPECT_EQ(got, r.expected);
  }
  // The work priority table; other stored values leave the priority as it was.
  EXPECT_EQ(WorkPriority(0), tpIdle);
  EXPECT_EQ(WorkPriority(1), tpNormal);
  EXPECT_EQ(WorkPriority(2), tpLower);
  EXPECT_EQ(WorkPriority(3), tpLowest);
  EXPECT_FALSE(WorkPriority(7).has_value());
  EXPECT_FALSE(WorkPriority(-1).has_value());
}

TEST(AppSettings, ProfileChoicesAndTheMissingProfileFile) {
  TempDir dir;
  const std::string settingsPath = dir.file("settings.ini"), formatPath = dir.file("format.ini");
  WriteText(formatPath, "[formatInfo5]\nFileExt=avi\niVideoSize=2\niAudioEncoder=1\n");
  WriteText(settingsPath, "[formatInfo5]\niVideoSize=-1\niChannel=3\nparazoom=pan\n");
  TAppSettings settings(settingsPath, formatPath);
  EXPECT_EQ(settings.StoredChoices(5).VideoSize, -1);
  EXPECT_EQ(settings.StoredChoices(5).Channel, 3);
  EXPECT_EQ(settings.StoredChoices(5).AudioEncoder, 0);
  EXPECT_EQ(settings.DefaultChoices(5).VideoSize, 2);
  EXPECT_EQ(settings.DefaultChoices(5).AudioEncoder, 1);
  EXPECT_EQ(settings.Zoom(5), "pan");
  EXPECT_EQ(settings.Zoom(6), "lbox");
  EXPECT_EQ(settings.OutputExtension(5), ".avi");
  EXPECT_EQ(settings.OutputExtension(6), ".mp4");
  EXPECT_NO_THROW(settings.CheckFormatFile());

  try {
    TAppSettings(settingsPath, dir.file("nowhere.ini")).CheckFormatFile();
    ADD_FAILURE() << "a missing profile file was accepted";
  } catch (const FFmpegException& e) {
    EXPECT_NE(std::string(e.what()).find(dir.file("nowhere.ini")), std::string::npos) << e.what();
  }
}
