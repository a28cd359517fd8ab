// The watermark dialog from the main window's Edit menu, with the real player on real clips:
// adding, typing, placing, reordering and deleting items with real mouse and key events, OK,
// reopening and Cancel; and the items placed in the editor followed through a real conversion,
// compared with the editor's picture on decoded frames.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "app/core/inifile.h"
#include "app/core/apppaths.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "controls/trackbar.h"
#include "dialogs/watermark.h"
#include "dialogs/wmcontrols.h"
#include "dialogs/wmeditor.h"
#include "render/renderer.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kFormatIni = std::string(ORVANE_SOURCE_DIR) + "/data/orvanepspformat.ini";
using H = TWmEditorView;

TEST(WmEditorGeometry, HandlesResizeAndCtrlResizesAboutTheCentre) {
  const QRectF box(10, 20, 40, 30);  // centre (30, 35)
  const struct {
    H::THandle handle;
    QPointF delta;
    bool symmetric;
    QRectF expected;
  } cases[] = {
      {H::hRight, {10, 5}, false, QRectF(10, 20, 50, 30)},    // a side moves one edge only
      {H::hTopLeft, {-5, -4}, false, QRectF(5, 16, 45, 34)},  // a corner moves two
      {H::hLeft, {100, 0}, false, QRectF(49, 20, 1, 30)},     // never past the other edge: 1 wide
      {H::hBottom, {0, -100}, false, QRectF(10, 20, 40, 1)},
      {H::hRight, {10, 0}, true, QRectF(0, 20, 60, 30)},  // Ctrl: both sides, mirrored
      {H::hTopLeft, {-5, -5}, true, QRectF(5, 15, 50, 40)},
      {H::hLeft, {100, 0}, true, QRectF(28, 20, 4, 30)},  // at least 2 from the centre
  };
  for (const auto& c : cases)
    EXPECT_EQ(H::ResizedRect(box, c.handle, c.delta, c.symmetric), c.expected)
        << "handle " << c.handle << (c.symmetric ? " with Ctrl" : "");
}

void SendMouse(QWidget* w, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons, QPointF p,
               Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QMouseEvent e(type, p, w->mapToGlobal(p), button, buttons, mods);
  QApplication::sendEvent(w, &e);
}
void Drag(QWidget* w, QPointF from, QPointF to, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  SendMouse(w, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, from, mods);
  for (int i = 1; i <= 5; ++i)
    SendMouse(w, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, from + (to - from) * i / 5.0, mods);
  SendMouse(w, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, to, mods);
}
// A thumb of a bar dragged to a position.
void DragThumb(TTrackBar2* bar, bool upper, int to) {
  Drag(bar, bar->ThumbRect(upper ? bar->PositionU() : bar->PositionL()).center(), bar->ThumbRect(to).center());
}
// A picture point in the editor view's viewport pixels.
QPointF InView(TWmEditorView* v, QPointF p) { return v->viewportTransform().map(p); }

void SaveBmp(const std::string& path, int w, int h, QColor colour) {
  QImage image(w, h, QImage::Format_RGB32);
  image.fill(colour);
  ASSERT_TRUE(image.save(QString::fromStdString(path), "BMP"));
}

class WatermarkDialogTest : public ::testing::Test {
protected:
  void SetUp() override {
    settingsPath = dir.file("cfg/orvanepspvideoconverter.ini");
    fs::create_directories(dir.file("out"));
    TIniFile(settingsPath).WriteString("settings", "OutPutDir", dir.file("out"));
  }
  // Opens the dialog from the Edit menu and waits for the file's first picture.
  static TfrmWaterMark* OpenDialog(TfrmMain& w) {
    auto* menu = w.findChild<QMenu*>("popupMenuEdit");
    emit menu->aboutToShow();
    for (QAction* a : menu->actions())
      if (a->text() == "&Video Effect && Water Mark" && a->isEnabled()) a->trigger();
    TfrmWaterMark* d = w.WaterMarkDialog();
    if (d) {
      EXPECT_TRUE(QTest::qWaitFor([d] { return d->FramesShown() > 0; }, 10000)) << "no picture";
    }
    return d;
  }
  static void Pause(TfrmWaterMark* d) {
    QTest::mouseClick(d->PauseButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([d] { return d->Player().Paused(); }, 5000));
  }
  // Add Image with `path` chosen in the file dialog.
  static void AddImage(TfrmWaterMark* d, const std::string& path) {
    QTest::mouseClick(d->AddImageButton(), Qt::LeftButton);
    auto* picker = d->findChild<QFileDialog*>();
    ASSERT_TRUE(picker && picker->isVisible());
    picker->selectFile(QString::fromStdString(path));
    QMetaObject::invokeMethod(picker, "accept");
  }
  static std::vector<std::string> Rows(TfrmWaterMark* d) {
    std::vector<std::string> rows;
    for (int i = 0; i < d->List()->count(); ++i) rows.push_back(d->List()->item(i)->text().toStdString());
    return rows;
  }
  TempDir dir;
  std::string settingsPath;
};

TEST_F(WatermarkDialogTest, ItemsAreAddedEditedOrderedDeletedAndStored) {
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  AddAndWait(*w, {QString::fromStdString(MediaPath("long.mp4"))});  // 120 s, 320 x 240
  TJobListModel& model = *w->JobModel();
  ASSERT_EQ(model.rowCount(), 1);
  const std::string pic = dir.file("mark.bmp");
  SaveBmp(pic, 40, 30, Qt::white);

  TfrmWaterMark* d = OpenDialog(*w);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->windowTitle(), "Water Mark");
  EXPECT_EQ(d->View()->size(), QSize(592, 427));
  EXPECT_EQ(d->List()->count(), 0);
  EXPECT_FALSE(d->DeleteButton()->isEnabled());
  EXPECT_FALSE(d->RangeBar()->isEnabled());
  EXPECT_EQ(d->TransparencyBar()->PositionL(), 125);
  Pause(d);

  // Add Text: "Add Text", centred in the picture, the whole file, transparent, in the editor.
  QTest::mouseClick(d->AddTextButton(), Qt::LeftButton);
  ASSERT_EQ(Rows(d), std::vector<std::string>{"Add Text"});
  const QRectF added = d->Item(0).Layer->Rect();
  EXPECT_NEAR(added.center().x(), 160, 1.0);
  EXPECT_NEAR(added.center().y(), 120, 1.0);
  EXPECT_EQ(d->Item(0).StartSec, 0);
  EXPECT_EQ(d->Item(0).EndSec, 120);
  EXPECT_TRUE(d->TransparentRadio()->isChecked());
  EXPECT_FALSE(d->Item(0).HasBackColor);
  EXPECT_EQ(d->Item(0).Layer->Opacity(), 125);
  EXPECT_EQ(d->View()->Selected(), d->Item(0).Layer);
  EXPECT_TRUE(d->DeleteButton()->isEnabled());
  ASSERT_TRUE(d->InPlaceEditor()->isVisible());

  // Typing replaces the text; the box follows it, its top-left corner stays.
  QTest::keyClicks(d->InPlaceEditor(), "Orvane watermark");
  EXPECT_EQ(Rows(d), std::vector<std::string>{"Orvane watermark"});
  const QRectF typed = d->Item(0).Layer->Rect();
  EXPECT_EQ(typed.topLeft(), added.topLeft());
  EXPECT_GT(typed.width(), added.width() + 20);
  EXPECT_EQ(typed.height(), added.height());
  // Enter ends the typing, not the dialog.
  QTest::keyClick(d->InPlaceEditor(), Qt::Key_Return);
  EXPECT_FALSE(d->InPlaceEditor()->isVisible());
  EXPECT_TRUE(d->isVisible());

  // The time thumbs: the upper to 12, the lower to 5.
  DragThumb(d->RangeBar(), true, 12);
  DragThumb(d->RangeBar(), false, 5);
  EXPECT_EQ(d->Item(0).StartSec, 5);
  EXPECT_EQ(d->Item(0).EndSec, 12);
  EXPECT_EQ(d->StartField()->text(), "0:00:05");
  EXPECT_EQ(d->EndField()->text(), "0:00:12");
  // The arrows step a thumb by a second.
  QTest::keyClick(d->EndField(), Qt::Key_Up);
  EXPECT_EQ(d->Item(0).EndSec, 13);

  // The box dragged with the mouse; the position bars follow.
  TWmEditorView* v = d->View();
  const double scale = v->transform().m11();
  Drag(v->viewport(), InView(v, typed.center()), InView(v, typed.center()) + QPointF(60, -45));
  QRectF moved = d->Item(0).Layer->Rect();
  EXPECT_NEAR(moved.left() - typed.left(), 60 / scale, 0.01);
  EXPECT_NEAR(moved.top() - typed.top(), -45 / scale, 0.01);
  EXPECT_EQ(d->HorizontalBar()->PositionL(), std::lround(moved.left()));
  EXPECT_EQ(d->VerticalBar()->PositionL(), std::lround(moved.top()));
  // And back with the position bar.
  d->HorizontalBar()->SetPositionL(30);
  EXPECT_EQ(d->Item(0).Layer->Rect().left(), 30);
  // Resized by its bottom-right handle, then with Ctrl about its centre.
  moved = d->Item(0).Layer->Rect();
  QPointF handle = v->HandleRect(H::hBottomRight).center();
  Drag(v->viewport(), handle, handle + QPointF(20, 10));
  QRectF resized = d->Item(0).Layer->Rect();
  EXPECT_EQ(resized.topLeft(), moved.topLeft());
  EXPECT_NEAR(resized.width() - moved.width(), 20 / scale, 0.01);
  handle = v->HandleRect(H::hRight).center();
  Drag(v->viewport(), handle, handle + QPointF(10, 0), Qt::ControlModifier);
  EXPECT_NEAR(d->Item(0).Layer->Rect().center().x(), resized.center().x(), 0.01);
  EXPECT_NEAR(d->Item(0).Layer->Rect().width() - resized.width(), 20 / scale, 0.01);
  // The picture under the items never carries the frame or its handles: Ctrl+wheel zooms in
  // and the larger picture scrolls.
  QWheelEvent wheel(QPointF(100, 100), v->viewport()->mapToGlobal(QPointF(100, 100)), QPoint(), QPoint(0, 240),
                    Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(v->viewport(), &wheel);
  EXPECT_GT(v->Zoom(), 1.2);
  EXPECT_GT(v->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(d->Picture().size(), QSize(320, 240));

  // A picture that cannot be read: a message, nothing added.
  const std::string bad = dir.file("broken.bmp");
  std::ofstream(bad) << "BM not really a bitmap";
  AddImage(d, bad);
  auto* message = d->findChild<QMessageBox*>();
  ASSERT_NE(message, nullptr);
  EXPECT_TRUE(message->text().contains("Cannot read the picture file")) << message->text().toStdString();
  EXPECT_EQ(d->List()->count(), 1);
  message->close();

  // A picture at its own size, centred, and a second text: three rows.
  AddImage(d, pic);
  ASSERT_EQ(d->List()->count(), 2);
  EXPECT_EQ(d->Item(1).Layer->Rect().size(), QSizeF(40, 30));
  EXPECT_EQ(d->Item(1).Kind, wmkImage);
  EXPECT_FALSE(d->BackgroundRadio()->isEnabled()) << "text controls are off for a picture";
  QTest::mouseClick(d->AddTextButton(), Qt::LeftButton);
  QTest::keyClicks(d->InPlaceEditor(), "Third");
  QTest::keyClick(d->InPlaceEditor(), Qt::Key_Return);
  ASSERT_EQ(Rows(d), (std::vector<std::string>{"Orvane watermark", pic, "Third"}));
  // A double click opens the in-place editor on a text row; Escape ends it, not the dialog.
  const QPoint row0 = d->List()->visualItemRect(d->List()->item(0)).center();
  QTest::mouseClick(d->List()->viewport(), Qt::LeftButton, {}, row0);
  QTest::mouseDClick(d->List()->viewport(), Qt::LeftButton, {}, row0);
  ASSERT_TRUE(d->InPlaceEditor()->isVisible());
  EXPECT_EQ(d->InPlaceEditor()->text(), "Orvane watermark");
  QTest::keyClick(d->InPlaceEditor(), Qt::Key_Escape);
  EXPECT_FALSE(d->InPlaceEditor()->isVisible());
  EXPECT_TRUE(d->isVisible());
  // A font change redraws the selected text: bold is wider, the corner stays.
  const QRectF plain = d->Item(0).Layer->Rect();
  QTest::mouseClick(d->StyleBox(0), Qt::LeftButton);
  EXPECT_TRUE(d->Item(0).Font.Bold);
  EXPECT_GT(d->Item(0).Layer->Rect().width(), plain.width());
  EXPECT_EQ(d->Item(0).Layer->Rect().topLeft(), plain.topLeft());

  // Down on the last and Up on the first do nothing; Up moves a row and its layer.
  d->List()->setCurrentRow(2);
  QTest::mouseClick(d->DownButton(), Qt::LeftButton);
  EXPECT_EQ(Rows(d), (std::vector<std::string>{"Orvane watermark", pic, "Third"}));
  d->List()->setCurrentRow(0);
  QTest::mouseClick(d->UpButton(), Qt::LeftButton);
  EXPECT_EQ(Rows(d), (std::vector<std::string>{"Orvane watermark", pic, "Third"}));
  d->List()->setCurrentRow(2);
  QTest::mouseClick(d->UpButton(), Qt::LeftButton);
  EXPECT_EQ(Rows(d), (std::vector<std::string>{"Orvane watermark", "Third", pic}));
  EXPECT_GT(d->Item(2).Layer->zValue(), d->Item(1).Layer->zValue());
  QTest::mouseClick(d->DownButton(), Qt::LeftButton);
  ASSERT_EQ(Rows(d), (std::vector<std::string>{"Orvane watermark", pic, "Third"}));

  // A press on a layer selects it and its row.
  d->List()->setCurrentRow(0);
  Drag(v->viewport(), InView(v, d->Item(2).Layer->Rect().center()), InView(v, d->Item(2).Layer->Rect().center()));
  EXPECT_EQ(d->CurrentRow(), 2);

  // OK stores the rows in order, boxes rounded.
  std::vector<TWmRec> expected;
  for (int i = 0; i < d->RowCount(); ++i) expected.push_back(d->Record(i));
  QTest::mouseClick(d->OkButton(), Qt::LeftButton);
  EXPECT_FALSE(d->isVisible());
  const std::vector<TWmRec>& stored = model.Record(0)->WaterMarks;
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0].Text, "Orvane watermark");
  EXPECT_EQ(stored[0].Kind, wmkText);
  EXPECT_EQ(stored[0].StartSec, 5);
  EXPECT_EQ(stored[0].EndSec, 13);
  EXPECT_EQ(stored[1].ImageFile, pic);
  EXPECT_EQ(stored[1].Kind, wmkImage);
  EXPECT_EQ(stored[1].ImageWidth, 40);
  EXPECT_EQ(stored[2].Text, "Third");
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(stored[i].TextLeft, expected[i].TextLeft) << i;
    EXPECT_EQ(stored[i].TextWidth, expected[i].TextWidth) << i;
    EXPECT_EQ(stored[i].ImageTop, expected[i].ImageTop) << i;
    EXPECT_EQ(stored[i].Font, expected[i].Font) << i;
  }

  // Reopened: the stored items, the last one selected, the editing controls on.
  d = OpenDialog(*w);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(Rows(d), (std::vector<std::string>{"Orvane watermark", pic, "Third"}));
  EXPECT_EQ(d->CurrentRow(), 2);
  EXPECT_EQ(d->View()->Selected(), d->Item(2).Layer);
  EXPECT_TRUE(d->DeleteButton()->isEnabled());
  EXPECT_EQ(d->Item(0).Layer->Rect(),
            QRectF(stored[0].TextLeft, stored[0].TextTop, stored[0].TextWidth, stored[0].TextHeight));
  EXPECT_EQ(d->Item(0).Layer->Opacity(), stored[0].TextOpacity);
  EXPECT_EQ(d->Item(1).Layer->Rect(), QRectF(stored[1].ImageLeft, stored[1].ImageTop, 40, 30));

  // Deleting the third of three selects the second; deleting the first selects the new first.
  QTest::mouseClick(d->DeleteButton(), Qt::LeftButton);
  EXPECT_EQ(Rows(d), (std::vector<std::string>{"Orvane watermark", pic}));
  EXPECT_EQ(d->CurrentRow(), 1);
  EXPECT_EQ(d->View()->Selected(), nullptr);
  QTest::mouseClick(d->AddTextButton(), Qt::LeftButton);
  QTest::keyClick(d->InPlaceEditor(), Qt::Key_Return);
  d->List()->setCurrentRow(0);
  QTest::mouseClick(d->DeleteButton(), Qt::LeftButton);
  EXPECT_EQ(Rows(d), (std::vector<std::string>{pic, "Add Text"}));
  EXPECT_EQ(d->CurrentRow(), 0);
  // Cancel after these edits stores nothing.
  QTest::mouseClick(d->CancelButton(), Qt::LeftButton);
  EXPECT_FALSE(d->isVisible());
  ASSERT_EQ(model.Record(0)->WaterMarks.size(), 3u);
  EXPECT_EQ(model.Record(0)->WaterMarks[0].Text, "Orvane watermark");
  EXPECT_EQ(model.Record(0)->WaterMarks[2].Text, "Third");
}

// Deleting the current row: the row that takes its place shows its own item in the controls,
// so the next touch of a control (a style box) edits that item, and OK stores it unchanged
// otherwise, not with the deleted item's colour, size and time range.
TEST_F(WatermarkDialogTest, DeletingARowShowsTheRemainingItemAndTheNextTouchKeepsIt) {
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  AddAndWait(*w, {QString::fromStdString(MediaPath("clip.mp4"))});  // 10 s
  TJobListModel& model = *w->JobModel();
  TfrmWaterMark* d = OpenDialog(*w);
  ASSERT_NE(d, nullptr);
  d->activateWindow();
  Pause(d);

  // The first item with the defaults: blue, 26 points, no style, the whole file.
  QTest::mouseClick(d->AddTextButton(), Qt::LeftButton);
  QTest::keyClicks(d->InPlaceEditor(), "First");
  QTest::keyClick(d->InPlaceEditor(), Qt::Key_Return);
  // The second one made different: red, 40 points, bold, 3 to 6 s.
  QTest::mouseClick(d->AddTextButton(), Qt::LeftButton);
  QTest::keyClicks(d->InPlaceEditor(), "Second");
  QTest::keyClick(d->InPlaceEditor(), Qt::Key_Return);
  d->FontColorBox()->setCurrentIndex(d->FontColorBox()->IndexOf("clRed"));
  d->SizeBox()->setCurrentIndex(d->SizeBox()->findText("40"));
  QTest::mouseClick(d->StyleBox(0), Qt::LeftButton);
  DragThumb(d->RangeBar(), true, 6);
  DragThumb(d->RangeBar(), false, 3);
  ASSERT_EQ(d->Item(1).Font.Size, 40);
  ASSERT_TRUE(d->Item(1).Font.Bold);
  ASSERT_EQ(d->Item(1).StartSec, 3);
  ASSERT_EQ(d->Item(1).EndSec, 6);
  ASSERT_EQ(d->CurrentRow(), 1);

  QTest::mouseClick(d->DeleteButton(), Qt::LeftButton);
  ASSERT_EQ(Rows(d), std::vector<std::string>{"First"});
  EXPECT_EQ(d->CurrentRow(), 0);
  // The controls show the first item.
  EXPECT_EQ(d->FontColorBox()->Color(), clBlue);
  EXPECT_EQ(d->SizeBox()->currentText(), "26");
  EXPECT_FALSE(d->StyleBox(0)->isChecked());
  EXPECT_EQ(d->RangeBar()->PositionL(), 0);
  EXPECT_EQ(d->RangeBar()->PositionU(), 10);
  EXPECT_EQ(d->StartField()->value(), 0);
  EXPECT_EQ(d->EndField()->value(), 10);

  // The next touch (Italic) changes only what it touches; OK stores that.
  QTest::mouseClick(d->StyleBox(1), Qt::LeftButton);
  QTest::mouseClick(d->OkButton(), Qt::LeftButton);
  ASSERT_EQ(model.Record(0)->WaterMarks.size(), 1u);
  const TWmRec& kept = model.Record(0)->WaterMarks[0];
  EXPECT_EQ(kept.Text, "First");
  EXPECT_EQ(kept.Font.Color, clBlue);
  EXPECT_EQ(kept.Font.Size, 26);
  EXPECT_FALSE(kept.Font.Bold);
  EXPECT_TRUE(kept.Font.Italic);
  EXPECT_EQ(kept.StartSec, 0);
  EXPECT_EQ(kept.EndSec, 10);
}

// Mean channel difference over a box of a decoded frame and a picture (both RGB, same size).
double MeanDiff(const TRgbFrame& f, const QImage& picture, const QRect& box) {
  double sum = 0;
  int n = 0;
  for (int y = box.top(); y <= box.bottom(); ++y)
    for (int x = box.left(); x <= box.right(); ++x) {
      const QRgb p = picture.pixel(x, y);
      sum += std::abs(f.At(x, y, 0) - qRed(p)) + std::abs(f.At(x, y, 1) - qGreen(p)) +
             std::abs(f.At(x, y, 2) - qBlue(p));
      ++n;
    }
  return n ? sum / (3.0 * n) : -1;
}
// Mean distance of a box from the plain grey of the clip.
double FromGrey(const TRgbFrame& f, const QRect& box) {
  QImage grey(f.Width, f.Height, QImage::Format_RGB32);
  grey.fill(QColor(128, 128, 128));
  return MeanDiff(f, grey, box);
}
// The pixels that differ from the grey by more than the encoder's loss: their bounding box.
QRect Marked(const TRgbFrame& f) {
  QRect r;
  for (int y = 0; y < f.Height; ++y)
    for (int x = 0; x < f.Width; ++x) {
      const int d = std::abs(f.At(x, y, 0) - 128) + std::abs(f.At(x, y, 1) - 128) + std::abs(f.At(x, y, 2) - 128);
      if (d > 3 * 30) r |= QRect(x, y, 1, 1);
    }
  return r;
}

TEST_F(WatermarkDialogTest, ConvertedFileShowsTheItemsWhereWhenAndAsTheEditorShowedThem) {
  std::string loadError;
  ASSERT_TRUE(LoadCodecLibraries(kEngineLibs, loadError)) << loadError;
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  AddAndWait(*w, {QString::fromStdString(MediaPath("gray.mp4"))});  // 10 s of grey, 320 x 240, 25 fps
  TJobListModel& model = *w->JobModel();
  ASSERT_EQ(model.rowCount(), 1);
  // A picture with a red left half and a white right half.
  const std::string pic = dir.file("mark.bmp");
  QImage mark(40, 30, QImage::Format_RGB32);
  mark.fill(Qt::white);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 20; ++x) mark.setPixel(x, y, qRgb(255, 0, 0));
  ASSERT_TRUE(mark.save(QString::fromStdString(pic), "BMP"));

  TfrmWaterMark* d = OpenDialog(*w);
  ASSERT_NE(d, nullptr);
  Pause(d);
  TWmEditorView* v = d->View();
  // A text on its box, opaque, from 2 to 3 s, dragged toward the top-left.
  QTest::mouseClick(d->AddTextButton(), Qt::LeftButton);
  QTest::keyClicks(d->InPlaceEditor(), "WM");
  QTest::keyClick(d->InPlaceEditor(), Qt::Key_Return);
  QTest::mouseClick(d->BackgroundRadio(), Qt::LeftButton);
  ASSERT_TRUE(d->Item(0).HasBackColor);
  DragThumb(d->TransparencyBar(), false, 255);
  DragThumb(d->RangeBar(), true, 3);
  DragThumb(d->RangeBar(), false, 2);
  QPointF from = InView(v, d->Item(0).Layer->Rect().center());
  Drag(v->viewport(), from, from + QPointF(-120, -100));
  // The picture at opacity 200, from 6 to 7 s, dragged toward the bottom-right and stretched.
  AddImage(d, pic);
  ASSERT_EQ(d->RowCount(), 2);
  DragThumb(d->TransparencyBar(), false, 200);
  DragThumb(d->RangeBar(), true, 7);
  DragThumb(d->RangeBar(), false, 6);
  from = InView(v, d->Item(1).Layer->Rect().center());
  Drag(v->viewport(), from, from + QPointF(150, 110));
  const QPointF corner = v->HandleRect(H::hBottomRight).center();
  Drag(v->viewport(), corner, corner + QPointF(36, 18));
  const TWmRec text = d->Record(0), image = d->Record(1);
  ASSERT_EQ(text.TextOpacity, 255);
  ASSERT_NEAR(image.ImageOpacity, 200, 1);
  ASSERT_GT(image.ImageWidth, 50) << "stretched";

  // The editor's picture is the frame as the conversion's renderer draws the items into it:
  // the selection frame and its handles stay out of it (only the crop outline at the edges).
  const auto renderedLikeTheConversion = [&] {
    TBitmap24 frame = d->PlayerBar()->Frame();
    TlvFilesRecord job;
    job.WaterMarks = {d->Record(0), d->Record(1)};
    THookInfo info;
    info.Bitmap = &frame;
    info.PTS = d->PlayerBar()->FramePts();
    TConversionRenderer renderer;
    renderer.RenderFrame(info, job);
    const QImage expected(frame.Pixels.data(), frame.Width, frame.Height, frame.Stride, QImage::Format_BGR888);
    const QImage shown = d->Picture().convertToFormat(QImage::Format_BGR888);
    return shown.size() == expected.size() && shown.copy(2, 2, 316, 236) == expected.copy(2, 2, 316, 236);
  };

  // The editor's picture inside each range (the seek bar counts whole seconds).
  auto shownAt = [&](int second) {
    const int before = d->FramesShown();
    QTest::mouseClick(d->SeekBar(), Qt::LeftButton, {}, d->SeekBar()->ThumbRect(second).center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return d->FramesShown() > before && d->PicturePts() / 1000000 == second; }, 5000))
        << "no picture at " << second << " s";
    return std::pair{d->Picture(), d->PicturePts()};
  };
  const auto [textShown, textPts] = shownAt(2);
  const auto [imageShown, imagePts] = shownAt(6);
  ASSERT_EQ(v->Selected(), d->Item(1).Layer);
  EXPECT_TRUE(QTest::qWaitFor(renderedLikeTheConversion, 2000));
  const QRect textBox(text.TextLeft, text.TextTop, text.TextWidth, text.TextHeight);
  const QRect imageBox(image.ImageLeft, image.ImageTop, image.ImageWidth, image.ImageHeight);
  ASSERT_TRUE(QRect(0, 0, 320, 240).contains(textBox) && QRect(0, 0, 320, 240).contains(imageBox))
      << textBox.x() << "," << textBox.y() << " " << textBox.width() << "x" << textBox.height() << "; " << imageBox.x()
      << "," << imageBox.y() << " " << imageBox.width() << "x" << imageBox.height();
  QTest::mouseClick(d->OkButton(), Qt::LeftButton);

  std::string err;
  const std::string out = ConvertJob(settingsPath, kFormatIni, *model.Record(0), true, err);
  ASSERT_FALSE(out.empty()) << err;
  int ow = 0, oh = 0;
  ASSERT_EQ(std::sscanf(FfprobeValue(out, "stream=width,height", "v:0").c_str(), "%d\n%d", &ow, &oh), 2);
  ASSERT_GT(ow, 0);
  // Source pixels to the output's.
  const auto toOutput = [&](const QRect& r) {
    return QRect(QPoint(int(std::lround(r.left() * double(ow) / 320)), int(std::lround(r.top() * double(oh) / 240))),
                 QPoint(int(std::lround((r.right() + 1) * double(ow) / 320)) - 1,
                        int(std::lround((r.bottom() + 1) * double(oh) / 240)) - 1));
  };

  const struct {
    const char* name;
    QRect box;
    QImage shown;
    int64_t pts;
    int startSec, endSec;
  } items[] = {{"text", toOutput(textBox), textShown.scaled(ow, oh, Qt::IgnoreAspectRatio, Qt::SmoothTransformation),
                textPts, 2, 3},
               {"picture", toOutput(imageBox),
                imageShown.scaled(ow, oh, Qt::IgnoreAspectRatio, Qt::SmoothTransformation), imagePts, 6, 7}};
  for (const auto& item : items) {
    SCOPED_TRACE(item.name);
    // Where and how: the marked pixels are the item's box scaled to the output (within 2
    // pixels), and the converted frame is the editor's picture, scaled alike, within the
    // encoder's loss away from the box's edges.
    const TRgbFrame f = DecodeFrame(out, item.pts / 1e6, ow, oh);
    ASSERT_TRUE(f.Valid());
    const QRect marked = Marked(f);
    EXPECT_LE(std::abs(marked.left() - item.box.left()), 2) << marked.left() << " vs " << item.box.left();
    EXPECT_LE(std::abs(marked.top() - item.box.top()), 2) << marked.top() << " vs " << item.box.top();
    EXPECT_LE(std::abs(marked.right() - item.box.right()), 2) << marked.right() << " vs " << item.box.right();
    EXPECT_LE(std::abs(marked.bottom() - item.box.bottom()), 2) << marked.bottom() << " vs " << item.box.bottom();
    // (The editor's picture also carries the crop outline at its edges: the box lies inside.)
    // (Blue glyphs on green lose most to the encoder's half-size colour planes: about 9 of
    // 255 here, against 40 and more for a frame without the item.)
    const double loss = MeanDiff(f, item.shown, item.box.adjusted(2, 2, -2, -2)), unmarked = FromGrey(f, item.box);
    EXPECT_LT(loss, 12.0);
    EXPECT_GT(unmarked, 40.0);
    EXPECT_LT(loss * 4, unmarked);
    std::printf("%s: %.1f from the editor's picture, %.1f from the plain frame\n", item.name, loss, unmarked);
    // When: drawn in the frames of its range only, checked just before, at both ends and just
    // after.
    const struct {
      double seconds;
      bool drawn;
    } moments[] = {{item.startSec - 0.05, false},
                   {item.startSec + 0.0, true},
                   {item.endSec + 0.95, true},
                   {item.endSec + 1.0, false}};
    for (const auto& m : moments) {
      const TRgbFrame at = DecodeFrame(out, m.seconds, ow, oh);
      ASSERT_TRUE(at.Valid()) << m.seconds;
      EXPECT_EQ(FromGrey(at, item.box) > 40.0, m.drawn) << "at " << m.seconds << " s: " << FromGrey(at, item.box);
    }
  }
}

// An anamorphic source (176x144 coded, pixels 16:11 wide, shown 16:9 as 256x144): the editor
// shows the picture 16:9, and a text drawn there comes out of the conversion where and as wide
// as drawn, its glyphs in their own proportions (the converted frame, brought to the shown
// size, is the editor's picture in the text's box).
TEST_F(WatermarkDialogTest, AnamorphicSourceTextComesOutWhereAndAsWideAsDrawn) {
  std::string loadError;
  ASSERT_TRUE(LoadCodecLibraries(kEngineLibs, loadError)) << loadError;
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  AddAndWait(*w, {QString::fromStdString(MediaPath("anamorphic_gray.mp4"))});  // 3 s of grey
  TJobListModel& model = *w->JobModel();
  TfrmWaterMark* d = OpenDialog(*w);
  ASSERT_NE(d, nullptr);
  Pause(d);
  ASSERT_TRUE(QTest::qWaitFor([d] { return d->Picture().size() == QSize(256, 144); }, 3000))
      << d->Picture().width() << "x" << d->Picture().height();
  EXPECT_EQ(d->HorizontalBar()->Max(), 256);

  // "WM" on its box, opaque, placed left of the middle.
  QTest::mouseClick(d->AddTextButton(), Qt::LeftButton);
  QTest::keyClicks(d->InPlaceEditor(), "WM");
  QTest::keyClick(d->InPlaceEditor(), Qt::Key_Return);
  QTest::mouseClick(d->BackgroundRadio(), Qt::LeftButton);
  DragThumb(d->TransparencyBar(), false, 255);
  d->HorizontalBar()->SetPositionL(60);
  d->VerticalBar()->SetPositionL(40);
  // The box made wider than the text, by its right handle.
  const double textWidth = d->Item(0).Layer->Rect().width();
  const QPointF handle = d->View()->HandleRect(H::hRight).center();
  Drag(d->View()->viewport(), handle, handle + QPointF(80, 0));
  const QRectF drawn = d->Item(0).Layer->Rect();
  ASSERT_EQ(drawn.topLeft(), QPointF(60, 40));
  ASSERT_GT(drawn.width(), textWidth + 20);
  // Stored in coded pixels.
  const TWmRec stored = d->Record(0);
  EXPECT_NEAR(stored.TextLeft, 60 * 11 / 16.0, 1);
  EXPECT_NEAR(stored.TextWidth, drawn.width() * 11 / 16.0, 1);
  EXPECT_EQ(stored.TextHeight, int(drawn.height()));
  // The editor's picture with the item where it now is (drawn again at the next turn).
  QTest::qWait(200);
  const QImage shown = d->Picture();
  const int64_t pts = d->PicturePts();
  QTest::mouseClick(d->OkButton(), Qt::LeftButton);

  std::string err;
  const std::string out = ConvertJob(settingsPath, kFormatIni, *model.Record(0), true, err);
  ASSERT_FALSE(out.empty()) << err;
  // The converted picture (the profile's 4:3 frame holds it between black bars) keeps the 16:9
  // shape; brought to the shown size 256 x 144, it is compared with the editor's picture.
  int ow = 0, oh = 0, sn = 1, sd = 1;
  ASSERT_EQ(std::sscanf(FfprobeValue(out, "stream=width,height", "v:0").c_str(), "%d\n%d", &ow, &oh), 2);
  std::sscanf(FfprobeValue(out, "stream=sample_aspect_ratio", "v:0").c_str(), "%d:%d", &sn, &sd);
  const TRgbFrame whole = DecodeFrame(out, pts / 1e6, ow, oh);
  ASSERT_TRUE(whole.Valid());
  const auto lit = [&](int x, int y) { return whole.At(x, y, 0) + whole.At(x, y, 1) + whole.At(x, y, 2) > 3 * 64; };
  QRect picture;
  for (int y = 0; y < oh; ++y)
    if (lit(2, y) && lit(ow - 3, y)) picture |= QRect(0, y, 1, 1);
  for (int x = 0; x < ow; ++x)
    if (lit(x, picture.top() + 2) && lit(x, picture.bottom() - 2)) picture |= QRect(x, picture.top(), 1, 1);
  ASSERT_FALSE(picture.isEmpty());
  EXPECT_NEAR(double(picture.width()) * (sn > 0 && sd > 0 ? double(sn) / sd : 1.0) / picture.height(), 16.0 / 9, 0.03)
      << picture.x() << "," << picture.y() << " " << picture.width() << "x" << picture.height() << " in " << ow << "x"
      << oh << " " << sn << ":" << sd;
  TRgbFrame f;
  f.Width = 256;
  f.Height = 144;
  RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(out) + " -ss " + std::to_string(pts / 1e6) +
                 " -frames:v 1 -vf crop=" + std::to_string(picture.width()) + ":" + std::to_string(picture.height()) +
                 ":" + std::to_string(picture.x()) + ":" + std::to_string(picture.y()) +
                 ",scale=256:144 -f rawvideo -pix_fmt rgb24 - 2>/dev/null",
             f.Bytes);
  ASSERT_TRUE(f.Valid());
  const QRect box = drawn.toAlignedRect();
  const QRect marked = Marked(f);
  EXPECT_LE(std::abs(marked.left() - box.left()), 2) << marked.left() << " vs " << box.left();
  EXPECT_LE(std::abs(marked.right() - box.right()), 2) << marked.right() << " vs " << box.right();
  EXPECT_LE(std::abs(marked.top() - box.top()), 2) << marked.top() << " vs " << box.top();
  EXPECT_LE(std::abs(marked.bottom() - box.bottom()), 2) << marked.bottom() << " vs " << box.bottom();
  const double loss = MeanDiff(f, shown, box.adjusted(2, 2, -2, -2)), unmarked = FromGrey(f, box);
  // The glyphs in their own proportions: the same text drawn over square pixels at the drawn
  // box (stretched glyphs, cut at the box's edge, are far from it).
  TBitmap24 square;
  square.SetSize(256, 144);
  std::fill(square.Pixels.begin(), square.Pixels.end(), uint8_t(128));
  TWmRec plain = stored;
  plain.TextLeft = box.left();
  plain.TextTop = box.top();
  plain.TextWidth = box.width();
  plain.TextHeight = box.height();
  plain.PixelAspect = 1.0;
  TlvFilesRecord job;
  job.WaterMarks = {plain};
  THookInfo info;
  info.Bitmap = &square;
  info.PTS = pts;
  TConversionRenderer().RenderFrame(info, job);
  const QImage expected = QImage(square.Pixels.data(), 256, 144, square.Stride, QImage::Format_BGR888).copy();
  // The columns with blue ink in the box.
  const auto ink = [&](const auto& blue) {
    int first = -1, last = -1;
    for (int x = box.left(); x <= box.right(); ++x)
      for (int y = box.top(); y <= box.bottom(); ++y)
        if (blue(x, y)) {
          if (first < 0) first = x;
          last = x;
          break;
        }
    return std::pair{first, last};
  };
  const auto [outFirst,
              outLast] = ink([&](int x, int y) { return f.At(x, y, 2) > 128 && f.At(x, y, 2) > f.At(x, y, 1) + 64; });
  const auto [refFirst, refLast] = ink([&](int x, int y) {
    const QRgb p = expected.pixel(x, y);
    return qBlue(p) > 128 && qBlue(p) > qGreen(p) + 64;
  });
  std::printf(
      "anamorphic text: %.1f from the editor's picture, %.1f from the plain frame; ink %d..%d, over square "
      "pixels %d..%d\n",
      loss, unmarked, outFirst, outLast, refFirst, refLast);
  EXPECT_LT(loss, 16.0);
  EXPECT_LT(loss * 3, unmarked);
  ASSERT_GE(refFirst, 0);
  EXPECT_LE(std::abs(outFirst - refFirst), 2);
  EXPECT_LE(std::abs(outLast - refLast), 2);
  EXPECT_LT(refLast, box.right() - 10) << "the box is wider than the text";
}

}  // namespace

int main(int argc, char** argv) { return RunWindowTests(argc, argv); }
