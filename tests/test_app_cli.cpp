// The command-line converter driven as a user runs it: a real process, real clips, a private
// configuration folder and home.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using testsupport::ShellQuote;

class CliTest : public ::testing::Test {
protected:
  // Runs orvane-convert with `args` (already shell-quoted where needed); stdout and stderr
  // together in `out`, the exit status returned.
  // `env`: further variables ("NAME=value ...").
  int Run(const std::string& args, std::string& out, const std::string& env = "") {
    const std::string cmd = "XDG_CONFIG_HOME=" + ShellQuote(config_.path().string()) +
                            " HOME=" + ShellQuote(home_.path().string()) + " " + env + " " +
                            ShellQuote(std::string(ORVANE_BINARY_DIR) + "/orvane-convert") + " " + args + " 2>&1";
    return testsupport::RunCapture(cmd, out);
  }
  testsupport::TempDir config_, home_, outDir_;
};

TEST_F(CliTest, HelpAndUsageErrors) {
  std::string out;
  EXPECT_EQ(Run("--help", out), 0);
  for (const char* opt : {"--profile",
                          "--list-profiles",
                          "--output-dir",
                          "--crop",
                          "--trim",
                          "--zoom",
                          "--info",
                          "--dry-run",
                          "--version",
                          "--jobs",
                          "--brightness",
                          "--contrast",
                          "--saturation",
                          "--exposure",
                          "--text",
                          "--image",
                          "--wm-pos",
                          "--wm-time",
                          "--batch",
                          "--json",
                          "--progress",
                          "--quiet",
                          "--verbose",
                          "--shard",
                          "--shards",
                          "--resume",
                          "--ledger",
                          "--map-root",
                          "SLURM_ARRAY_TASK_ID",
                          "JOB_COMPLETION_INDEX",
                          "75 ",
                          "--accept-partial"})
    EXPECT_NE(out.find(opt), std::string::npos) << opt;

  const std::string badBatch = home_.file("bad.ini");
  std::ofstream(badBatch) << "[file1]\nSourceFile=a.mp4\nBrightness=600\n";
  struct Case {
    std::string args;
    const char* message;
  };
  const Case cases[] = {
      {"--frobnicate", "unknown option '--frobnicate'"},
      {"--profile", "needs a value"},
      {"--zoom wide x.mp4", "invalid --zoom"},
      {"--crop 1,2,3 x.mp4", "invalid --crop"},
      {"--crop 3,0,0,0 x.mp4", "invalid --crop"},
      {"--trim 10,5 x.mp4", "END must lie after START"},
      {"--trim 0:75,90 x.mp4", "invalid --trim"},
      // More hours than a 64-bit integer holds.
      {"--trim 99999999999999999999:00,1 x.mp4", "invalid --trim"},
      {"--text hi --wm-time 1,99999999999999999999:00 x.mp4", "invalid --wm-time"},
      {"--profile 9999 x.mp4", "no profile number 9999"},
      {"--profile nosuchdevice x.mp4", "no profile name contains"},
      {"--dry-run", "no input files"},
      {"--jobs 0 x.mp4", "invalid --jobs '0'"},
      {"--contrast -101 x.mp4", "invalid --contrast '-101' (a whole number from -100 to 100)"},
      {"--wm-pos 5,5 --text hi x.mp4", "'--wm-pos' needs a --text or --image before it"},
      {"--text hi --wm-color red x.mp4", "invalid --wm-color"},
      {"--progress fancy x.mp4", "invalid --progress"},
      {"--batch " + ShellQuote(badBatch), "[file1] Brightness='600' is not a whole number from 0 to 512"},
      {"--batch " + ShellQuote(home_.file("none.ini")), "cannot read the batch file"},
      {"--shard 4/4 x.mp4", "invalid shard '4/4'"},
      {"--shards 4 x.mp4", "--shards needs the index"},
      {"--map-root data=/mnt x.mp4", "invalid --map-root"},
      {"--ledger l.txt x.mp4", "--ledger needs --resume"},
      // Not a folder: no retry changes that (75 is for missing mounts and full disks).
      {"--output-dir /dev/null x.mp4", "the output folder /dev/null is not a folder"},
      {"--output-dir /dev/null/out x.mp4", "cannot be made: /dev/null is not a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    EXPECT_EQ(Run(c.args, out), 2) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
  }
}

// --help lists every option that parses, short forms included, and each option it lists
// parses by each of its names with the example its text gives.
TEST_F(CliTest, EveryListedOptionParsesItsExample) {
  std::string help;
  ASSERT_EQ(Run("--help", help), 0);
  struct Row {
    std::vector<std::string> names;
    std::string example;
  };
  std::vector<Row> rows;
  // An option's first line ("  -q, --quiet   text"); its text runs on under column 24.
  const std::regex first(R"(^  (-[-\w]*(?:, -[-\w]+)*)(?: |$))");
  const std::string column(24, ' ');
  bool inRow = false;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, first)) {
      rows.emplace_back();
      std::istringstream names(m[1].str());
      for (std::string name; std::getline(names >> std::ws, name, ',');) rows.back().names.push_back(name);
      inRow = true;
    } else if (!inRow || line.rfind(column, 0) != 0) {
      inRow = false;
      continue;
    }
    const size_t at = line.find("Example: ");
    if (at == std::string::npos || !rows.back().example.empty()) continue;
    std::string example = line.substr(at + 9);
    example = example.substr(0, example.find("   or   "));
    example = example.substr(0, example.find(" > "));
    if (example.rfind("orvane-convert ", 0) == 0) example.erase(0, 15);
    rows.back().example = example;
  }

  std::vector<std::string> listed;
  for (const Row& row : rows) listed.insert(listed.end(), row.names.begin(), row.names.end());
  for (const char* name : {"-h", "--help", "-j", "--jobs", "-q", "-v", "-vv", "--verbose", "--", "--wm-font"})
    EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << name;

  for (const Row& row : rows) {
    SCOPED_TRACE(row.names.front());
    ASSERT_FALSE(row.example.empty());
    // The example gives the option by one of its names, with its value after a space or '='.
    const size_t end = row.example.find_first_of(" =");
    const std::string given = row.example.substr(0, end);
    ASSERT_NE(std::find(row.names.begin(), row.names.end(), given), row.names.end()) << row.example;
    for (const std::string& name : row.names) {
      const std::string args = name + (end == std::string::npos ? "" : row.example.substr(end));
      // --help after a successful parse prints the text and ends with 0.
      std::string out;
      EXPECT_EQ(Run("--help " + std::string(name.rfind("--wm-", 0) == 0 ? "--text x " : "") + args, out), 0)
          << args << "\n"
          << out.substr(0, 300);
    }
  }
}

// What a plain command would leave out in silence is said on the error stream: batch job
// sections after a gap in the numbering or a number given twice, and the shard that a job
// runner's environment chose, with the size of the whole list.
TEST_F(CliTest, JobsLeftOutAreNamed) {
  const std::string clip = testsupport::MediaPath("clip.mp4");
  const std::string batch = home_.file("jobs.ini");
  auto section = [&](int n) { return "[file" + std::to_string(n) + "]\nSourceFile=" + clip + "\n"; };
  auto outputs = [](const std::string& text) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find("  output: ", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  struct Case {
    std::string text;
    const char* warning;  // after "<folder>/jobs.ini: "; null: none
    size_t jobs;
  };
  const Case cases[] = {
      {section(1) + section(2) + section(4) + section(5),
       "[file4] and the job sections after it are not read: the jobs are read from [file1] up to the first missing "
       "number, and [file3] is missing",
       2},
      {section(1) + section(2) + section(1) + section(3),
       "the second [file1] is not read (a section of that name came before)", 3},
      {section(1) + "[file1.wm1]\nKind=text\nText=hi\n" + section(2), nullptr, 2},
  };
  for (size_t k = 0; k < std::size(cases); ++k) {
    SCOPED_TRACE(k);
    std::ofstream(batch, std::ios::trunc) << cases[k].text;
    std::string out;
    EXPECT_EQ(Run("--dry-run --batch " + ShellQuote(batch), out), 0) << out;
    EXPECT_EQ(outputs(out), cases[k].jobs) << out;
    if (cases[k].warning)
      EXPECT_NE(out.find("orvane-convert: warning: " + batch + ": " + cases[k].warning), std::string::npos) << out;
    else
      EXPECT_EQ(out.find("warning"), std::string::npos) << out;
  }

  // A Slurm array task's index applies to a plain command too: said, unless asked for quiet.
  const std::string files = ShellQuote(clip) + " " + ShellQuote(clip) + " " + ShellQuote(clip);
  const std::string slurm = "SLURM_ARRAY_TASK_ID=1 SLURM_ARRAY_TASK_COUNT=2";
  std::string out;
  EXPECT_EQ(Run("--dry-run " + files, out, slurm), 0) << out;
  EXPECT_EQ(outputs(out), 1u) << out;
  EXPECT_NE(out.find("orvane-convert: shard 1 of 2 (index from SLURM_ARRAY_TASK_ID, counted from 0): 1 of the whole "
                     "list's 3 jobs; --shard 0/1 converts the whole list\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(Run("-q --dry-run " + files, out, slurm), 0) << out;
  EXPECT_EQ(out.find("shard 1 of 2"), std::string::npos) << out;
  EXPECT_EQ(Run("--dry-run --shard 0/1 " + files, out, slurm), 0) << out;
  EXPECT_EQ(outputs(out), 3u) << out;
}

TEST_F(CliTest, ListsAllProfilesWithContainersAndCodecs) {
  std::string out;
  ASSERT_EQ(Run("--list-profiles", out), 0) << out;
  std::regex row(R"(^ +(\d+) +.+ \.(\w+) +\S+ +video \S+, audio \S+$|^ +(\d+) +.+ \.(\w+) +\S+ +no video, audio \S+$)");
  int rows = 0;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    std::string line = out.substr(start, end - start);
    if (std::regex_match(line, row)) ++rows;
    start = end == std::string::npos ? out.size() : end + 1;
  }
  EXPECT_EQ(rows, 26) << out;
  EXPECT_NE(out.find("PSP MPEG-4 Excellent Quality"), std::string::npos);
}

TEST_F(CliTest, InfoNamesTheStreams) {
  std::string out;
  ASSERT_EQ(Run("--info " + ShellQuote(testsupport::MediaPath("clip.mp4")), out), 0) << out;
  EXPECT_NE(out.find("h264"), std::string::npos) << out;
  EXPECT_NE(out.find("aac"), std::string::npos) << out;
  EXPECT_NE(out.find("320x240"), std::string::npos) << out;
  EXPECT_EQ(out.find('\r'), std::string::npos);

  const std::string missing = home_.file("missing.mp4");
  EXPECT_EQ(Run("--info " + ShellQuote(missing), out), 1);
  EXPECT_NE(out.find(missing), std::string::npos) << out;
}

TEST_F(CliTest, DryRunShowsOutputNameAndLetterbox) {
  std::string out;
  const std::string clip = testsupport::MediaPath("clip.mp4");
  const std::string broken = home_.file("broken.mp4");
  { std::ofstream(broken) << "not a video\n"; }
  // The 4:3 clip letterboxed into the 720x480 frame of profile 100, chosen by number.
  ASSERT_EQ(Run("--dry-run --profile 100 " + ShellQuote(clip), out), 0) << out;
  EXPECT_NE(out.find("Profile 100:"), std::string::npos) << out;
  EXPECT_NE(out.find("\n  vf=pad=720:480:40:0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("output: " + home_.file("Videos/videoconverter/clip_(new).mp4")), std::string::npos) << out;

  // By a part of the name, into another folder, cropped and trimmed; the unreadable file is
  // named and fails the run, the clip is still shown.
  int rc = Run("--dry-run --profile 'psp video (480P)' --crop 40,0,40,0 --trim 2,0:00:06 --output-dir " +
                   ShellQuote(outDir_.path().string()) + " " + ShellQuote(broken) + " " + ShellQuote(clip),
               out);
  EXPECT_EQ(rc, 1) << out;
  EXPECT_NE(out.find("Profile 4:"), std::string::npos) << out;
  EXPECT_NE(out.find("output: " + outDir_.file("clip_(new).mp4")), std::string::npos) << out;
  // The kept 320x160 (2:1) fills the frame's width: 480x240 between bands of 16 lines.
  EXPECT_NE(out.find("\n  s=480x240\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n  croptop=40\n  cropbottom=40\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n  vf=pad=480:272:0:16\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n  input ss=2000000\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n  t=4000000\n"), std::string::npos) << out;
  EXPECT_NE(out.find(broken + ": "), std::string::npos) << out;
  // Nothing was converted.
  EXPECT_FALSE(std::filesystem::exists(outDir_.file("clip_(new).mp4")));
}

TEST_F(CliTest, PictureChangesTurnTheFrameHookOn) {
  const std::string clip = ShellQuote(testsupport::MediaPath("clip.mp4"));
  const std::string picture = home_.file("logo.png");
  std::string out;
  ASSERT_EQ(testsupport::RunCapture("ffmpeg -v error -nostdin -f lavfi -i color=c=red:s=16x16 -frames:v 1 " +
                                        ShellQuote(picture),
                                    out),
            0);
  const std::string notAPicture = home_.file("notes.png");
  std::ofstream(notAPicture) << "not a picture\n";

  struct Case {
    std::string args;
    bool hook;
  };
  const Case cases[] = {
      {"", false},
      {"--brightness 255 --contrast 0 --saturation 255 --exposure 0", false},
      {"--exposure -40", true},
      {"--text Hello --wm-font 'DejaVu Sans,20,bold' --wm-color FFFF00 --wm-time 1,2", true},
      {"--image " + ShellQuote(picture) + " --wm-pos 5,5 --wm-opacity 128", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    ASSERT_EQ(Run("--dry-run " + c.args + " " + clip, out), 0) << out;
    EXPECT_EQ(out.find("\n  custom hook") != std::string::npos, c.hook) << out;
  }
  // A picture that cannot be read is reported before anything is converted.
  EXPECT_EQ(Run("--dry-run --image " + ShellQuote(notAPicture) + " " + clip, out), 1);
  EXPECT_NE(out.find("Cannot read the watermark picture \"" + notAPicture + "\""), std::string::npos) << out;
}

}  // namespace
