// The crop dialog from the main window's Edit menu with the real player on a real clip: the
// margins to source pixels, the rectangle dragged against the picture's edges with real mouse
// events, the adjusted result, OK and Cancel, and the chosen crop followed through a real
// conversion checked with ffprobe.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QCheckBox>
#include <QLabel>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/core/apppaths.h"
#include "app/core/inifile.h"
#include "app/core/jobprep.h"
#include "app/core/optionbuilder.h"
#include "app/core/settings.h"
#include "app/core/apppaths.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "controls/recttracker.h"
#include "controls/imagebutton.h"
#include "controls/trackbar.h"
#include "dialogs/crop.h"
#include "dialogs/volumecontrol.h"
#include "engine/engine.h"
#include "media/probe.h"
#include "render/renderer.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kFormatIni = std::string(ORVANE_SOURCE_DIR) + "/data/orvanepspformat.ini";

TEST(CropGeometry, MarginsToEvenSourcePixelsAndPictureFit) {
  EXPECT_EQ(TfrmCrop::SourceMargin(33, 480, 303), 52);  // 52.28 -> 52
  EXPECT_EQ(TfrmCrop::SourceMargin(35, 480, 303), 54);  // 55.45 -> 55 -> 54
  EXPECT_EQ(TfrmCrop::SourceMargin(0, 480, 303), 0);
  EXPECT_EQ(TfrmCrop::SourceMargin(10, 480, 0), 0);
  EXPECT_EQ(TfrmCrop::FitRect(320, 240, QRect(24, 16, 420, 303)), QRect(32, 16, 404, 303));
  EXPECT_EQ(TfrmCrop::FitRect(1280, 360, QRect(0, 0, 420, 303)), QRect(0, 92, 420, 119));
  EXPECT_EQ(TfrmCrop::FitRect(0, 240, QRect(0, 0, 420, 303)), QRect());
}

TEST(CropGeometry, ZoomStoredByOk) {
  const std::pair<const char*, const char*> cases[] = {{"lbox", "lbox"}, {"center", "center"}, {"full", "full"},
                                                       {"pan", "full"},  {"", "full"},         {"LBOX", "full"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(TfrmCrop::ZoomAfterCrop(in), out) << in;
}

void SendMouse(QWidget* w, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons, QPoint p) {
  QMouseEvent e(type, p, w->mapToGlobal(p), button, buttons, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}
// Drags the tracker from a point to another, both in the dialog's coordinates.
void Drag(TRectTracker* t, QPoint from, QPoint to) {
  SendMouse(t, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, t->mapFromParent(from));
  for (int i = 1; i <= 5; ++i)
    SendMouse(t, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, t->mapFromParent(from + (to - from) * i / 5));
  SendMouse(t, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, t->mapFromParent(to));
}

// The grey pixels of the picture at 1 s of a file, through a filter (the ffmpeg command turns
// pictures upright first unless inputArgs say otherwise).
std::string GreyPicture(const std::string& file, const std::string& filter, const std::string& inputArgs = "") {
  std::string pixels;
  RunCapture("ffmpeg -v error -ss 1 " + inputArgs + " -i " + ShellQuote(file) + " -frames:v 1 -vf " + filter +
                 " -f rawvideo -pix_fmt gray -",
             pixels);
  return pixels;
}
double MeanByteDiff(const std::string& a, const std::string& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) sum += std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
  return a.empty() ? 0 : sum / double(a.size());
}

class CropDialogTest : public ::testing::Test {
protected:
  void SetUp() override {
    settingsPath = dir.file("cfg/orvanepspvideoconverter.ini");
    fs::create_directories(dir.file("out"));
    TIniFile(settingsPath).WriteString("settings", "OutPutDir", dir.file("out"));
  }
  static TfrmCrop* OpenCrop(TfrmMain& w) {
    auto* menu = w.findChild<QMenu*>("popupMenuEdit");
    emit menu->aboutToShow();
    for (QAction* a : menu->actions())
      if (a->text() == "&Crop" && a->isEnabled()) a->trigger();
    return w.CropDialog();
  }
  TempDir dir;
  std::string settingsPath;
};

TEST_F(CropDialogTest, ChosenCropIsStoredAndConverted) {
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  AddAndWait(*w, {QString::fromStdString(MediaPath("clip.mp4"))});
  TJobListModel& model = *w->JobModel();
  ASSERT_EQ(model.rowCount(), 1);

  TfrmCrop* d = OpenCrop(*w);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(d->isVisible());
  // 320 x 240 fitted into the 420 x 303 picture at (24, 16), less one pixel on every side.
  EXPECT_EQ(d->PreviewArea(), QRect(33, 17, 402, 301));
  TRectTracker* t = d->Tracker();
  ASSERT_TRUE(t->isVisible());
  EXPECT_EQ(t->TrackRect(), QRect(33, 17, 402, 301));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !d->Result().isNull(); }, 10000));
  EXPECT_EQ(d->Result().size(), QSize(320, 240));

  // The left edge dragged past the picture's edge stops at it.
  const int midY = t->y() + (t->height() + 1) / 2 - 1;
  Drag(t, {t->x() + 1, midY}, {t->x() - 30, midY});
  EXPECT_EQ(d->Left(), 0);
  EXPECT_EQ(t->TrackRect().left(), 33);
  // Left edge 40 pixels in, top edge 30 pixels down.
  Drag(t, {t->x() + 1, midY}, {t->x() + 41, midY});
  EXPECT_EQ(d->Left(), 40);
  const int midX = t->x() + (t->width() + 1) / 2 - 1;
  Drag(t, {midX, t->y() + 1}, {midX, t->y() + 31});
  EXPECT_EQ(d->Up(), 30);
  // The whole rectangle moved far right keeps its size and stops at the right edge.
  const QSize size = t->size();
  const QPoint centre = t->geometry().center();
  Drag(t, centre, centre + QPoint(300, 0));
  EXPECT_EQ(t->size(), size);
  EXPECT_EQ(d->Right(), 0);
  EXPECT_EQ(d->Left(), 40);
  EXPECT_EQ(d->Up(), 30);

  // The result shows the kept part: 320 - 32 by 240 - 24 source pixels.
  ASSERT_TRUE(QTest::qWaitFor([&] { return d->Result().size() == QSize(288, 216); }, 2000))
      << d->Result().width() << "x" << d->Result().height();
  // A brightness change shows within the next refresh even while paused.
  QTest::mouseClick(d->PauseButton(), Qt::LeftButton);
  const QImage before = d->Result();
  d->Spin(0)->setValue(400);
  ASSERT_TRUE(QTest::qWaitFor([&] { return d->Result() != before; }, 1000));

  QTest::mouseClick(d->OkButton(), Qt::LeftButton);
  EXPECT_FALSE(d->isVisible());
  const TlvFilesRecord& rec = *model.Record(0);
  EXPECT_EQ(rec.ViewCropLeft, 40);
  EXPECT_EQ(rec.ViewCropTop, 30);
  EXPECT_EQ(rec.CropLeft, 32);  // 40 * 320 / 402 = 31.8
  EXPECT_EQ(rec.CropTop, 24);   // 30 * 240 / 301 = 23.9
  EXPECT_EQ(rec.CropRight, 0);
  EXPECT_EQ(rec.CropBottom, 0);
  EXPECT_EQ(rec.Brightness, 400);

  // The conversion crops the same part.
  TlvFilesRecord job = rec;
  job.Brightness = 255;  // the crop alone here; the adjustments are checked below
  std::string err;
  const std::string out = ConvertJob(settingsPath, kFormatIni, job, true, err);
  ASSERT_FALSE(out.empty()) << err;
  // The profile's 640 x 480 holds the 4:3 kept part without bars: the picture at 1 s, brought
  // back to 288 x 216, is the source's picture at 1 s cropped to that part, within the
  // encoder's loss; the uncropped picture is far from it.
  EXPECT_EQ(FfprobeValue(out, "stream=width", "v:0"), "640");
  EXPECT_EQ(FfprobeValue(out, "stream=height", "v:0"), "480");
  const std::string converted = GreyPicture(out, "scale=288:216");
  const std::string cropped = GreyPicture(MediaPath("clip.mp4"), "crop=288:216:32:24");
  const std::string whole = GreyPicture(MediaPath("clip.mp4"), "scale=288:216");
  ASSERT_EQ(converted.size(), size_t(288 * 216));
  ASSERT_EQ(cropped.size(), converted.size());
  ASSERT_EQ(whole.size(), converted.size());
  EXPECT_LT(MeanByteDiff(converted, cropped), 6.0);
  EXPECT_GT(MeanByteDiff(converted, whole), 12.0);

  // Cancel writes nothing.
  d = OpenCrop(*w);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Left(), 40);
  QTest::mouseClick(d->DefaultButton(), Qt::LeftButton);
  EXPECT_EQ(d->Left(), 0);
  QTest::mouseClick(d->CancelButton(), Qt::LeftButton);
  EXPECT_EQ(model.Record(0)->ViewCropLeft, 40);
}

// A source shown turned (coded 320x240, shown 240x320 through its display matrix): the dialog
// shows it upright, and the part kept there is the part the conversion keeps, not the same
// margins of the coded picture.
TEST_F(CropDialogTest, TurnedSourceIsCroppedAsShown) {
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  const std::string clip = MediaPath("rotated.mp4");
  AddAndWait(*w, {QString::fromStdString(clip)});
  TJobListModel& model = *w->JobModel();
  TfrmCrop* d = OpenCrop(*w);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !d->Result().isNull(); }, 10000));
  EXPECT_EQ(d->Result().size(), QSize(240, 320));
  TRectTracker* t = d->Tracker();
  EXPECT_LT(t->width(), t->height());
  // The top edge down by about four tenths: a 4:3 part of the upright picture stays.
  const int midX = t->x() + (t->width() + 1) / 2 - 1;
  Drag(t, {midX, t->y() + 1}, {midX, t->y() + 1 + t->height() * 140 / 320});
  QTest::mouseClick(d->OkButton(), Qt::LeftButton);
  const TlvFilesRecord rec = *model.Record(0);
  EXPECT_NEAR(rec.CropTop, 140, 4);
  EXPECT_EQ(rec.CropLeft + rec.CropRight + rec.CropBottom, 0);

  std::string err;
  const std::string out = ConvertJob(settingsPath, kFormatIni, rec, true, err);
  ASSERT_FALSE(out.empty()) << err;
  const int keptH = 320 - rec.CropTop;
  const std::string size = "240:" + std::to_string(keptH);
  const std::string converted = GreyPicture(out, "scale=" + size);
  const std::string shown = GreyPicture(clip, "crop=" + size + ":0:" + std::to_string(rec.CropTop));
  const std::string coded = GreyPicture(clip, "crop=" + size + ":0:" + std::to_string(rec.CropTop), "-noautorotate");
  ASSERT_EQ(converted.size(), size_t(240 * keptH));
  ASSERT_EQ(shown.size(), converted.size());
  ASSERT_EQ(coded.size(), converted.size());
  EXPECT_LT(MeanByteDiff(converted, shown), 8.0);
  EXPECT_GT(MeanByteDiff(converted, coded), 16.0);
}

// An anamorphic source (176x144 coded, pixels 16:11 wide, shown 16:9): the dialog shows it
// 16:9, and the part kept there, a 4:3 part of the shown picture, is the part the conversion
// keeps, in the shape shown.
TEST_F(CropDialogTest, AnamorphicSourceIsShownAndCroppedInItsDisplayShape) {
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  const std::string clip = MediaPath("anamorphic.mp4");
  AddAndWait(*w, {QString::fromStdString(clip)});
  TJobListModel& model = *w->JobModel();
  TfrmCrop* d = OpenCrop(*w);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !d->Result().isNull(); }, 10000));
  EXPECT_EQ(d->Result().size(), QSize(176, 144));  // in coded pixels
  const QRect area = d->PreviewArea();
  EXPECT_NEAR(double(area.width()) / area.height(), 16.0 / 9, 0.03) << area.width() << "x" << area.height();

  // The left edge in by a quarter of the shown width: a 4:3 part of the 16:9 picture is left,
  // 132 of the 176 coded columns.
  TRectTracker* t = d->Tracker();
  const int midY = t->y() + (t->height() + 1) / 2 - 1;
  Drag(t, {t->x() + 1, midY}, {t->x() + 1 + area.width() / 4, midY});
  const double keptShape = double(area.width() - d->Left() - d->Right()) / (area.height() - d->Up() - d->Down());
  EXPECT_NEAR(keptShape, 4.0 / 3, 0.03);
  QTest::mouseClick(d->OkButton(), Qt::LeftButton);
  const TlvFilesRecord rec = *model.Record(0);
  EXPECT_NEAR(rec.CropLeft, 44, 2);
  EXPECT_EQ(rec.CropTop + rec.CropRight + rec.CropBottom, 0);

  std::string err;
  const std::string out = ConvertJob(settingsPath, kFormatIni, rec, true, err);
  ASSERT_FALSE(out.empty()) << err;
  // The output's shape is the kept part's shape as shown.
  int ow = 0, oh = 0, sn = 1, sd = 1;
  ASSERT_EQ(std::sscanf(FfprobeValue(out, "stream=width,height", "v:0").c_str(), "%d\n%d", &ow, &oh), 2);
  std::sscanf(FfprobeValue(out, "stream=sample_aspect_ratio", "v:0").c_str(), "%d:%d", &sn, &sd);
  ASSERT_GT(oh, 0);
  const double outShape = double(ow) * (sn > 0 && sd > 0 ? double(sn) / sd : 1.0) / oh;
  EXPECT_NEAR(outShape, keptShape, 0.04) << ow << "x" << oh << " " << sn << ":" << sd;
  // And its picture is the kept part of the coded picture.
  const int keptW = 176 - rec.CropLeft;
  const std::string size = std::to_string(keptW) + ":144";
  const std::string converted = GreyPicture(out, "scale=" + size);
  const std::string kept = GreyPicture(clip, "crop=" + size + ":" + std::to_string(rec.CropLeft) + ":0");
  const std::string whole = GreyPicture(clip, "scale=" + size);
  ASSERT_EQ(converted.size(), size_t(keptW * 144));
  ASSERT_EQ(kept.size(), converted.size());
  EXPECT_LT(MeanByteDiff(converted, kept), 8.0);
  EXPECT_GT(MeanByteDiff(converted, whole), 2 * MeanByteDiff(converted, kept));
}

TEST_F(CropDialogTest, MarginFieldsResetsPlayerControlsAndKeys) {
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  AddAndWait(*w, {QString::fromStdString(MediaPath("clip.mp4"))});
  TJobListModel& model = *w->JobModel();
  ASSERT_EQ(model.rowCount(), 1);
  model.Record(0)->ProcessText = true;
  model.Record(0)->ProcessImage = true;
  model.Record(0)->ZoomMode = "pan";
  model.Record(0)->Contrast = 40;

  TfrmCrop* d = OpenCrop(*w);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Tabs()->count(), 2);
  EXPECT_EQ(d->Tabs()->tabText(0), "Crop");
  EXPECT_EQ(d->Tabs()->tabText(1), "Effect");
  EXPECT_EQ(d->Tabs()->currentIndex(), 1);
  EXPECT_TRUE(d->ProcessTextBox()->isChecked());
  EXPECT_EQ(d->Bar(1)->PositionL(), 40);
  d->Tabs()->setCurrentIndex(0);
  TRectTracker* t = d->Tracker();
  QSpinBox* up = d->MarginField(TfrmCrop::mgUp);
  QSpinBox* down = d->MarginField(TfrmCrop::mgDown);

  // A drag shows in the fields; the arrows step a margin and move the rectangle; typing is off.
  const int midX = t->x() + (t->width() + 1) / 2 - 1;
  Drag(t, {midX, t->y() + 1}, {midX, t->y() + 21});
  EXPECT_EQ(up->value(), 20);
  up->setFocus();
  QTest::keyClick(up, Qt::Key_Up);
  EXPECT_EQ(d->Up(), 21);
  EXPECT_EQ(t->TrackRect().top(), d->PreviewArea().top() + 21);
  QTest::keyClicks(up, "7");
  EXPECT_EQ(d->Up(), 21);

  // With 10 pixels or less kept, a margin only shrinks.
  down->setValue(d->PreviewArea().height() - 21 - 10);
  EXPECT_EQ(t->TrackRect().height(), 10);
  down->setFocus();
  QTest::keyClick(down, Qt::Key_Up);
  EXPECT_EQ(down->value(), d->PreviewArea().height() - 31);
  EXPECT_EQ(d->Down(), d->PreviewArea().height() - 31);
  QTest::keyClick(down, Qt::Key_Down);
  EXPECT_EQ(d->Down(), d->PreviewArea().height() - 32);
  EXPECT_EQ(t->TrackRect().height(), 11);

  // The Crop tab's Reset clears the margins; the Effect tab's Reset the adjustments and the two
  // processing flags.
  QTest::mouseClick(d->ResetCropButton(), Qt::LeftButton);
  EXPECT_EQ(d->Up(), 0);
  EXPECT_EQ(d->Down(), 0);
  EXPECT_EQ(up->value(), 0);
  EXPECT_EQ(t->TrackRect(), d->PreviewArea());
  // The arrow keys on the rectangle: a move against the picture's edge stays; Shift+Up pulls
  // the bottom edge up one pixel; then the whole rectangle moves down one.
  t->setFocus();
  QTest::keyClick(t, Qt::Key_Left);
  EXPECT_EQ(t->TrackRect(), d->PreviewArea());
  QTest::keyClick(t, Qt::Key_Up, Qt::ShiftModifier);
  EXPECT_EQ(d->Down(), 1);
  QTest::keyClick(t, Qt::Key_Down);
  EXPECT_EQ(d->Up(), 1);
  EXPECT_EQ(d->Down(), 0);
  EXPECT_EQ(up->value(), 1);
  d->Tabs()->setCurrentIndex(1);
  QTest::mouseClick(d->ResetEffectButton(), Qt::LeftButton);
  EXPECT_EQ(d->Bar(1)->PositionL(), 0);
  EXPECT_EQ(d->Spin(1)->value(), 0);
  EXPECT_FALSE(d->ProcessTextBox()->isChecked());
  EXPECT_FALSE(d->ProcessImageBox()->isChecked());

  // Volume and mute are written at once; the player follows them.
  QTest::mouseClick(d->Volume()->MuteButton(), Qt::LeftButton);
  EXPECT_TRUE(d->Player().Mute.load());
  EXPECT_EQ(TIniFile(settingsPath).ReadInteger("settings", "mute", -1), 1);
  TTrackBar2* vol = d->Volume()->VolumeBar();
  QTest::mouseClick(vol, Qt::LeftButton, {}, QPoint(2, vol->height() / 2));
  EXPECT_EQ(d->Player().AudioVolume.load(), vol->PositionL());
  EXPECT_EQ(TIniFile(settingsPath).ReadInteger("settings", "volume", -1), vol->PositionL());

  // The clocks run while playing; Stop resets them and leaves Play on.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !d->PositionLabel()->text().isEmpty(); }, 5000));
  EXPECT_EQ(d->DurationLabel()->text(), "0:00:10");  // the 10 s clip
  QTest::mouseClick(d->StopButton(), Qt::LeftButton);
  EXPECT_EQ(d->PositionLabel()->text(), "00:00:00");
  EXPECT_EQ(d->DurationLabel()->text(), "00:00:00");
  EXPECT_TRUE(d->PlayButton()->isEnabled());
  EXPECT_FALSE(d->PauseButton()->isEnabled());
  EXPECT_FALSE(d->SeekBar()->isEnabled());
  QTest::mouseClick(d->PlayButton(), Qt::LeftButton);
  EXPECT_FALSE(d->PlayButton()->isEnabled());
  EXPECT_TRUE(d->SeekBar()->isEnabled());
  // A press on the seek bar three quarters along takes the picture there (7.5 s of 10).
  TTrackBar2* seek = d->SeekBar();
  QTest::mouseClick(seek, Qt::LeftButton, {}, QPoint(seek->width() * 3 / 4, seek->height() / 2));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        int64_t pts = 0;
        d->Player().GetCurrentFrame(pts);
        return pts >= 7'000'000 && pts <= 8'500'000;
      },
      3000));

  // Escape is Cancel: nothing stored.
  QTest::keyClick(d, Qt::Key_Escape);
  EXPECT_FALSE(d->isVisible());
  EXPECT_TRUE(model.Record(0)->ProcessText);
  EXPECT_EQ(model.Record(0)->Contrast, 40);

  // Enter is OK: the flags, adjustments and the zoom rule are stored.
  d = OpenCrop(*w);
  ASSERT_NE(d, nullptr);
  QTest::mouseClick(d->ResetEffectButton(), Qt::LeftButton);
  d->OkButton()->setFocus();
  QTest::keyClick(d, Qt::Key_Return);
  EXPECT_FALSE(d->isVisible());
  EXPECT_FALSE(model.Record(0)->ProcessText);
  EXPECT_FALSE(model.Record(0)->ProcessImage);
  EXPECT_EQ(model.Record(0)->Contrast, 0);
  EXPECT_EQ(model.Record(0)->ZoomMode, "full");
}

// What the dialog shows is what the conversion gives: for each adjustment, the dialog's result
// picture of the source frame at 1 s and the converted file's frame at 1 s agree within the
// encoder's loss, and the adjustment shows (the unadjusted frame is further off).
TEST_F(CropDialogTest, AdjustedResultIsWhatTheConversionGives) {
  std::string loadError;
  ASSERT_TRUE(LoadCodecLibraries(kEngineLibs, loadError)) << loadError;
  const auto frameAt1s = [](const std::string& file, int w, int h) {
    std::string pixels;
    RunCapture("ffmpeg -v error -ss 1 -i " + ShellQuote(file) + " -frames:v 1 -vf scale=" + std::to_string(w) + ":" +
                   std::to_string(h) + " -f rawvideo -pix_fmt bgr24 -",
               pixels);
    TBitmap24 b;
    b.SetSize(w, h);
    if (pixels.size() != size_t(w) * h * 3) return TBitmap24{};
    for (int y = 0; y < h; ++y) std::memcpy(b.Row(y), pixels.data() + size_t(y) * w * 3, size_t(w) * 3);
    return b;
  };
  const auto channelDiff = [](QRgb p, QRgb q) {
    return std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
  };
  // Mean channel difference of a and b, over all pixels or over those where `changed` differs
  // from `from` by more than the encoder's loss (where the adjustment shows).
  const auto meanDiff = [&](const QImage& a, const QImage& b, const QImage* changed = nullptr,
                            const QImage* from = nullptr) {
    double sum = 0;
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
      for (int x = 0; x < a.width(); ++x) {
        if (changed && channelDiff(changed->pixel(x, y), from->pixel(x, y)) <= 3 * 12) continue;
        sum += channelDiff(a.pixel(x, y), b.pixel(x, y));
        ++n;
      }
    return n ? sum / (3.0 * n) : -1.0;
  };
  const TBitmap24 source = frameAt1s(MediaPath("clip.mp4"), 320, 240);
  ASSERT_EQ(source.Width, 320);
  const int none[4] = {255, 0, 255, 0};
  const QImage plain = TfrmCrop::ResultPicture(source, none, 0, 0, 0, 0);
  const struct {
    const char* name;
    int adjustments[4];
  } cases[] = {{"brightness 400", {400, 0, 255, 0}},
               {"contrast 60", {255, 60, 255, 0}},
               {"saturation 60", {255, 0, 60, 0}},
               {"exposure 200", {255, 0, 255, 200}},
               {"all four", {300, -40, 400, 100}}};
  for (const auto& c : cases) {
    TlvFilesRecord job;
    job.SourceFile = MediaPath("clip.mp4");
    job.Brightness = c.adjustments[0];
    job.Contrast = c.adjustments[1];
    job.Saturation = c.adjustments[2];
    job.Exposure = c.adjustments[3];
    std::string err;
    const std::string out = ConvertJob(settingsPath, kFormatIni, job, true, err);
    ASSERT_FALSE(out.empty()) << c.name << ": " << err;
    const TBitmap24 converted = frameAt1s(out, 320, 240);
    ASSERT_EQ(converted.Width, 320) << c.name;
    const QImage shown = TfrmCrop::ResultPicture(source, c.adjustments, 0, 0, 0, 0);
    const QImage got = TfrmCrop::ResultPicture(converted, none, 0, 0, 0, 0);
    // Everywhere: the picture the dialog shows is the converted one within the encoder's loss.
    EXPECT_LT(meanDiff(shown, got), 6.0) << c.name;
    // Where the adjustment shows, the converted picture follows it, not the unadjusted one.
    const double adjusted = meanDiff(shown, got, &shown, &plain), unadjusted = meanDiff(plain, got, &shown, &plain);
    EXPECT_GE(adjusted, 0.0) << c.name << ": the adjustment changes nothing on this frame";
    // (Mid-tones at the bars' edges carry more of the encoder's loss: about 10 of 255 here,
    // against 22 to 81 for the unadjusted picture.)
    EXPECT_LT(adjusted, 12.0) << c.name;
    EXPECT_GT(unadjusted, 2 * adjusted) << c.name;
    std::error_code ec;
    fs::remove(out, ec);
  }
}

}  // namespace

int main(int argc, char** argv) { return RunWindowTests(argc, argv); }
