// Snapshot files: names, sizes, formats and contents checked with the ffmpeg command as an
// independent decoder; the folder rule and the numbering that keeps earlier snapshots.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/core/apppaths.h"
#include "app/core/snapshot.h"
#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// One picture decoded by the ffmpeg command as packed BGR (no row padding); empty on failure.
std::string DecodeBgr(const std::string& file, const std::string& filter = "") {
  std::string out;
  std::string cmd = "ffmpeg -nostdin -v error -i " + ShellQuote(file);
  if (!filter.empty()) cmd += " -vf " + ShellQuote(filter);
  cmd += " -frames:v 1 -f rawvideo -pix_fmt bgr24 - 2>/dev/null";
  if (RunCapture(cmd, out) != 0) out.clear();
  return out;
}

TBitmap24 FromPacked(const std::string& bgr, int w, int h) {
  TBitmap24 b;
  b.SetSize(w, h);
  for (int y = 0; y < h; ++y) std::memcpy(b.Row(y), bgr.data() + size_t(y) * size_t(w) * 3, size_t(w) * 3);
  return b;
}

double MeanDiff(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
  return sum / double(a.size());
}

class Snapshot : public ::testing::Test {
protected:
  void SetUp() override {
    ::setenv("HOME", home.path().c_str(), 1);
    // A real picture of odd width (rows need padding in the bitmap and in the BMP file).
    source = DecodeBgr(MediaPath("clip.mp4"), "scale=321:241");
    ASSERT_EQ(source.size(), size_t(321 * 241 * 3));
    picture = FromPacked(source, 321, 241);
  }
  TAppSettings Settings(const std::string& keys) {
    WriteText(home.file("settings.ini"), "[settings]\nSnapOutPutDir=" + snaps.path().string() + "\n" + keys);
    return TAppSettings(home.file("settings.ini"), home.file("format.ini"));
  }
  TempDir home, snaps;
  std::string source;
  TBitmap24 picture;
};

}  // namespace

// Which files the four switches ask for, and what the files hold: BMP exactly the picture as a
// 24-bit file, JPEG close to it, the small size stretched to the video panel.
TEST_F(Snapshot, FilesFollowTheSwitchesAndHoldThePicture) {
  struct Row {
    const char* keys;
    std::vector<std::string> names;
  };
  const Row rows[] = {
      {"", {"Snapshot_full.bmp", "Snapshot_small.bmp", "Snapshot_full.jpg", "Snapshot_small.jpg"}},
      {"snapFullSize=0\nsnapJpg=0\n", {"Snapshot_small.bmp"}},
      {"snapSmallSize=0\nsnapBmp=0\njpgCmp=90\n", {"Snapshot_full.jpg"}},
  };
  const std::string small = DecodeBgr(MediaPath("clip.mp4"), "scale=321:241,scale=370:240");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.keys);
    for (const auto& e : fs::directory_iterator(snaps.path())) fs::remove(e.path());
    const TSnapshotResult res = WriteSnapshots(picture, Settings(r.keys));
    EXPECT_EQ(res.Error, "");
    EXPECT_EQ(res.Warning, "");
    std::vector<std::string> expected;
    for (const auto& n : r.names) expected.push_back(snaps.file(n));
    EXPECT_EQ(res.Files, expected);
    size_t onDisk = 0;
    for (const auto& e : fs::directory_iterator(snaps.path())) (void)e, ++onDisk;
    EXPECT_EQ(onDisk, r.names.size());
    for (const std::string& f : res.Files) {
      SCOPED_TRACE(f);
      const bool full = f.find("_full") != std::string::npos;
      const bool bmp = f.ends_with(".bmp");
      EXPECT_EQ(FfprobeValue(f, "stream=codec_name"), bmp ? "bmp" : "mjpeg");
      EXPECT_EQ(FfprobeValue(f, "stream=width,height"), full ? "321\n241" : "370\n240");
      if (bmp) {
        EXPECT_EQ(FfprobeValue(f, "stream=pix_fmt"), "bgr24");
      }
      const std::string got = DecodeBgr(f);
      if (full && bmp) {
        EXPECT_EQ(got, source);
      } else {
        // Stretched by another scaler, and JPEG is lossy: close, not equal.
        EXPECT_LT(MeanDiff(got, full ? source : small), 6.0);
      }
    }
  }
}

// The stored quality reaches the JPEG compressor.
TEST_F(Snapshot, JpegQualityIsTheStoredOne) {
  const TSnapshotResult low = WriteSnapshots(picture, Settings("snapBmp=0\nsnapSmallSize=0\njpgCmp=5\n"));
  ASSERT_EQ(low.Files.size(), 1u);
  const TSnapshotResult high = WriteSnapshots(picture, Settings("snapBmp=0\nsnapSmallSize=0\njpgCmp=95\n"));
  ASSERT_EQ(high.Files.size(), 1u);
  EXPECT_LT(fs::file_size(low.Files[0]) * 3, fs::file_size(high.Files[0]));
  EXPECT_LT(MeanDiff(DecodeBgr(high.Files[0]), source), MeanDiff(DecodeBgr(low.Files[0]), source));
}

// A second snapshot never replaces the first: its files share the next free number; an empty
// picture writes nothing.
TEST_F(Snapshot, LaterSnapshotsAreNumbered) {
  const TAppSettings s = Settings("snapJpg=0\n");
  ASSERT_EQ(WriteSnapshots(picture, s).Files.size(), 2u);
  const auto firstSize = fs::file_size(snaps.file("Snapshot_full.bmp"));
  // Another picture: the first files must keep their contents.
  const TBitmap24 other = StretchBitmap(picture, 64, 48);
  const TSnapshotResult second = WriteSnapshots(other, s);
  EXPECT_EQ(second.Files,
            (std::vector<std::string>{snaps.file("Snapshot_full_2.bmp"), snaps.file("Snapshot_small_2.bmp")}));
  EXPECT_EQ(fs::file_size(snaps.file("Snapshot_full.bmp")), firstSize);
  EXPECT_EQ(FfprobeValue(snaps.file("Snapshot_full_2.bmp"), "stream=width,height"), "64\n48");
  // Any taken name of the set moves the whole set on, so one snapshot's files share a number.
  fs::remove(snaps.file("Snapshot_full.bmp"));
  WriteText(snaps.file("Snapshot_small_3.jpg"), "x");
  EXPECT_EQ(WriteSnapshots(other, s).Files,
            (std::vector<std::string>{snaps.file("Snapshot_full_4.bmp"), snaps.file("Snapshot_small_4.bmp")}));

  EXPECT_TRUE(WriteSnapshots(TBitmap24{}, s).Files.empty());
}

// A missing folder is made with its parents; one that cannot be made gives the warning, the
// default folder is made, stored and used; a folder that takes no files is an error and leaves
// nothing behind.
TEST_F(Snapshot, FolderRule) {
  const std::string nested = snaps.file("a/b c/d");
  WriteText(home.file("settings.ini"), "[settings]\nSnapOutPutDir=" + nested + "\n");
  const TAppSettings s(home.file("settings.ini"), home.file("format.ini"));
  TSnapshotResult res = WriteSnapshots(picture, s);
  EXPECT_EQ(res.Error, "");
  EXPECT_EQ(res.Files.size(), 4u);
  EXPECT_TRUE(fs::exists(nested + "/Snapshot_full.jpg"));

  WriteText(snaps.file("plain"), "not a folder");
  const std::string bad = snaps.file("plain/sub");
  WriteText(home.file("settings.ini"), "[settings]\nSnapOutPutDir=" + bad + "\n");
  res = WriteSnapshots(picture, s);
  EXPECT_EQ(res.Error, "");
  EXPECT_EQ(res.Warning,
            "Cannot create output directory:" + bad + ".It will create default directory " + DefaultOutputDir() + "!");
  EXPECT_EQ(DefaultOutputDir(), home.file("Videos/videoconverter"));
  EXPECT_EQ(res.Files.size(), 4u);
  EXPECT_TRUE(fs::exists(DefaultOutputDir() + "/Snapshot_small.bmp"));
  EXPECT_EQ(s.Read().SnapOutPutDir, DefaultOutputDir());

  // /proc takes no new files, not even from root.
  WriteText(home.file("settings.ini"), "[settings]\nSnapOutPutDir=/proc/self\n");
  res = WriteSnapshots(picture, s);
  EXPECT_TRUE(res.Files.empty());
  EXPECT_EQ(res.Error.rfind("Unable to write to /proc/self/Snapshot_full.bmp", 0), 0u) << res.Error;
}
