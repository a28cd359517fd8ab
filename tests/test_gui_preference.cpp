// The preferences dialog driven by clicks (offscreen platform): what a show reads, the linked
// controls, "&Default", OK and Cancel, and the folder rules of "&Brows".
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/apperror.h"
#include "app/core/apppaths.h"
#include "app/core/globalobject.h"
#include "app/core/inifile.h"
#include "app/core/settings.h"
#include "app/mainwindow.h"
#include "app/preference.h"
#include "controls/theme.h"
#include "controls/trackbar.h"
#include "media/textutils.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class PreferenceTest : public ::testing::Test {
protected:
  void SetUp() override {
    ::setenv("HOME", dir.path().c_str(), 1);
    settingsPath = dir.file("cfg/orvanepspvideoconverter.ini");
    snaps = dir.file("snaps");
    fs::create_directories(snaps);
  }
  void TearDown() override {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w)) box->close();
  }
  void Store(const std::string& keys) {
    fs::create_directories(fs::path(settingsPath).parent_path());
    std::ofstream(settingsPath) << "[settings]\nSnapOutPutDir=" << snaps << "\n" << keys;
  }
  std::string Key(const char* key) { return TIniFile(settingsPath).ReadString("settings", key, "<none>"); }
  static QString LastWarning() {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible() && box->windowTitle() == "Warning")
        return box->text();
    return {};
  }
  static void Click(QAbstractButton* b) { QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(8, b->height() / 2)); }

  TempDir dir;
  std::string settingsPath, snaps;
};

TEST_F(PreferenceTest, ShowReadsTheStoredValues) {
  Store("snapJpg=0\nsnapSmallSize=0\njpgCmp=55\npriority=2\nfilesAtOnce=3\n");
  TAppSettings settings(settingsPath, "");
  TfrmPreference dlg(settings);
  dlg.show();
  EXPECT_EQ(dlg.windowTitle(), "Preference");
  EXPECT_EQ(dlg.size(), QSize(480, 426));
  EXPECT_EQ(dlg.SnapDirectory()->text().toStdString(), snaps);
  EXPECT_TRUE(dlg.FullSize()->isChecked());
  EXPECT_FALSE(dlg.SmallSize()->isChecked());
  EXPECT_TRUE(dlg.Bmp()->isChecked());
  EXPECT_FALSE(dlg.Jpg()->isChecked());
  EXPECT_FALSE(dlg.Quality()->isEnabled());
  EXPECT_FALSE(dlg.QualityBar()->isEnabled());
  EXPECT_EQ(dlg.Quality()->value(), 55);
  EXPECT_EQ(dlg.QualityBar()->PositionL(), 55);
  EXPECT_EQ(dlg.Priority()->checkedButton()->text(), "Lower");
  EXPECT_EQ(dlg.FilesAtOnce()->value(), 3);
  dlg.hide();

  // An unknown priority selects nothing; a folder that cannot be written is replaced by the
  // one in the home folder, and stored.
  Store("priority=7\n");
  fs::remove_all(snaps);
  dlg.show();
  EXPECT_EQ(dlg.Priority()->checkedButton(), nullptr);
  EXPECT_EQ(dlg.SnapDirectory()->text().toStdString(), dir.file("videoconverter"));
  EXPECT_EQ(Key("SnapOutPutDir"), dir.file("videoconverter"));
}

// At least one size and one format stay chosen; JPG switches the quality controls; the spin box
// and the bar follow each other.
TEST_F(PreferenceTest, LinkedControls) {
  Store("snapSmallSize=0\nsnapJpg=0\n");
  TAppSettings settings(settingsPath, "");
  TfrmPreference dlg(settings);
  dlg.show();
  Click(dlg.FullSize());
  EXPECT_TRUE(dlg.FullSize()->isChecked());
  Click(dlg.Bmp());
  EXPECT_TRUE(dlg.Bmp()->isChecked());
  Click(dlg.SmallSize());
  Click(dlg.FullSize());
  EXPECT_FALSE(dlg.FullSize()->isChecked());
  EXPECT_TRUE(dlg.SmallSize()->isChecked());
  Click(dlg.Jpg());
  EXPECT_TRUE(dlg.Quality()->isEnabled());
  EXPECT_TRUE(dlg.QualityBar()->isEnabled());
  Click(dlg.Bmp());
  EXPECT_FALSE(dlg.Bmp()->isChecked());
  Click(dlg.Jpg());  // the only format left stays
  EXPECT_TRUE(dlg.Jpg()->isChecked());
  EXPECT_TRUE(dlg.Quality()->isEnabled());

  TTrackBar2* bar = dlg.QualityBar();
  QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() - 2, bar->height() / 2));
  EXPECT_EQ(bar->PositionL(), 100);
  EXPECT_EQ(dlg.Quality()->value(), 100);
  QTest::keyClick(dlg.Quality(), Qt::Key_Down);
  EXPECT_EQ(dlg.Quality()->value(), 99);
  EXPECT_EQ(bar->PositionL(), 99);
  QTest::keyClick(bar, Qt::Key_PageDown);
  EXPECT_EQ(dlg.Quality()->value(), 97);
  QTest::keyClicks(dlg.Quality(), "5");  // not typed into
  EXPECT_EQ(dlg.Quality()->value(), 97);
}

TEST_F(PreferenceTest, DefaultThenCancelWritesNothingAndDefaultThenOkWritesTheDefaults) {
  Store("snapJpg=1\nsnapSmallSize=1\njpgCmp=70\npriority=3\nfilesAtOnce=4\n");
  const std::string before = ReadAll(settingsPath);
  TAppSettings settings(settingsPath, "");
  TfrmPreference dlg(settings);
  dlg.open();
  QTest::mouseClick(dlg.DefaultButton(), Qt::LeftButton);
  EXPECT_EQ(dlg.Quality()->value(), 20);
  EXPECT_FALSE(dlg.Jpg()->isChecked());
  EXPECT_EQ(dlg.Priority()->checkedButton()->text(), "Normal");
  EXPECT_EQ(dlg.FilesAtOnce()->value(), 1);
  QTest::mouseClick(dlg.CancelButton(), Qt::LeftButton);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(ReadAll(settingsPath), before);

  // The next show has the stored values again.
  dlg.open();
  EXPECT_EQ(dlg.Quality()->value(), 70);
  EXPECT_TRUE(dlg.Jpg()->isChecked());
  QTest::mouseClick(dlg.DefaultButton(), Qt::LeftButton);
  QTest::mouseClick(dlg.OkButton(), Qt::LeftButton);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(Key("jpgCmp"), "20");
  EXPECT_EQ(Key("snapJpg"), "0");
  EXPECT_EQ(Key("snapBmp"), "1");
  EXPECT_EQ(Key("snapSmallSize"), "0");
  EXPECT_EQ(Key("snapFullSize"), "1");
  EXPECT_EQ(Key("priority"), "1");
  EXPECT_EQ(Key("filesAtOnce"), "1");
  EXPECT_EQ(Key("SnapOutPutDir"), DefaultOutputDir());
  EXPECT_EQ(DefaultOutputDir(), dir.file("Videos/videoconverter"));

  // The files-at-once box takes keys and OK stores its value.
  dlg.open();
  QTest::keyClick(dlg.FilesAtOnce(), Qt::Key_Up);
  QTest::keyClick(dlg.FilesAtOnce(), Qt::Key_Up);
  QTest::mouseClick(dlg.OkButton(), Qt::LeftButton);
  EXPECT_EQ(Key("filesAtOnce"), "3");
  EXPECT_EQ(settings.Read().FilesAtOnce, 3);
}

// "&Brows": a name too short for a folder is refused, a writable folder is stored at once, an
// unwritable one is replaced by the home folder's, with the messages.
TEST_F(PreferenceTest, ChosenFolders) {
  Store("");
  TAppSettings settings(settingsPath, "");
  TfrmPreference dlg(settings);
  dlg.open();
  dlg.FolderChosen("");
  dlg.FolderChosen(QString::fromStdString(snaps));  // the folder shown: nothing happens
  EXPECT_EQ(LastWarning(), "");

  dlg.FolderChosen("/ab");
  EXPECT_EQ(LastWarning(), "The path /ab is not a valid directory.");
  EXPECT_EQ(dlg.SnapDirectory()->text().toStdString(), snaps);
  EXPECT_EQ(Key("SnapOutPutDir"), snaps);
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w)) box->close();

  const std::string other = dir.file("other snaps");
  fs::create_directories(other);
  dlg.FolderChosen(QString::fromStdString(other));
  EXPECT_EQ(LastWarning(), "");
  EXPECT_EQ(Key("SnapOutPutDir"), other);  // before OK
  EXPECT_EQ(dlg.SnapDirectory()->text().toStdString(), other);

  dlg.FolderChosen("/proc/self");
  EXPECT_EQ(LastWarning().toStdString(), "You login as " + TrimText(TGlobalObject::GetLoginUserName()) +
                                             " .You don't have permission to write to directory:/proc/self");
  EXPECT_EQ(Key("SnapOutPutDir"), dir.file("videoconverter"));
  EXPECT_EQ(dlg.SnapDirectory()->text().toStdString(), dir.file("videoconverter"));
}

// The main window's "Preference" button opens the dialog modally, the same one each time.
TEST_F(PreferenceTest, OpenedFromTheMainWindow) {
  Store("");
  theme::SetSkinDir(QString(ORVANE_SOURCE_DIR) + "/skin");
  TfrmMain w(settingsPath, std::string(ORVANE_BINARY_DIR) + "/data/orvanepspformat.ini");
  w.SetAskOnExit(false);
  w.show();
  auto* button = w.findChild<QPushButton*>("menubtnPreference");
  ASSERT_TRUE(button);
  EXPECT_TRUE(button->isEnabled());
  QTest::mouseClick(button, Qt::LeftButton);
  TfrmPreference* dlg = w.Preference();
  ASSERT_TRUE(dlg);
  EXPECT_TRUE(dlg->isVisible());
  EXPECT_TRUE(dlg->isModal());
  QTest::mouseClick(dlg->CancelButton(), Qt::LeftButton);
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(w.Preference(), dlg);
  EXPECT_TRUE(dlg->isVisible());
  dlg->reject();
}

}  // namespace

int main(int argc, char** argv) { return testsupport::RunWindowTests(argc, argv); }
