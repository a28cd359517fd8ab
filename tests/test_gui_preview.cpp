// The main window's preview panel with the real player (dummy sound driver) and real clips,
// driven by mouse clicks: button states, clocks, the seek bar's dragging rule, volume and mute,
// the end of a file, Previous / Next and snapshots checked against the ffmpeg command.
#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "app/apperror.h"
#include "app/core/clocktext.h"
#include "app/core/inifile.h"
#include "app/jobadder.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "app/previewpanel.h"
#include "controls/imagebutton.h"
#include "controls/theme.h"
#include "controls/trackbar.h"
#include "controls/videosurface.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testsupport::MediaPath;
using testsupport::TempDir;

// Receives the folders the program asks the desktop to open.
class TUrlCatcher : public QObject {
  Q_OBJECT
public:
  QList<QUrl> Urls;
public slots:
  void Open(const QUrl& url) { Urls << url; }
};

namespace {

const std::string kFormatIni = std::string(ORVANE_BINARY_DIR) + "/data/orvanepspformat.ini";

TEST(ClockText, HoursMinutesSecondsWithHalvesToEven) {
  struct Row {
    int64_t us;
    const char* text;
  };
  const Row rows[] = {{3725'000'000, "1:02:05"},
                      {3725'500'000, "1:02:06"},
                      {3724'500'000, "1:02:04"},
                      {3724'500'001, "1:02:05"},
                      {0, "0:00:00"},
                      {499'999, "0:00:00"},
                      {-2'000'000, "0:00:00"},
                      {36000'000'000, "10:00:00"}};
  for (const Row& r : rows) EXPECT_EQ(FormatClock(RoundedSeconds(r.us)), r.text) << r.us;
}

class PreviewTest : public ::testing::Test {
protected:
  void SetUp() override {
    theme::SetSkinDir(QString(ORVANE_SOURCE_DIR) + "/skin");
    settingsPath = dir.file("cfg/orvanepspvideoconverter.ini");
    snapDir = dir.file("snaps");
    fs::create_directories(dir.file("out"));
    fs::create_directories(snapDir);
    TIniFile ini(settingsPath);
    ini.WriteString("settings", "OutPutDir", dir.file("out"));
    ini.WriteString("settings", "SnapOutPutDir", snapDir);
    QDesktopServices::setUrlHandler("file", &catcher, "Open");
  }
  void TearDown() override { QDesktopServices::unsetUrlHandler("file"); }

  std::unique_ptr<TfrmMain> Open() { return testsupport::OpenMainWindow(settingsPath, kFormatIni); }
  static void AddAndWait(TfrmMain& w, const QStringList& paths) { testsupport::AddAndWait(w, paths); }
  static void Click(QWidget* button) { QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center()); }
  // Enabled state of Previous, Play, Pause, Stop, Next, Snapshot as "1"/"0".
  static std::string Buttons(TPreviewPanel& p) {
    std::string s;
    for (QWidget* b :
         {p.PreviousButton(), p.PlayButton(), p.PauseButton(), p.StopButton(), p.NextButton(), p.SnapButton()})
      s += b->isEnabled() ? '1' : '0';
    return s;
  }
  static bool ShowsPicture(TPreviewPanel& p) { return !p.VideoPanel()->Picture().isNull(); }
  static int OpenCount(TfrmMain& w) { return w.LogMemo()->toPlainText().count("duration: "); }

  TempDir dir;
  std::string settingsPath, snapDir;
  TUrlCatcher catcher;
};

TEST_F(PreviewTest, PlayWithAnEmptyListAsksForFilesAndPlaysTheFirst) {
  auto w = Open();
  TPreviewPanel& p = *w->Preview();
  EXPECT_EQ(Buttons(p), "010000");
  EXPECT_FALSE(p.SeekBar()->isEnabled());
  Click(p.PlayButton());
  QFileDialog* dialog = nullptr;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (QWidget* t : QApplication::topLevelWidgets())
          if (auto* d = qobject_cast<QFileDialog*>(t); d && d->isVisible()) dialog = d;
        return dialog != nullptr;
      },
      10000));
  QSignalSpy done(w->Adder(), &TJobAdder::Finished);
  dialog->selectFile(QString::fromStdString(MediaPath("clip.mp4")));
  static_cast<QDialog*>(dialog)->accept();
  ASSERT_TRUE(done.count() > 0 || done.wait(60000));
  // The first added row plays: the clock, the seek bar and the picture move.
  EXPECT_EQ(Buttons(p), "001101");
  EXPECT_EQ(p.DurationLabel()->text(), "/ 0:00:10");
  EXPECT_TRUE(p.SeekBar()->isEnabled());
  EXPECT_EQ(p.SeekBar()->Max(), 380);
  ASSERT_TRUE(QTest::qWaitFor([&] { return p.TimeLabel()->text() == "0:00:01" && ShowsPicture(p); }, 15000))
      << p.TimeLabel()->text().toStdString();
  EXPECT_GT(p.SeekBar()->PositionL(), 0);
  EXPECT_TRUE(w->LogMemo()->toPlainText().contains("duration: 10.0"));

  // Stop: back to the idle look with a black panel.
  Click(p.StopButton());
  EXPECT_EQ(Buttons(p), "010000");
  EXPECT_EQ(p.TimeLabel()->text(), "00:00:00");
  EXPECT_EQ(p.DurationLabel()->text(), "/ 00:00:00");
  EXPECT_EQ(p.SeekBar()->PositionL(), 0);
  EXPECT_FALSE(p.SeekBar()->isEnabled());
  EXPECT_FALSE(ShowsPicture(p));
  EXPECT_FALSE(p.Player().IsOpen());
}

// Play with no selection takes the first row; Play while paused resumes without opening again;
// Next while paused selects the next row but resumes the paused file; Previous / Next follow
// the selected row.
TEST_F(PreviewTest, PauseResumeAndNextWhilePaused) {
  auto w = Open();
  TPreviewPanel& p = *w->Preview();
  AddAndWait(*w, {QString::fromStdString(MediaPath("clip.mp4")), QString::fromStdString(MediaPath("clip.mkv")),
                  QString::fromStdString(MediaPath("clip.avi"))});
  w->JobList()->selectionModel()->clearSelection();
  Click(p.PlayButton());
  EXPECT_TRUE(w->JobList()->selectionModel()->isRowSelected(0, {}));
  EXPECT_EQ(p.Player().FileName(), MediaPath("clip.mp4"));
  EXPECT_EQ(Buttons(p), "001111");
  ASSERT_TRUE(QTest::qWaitFor([&] { return p.TimeLabel()->text() == "0:00:01"; }, 15000));

  Click(p.PauseButton());
  EXPECT_TRUE(p.PreviewPaused());
  EXPECT_TRUE(p.Player().Paused());
  EXPECT_EQ(Buttons(p), "010111");
  Click(p.PlayButton());
  EXPECT_FALSE(p.Player().Paused());
  EXPECT_EQ(OpenCount(*w), 1);
  EXPECT_EQ(Buttons(p), "001111");

  Click(p.PauseButton());
  Click(p.NextButton());
  EXPECT_TRUE(w->JobList()->selectionModel()->isRowSelected(1, {}));
  EXPECT_EQ(p.Player().FileName(), MediaPath("clip.mp4"));
  EXPECT_FALSE(p.Player().Paused());
  EXPECT_EQ(OpenCount(*w), 1);
  EXPECT_EQ(Buttons(p), "101111");

  // Not paused: Next opens the next row; at the last row Next is disabled.
  Click(p.NextButton());
  EXPECT_EQ(p.Player().FileName(), MediaPath("clip.avi"));
  EXPECT_EQ(OpenCount(*w), 2);
  EXPECT_EQ(Buttons(p), "101101");
  Click(p.PreviousButton());
  EXPECT_EQ(p.Player().FileName(), MediaPath("clip.mkv"));
  EXPECT_EQ(Buttons(p), "101111");

  // Emptying the list stops the preview.
  w->btnClearClick();
  EXPECT_FALSE(p.Player().IsOpen());
  EXPECT_EQ(Buttons(p), "010000");
}

// A press on the seek bar holds the bar against position notices until the release, which
// seeks; near the end the file runs out: stopped buttons, zero clocks, the file paused at its
// start, and Play opens it again.
TEST_F(PreviewTest, SeekByMouseAndTheEndOfTheFile) {
  auto w = Open();
  TPreviewPanel& p = *w->Preview();
  AddAndWait(*w, {QString::fromStdString(MediaPath("framenum_3s.mp4"))});
  Click(p.PlayButton());
  ASSERT_TRUE(QTest::qWaitFor([&] { return ShowsPicture(p); }, 15000));
  TTrackBar2* bar = p.SeekBar();
  QTest::mousePress(bar, Qt::LeftButton, {}, QPoint(190, 10));
  EXPECT_TRUE(p.SeekDragging());
  EXPECT_EQ(bar->PositionL(), 190);  // (190 - 7) * 380 / 365
  // Moving with the button held: x / (width - 6) * maximum.
  QMouseEvent move(QEvent::MouseMove, QPointF(250, 10), bar->mapToGlobal(QPointF(250, 10)), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(bar, &move);
  EXPECT_EQ(bar->PositionL(), 254);  // 250 / 374 * 380
  QTest::qWait(300);                 // the clip plays on; its position notices leave the bar alone
  EXPECT_EQ(bar->PositionL(), 254);
  QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(250, 10));
  EXPECT_TRUE(p.SeekDragging());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !p.SeekDragging(); }, 2000));
  // 254 / 380 of 3 s: the clock shows 2 s before the end comes.
  ASSERT_TRUE(QTest::qWaitFor([&] { return p.TimeLabel()->text() == "0:00:02" || p.PreviewStopped(); }, 5000));

  ASSERT_TRUE(QTest::qWaitFor([&] { return p.PreviewStopped(); }, 10000));
  EXPECT_EQ(Buttons(p), "010000");
  EXPECT_EQ(p.TimeLabel()->text(), "00:00:00");
  EXPECT_EQ(p.DurationLabel()->text(), "/ 00:00:00");
  EXPECT_EQ(bar->PositionL(), 0);
  EXPECT_FALSE(bar->isEnabled());
  EXPECT_TRUE(p.Player().IsOpen());
  ASSERT_TRUE(QTest::qWaitFor([&] { return p.Player().Paused(); }, 5000));
  QTest::qWait(300);  // late notices of the playback change nothing
  EXPECT_EQ(p.TimeLabel()->text(), "00:00:00");

  Click(p.PlayButton());
  EXPECT_EQ(OpenCount(*w), 2);
  EXPECT_EQ(Buttons(p), "001101");
  EXPECT_FALSE(p.Player().Paused());
}

// The volume bar and mute are stored at once and reach the player.
TEST_F(PreviewTest, VolumeAndMuteAreStoredAtOnce) {
  auto w = Open();
  TPreviewPanel& p = *w->Preview();
  TTrackBar2* vol = p.VolumeBar();
  EXPECT_EQ(vol->geometry(), QRect(815, 435, 83, 20));
  EXPECT_EQ(vol->Orientation(), TTrackBar2::trHorizontal);
  QTest::mousePress(vol, Qt::LeftButton, {}, QPoint(40, 10));
  QMouseEvent move(QEvent::MouseMove, QPointF(30, 10), vol->mapToGlobal(QPointF(30, 10)), Qt::NoButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(vol, &move);
  QTest::mouseRelease(vol, Qt::LeftButton, {}, QPoint(30, 10));
  EXPECT_EQ(vol->PositionL(), 60);  // 30 / (83 - 20) * 128
  EXPECT_EQ(p.Player().AudioVolume.load(), 60);
  EXPECT_EQ(TIniFile(settingsPath).ReadInteger("settings", "volume", -1), 60);

  QTest::mousePress(p.MuteButton(), Qt::LeftButton);
  EXPECT_TRUE(p.Player().Mute.load());
  EXPECT_TRUE(p.MuteButton()->Alternate());
  EXPECT_EQ(TIniFile(settingsPath).ReadInteger("settings", "mute", -1), 1);
  QTest::mouseRelease(p.MuteButton(), Qt::LeftButton);
  QTest::mousePress(p.MuteButton(), Qt::LeftButton);
  QTest::mouseRelease(p.MuteButton(), Qt::LeftButton);
  EXPECT_FALSE(p.Player().Mute.load());
  EXPECT_EQ(TIniFile(settingsPath).ReadInteger("settings", "mute", -1), 0);

  // A new window shows what was stored.
  w.reset();
  auto again = Open();
  EXPECT_EQ(again->Preview()->VolumeBar()->PositionL(), 60);
  EXPECT_FALSE(again->Preview()->MuteButton()->Alternate());
}

// The snapshot holds the picture shown at that moment: compared with the frame the ffmpeg
// command decodes at that time and with its neighbours.
TEST_F(PreviewTest, SnapshotIsTheFrameOnShow) {
  auto w = Open();
  TPreviewPanel& p = *w->Preview();
  const std::string clip = MediaPath("clip.mp4");
  AddAndWait(*w, {QString::fromStdString(clip)});
  Click(p.PlayButton());
  ASSERT_TRUE(QTest::qWaitFor([&] { return ShowsPicture(p); }, 15000));
  Click(p.PauseButton());
  p.Player().Seek(0, true, 4'000'000);
  int64_t pts = -1;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        p.Player().GetCurrentFrame(pts);
        return pts >= 4'000'000;
      },
      10000));
  Click(p.SnapButton());
  const std::string full = snapDir + "/Snapshot_full.bmp";
  ASSERT_TRUE(fs::exists(full));
  for (const char* n : {"Snapshot_small.bmp", "Snapshot_full.jpg", "Snapshot_small.jpg"})
    EXPECT_TRUE(fs::exists(snapDir + "/" + n)) << n;
  EXPECT_TRUE(p.StatusLine()->toolTip().contains("Snapshot_full.bmp")) << p.StatusLine()->toolTip().toStdString();
  ASSERT_EQ(catcher.Urls.size(), 1);
  EXPECT_EQ(catcher.Urls[0].toLocalFile().toStdString(), snapDir);
  EXPECT_EQ(testsupport::FfprobeValue(snapDir + "/Snapshot_small.jpg", "stream=width,height"), "370\n240");

  auto decode = [](const std::string& file, double at) {
    std::string out;
    std::string cmd = "ffmpeg -nostdin -v error";
    if (at >= 0) cmd += " -ss " + std::to_string(at);
    cmd += " -i " + testsupport::ShellQuote(file) + " -frames:v 1 -f rawvideo -pix_fmt bgr24 - 2>/dev/null";
    testsupport::RunCapture(cmd, out);
    return out;
  };
  auto meanDiff = [](const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
    return sum / double(a.size());
  };
  const std::string shot = decode(full, -1);
  ASSERT_EQ(shot.size(), size_t(320 * 240 * 3));
  const double t = double(pts) / 1e6;
  const double same = meanDiff(shot, decode(clip, t));
  const double before = meanDiff(shot, decode(clip, t - 0.04));
  const double after = meanDiff(shot, decode(clip, t + 0.04));
  EXPECT_LT(same, 2.0);
  EXPECT_LT(same * 2, before) << same << " " << before;
  EXPECT_LT(same * 2, after) << same << " " << after;

  // The next snapshot keeps the first: numbered files, named on the status line.
  Click(p.SnapButton());
  EXPECT_TRUE(fs::exists(snapDir + "/Snapshot_full_2.bmp"));
  EXPECT_TRUE(p.StatusLine()->toolTip().contains("Snapshot_full_2.bmp"));
}

// A row whose file cannot be opened: no picture of the file played before, the idle buttons and
// a status line that says so. A snapshot of a file without pictures says there is nothing to
// save and writes nothing.
TEST_F(PreviewTest, AFileThatCannotOpenAndASnapshotWithoutPictureSaySo) {
  auto w = Open();
  TPreviewPanel& p = *w->Preview();
  fs::create_directories(dir.file("in"));
  const std::string gone = dir.file("in/gone.avi");
  fs::copy_file(MediaPath("clip.avi"), gone);
  AddAndWait(*w, {QString::fromStdString(MediaPath("clip.mp4")), QString::fromStdString(gone),
                  QString::fromStdString(MediaPath("audio.mp3"))});
  ASSERT_EQ(w->JobModel()->rowCount(), 3);
  Click(p.PlayButton());
  ASSERT_TRUE(QTest::qWaitFor([&] { return ShowsPicture(p); }, 15000));

  fs::remove(gone);
  Click(p.NextButton());
  EXPECT_EQ(Buttons(p), "110010");
  EXPECT_FALSE(ShowsPicture(p));
  QTest::qWait(300);  // a picture of the old playback still on its way is not shown either
  EXPECT_FALSE(ShowsPicture(p));
  EXPECT_EQ(p.StatusLine()->toolTip(), "The file cannot be opened: gone.avi");
  EXPECT_EQ(p.TimeLabel()->text(), "00:00:00");
  EXPECT_FALSE(p.SeekBar()->isEnabled());

  // The sound file plays; its snapshot has nothing to save.
  Click(p.NextButton());
  ASSERT_EQ(Buttons(p), "101101");
  EXPECT_EQ(p.StatusLine()->toolTip(), "");
  Click(p.SnapButton());
  EXPECT_EQ(p.StatusLine()->toolTip(), "Snapshot: nothing to save, the file shows no picture");
  EXPECT_TRUE(fs::is_empty(snapDir));
  EXPECT_TRUE(catcher.Urls.isEmpty());
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("SDL_AUDIODRIVER", "dummy");
  return testsupport::RunWindowTests(argc, argv);
}

#include "test_gui_preview.moc"
