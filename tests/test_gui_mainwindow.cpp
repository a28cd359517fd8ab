// The desktop program's main window driven through its real widgets under the offscreen
// platform: the format picker, the job list with real clips probed by the real engine, drops,
// start-up and exit.
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include "controls/trackbar.h"
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <sys/stat.h>

#include <csignal>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "app/apperror.h"
#include "app/core/apppaths.h"
#include "app/core/filefilters.h"
#include "app/core/globalobject.h"
#include "app/core/inifile.h"
#include "app/formatpicker.h"
#include "app/jobadder.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "app/previewpanel.h"
#include "dialogs/fileinfo.h"
#include "controls/theme.h"
#include "controls/imagebutton.h"
#include "media/errors.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

// Readable failure output for texts and lists of texts.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList& l, std::ostream* os) {
  *os << "{";
  for (const QString& s : l) *os << " \"" << s.toStdString() << "\"";
  *os << " }";
}

namespace fs = std::filesystem;
using testsupport::MediaPath;
using testsupport::TempDir;

namespace {

const std::string kFormatIni = std::string(ORVANE_BINARY_DIR) + "/data/orvanepspformat.ini";

class MainWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    theme::SetSkinDir(QString(ORVANE_SOURCE_DIR) + "/skin");
    settingsPath = dir.file("cfg/orvanepspvideoconverter.ini");
    outDir = dir.file("out");
    fs::create_directories(outDir);
    TIniFile(settingsPath).WriteString("settings", "OutPutDir", outDir);
  }

  std::unique_ptr<TfrmMain> Open() { return testsupport::OpenMainWindow(settingsPath, kFormatIni); }
  static void AddAndWait(TfrmMain& w, const QStringList& paths) { testsupport::AddAndWait(w, paths); }

  static QStringList Column(TfrmMain& w, int column) {
    QStringList out;
    for (int r = 0; r < w.JobModel()->rowCount(); ++r) out << w.JobModel()->index(r, column).data().toString();
    return out;
  }

  static QStringList ListRows(TfrmMain& w) {
    QStringList out;
    QListWidget* list = w.Picker()->List();
    for (int r = 0; r < list->count(); ++r) out << list->item(r)->text();
    return out;
  }

  static int RowOf(TfrmMain& w, const QString& text) {
    QListWidget* list = w.Picker()->List();
    for (int r = 0; r < list->count(); ++r)
      if (list->item(r)->text() == text) return r;
    return -1;
  }

  // A press on row `row` of the format list at x within the row.
  static void PressRow(TfrmMain& w, int row, int x) {
    QListWidget* list = w.Picker()->List();
    const QRect r = list->visualItemRect(list->item(row));
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, QPoint(x, r.center().y()));
  }

  std::string Copy(const std::string& clip, const std::string& name) {
    const std::string to = dir.file(name);
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(MediaPath(clip), to, fs::copy_options::overwrite_existing);
    return to;
  }

  TempDir dir;
  std::string settingsPath;
  std::string outDir;
};

// ---- Format picker ----

TEST_F(MainWindowTest, FreshSettingsShowTheProfileStartUsesWithAllGroupsClosed) {
  auto w = Open();
  EXPECT_EQ(w->Picker()->Box()->text(), "PSP MPEG-4 Normal Quality (*.mp4)");
  EXPECT_EQ(ListRows(*w), QStringList({"Sony PSP", "Sony PS3", "General Video formates", "General Audio formates"}));
  EXPECT_EQ(w->Picker()->List()->currentRow(), -1);
  EXPECT_FALSE(w->Picker()->ListVisible());
  // Opening the PSP group shows the stored name's row selected.
  w->Picker()->DropButton()->click();
  PressRow(*w, 0, 8);
  EXPECT_EQ(ListRows(*w).at(2), "PSP MPEG-4 Normal Quality (*.mp4)");
}

TEST_F(MainWindowTest, GroupsOpenAndCloseByTheMarkAndByDoubleClickOnly) {
  auto w = Open();
  w->Picker()->DropButton()->click();
  ASSERT_TRUE(w->Picker()->ListVisible());
  const int video = RowOf(*w, "General Video formates");
  PressRow(*w, video, 25);  // beside the mark: nothing happens
  EXPECT_EQ(w->Picker()->List()->count(), 4);
  PressRow(*w, video, 8);  // on the mark: the ten entries go in directly under the header
  QStringList rows = ListRows(*w);
  ASSERT_EQ(rows.size(), 14);
  EXPECT_EQ(rows.mid(video + 1, 10).first(), "MPEG-1 Video (*.mpg)");
  EXPECT_EQ(rows.mid(video + 1, 10).last(), "DV - PAL -Digital Video Format (*.dv)");
  EXPECT_EQ(rows.at(video + 11), "General Audio formates");
  // The list grows upward from the box.
  EXPECT_EQ(w->Picker()->List()->geometry().bottom() + 1, w->Picker()->Box()->y());
  EXPECT_EQ(w->Picker()->List()->height(), 14 * 20 + 20);
  // A double click anywhere on the header closes it again.
  QListWidget* list = w->Picker()->List();
  const QRect r = list->visualItemRect(list->item(video));
  QTest::mouseMove(list->viewport(), QPoint(200, r.center().y()));
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(200, r.center().y()));
  EXPECT_EQ(ListRows(*w), QStringList({"Sony PSP", "Sony PS3", "General Video formates", "General Audio formates"}));
}

TEST_F(MainWindowTest, AllGroupsOpenGiveTheTallestListAndMouseOverSelects) {
  auto w = Open();
  w->Picker()->DropButton()->click();
  for (const char* g : {"Sony PSP", "Sony PS3", "General Video formates", "General Audio formates"})
    PressRow(*w, RowOf(*w, g), 8);
  ASSERT_EQ(w->Picker()->List()->count(), 30);
  EXPECT_EQ(w->Picker()->List()->height(), 422);
  EXPECT_EQ(w->Picker()->List()->geometry().bottom() + 1, w->Picker()->Box()->y());
  QListWidget* list = w->Picker()->List();
  const QRect r = list->visualItemRect(list->item(3));
  QTest::mouseMove(list->viewport(), r.center());
  EXPECT_EQ(list->currentRow(), 3);
}

TEST_F(MainWindowTest, ChoosingAnEntryStoresItAndHides) {
  auto w = Open();
  w->Picker()->DropButton()->click();
  PressRow(*w, RowOf(*w, "General Video formates"), 8);
  PressRow(*w, RowOf(*w, "AVI Video (*.avi)"), 100);
  EXPECT_FALSE(w->Picker()->ListVisible());
  EXPECT_EQ(w->Picker()->Box()->text(), "AVI Video (*.avi)");
  TIniFile ini(settingsPath);
  EXPECT_EQ(ini.ReadInteger("settings", "FormatCode", -1), 204);
  EXPECT_EQ(ini.ReadString("settings", "FormatName", ""), "AVI Video (*.avi)");
  // The settings file keeps its other keys.
  EXPECT_EQ(ini.ReadString("settings", "OutPutDir", ""), outDir);
}

TEST_F(MainWindowTest, APressElsewhereHidesTheListAndTheBoxTogglesIt) {
  auto w = Open();
  QTest::mouseClick(w->Picker()->Box(), Qt::LeftButton);
  EXPECT_TRUE(w->Picker()->ListVisible());
  QTest::mouseClick(w->Picker()->Box(), Qt::LeftButton);
  EXPECT_FALSE(w->Picker()->ListVisible());
  w->Picker()->DropButton()->click();
  ASSERT_TRUE(w->Picker()->ListVisible());
  QTest::mousePress(w->DirectoryEdit(), Qt::LeftButton);
  EXPECT_FALSE(w->Picker()->ListVisible());
}

// The list opens upward from the box and stays inside the window, whether the stored profile's
// row is in the list or its group is closed, and whichever way it is opened.
TEST_F(MainWindowTest, TheListOpensUpwardInsideTheWindowWhicheverGroupsAreOpen) {
  struct TCase {
    const char* Name;
    std::vector<int> OpenGroups;
    int StoredRow;  // the stored profile's row, -1 when its group is closed
  };
  const TCase cases[] = {
      {"fresh: all groups closed", {}, -1},
      {"the stored profile's group open", {0}, 2},
      {"another group open", {2}, -1},
      {"all groups open", {0, 1, 2, 3}, 2},
  };
  for (const TCase& c : cases) {
    for (int g = 0; g < 4; ++g)
      TIniFile(settingsPath)
          .WriteBool("lstformat", std::to_string(g),
                     std::find(c.OpenGroups.begin(), c.OpenGroups.end(), g) == c.OpenGroups.end());
    auto w = Open();
    QListWidget* list = w->Picker()->List();
    QLineEdit* box = w->Picker()->Box();
    const int rows = list->count();
    const int height = rows * 20 > 422 ? 422 : rows * 20 + 20;
    const std::function<void()> ways[] = {
        [&] { QTest::mouseClick(box, Qt::LeftButton); },
        [&] { w->Picker()->DropButton()->click(); },
        [&] {
          box->setFocus();
          QTest::keyClick(box, Qt::Key_Space);
        },
    };
    int way = 0;
    for (const auto& open : ways) {
      SCOPED_TRACE(std::string(c.Name) + ", way " + std::to_string(way++));
      open();
      ASSERT_TRUE(w->Picker()->ListVisible());
      EXPECT_EQ(list->geometry(), QRect(104, box->y() - height, 334, height));
      EXPECT_TRUE(w->rect().contains(list->geometry()));
      EXPECT_EQ(list->currentRow(), c.StoredRow);
      if (c.StoredRow >= 0) {
        const QRect row = list->visualItemRect(list->item(c.StoredRow));
        EXPECT_TRUE(row.top() >= 0 && row.bottom() < list->viewport()->height()) << "the stored row is in view";
      }
      w->Picker()->HideList();
    }
  }
}

TEST_F(MainWindowTest, OpenGroupsAreRememberedAcrossARestart) {
  {
    TIniFile(settingsPath).WriteBool("lstformat", "2", false);  // only the third group open
    auto w = Open();
    EXPECT_EQ(w->Picker()->List()->count(), 4 + 10);
    w->Picker()->DropButton()->click();
    PressRow(*w, RowOf(*w, "General Video formates"), 8);  // closed again
    PressRow(*w, RowOf(*w, "Sony PS3"), 8);                // opened
    EXPECT_TRUE(w->close());
  }
  auto w = Open();
  QStringList rows = ListRows(*w);
  EXPECT_EQ(rows.size(), 4 + 4);
  EXPECT_EQ(rows.at(2), "PS3 MPEG-4 Video (480P) (*.mp4)");
}

// ---- Job list ----

TEST_F(MainWindowTest, AddedRowsShowLengthAndDestinationAndTheFirstRowIsSelected) {
  auto w = Open();
  const std::string a = Copy("clip.avi", "in/a.avi"), b = Copy("clip.mkv", "in/b.avi"),
                    c = Copy("audio.mp3", "in/c.avi");
  AddAndWait(*w, {QString::fromStdString(a), QString::fromStdString(b), QString::fromStdString(c)});
  ASSERT_EQ(w->JobModel()->rowCount(), 3);
  EXPECT_EQ(w->JobModel()->columnCount(), 5);
  EXPECT_FALSE(w->JobList()->isHeaderHidden());
  EXPECT_EQ(Column(*w, 3), QStringList({"a_(new)_ipod.mp4", "b_(new)_ipod.mp4", "c_(new)_ipod.mp4"}));
  int i = 0;
  for (const std::string& f : {a, b, c}) {
    const double seconds = testsupport::FfprobeNumber(f, "format=duration");
    ASSERT_FALSE(std::isnan(seconds));
    EXPECT_EQ(Column(*w, 1).at(i), QString::number(int(seconds))) << f;
    EXPECT_EQ(Column(*w, 2).at(i), Column(*w, 1).at(i));
    EXPECT_EQ(w->JobModel()->Record(i)->SourceFile, f);
    EXPECT_EQ(w->JobModel()->Record(i)->AddIndex, i);
    EXPECT_TRUE(w->JobModel()->Checked(i));
    ++i;
  }
  EXPECT_EQ(w->JobList()->currentIndex().row(), 0);
  // A later Add selects the first row again, whatever was selected.
  w->JobList()->setCurrentIndex(w->JobModel()->index(2, 0));
  AddAndWait(*w, {QString::fromStdString(Copy("clip.mp4", "in/d.mp4"))});
  EXPECT_EQ(w->JobList()->currentIndex().row(), 0);
  EXPECT_EQ(w->JobModel()->rowCount(), 4);
}

TEST_F(MainWindowTest, TheSamePathIsAddedOnceButOtherLetterCaseIsAnotherFile) {
  auto w = Open();
  const QString lower = QString::fromStdString(Copy("clip.mp4", "in/x.mp4"));
  const QString upper = QString::fromStdString(Copy("clip.mp4", "in/X.MP4"));
  AddAndWait(*w, {lower, lower});
  AddAndWait(*w, {lower});
  EXPECT_EQ(w->JobModel()->rowCount(), 1);
  AddAndWait(*w, {upper});
  EXPECT_EQ(Column(*w, 0), QStringList({lower, upper}));
}

TEST_F(MainWindowTest, FilesTheEngineCannotOpenAreSkippedAndNamed) {
  auto w = Open();
  const std::string broken = dir.file("in/notes.avi");
  fs::create_directories(dir.file("in"));
  std::ofstream(broken) << "this is a text file, not a video\n";
  const std::string good1 = Copy("clip.avi", "in/g1.avi"), good2 = Copy("clip.mp4", "in/g2.mp4");
  const QString vanished = QString::fromStdString(dir.file("in/gone.mp4"));
  AddAndWait(*w,
             {QString::fromStdString(good1), QString::fromStdString(broken), vanished, QString::fromStdString(good2)});
  EXPECT_EQ(Column(*w, 0), QStringList({QString::fromStdString(good1), QString::fromStdString(good2)}));
  EXPECT_EQ(w->SkippedFiles(), QStringList({QString::fromStdString(broken), vanished}));
  EXPECT_FALSE(w->SkippedLine()->isHidden());
  EXPECT_TRUE(w->SkippedLine()->text().startsWith("2 file(s) could not be opened"));
}

TEST_F(MainWindowTest, AFileOfUnknownDurationShowsZero) {
  const std::string raw = dir.file("raw.h264");
  std::string out;
  ASSERT_EQ(
      testsupport::RunCapture("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=10:duration=1 "
                              "-c:v libx264 -f h264 " +
                                  testsupport::ShellQuote(raw),
                              out),
      0);
  ASSERT_TRUE(std::isnan(testsupport::FfprobeNumber(raw, "format=duration")));
  auto w = Open();
  AddAndWait(*w, {QString::fromStdString(raw)});
  ASSERT_EQ(w->JobModel()->rowCount(), 1);
  EXPECT_EQ(Column(*w, 1), QStringList({"0"}));
  EXPECT_EQ(Column(*w, 2), QStringList({"0"}));
}

TEST_F(MainWindowTest, RemoveSelectsTheRowThatTakesThePlaceAndTheLastRowEmptiesTheList) {
  auto w = Open();
  QStringList files;
  for (const char* n : {"in/1.mp4", "in/2.mp4", "in/3.mp4"}) files << QString::fromStdString(Copy("clip.mp4", n));
  AddAndWait(*w, files);
  w->JobList()->setCurrentIndex(w->JobModel()->index(2, 0));
  w->btnRemoveClick();
  EXPECT_EQ(w->JobList()->currentIndex().row(), 1);
  w->JobList()->setCurrentIndex(w->JobModel()->index(0, 0));
  w->btnRemoveClick();
  EXPECT_EQ(Column(*w, 0), QStringList({files[1]}));
  EXPECT_EQ(w->JobList()->currentIndex().row(), 0);
  w->btnRemoveClick();
  EXPECT_EQ(w->JobModel()->rowCount(), 0);
  EXPECT_EQ(w->JobModel()->columnCount(), 0);
  EXPECT_TRUE(w->JobList()->isHeaderHidden());
  EXPECT_FALSE(w->findChild<TImageButton*>("btnRemove")->isEnabled());
  EXPECT_FALSE(w->findChild<TImageButton*>("btnClear")->isEnabled());
}

TEST_F(MainWindowTest, EditMenuEntriesFollowRowsAndSelection) {
  auto w = Open();
  QTest::mousePress(w->JobList()->viewport(), Qt::RightButton, {}, QPoint(50, 50));
  QMenu* menu = w->EditMenu();
  EXPECT_TRUE(menu->isVisible());
  QStringList enabled;
  for (QAction* a : menu->actions())
    if (!a->isSeparator() && a->isEnabled()) enabled << a->text();
  EXPECT_EQ(enabled, QStringList({"&Add"}));
  menu->hide();
  AddAndWait(*w, {QString::fromStdString(Copy("clip.mp4", "in/e.mp4"))});
  w->UpdateEditMenu();
  enabled.clear();
  for (QAction* a : menu->actions())
    if (!a->isSeparator() && a->isEnabled()) enabled << a->text();
  // Crop, Trim, Video Effect and Start are on with rows, Details only for a row whose file
  // failed or stopped.
  EXPECT_EQ(enabled, QStringList({"&Crop", "&Trim", "&Video Effect && Water Mark", "&Add", "&Remove", "&Clear",
                                  "&Start", "Video &Information"}));
  // Video Information shows the selected row's file.
  for (QAction* a : menu->actions())
    if (a->text() == "Video &Information") a->trigger();
  ASSERT_NE(w->FileInfoDialog(), nullptr);
  EXPECT_TRUE(w->FileInfoDialog()->isVisible());
  const QString shown = w->FileInfoDialog()->lblSourceName()->text();
  EXPECT_TRUE(shown.endsWith("e.mp4")) << shown.toStdString();
  EXPECT_EQ(w->FileInfoDialog()->edtResloution()->text(), "320x240");
  w->FileInfoDialog()->accept();
  // Clear empties the list.
  for (QAction* a : menu->actions())
    if (a->text() == "&Clear") a->trigger();
  EXPECT_EQ(w->JobModel()->rowCount(), 0);
  EXPECT_EQ(w->JobModel()->columnCount(), 0);
}

TEST_F(MainWindowTest, ADroppedFolderAddsItsSupportedFilesInNameOrder) {
  const std::string b = Copy("clip.mkv", "drop/sub/b.MKV");
  const std::string a = Copy("clip.mp4", "drop/a.Mp4");
  const std::string c = Copy("audio.wav", "drop/sub/deeper/c.wav");
  fs::create_directories(dir.file("drop/sub"));
  std::ofstream(dir.file("drop/readme.txt")) << "not media\n";
  std::ofstream(dir.file("drop/sub/cover.png")) << "not media\n";
  const std::string single = Copy("clip.avi", "loose/z.avi");
  auto w = Open();
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(dir.file("drop"))),
                QUrl::fromLocalFile(QString::fromStdString(single))});
  QSignalSpy done(w->Adder(), &TJobAdder::Finished);
  QDragEnterEvent enter(QPoint(40, 40), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w->JobList()->viewport(), &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(40, 40), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w->JobList()->viewport(), &drop);
  ASSERT_TRUE(done.count() > 0 || done.wait(60000));
  EXPECT_EQ(Column(*w, 0), QStringList({QString::fromStdString(a), QString::fromStdString(b), QString::fromStdString(c),
                                        QString::fromStdString(single)}));
}

TEST_F(MainWindowTest, CancelStopsTheBatchAndKeepsTheRowsAddedInOrder) {
  QStringList files;
  for (int i = 0; i < 24; ++i)
    files << QString::fromStdString(
        Copy("clip.mp4", "many/" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".mp4"));
  auto w = Open();
  QSignalSpy done(w->Adder(), &TJobAdder::Finished);
  QObject::connect(w->Adder(), &TJobAdder::RowAdded, w.get(), [&](int row) {
    if (row == 2) w->findChild<QProgressDialog*>("addProgress")->findChild<QPushButton*>()->click();
  });
  w->AddFiles(files);
  ASSERT_TRUE(done.count() > 0 || done.wait(60000));
  EXPECT_TRUE(done.at(0).at(1).toBool());
  EXPECT_EQ(Column(*w, 0), files.mid(0, 3));
  // The window takes a new batch after a cancel.
  AddAndWait(*w, files.mid(3, 2));
  EXPECT_EQ(Column(*w, 0), files.mid(0, 5));
}

// A batch that outlasts the progress delay shows "Adding files..."; the end of the batch closes
// it, and a later quick Add does not bring it back. The batch is held for certain, not by
// timing: its second file is a named pipe, which the engine cannot open until the test writes a
// clip into it once the progress shows.
TEST_F(MainWindowTest, AddingFilesProgressClosesWhenTheBatchEnds) {
  auto w = Open();  // made first, so that it goes after the pipe's writer has let the batch go
  const std::string first = Copy("clip.mp4", "in/a.mp4");
  const std::string held = dir.file("in/held.ts");
  ASSERT_EQ(::mkfifo(held.c_str(), 0600), 0);
  std::promise<void> go;
  std::thread writer([&held, ready = go.get_future()]() mutable {
    ready.wait();
    // The engine may stop reading before the end: a write then fails instead of killing us.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    std::ifstream in(MediaPath("clip.ts"), std::ios::binary);
    std::ofstream out(held, std::ios::binary);
    out << in.rdbuf();
  });
  struct TRelease {
    std::promise<void>& Go;
    std::thread& Writer;
    bool Done = false;
    void operator()() {
      if (!std::exchange(Done, true)) Go.set_value();
    }
    ~TRelease() {
      (*this)();
      Writer.join();
    }
  } release{go, writer};

  QSignalSpy done(w->Adder(), &TJobAdder::Finished);
  w->AddFiles({QString::fromStdString(first), QString::fromStdString(held)});
  auto* progress = w->findChild<QProgressDialog*>("addProgress");
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(progress->labelText(), "Adding files...");
  ASSERT_TRUE(QTest::qWaitFor([&] { return progress->isVisible(); }, 10000)) << "the progress never showed";
  ASSERT_EQ(done.count(), 0);
  release();
  ASSERT_TRUE(done.count() > 0 || done.wait(60000));
  EXPECT_EQ(w->JobModel()->rowCount(), 2);
  EXPECT_FALSE(progress->isVisible()) << "the progress stays after the batch";
  // The window is the user's again: the job list has the keyboard (on a desktop the window
  // manager hands the activation back when the progress goes).
  EXPECT_EQ(w->focusWidget(), w->JobList());
  if (QGuiApplication::platformName() == "xcb") {
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == w->JobList(); }, 5000));
  }

  AddAndWait(*w, {QString::fromStdString(Copy("clip.avi", "in/b.avi"))});
  QTest::qWait(progress->minimumDuration() + 300);
  EXPECT_FALSE(progress->isVisible()) << "a later quick Add brought the progress back";
  EXPECT_EQ(w->JobModel()->rowCount(), 3);
}

// ---- Start-up, settings and exit ----

// At start the keyboard is on the job list, not on the first button of the title strip.
TEST_F(MainWindowTest, TheJobListHasTheKeyboardAtStart) {
  auto w = Open();
  EXPECT_EQ(w->focusWidget(), w->JobList());
  // On a desktop: once the window manager has activated the window.
  if (QGuiApplication::platformName() == "xcb") {
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == w->JobList(); }, 5000))
        << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "nothing");
  }
}

TEST_F(MainWindowTest, UnwritableOutputFolderIsReplacedAndStored) {
  const std::string home = dir.file("home");
  fs::create_directories(home + "/videoconverter");
  const QByteArray oldHome = qgetenv("HOME");
  qputenv("HOME", QByteArray::fromStdString(home));
  TIniFile ini(settingsPath);
  ini.WriteString("settings", "OutPutDir", dir.file("does/not/exist"));
  ini.WriteString("settings", "SnapOutPutDir", outDir);
  {
    auto w = Open();
    EXPECT_EQ(w->DirectoryEdit()->text().toStdString(), home + "/videoconverter");
  }
  qputenv("HOME", oldHome);
  EXPECT_EQ(ini.ReadString("settings", "OutPutDir", ""), home + "/videoconverter");
  EXPECT_EQ(ini.ReadString("settings", "SnapOutPutDir", ""), outDir);
}

TEST_F(MainWindowTest, GarbageSettingsStillBringTheWindowUpAndLoseNothing) {
  {
    std::ofstream f(settingsPath, std::ios::trunc);
    f << "[settings]\nOutPutDir=" << outDir << "\nvolume=200\nmute=1\nFormatCode=banana\nFormatName=\n"
      << "[lstformat]\n0=maybe\n[mine]\nkeep=this\n";
  }
  auto w = Open();
  EXPECT_EQ(w->Preview()->VolumeBar()->PositionL(), 64);
  EXPECT_TRUE(w->Preview()->MuteButton()->Alternate());
  EXPECT_EQ(ListRows(*w).size(), 4);  // "maybe" reads as the default: closed
  w->Picker()->DropButton()->click();
  PressRow(*w, 0, 8);
  PressRow(*w, RowOf(*w, "PSP MPEG-4 Mini Size (*.mp4)"), 100);
  EXPECT_TRUE(w->close());
  TIniFile ini(settingsPath);
  EXPECT_EQ(ini.ReadString("mine", "keep", ""), "this");
  EXPECT_EQ(ini.ReadInteger("settings", "FormatCode", -1), 2);
  EXPECT_EQ(ini.ReadString("settings", "volume", ""), "200");
}

TEST_F(MainWindowTest, StoredVolumeInRangeIsShownAsItIs) {
  for (const auto& [stored, shown] : std::vector<std::pair<int, int>>{{0, 0}, {128, 128}, {-1, 64}, {129, 64}}) {
    TIniFile(settingsPath).WriteInteger("settings", "volume", stored);
    auto w = Open();
    EXPECT_EQ(w->Preview()->VolumeBar()->PositionL(), shown) << stored;
  }
}

TEST_F(MainWindowTest, AnsweringNoToTheExitQuestionKeepsTheWindow) {
  auto w = Open();
  w->SetAskOnExit(true);
  QString asked;
  auto answer = [&](QMessageBox::StandardButton button) {
    QTimer::singleShot(0, [&asked, button] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      asked = box->windowTitle() + ": " + box->text();
      box->button(button)->click();
    });
  };
  answer(QMessageBox::No);
  EXPECT_FALSE(w->close());
  EXPECT_EQ(asked, "Warning: Do you really want to exit?");
  EXPECT_TRUE(w->isVisible());
  answer(QMessageBox::Yes);
  EXPECT_TRUE(w->close());
}

TEST_F(MainWindowTest, WithoutSkinFilesTheWindowComesUpAndWorks) {
  theme::SetSkinDir(QString::fromStdString(dir.file("no-skin")));
  auto w = Open();
  EXPECT_FALSE(w->grab().isNull());
  AddAndWait(*w, {QString::fromStdString(Copy("clip.mp4", "in/s.mp4"))});
  EXPECT_EQ(w->JobModel()->rowCount(), 1);
  w->btnClearClick();
  EXPECT_FALSE(w->grab().isNull());  // the empty list paints without its picture
}

TEST_F(MainWindowTest, TitleAndCaptionsFitTheirControls) {
  auto w = Open();
  EXPECT_EQ(w->size(), QSize(914, 566));
  EXPECT_EQ(w->findChild<QLabel*>("lbl_appname")->text().toStdString(),
            "Orvane PSP Video Converter" + TGlobalObject::GetFileVersionText());
  for (QLabel* l : w->findChildren<QLabel*>()) {
    if (l->isHidden() || l->text().isEmpty() || l->textFormat() == Qt::RichText) continue;
    EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->contentsRect().width()) << l->text().toStdString();
  }
  for (QPushButton* b : w->findChildren<QPushButton*>())
    EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 4, b->width()) << b->text().toStdString();
}

TEST(AppErrors, AnErrorInAnEventHandlerIsShownWithItsFullStopAndTheProgramRunsOn) {
  QApplication::setApplicationDisplayName("Orvane PSP Video Converter");
  struct TCase {
    std::function<void()> Throw;
    QMessageBox::Icon Icon;
    QString Text;
  };
  const TCase cases[] = {
      {[] { throw FFmpegException("Cannot open the output file"); }, QMessageBox::Warning,
       "Cannot open the output file."},
      {[] { throw std::runtime_error("Out of disk space!"); }, QMessageBox::Critical, "Out of disk space!"},
  };
  for (const TCase& c : cases) {
    QString shown, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer::singleShot(0, c.Throw);
    QTimer::singleShot(50, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      shown = box->text();
      title = box->windowTitle();
      icon = box->icon();
      box->button(QMessageBox::Ok)->click();
    });
    QTest::qWait(200);
    EXPECT_EQ(shown, c.Text);
    EXPECT_EQ(title, "Orvane PSP Video Converter");
    EXPECT_EQ(icon, c.Icon);
  }
}

// ---- Pure rules of the program ----

TEST(AppRules, FullStopRuleAndGlobalObject) {
  const std::pair<const char*, const char*> cases[] = {{"Cannot open file", "Cannot open file."},
                                                       {"Done.", "Done."},
                                                       {"Stop!", "Stop!"},
                                                       {"", ""},
                                                       {"code 7", "code 7."}};
  for (const auto& [in, out] : cases) EXPECT_EQ(WithFullStop(in), out) << in;
  TGlobalObject g;
  g.SetSettingsIniPath("/a/settings.ini");
  g.SetSettingsIniPath("/ab");
  EXPECT_EQ(g.SettingsIniPath, "/a/settings.ini");
  g.SetProductUrl("");
  g.SetProductUrl("https://x");
  g.SetProductUrl("");
  EXPECT_EQ(g.ProductUrl, "https://x");
  EXPECT_EQ(TGlobalObject::FileVersionText(4, 8, 0, 16), " 4.8016 ");
  EXPECT_EQ(TGlobalObject::RightStr("abc/", 1), "/");
  EXPECT_EQ(TGlobalObject::RightStr("ab", 5), "ab");
  TempDir d;
  EXPECT_TRUE(TGlobalObject::CanWriteToFolder(d.path().string()));
  EXPECT_FALSE(TGlobalObject::CanWriteToFolder(d.file("missing")));
  EXPECT_TRUE(fs::is_empty(d.path()));
}

TEST(AppRules, SupportedNamesIgnoreLetterCase) {
  for (const char* yes : {"a.mp4", "b.MP4", "c.Mkv", "/x/y.flac", "d.MPEG"})
    EXPECT_TRUE(IsSupportedMediaName(yes)) << yes;
  for (const char* no : {"a.txt", "mp4", "b.mp4.part", "/x.mp4/readme", ".gif"})
    EXPECT_FALSE(IsSupportedMediaName(no)) << no;
}

}  // namespace

int main(int argc, char** argv) { return testsupport::RunWindowTests(argc, argv); }
