// The conversion run from the desktop program: Start on the real main window with the real
// engine and real clips under the offscreen platform, the progress window, pause, resume,
// cancel, exit during a run, Open, Browse and the power-off decision (through a fake that
// never powers anything off).
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/apperror.h"
#include "app/core/inifile.h"
#include "app/core/queueestimate.h"
#include "app/core/settings.h"
#include "app/jobadder.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "app/poweroff.h"
#include "app/previewerwindow.h"
#include "app/runcontroller.h"
#include "controls/imagebutton.h"
#include "controls/theme.h"
#include "dialogs/progress.h"
#include "engine/engine.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace fs = std::filesystem;
using testsupport::FfprobeNumber;
using testsupport::MediaPath;
using testsupport::TempDir;

namespace {

const std::string kFormatIni = std::string(ORVANE_BINARY_DIR) + "/data/orvanepspformat.ini";

// Counts the requests; never powers anything off.
class TFakePowerOff : public TPowerOff {
public:
  explicit TFakePowerOff(int* calls, bool refuse = false) : calls_(calls), refuse_(refuse) {}
  bool PowerOff(QString& error) override {
    ++*calls_;
    if (refuse_) error = "Access denied";
    return !refuse_;
  }

private:
  int* calls_;
  bool refuse_;
};

// Errors of the ffmpeg command decoding the whole file (empty: it decodes cleanly).
std::string DecodeErrors(const std::string& file) {
  std::string out;
  testsupport::RunCapture("ffmpeg -nostdin -v error -i " + testsupport::ShellQuote(file) + " -f null - 2>&1", out);
  return out;
}

class RunTest : public ::testing::Test {
protected:
  void SetUp() override {
    qputenv("ORVANE_NO_POWEROFF", "1");
    theme::SetSkinDir(QString(ORVANE_SOURCE_DIR) + "/skin");
    settingsPath = dir.file("cfg/orvanepspvideoconverter.ini");
    outDir = dir.file("out");
    fs::create_directories(outDir);
    TIniFile(settingsPath).WriteString("settings", "OutPutDir", outDir);
  }

  std::unique_ptr<TfrmMain> Open() {
    auto w = testsupport::OpenMainWindow(settingsPath, kFormatIni);
    w->Runner()->SetPowerOff(std::make_unique<TFakePowerOff>(&powerOffs));
    w->Runner()->SetFolderOpener([this](const QString& f) { opened << f; });
    return w;
  }

  static void AddAndWait(TfrmMain& w, const std::vector<std::string>& paths) {
    QStringList files;
    for (const std::string& p : paths) files << QString::fromStdString(p);
    testsupport::AddAndWait(w, files);
    ASSERT_EQ(w.JobModel()->rowCount(), int(paths.size()));
  }

  std::string Copy(const std::string& clip, const std::string& name) {
    const std::string to = dir.file("in/" + name);
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(MediaPath(clip), to, fs::copy_options::overwrite_existing);
    return to;
  }

  static void WaitRunEnd(TfrmMain& w, int ms = 120000) {
    QSignalSpy ended(w.Runner(), &TRunController::RunEnded);
    if (!w.Runner()->Running()) return;
    ASSERT_TRUE(ended.wait(ms)) << "the run did not end";
  }

  // Waits until the row shows a percentage above `above`.
  static bool WaitPercent(TfrmMain& w, int row, int above, int ms = 60000) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
      const QString p = w.JobModel()->Progress(row);
      if (p.endsWith('%') && p.chopped(1).toInt() > above) return true;
      QTest::qWait(20);
    }
    return false;
  }

  static QStringList ProgressTexts(TfrmMain& w) {
    QStringList out;
    for (int r = 0; r < w.JobModel()->rowCount(); ++r) out << w.JobModel()->Progress(r);
    return out;
  }

  static QPushButton* Button(TfrmMain& w, const char* name) { return w.findChild<QPushButton*>(name); }

  TempDir dir;
  std::string settingsPath;
  std::string outDir;
  int powerOffs = 0;
  QStringList opened;
};

// ---- pieces without a run ----

TEST(RunPieces, PictureFitsTheAreaCentredWithItsShape) {
  struct Case {
    QSize source;
    QRect expected;
  } cases[] = {
      {{640, 480}, QRect(46, 0, 280, 210)},   // taller than the area: full height
      {{1920, 1080}, QRect(0, 0, 372, 210)},  // 16:9 is nearly the area's shape
      {{400, 100}, QRect(0, 58, 372, 94)},    // wide: full width, margins rounded
      {{0, 0}, QRect()},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FitPicture(c.source, {372, 210}), c.expected) << c.source.width() << "x" << c.source.height();
}

TEST(RunPieces, LongSourcePathsAreShortenedKeepingTheExtension) {
  const QString fifty = "/" + QString(45, 'a') + ".mp4";  // 50 characters
  ASSERT_EQ(fifty.size(), 50);
  EXPECT_EQ(ShortFileName(fifty), fifty);
  const QString path60 = "/v/" + QString(53, 'c') + ".avi";
  ASSERT_EQ(path60.size(), 60);
  EXPECT_EQ(ShortFileName(path60), path60.left(44) + ".." + ".avi");
  // A dot in a folder name is no extension.
  const QString noExt = "/a.b/" + QString(50, 'd');
  EXPECT_EQ(ShortFileName(noExt), noExt.left(44) + "..");
}

TEST(RunPieces, QueueEstimateUsesTheRemainingLengthsAndTheMeasuredSpeed) {
  TQueueEstimate e;
  e.Reset({10'000'000, 20'000'000, 0});
  EXPECT_EQ(e.RemainingSeconds(500'000), -1);   // under a second: no speed yet
  e.Progress(0, 5'000'000, 10'000'000);         // 5 s of media in 1 s: 5x
  EXPECT_EQ(e.RemainingSeconds(1'000'000), 5);  // (5 + 20) s / 5
  e.Ended(0, true);
  e.Progress(1, 0, 30'000'000);                 // the engine's length replaces the probed one
  EXPECT_EQ(e.RemainingSeconds(2'000'000), 6);  // 30 s left at 10 s converted per 2 s
  e.Ended(1, false);                            // a failed task leaves nothing to do
  EXPECT_EQ(e.RemainingSeconds(2'000'000), 0);
}

TEST(RunPieces, FilesAtOnceIsStoredWithinItsRange) {
  TempDir d;
  TAppSettings s(d.file("s.ini"), "");
  EXPECT_EQ(s.Read().FilesAtOnce, 1);
  for (auto [written, read] : {std::pair{3, 3}, {0, 1}, {99, kMaxFilesAtOnce}}) {
    s.WriteFilesAtOnce(written);
    EXPECT_EQ(s.Read().FilesAtOnce, read);
  }
  TIniFile(d.file("s.ini")).WriteInteger("settings", "filesAtOnce", -4);
  EXPECT_EQ(s.Read().FilesAtOnce, 1);
}

TEST(RunPieces, PreviewerShowsPicturesUntilTheUserClosesIt) {
  TQtPreviewer previewer;
  TBitmap24 picture;
  picture.SetSize(64, 48);
  bool shown = false;
  std::thread worker([&] { shown = previewer.ShowPicture(picture, 1, 1'500'000); });
  worker.join();  // the worker does not wait for the main thread
  EXPECT_TRUE(shown);
  QTRY_VERIFY(previewer.Window() != nullptr);
  TPreviewerForm* form = previewer.Window();
  EXPECT_EQ(form->size(), QSize(64, 48));
  EXPECT_EQ(form->windowTitle(), "00:00:01.500");
  EXPECT_TRUE(form->windowFlags() & Qt::WindowStaysOnTopHint);
  form->close();
  EXPECT_TRUE(previewer.Closed());
  EXPECT_FALSE(previewer.ShowPicture(picture, 2, 2'000'000));
}

// ---- runs ----

// Three checked rows of five: tasks 0, 1, 2 are rows 0, 2, 4 in list order, the label counts
// [1/3] to [3/3], the rows end at 100%, and after the last file the folder opens and the
// computer is powered off (both boxes checked).
TEST_F(RunTest, ThreeCheckedRowsOfFiveConvertInListOrder) {
  auto w = Open();
  std::vector<std::string> files;
  for (char i = 0; i < 5; ++i) files.push_back(Copy("clip.mp4", std::string("c") + char('0' + i) + ".mp4"));
  AddAndWait(*w, files);
  TJobListModel* m = w->JobModel();
  m->setData(m->index(1, 0), Qt::Unchecked, Qt::CheckStateRole);
  m->setData(m->index(3, 0), Qt::Unchecked, Qt::CheckStateRole);
  TfrmProgress* p = w->Runner()->ProgressWindow();
  p->ckShutDown()->setChecked(true);

  QStringList labels;
  QObject::connect(m, &TJobListModel::dataChanged, p, [&] {
    const QString l = p->lblProgress()->text();
    if (!l.isEmpty() && (labels.isEmpty() || labels.last() != l)) labels << l;
  });
  QTest::mouseClick(w->findChild<QWidget*>("btnStart"), Qt::LeftButton);
  ASSERT_TRUE(w->Runner()->Running());
  EXPECT_EQ(w->Runner()->CheckedRows(), (std::vector<int>{0, 2, 4}));
  EXPECT_TRUE(p->isVisible());
  EXPECT_TRUE(p->ckOpen()->isChecked());
  EXPECT_FALSE(w->findChild<QWidget*>("btnAdd")->isEnabled());
  WaitRunEnd(*w);

  EXPECT_EQ(labels, QStringList({"[1/3]", "[2/3]", "[3/3]"}));
  EXPECT_EQ(ProgressTexts(*w), QStringList({"100%", "", "100%", "", "100%"}));
  EXPECT_FALSE(p->isVisible());
  EXPECT_EQ(powerOffs, 1);
  EXPECT_EQ(opened, QStringList({QString::fromStdString(outDir)}));
  EXPECT_EQ(w->Runner()->Summary(), nullptr);  // nothing failed: no summary
  for (const char* name : {"btnAdd", "btnRemove", "btnClear", "btnStart", "btnStartBelow"})
    EXPECT_TRUE(w->findChild<QWidget*>(name)->isEnabled()) << name;
  for (int r : {0, 2, 4}) {
    const std::string out = m->Record(r)->DestFile;
    EXPECT_NEAR(FfprobeNumber(out, "format=duration"), 10.0, 0.3) << out;
  }
  // A second Start shows ckOpen checked again and ckShutDown as the user left it.
  p->ckOpen()->setChecked(false);
  p->ckShutDown()->setChecked(false);
  w->Runner()->Start();
  EXPECT_TRUE(p->ckOpen()->isChecked());
  EXPECT_FALSE(p->ckShutDown()->isChecked());
  WaitRunEnd(*w);
  EXPECT_EQ(powerOffs, 1);
}

// After every run the keyboard is back on the job list, whichever Start button was clicked
// (a clicked button takes the focus and is then disabled while the run goes on).
TEST_F(RunTest, TheJobListHasTheKeyboardAfterEveryRun) {
  auto w = Open();
  AddAndWait(*w, {Copy("clip.mp4", "k.mp4")});
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
  for (const char* start : {"btnStart", "btnStartBelow", "btnStart"}) {
    SCOPED_TRACE(start);
    QTest::mouseClick(w->findChild<QWidget*>(start), Qt::LeftButton);
    ASSERT_TRUE(w->Runner()->Running());
    WaitRunEnd(*w);
    EXPECT_EQ(ProgressTexts(*w), QStringList({"100%"}));
    EXPECT_EQ(w->focusWidget(), w->JobList());
    // On a desktop: once the window manager has handed the activation back from the progress.
    if (QGuiApplication::platformName() == "xcb") {
      EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == w->JobList(); }, 5000))
          << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "nothing");
    }
  }
}

// The last task fails (its source went away after Start): neither the folder opens nor is the
// computer powered off; the row says "Failed" with the engine's message, and a summary names
// the file.
TEST_F(RunTest, LastTaskFailingOpensNothingAndSaysWhy) {
  auto w = Open();
  const std::string keep = Copy("clip.mp4", "first.mp4");
  const std::string gone = Copy("clip.mp4", "gone.mp4");
  AddAndWait(*w, {keep, gone});
  TfrmProgress* p = w->Runner()->ProgressWindow();
  p->ckShutDown()->setChecked(true);
  w->Runner()->Start();
  ASSERT_TRUE(w->Runner()->Running());
  fs::remove(gone);
  WaitRunEnd(*w);

  TJobListModel* m = w->JobModel();
  EXPECT_EQ(m->Progress(0), "100%");
  EXPECT_TRUE(m->Progress(1).startsWith("Failed")) << m->Progress(1).toStdString();
  EXPECT_FALSE(m->Message(1).isEmpty());
  const QString tip = m->index(1, 0).data(Qt::ToolTipRole).toString();
  EXPECT_TRUE(tip.contains(m->Message(1))) << tip.toStdString();
  EXPECT_EQ(powerOffs, 0);
  EXPECT_TRUE(opened.isEmpty());
  ASSERT_NE(w->Runner()->Summary(), nullptr);
  EXPECT_TRUE(w->Runner()->Summary()->text().startsWith("1 of 2 file(s) converted, 1 failed"))
      << w->Runner()->Summary()->text().toStdString();
  EXPECT_TRUE(w->Runner()->Summary()->detailedText().contains("gone.mp4"));
  // The Edit menu's Details entry shows the message for the selected failed row only.
  QAction* details = nullptr;
  for (QAction* a : w->EditMenu()->actions())
    if (a->text() == "&Details") details = a;
  ASSERT_NE(details, nullptr);
  w->JobList()->setCurrentIndex(m->index(0, 0));
  w->UpdateEditMenu();
  EXPECT_FALSE(details->isEnabled());
  w->JobList()->setCurrentIndex(m->index(1, 0));
  w->UpdateEditMenu();
  ASSERT_TRUE(details->isEnabled());
  details->trigger();
  auto* box = w->findChild<QMessageBox*>("rowDetails");
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->text().contains(m->Message(1)));
}

// A file whose data ends before the length its container gives fails here as on the command
// line: the row says "Failed" with the time the input reached, and no output is left for it.
TEST_F(RunTest, InputThatEndsEarlyFailsItsRow) {
  auto w = Open();
  const std::string cut = Copy("truncated.mkv", "cut.mkv");
  const std::string whole = Copy("clip.mkv", "whole.mkv");
  AddAndWait(*w, {cut, whole});
  w->Runner()->Start();
  WaitRunEnd(*w);
  TJobListModel* m = w->JobModel();
  EXPECT_TRUE(m->Progress(0).startsWith("Failed")) << m->Progress(0).toStdString();
  EXPECT_TRUE(m->Message(0).contains("the input ended early, at 0:00:0")) << m->Message(0).toStdString();
  EXPECT_TRUE(m->Message(0).contains(" of 0:00:10")) << m->Message(0).toStdString();
  EXPECT_EQ(m->Progress(1), "100%");
  for (const auto& e : fs::directory_iterator(outDir))
    EXPECT_EQ(e.path().filename().string().find("cut"), std::string::npos) << e.path();
  ASSERT_NE(w->Runner()->Summary(), nullptr);
  EXPECT_TRUE(w->Runner()->Summary()->text().startsWith("1 of 2 file(s) converted, 1 failed"));
}

// A row whose file vanished before Start gets no task: it is marked failed, the other rows
// convert with their task numbers and rows aligned.
TEST_F(RunTest, RowThatCannotBeAddedAtStartIsMarkedAndTheOthersConvert) {
  auto w = Open();
  const std::string a = Copy("clip.mp4", "a.mp4");
  const std::string gone = Copy("clip.mp4", "vanished.mp4");
  const std::string c = Copy("clip.avi", "c.avi");
  AddAndWait(*w, {a, gone, c});
  fs::remove(gone);
  w->Runner()->Start();
  EXPECT_EQ(w->Runner()->CheckedRows(), (std::vector<int>{0, 2}));
  EXPECT_TRUE(w->JobModel()->Progress(1).startsWith("Failed"));
  WaitRunEnd(*w);
  EXPECT_EQ(ProgressTexts(*w), QStringList({"100%", "Failed", "100%"}));
  EXPECT_TRUE(w->JobModel()->Message(1).contains("vanished.mp4"));
  EXPECT_EQ(w->Runner()->ProgressWindow()->lblProgress()->text(), "[2/2]");
  ASSERT_NE(w->Runner()->Summary(), nullptr);
  EXPECT_EQ(opened.size(), 1);  // the last task converted
}

// Cancel during the second task: the first row keeps 100%, the second says "Stopped" with its
// percentage and keeps a playable part, the third was never started and keeps its text, the
// buttons come back and nothing is opened or powered off.
TEST_F(RunTest, CancelAfterTheFirstTaskKeepsAPlayableFile) {
  auto w = Open();
  AddAndWait(*w, {Copy("clip.mp4", "one.mp4"), Copy("long.mp4", "two.mp4"), Copy("long.mp4", "three.mp4")});
  TfrmProgress* p = w->Runner()->ProgressWindow();
  p->ckShutDown()->setChecked(true);
  w->Runner()->Start();
  ASSERT_TRUE(WaitPercent(*w, 1, 2));
  QTest::mouseClick(p->btnCancel(), Qt::LeftButton);
  EXPECT_TRUE(w->Runner()->Stopping());
  EXPECT_FALSE(p->btnCancel()->isEnabled());
  WaitRunEnd(*w);

  TJobListModel* m = w->JobModel();
  EXPECT_EQ(m->Progress(0), "100%");
  EXPECT_TRUE(m->Progress(1).startsWith("Stopped (")) << m->Progress(1).toStdString();
  EXPECT_EQ(m->Progress(2), "");
  EXPECT_FALSE(m->Message(2).isEmpty());
  EXPECT_FALSE(p->isVisible());
  EXPECT_EQ(powerOffs, 0);
  EXPECT_TRUE(opened.isEmpty());
  for (const char* name : {"btnAdd", "btnRemove", "btnClear", "btnStart"})
    EXPECT_TRUE(w->findChild<QWidget*>(name)->isEnabled()) << name;
  const std::string part = m->Record(1)->DestFile;
  ASSERT_TRUE(fs::exists(part));
  const double seconds = FfprobeNumber(part, "format=duration");
  EXPECT_GT(seconds, 1.0);
  EXPECT_LT(seconds, 119.0);
  EXPECT_EQ(DecodeErrors(part), "");
  EXPECT_FALSE(fs::exists(m->Record(2)->DestFile));
}

// Pause holds the numbers; Resume goes on, and the output decodes cleanly at full length.
TEST_F(RunTest, PauseThenResumeGivesTheWholeFile) {
  auto w = Open();
  AddAndWait(*w, {Copy("long.mp4", "long.mp4")});
  TfrmProgress* p = w->Runner()->ProgressWindow();
  w->Runner()->Start();
  ASSERT_TRUE(WaitPercent(*w, 0, 1));
  QTest::mouseClick(p->btnPause(), Qt::LeftButton);
  EXPECT_FALSE(p->btnPause()->isEnabled());
  EXPECT_TRUE(p->btnResume()->isEnabled());
  QTest::qWait(300);  // notices already on their way arrive
  const QString time = p->lblTime()->text();
  const QString row = w->JobModel()->Progress(0);
  QTest::qWait(800);
  EXPECT_EQ(p->lblTime()->text(), time);
  EXPECT_EQ(w->JobModel()->Progress(0), row);
  // The snapshot button saves the picture in full size and the picture area as drawn.
  const std::string snaps = dir.file("snaps");
  TIniFile(settingsPath).WriteString("settings", "SnapOutPutDir", snaps);
  ASSERT_FALSE(p->Picture().isNull());
  QTest::mouseClick(p->imgbtnSnap(), Qt::LeftButton);
  EXPECT_EQ(QImage(QString::fromStdString(snaps + "/Snapshot_full.bmp")).size(), p->Picture().size());
  EXPECT_EQ(QImage(QString::fromStdString(snaps + "/Snapshot_small.jpg")).size(), QSize(372, 210));
  EXPECT_TRUE(w->Runner()->Running());
  QTest::mouseClick(p->btnResume(), Qt::LeftButton);
  EXPECT_TRUE(p->btnPause()->isEnabled());
  WaitRunEnd(*w);
  EXPECT_EQ(w->JobModel()->Progress(0), "100%");
  const std::string out = w->JobModel()->Record(0)->DestFile;
  EXPECT_NEAR(FfprobeNumber(out, "format=duration"), 120.0, 0.5);
  EXPECT_EQ(DecodeErrors(out), "");
  // The picture of the running task reached the progress window.
  EXPECT_FALSE(w->Runner()->PreviewFrame().isNull());
}

// Closing during a run stops it and closes when it has ended; the window answers meanwhile and
// a second close request changes nothing.
TEST_F(RunTest, ExitDuringARunStopsAndClosesWithoutFreezing) {
  auto w = Open();
  AddAndWait(*w, {Copy("long.mp4", "long.mp4")});
  w->Runner()->Start();
  ASSERT_TRUE(WaitPercent(*w, 0, 1));
  QSignalSpy exitReady(w->Runner(), &TRunController::ExitReady);
  w->close();
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(w->Runner()->Stopping());
  w->close();  // harmless
  ASSERT_TRUE(exitReady.count() > 0 || exitReady.wait(30000));
  QTRY_VERIFY(!w->isVisible());
  EXPECT_FALSE(w->Runner()->Running());
  EXPECT_EQ(powerOffs, 0);
}

// Priority 3 runs the worker at the lowest priority (a positive nice value on its thread);
// 7 leaves the priority as it was.
TEST_F(RunTest, WorkPriorityFromTheSettings) {
  auto niceThreads = [] {
    int count = 0;
    for (const auto& e : fs::directory_iterator("/proc/self/task")) {
      std::ifstream stat(e.path() / "stat");
      std::string line;
      std::getline(stat, line);
      std::istringstream rest(line.substr(line.rfind(')') + 2));
      std::string field;
      for (int i = 0; i < 17 && rest >> field; ++i) {
      }
      if (std::stoi(field) >= 10) ++count;  // field 19: nice
    }
    return count;
  };
  auto w = Open();
  AddAndWait(*w, {Copy("long.mp4", "long.mp4")});
  TIniFile(settingsPath).WriteInteger("settings", "priority", 3);
  ASSERT_EQ(niceThreads(), 0);
  w->Runner()->Start();
  ASSERT_TRUE(WaitPercent(*w, 0, 0));
  EXPECT_EQ(w->Runner()->Engine().ThreadPriority(), tpLowest);
  EXPECT_GE(niceThreads(), 1);
  w->Runner()->Stop();
  WaitRunEnd(*w);

  w->Runner()->Engine().SetThreadPriority(tpLower);
  TIniFile(settingsPath).WriteInteger("settings", "priority", 7);
  w->Runner()->Start();
  EXPECT_EQ(w->Runner()->Engine().ThreadPriority(), tpLower);
  w->Runner()->Stop();
  WaitRunEnd(*w);
}

// Two files at once: both tasks run at the same time and both convert.
TEST_F(RunTest, FilesAtOnceRunsTasksTogether) {
  auto w = Open();
  AddAndWait(*w, {Copy("long.mp4", "a.mp4"), Copy("long.mp4", "b.mp4")});
  TAppSettings(settingsPath, kFormatIni).WriteFilesAtOnce(2);
  w->Runner()->Start();
  ASSERT_TRUE(WaitPercent(*w, 1, 0));
  EXPECT_NE(w->JobModel()->Progress(0), "100%");  // the first is still running
  WaitRunEnd(*w);
  EXPECT_EQ(ProgressTexts(*w), QStringList({"100%", "100%"}));
  EXPECT_FALSE(w->Runner()->ProgressWindow()->lblRemaining()->text().isEmpty());
}

// A source of unknown length (a raw MPEG-4 stream) shows its position without a percentage
// and a bar that shows activity only, and still ends at 100%.
TEST_F(RunTest, UnknownLengthShowsThePositionOnly) {
  const std::string raw = dir.file("in/raw.m4v");
  fs::create_directories(dir.file("in"));
  std::string out;
  ASSERT_EQ(testsupport::RunCapture("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25:duration=3 "
                                    "-c:v mpeg4 -f m4v " +
                                        testsupport::ShellQuote(raw),
                                    out),
            0);
  auto w = Open();
  AddAndWait(*w, {raw});
  TfrmProgress* p = w->Runner()->ProgressWindow();
  QStringList texts;
  bool busyBar = false;
  QObject::connect(w->JobModel(), &TJobListModel::dataChanged, p, [&] {
    texts << w->JobModel()->Progress(0);
    busyBar |= p->progbarFile()->maximum() == 0;
  });
  w->Runner()->Start();
  WaitRunEnd(*w);
  ASSERT_FALSE(texts.isEmpty());
  EXPECT_EQ(texts.last(), "100%");
  bool position = false;
  for (const QString& t : texts) {
    position |= t.endsWith(" s");
    EXPECT_TRUE(t.isEmpty() || t.endsWith(" s") || t == "100%") << t.toStdString();
  }
  EXPECT_TRUE(position);
  EXPECT_TRUE(busyBar);
  EXPECT_EQ(p->lblLength()->text(), "unknown");
}

// A refused power-off is said, not swallowed.
TEST_F(RunTest, RefusedPowerOffIsReported) {
  auto w = Open();
  w->Runner()->SetPowerOff(std::make_unique<TFakePowerOff>(&powerOffs, true));
  AddAndWait(*w, {Copy("clip.mp4", "a.mp4")});
  w->Runner()->ProgressWindow()->ckShutDown()->setChecked(true);
  w->Runner()->Start();
  WaitRunEnd(*w);
  EXPECT_EQ(powerOffs, 1);
  bool said = false;
  for (QMessageBox* box : w->findChildren<QMessageBox*>())
    said |= box->text() == "The computer could not be shut down: Access denied";
  EXPECT_TRUE(said);
}

// The output folder vanished (its drive went away: nothing can make it again). Adding many
// files warns once, and Start once, each time with the folder used shown in the folder box and
// the outputs going there.
TEST_F(RunTest, AVanishedOutputFolderWarnsOnceAndTheBoxShowsTheFolderUsed) {
  const QByteArray oldHome = qgetenv("HOME");
  qputenv("HOME", QByteArray::fromStdString(dir.file("home")));
  struct TRestoreHome {
    QByteArray Home;
    ~TRestoreHome() { qputenv("HOME", Home); }
  } restoreHome{oldHome};
  const std::string fallback = dir.file("home/Videos/videoconverter");
  auto unplug = [&](const std::string& drive) {
    fs::remove_all(drive);
    std::ofstream(drive) << "not a folder\n";  // the folder's parent is now a plain file
  };
  auto warning = [&](const std::string& folder) {
    return QString::fromStdString("Warning: Cannot create output directory:" + folder +
                                  ".It will create default directory " + fallback + "!");
  };
  auto w = Open();
  // Every message box, as it shows: its "title: text". The user answers them once the adding
  // or the run has ended (so the boxes of a batch all show before any is closed), and can do
  // so with the keyboard only when the box is the active window: one that stays behind counts.
  QStringList boxes;
  int behind = 0;
  QElapsedTimer clock;
  clock.start();
  auto look = [&] {
    for (QMessageBox* box : w->findChildren<QMessageBox*>())
      if (box->isVisible() && !box->property("seen").isValid()) {
        box->setProperty("seen", clock.elapsed());
        boxes << box->windowTitle() + ": " + box->text();
      }
    if (w->Adder()->Busy() || w->Runner()->Running()) return;
    for (QMessageBox* box : w->findChildren<QMessageBox*>()) {
      if (!box->isVisible()) continue;
      const bool front = QApplication::activeWindow() == box;
      if (!front && clock.elapsed() - box->property("seen").toLongLong() < 3000) continue;
      behind += front ? 0 : 1;
      box->done(QMessageBox::Ok);
    }
  };
  auto answered = [&] {
    for (QMessageBox* box : w->findChildren<QMessageBox*>())
      if (box->isVisible()) return false;
    return true;
  };
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, w.get(), look);
  watcher.start(10);

  const std::string stick = dir.file("stick"), gone = stick + "/out";
  fs::create_directories(gone);
  TIniFile(settingsPath).WriteString("settings", "OutPutDir", gone);
  std::vector<std::string> files{Copy("clip.mp4", "f0.mp4")};
  for (int i = 1; i < 40; ++i) {
    files.push_back(dir.file("in/f" + std::to_string(i) + ".mp4"));
    fs::create_hard_link(files[0], files.back());
  }
  unplug(stick);
  AddAndWait(*w, files);
  ASSERT_TRUE(QTest::qWaitFor(answered, 10000));
  EXPECT_EQ(boxes, QStringList{warning(gone)});
  EXPECT_EQ(behind, 0);
  EXPECT_EQ(w->DirectoryEdit()->text().toStdString(), fallback);
  EXPECT_EQ(TAppSettings(settingsPath, kFormatIni).Read().OutPutDir, fallback);
  for (int r = 0; r < w->JobModel()->rowCount(); ++r)
    EXPECT_EQ(fs::path(w->JobModel()->Record(r)->DestFile).parent_path(), fallback) << r;

  // The folder chosen next goes too, between Add and Start.
  w->btnClearClick();
  const std::string stick2 = dir.file("stick2"), gone2 = stick2 + "/out";
  fs::create_directories(gone2);
  w->Runner()->SetFolderChooser([&](QWidget*, const QString&) { return QString::fromStdString(gone2); });
  QTest::mouseClick(Button(*w, "btnBrows"), Qt::LeftButton);
  ASSERT_EQ(w->DirectoryEdit()->text().toStdString(), gone2);
  AddAndWait(*w, {files[0], files[1]});
  boxes.clear();
  unplug(stick2);
  w->Runner()->Start();
  EXPECT_EQ(w->DirectoryEdit()->text().toStdString(), fallback);
  WaitRunEnd(*w);
  ASSERT_TRUE(QTest::qWaitFor(answered, 10000));
  EXPECT_EQ(boxes, QStringList{warning(gone2)});
  EXPECT_EQ(behind, 0);
  EXPECT_EQ(ProgressTexts(*w), QStringList({"100%", "100%"}));
  for (int r = 0; r < 2; ++r) {
    const std::string out = w->JobModel()->Record(r)->DestFile;
    EXPECT_EQ(fs::path(out).parent_path(), fallback);
    EXPECT_NEAR(FfprobeNumber(out, "format=duration"), 10.0, 0.3) << out;
  }
}

// ---- Open and Browse ----

TEST_F(RunTest, OpenAndBrowseFollowTheFolderRules) {
  auto w = Open();
  QTest::mouseClick(Button(*w, "btnOpen"), Qt::LeftButton);
  EXPECT_EQ(opened, QStringList({QString::fromStdString(outDir)}));

  QString answer;
  w->Runner()->SetFolderChooser([&](QWidget*, const QString&) { return answer; });
  auto lastBox = [&]() -> QString {
    QString text;
    for (QMessageBox* box : w->findChildren<QMessageBox*>())
      if (box->isVisible()) text = box->text();
    return text;
  };
  auto stored = [&] { return TAppSettings(settingsPath, kFormatIni).Read().OutPutDir; };

  answer = "/ab";  // fewer than 4 characters
  QTest::mouseClick(Button(*w, "btnBrows"), Qt::LeftButton);
  EXPECT_EQ(lastBox(), "The path /ab is not a valid directory.");
  EXPECT_EQ(stored(), outDir);
  EXPECT_EQ(w->DirectoryEdit()->text().toStdString(), outDir);
  for (QMessageBox* box : w->findChildren<QMessageBox*>()) box->close();

  const std::string other = dir.file("other");
  fs::create_directories(other);
  answer = QString::fromStdString(other);
  QTest::mouseClick(Button(*w, "btnBrows"), Qt::LeftButton);
  EXPECT_EQ(stored(), other);
  EXPECT_EQ(w->DirectoryEdit()->text().toStdString(), other);

  // A folder that cannot be written (here: a path under a plain file) gives way to the one
  // in the home folder after the permission message.
  const QByteArray home = qgetenv("HOME");
  qputenv("HOME", QByteArray::fromStdString(dir.file("home")));
  const std::string blocker = dir.file("plainfile");
  std::ofstream(blocker) << "x";
  answer = QString::fromStdString(blocker + "/sub");
  QTest::mouseClick(Button(*w, "btnBrows"), Qt::LeftButton);
  qputenv("HOME", home);
  EXPECT_TRUE(lastBox().contains(" .You don't have permission to write to directory:" + answer))
      << lastBox().toStdString();
  EXPECT_EQ(stored(), dir.file("home") + "/videoconverter");
  EXPECT_EQ(w->DirectoryEdit()->text().toStdString(), dir.file("home") + "/videoconverter");
}

}  // namespace

int main(int argc, char** argv) { return testsupport::RunWindowTests(argc, argv); }
