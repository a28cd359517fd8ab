// The desktop program fed awkward input, with the real engine and player: here a dialog reused
// for a row whose file vanished after it was added.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "app/core/inifile.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "controls/trackbar.h"
#include "dialogs/trim.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kFormatIni = std::string(ORVANE_SOURCE_DIR) + "/data/orvanepspformat.ini";

class RobustTest : public ::testing::Test {
protected:
  void SetUp() override {
    settingsPath = dir.file("cfg/orvanepspvideoconverter.ini");
    fs::create_directories(dir.file("out"));
    fs::create_directories(dir.file("in"));
    TIniFile(settingsPath).WriteString("settings", "OutPutDir", dir.file("out"));
  }
  std::string Copy(const std::string& clip, const std::string& name) {
    const std::string to = dir.file("in/" + name);
    fs::copy_file(MediaPath(clip), to, fs::copy_options::overwrite_existing);
    return to;
  }
  // Selects the row and opens the trim dialog through the Edit menu.
  static TfrmTrim* OpenTrim(TfrmMain& w, int row) {
    w.JobList()->setCurrentIndex(w.JobModel()->index(row, 0));
    w.UpdateEditMenu();
    for (QAction* a : w.EditMenu()->actions())
      if (a->text() == "&Trim" && a->isEnabled()) a->trigger();
    return w.TrimDialog();
  }
  static QString Trimmed(TfrmMain& w, int row) {
    return w.JobModel()->data(w.JobModel()->index(row, TJobListModel::colTrimmed), Qt::DisplayRole).toString();
  }
  TempDir dir;
  std::string settingsPath;
};

// The trim dialog is kept between uses. Opened on a row whose file has vanished, it shows no
// range of the file shown before, and OK leaves the row's own trim as it was (it used to store
// the other file's range on it).
TEST_F(RobustTest, TrimOnAVanishedFileKeepsItsOwnRange) {
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  const std::string gone = Copy("clip.avi", "gone.avi");
  AddAndWait(*w, {QString::fromStdString(Copy("clip.mp4", "a.mp4")), QString::fromStdString(gone)});
  ASSERT_EQ(w->JobModel()->rowCount(), 2);

  // The second row's own range, 2-5 s, then 3-7 s on the first row.
  const struct { int row, start, end; } ranges[] = {{1, 2, 5}, {0, 3, 7}};
  for (const auto& r : ranges) {
    TfrmTrim* d = OpenTrim(*w, r.row);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->FileDurationSec(), 10);
    d->RangeBar()->SetPositionU(r.end);
    d->RangeBar()->SetPositionL(r.start);
    QTest::mouseClick(d->OkButton(), Qt::LeftButton);
  }
  ASSERT_EQ(Trimmed(*w, 1), "3");

  fs::remove(gone);
  TfrmTrim* d = OpenTrim(*w, 1);
  ASSERT_TRUE(d->isVisible());
  EXPECT_EQ(d->FileDurationSec(), 0);
  EXPECT_EQ(d->StartField()->text(), "0:00:00");
  EXPECT_EQ(d->EndField()->text(), "0:00:00");
  QTest::mouseClick(d->OkButton(), Qt::LeftButton);
  const TlvFilesRecord* rec = w->JobModel()->Record(1);
  EXPECT_EQ(rec->TrimStart, 2'000'000);
  EXPECT_EQ(rec->TrimLength, 3'000'000);
  EXPECT_EQ(Trimmed(*w, 1), "3");
  // The first row keeps its range too.
  EXPECT_EQ(w->JobModel()->Record(0)->TrimStart, 3'000'000);
  EXPECT_EQ(w->JobModel()->Record(0)->TrimLength, 4'000'000);
}

}  // namespace

int main(int argc, char** argv) { return RunWindowTests(argc, argv); }
