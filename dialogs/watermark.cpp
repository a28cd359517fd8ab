#include "dialogs/watermark.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontComboBox>
#include <QGroupBox>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cmath>

#include "app/core/jobrows.h"
#include "app/core/settings.h"
#include "app/core/weblinks.h"
#include "controls/trackbar.h"
#include "dialogs/displayshape.h"
#include "dialogs/wmcontrols.h"
#include "dialogs/wmeditor.h"

namespace {

constexpr int kDefaultOpacity = 125;
constexpr int kDefaultSizeEntry = 19;  // 26 points in the list 7..70

QLabel* Caption(const char* text, QWidget* parent, const QRect& r) {
  auto* l = new QLabel(text, parent);
  l->setGeometry(r);
  return l;
}

TTrackBar2* MakeBar(QWidget* parent, const QRect& r, const char* name) {
  auto* bar = new TTrackBar2(parent);
  bar->setObjectName(name);
  bar->SetOrientation(TTrackBar2::trHorizontal);
  bar->setGeometry(r);
  bar->SetTickStyle(TTrackBar2::tiUserDrawn);
  bar->SetThumbSize(11);
  bar->SetThumbLength(18);
  bar->SetTrackSize(4);
  return bar;
}

}  // namespace

TfrmWaterMark::TfrmWaterMark(TJobRows& model, TAppSettings& settings, QWidget* parent)
    : QDialog(parent), model_(model), settings_(settings) {
  setWindowTitle("Water Mark");
  setObjectName("frmWaterMark");
  setProperty("skinned", true);
  setFixedSize(944, 566);

  auto* title = Caption("Watermark", this, QRect(16, 8, 300, 22));
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);

  btnAddText_ = new QPushButton("Add Text", this);
  btnAddText_->setGeometry(16, 36, 72, 26);
  btnAddImage_ = new QPushButton("Add Image", this);
  btnAddImage_->setGeometry(92, 36, 78, 26);
  btnDelete_ = new QPushButton("Delete", this);
  btnDelete_->setGeometry(174, 36, 56, 26);
  btnUp_ = new QPushButton("Up", this);
  btnUp_->setGeometry(234, 36, 44, 26);
  btnDown_ = new QPushButton("Down", this);
  btnDown_->setGeometry(282, 36, 44, 26);

  lsbox_ = new QListWidget(this);
  lsbox_->setObjectName("lsbox");
  lsbox_->setGeometry(16, 68, 310, 104);
  lsbox_->setItemDelegate(new TWmRowDelegate(lsbox_));
  lsbox_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  edtInPlace_ = new QLineEdit(lsbox_->viewport());
  QFont editFont = edtInPlace_->font();
  editFont.setPointSize(11);
  edtInPlace_->setFont(editFont);
  edtInPlace_->hide();
  edtInPlace_->installEventFilter(this);

  Caption("Horizontal Position:", this, QRect(16, 176, 200, 18));
  trcTextHoriz_ = MakeBar(this, QRect(16, 194, 250, 22), "trcTextHoriz");
  lblHoriz_ = Caption("0", this, QRect(272, 194, 54, 22));
  Caption("Vertical Position:", this, QRect(16, 218, 200, 18));
  trcTextVert_ = MakeBar(this, QRect(16, 236, 250, 22), "trcTextVert");
  lblVert_ = Caption("0", this, QRect(272, 236, 54, 22));
  Caption("Transparency:", this, QRect(16, 260, 200, 18));
  trcTextTran_ = MakeBar(this, QRect(16, 278, 250, 22), "trcTextTran");
  trcTextTran_->SetMax(255);
  lblTran_ = Caption("0", this, QRect(272, 278, 54, 22));
  for (auto [bar, label] : {std::pair{trcTextHoriz_, lblHoriz_}, {trcTextVert_, lblVert_}, {trcTextTran_, lblTran_}})
    connect(bar, &TTrackBar2::Change, label, [bar, label] { label->setNum(bar->PositionL()); });

  Caption("Set the period of time when a watermark will be", this, QRect(16, 304, 310, 16));
  Caption("show in the video", this, QRect(16, 320, 310, 16));
  trcRange_ = MakeBar(this, QRect(16, 338, 310, 22), "trcRange");
  trcRange_->SetSecondThumb(true);
  Caption("Start time:", this, QRect(16, 366, 64, 22));
  edtStart_ = new TClockSpin(this);
  edtStart_->setGeometry(80, 366, 84, 22);
  Caption("End Time:", this, QRect(172, 366, 62, 22));
  edtEnd_ = new TClockSpin(this);
  edtEnd_->setGeometry(234, 366, 92, 22);

  auto* group = new QGroupBox("Font background color", this);
  group->setGeometry(16, 394, 310, 74);
  rbBack_ = new QRadioButton("Background color", group);
  rbBack_->setGeometry(8, 20, 140, 22);
  cbBack_ = new TColorBox(group);
  cbBack_->setGeometry(152, 19, 150, 24);
  rbTransparent_ = new QRadioButton("Transparent", group);
  rbTransparent_->setGeometry(8, 46, 140, 22);

  Caption("Font Color:", this, QRect(16, 474, 70, 22));
  cbFontColor_ = new TColorBox(this);
  cbFontColor_->setGeometry(86, 474, 110, 22);
  Caption("Font Size:", this, QRect(204, 474, 60, 22));
  cbSize_ = new QComboBox(this);
  cbSize_->setGeometry(264, 474, 62, 22);
  Caption("Font:", this, QRect(16, 500, 70, 22));
  cbFont_ = new QFontComboBox(this);
  cbFont_->setGeometry(86, 500, 240, 22);
  Caption("Font Style:", this, QRect(16, 526, 70, 22));
  static const char* const kStyles[4] = {"Bold", "Italic", "Underline", "Strikeout"};
  static const int kStyleX[4] = {86, 136, 186, 258}, kStyleW[4] = {48, 48, 70, 76};
  for (int i = 0; i < 4; ++i) {
    chkStyle_[i] = new QCheckBox(kStyles[i], this);
    chkStyle_[i]->setGeometry(kStyleX[i], 526, kStyleW[i], 22);
  }

  view_ = new TWmEditorView(this);
  view_->setObjectName("ImgView");
  view_->setGeometry(336, 36, 592, 427);
  // The player draws into a hidden panel of the view's size: the view shows its frames.
  player_ = new TWmPlayerBar(this, settings_, 336, 472, view_->geometry());

  btnHelp_ = new QPushButton("&Help", this);
  btnHelp_->setGeometry(336, 528, 80, 28);
  btnOk_ = new QPushButton("Ok", this);
  btnOk_->setGeometry(762, 528, 80, 28);
  btnOk_->setDefault(true);
  btnCancel_ = new QPushButton("Cancel", this);
  btnCancel_->setGeometry(848, 528, 80, 28);

  connect(btnAddText_, &QPushButton::clicked, this, &TfrmWaterMark::AddTextClick);
  connect(btnAddImage_, &QPushButton::clicked, this, &TfrmWaterMark::AddImageClick);
  connect(btnDelete_, &QPushButton::clicked, this, &TfrmWaterMark::DeleteClick);
  connect(btnUp_, &QPushButton::clicked, this, [this] { MoveClick(-1); });
  connect(btnDown_, &QPushButton::clicked, this, [this] { MoveClick(1); });
  connect(lsbox_, &QListWidget::currentRowChanged, this, [this](int i) {
    if (!updating_ && i >= 0) SelectRow(i);
  });
  connect(lsbox_, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* item) { OpenInPlaceEditor(lsbox_->row(item)); });
  connect(edtInPlace_, &QLineEdit::textEdited, this, [this](const QString& text) {
    const int i = CurrentRow();
    if (i < 0 || items_[size_t(i)].Kind != wmkText) return;
    items_[size_t(i)].Text = text.toStdString();
    lsbox_->item(i)->setText(text);
    RedrawText(i);
  });
  connect(edtInPlace_, &QLineEdit::editingFinished, edtInPlace_, &QWidget::hide);
  connect(trcTextHoriz_, &TTrackBar2::Change, this, [this] { PositionBarMoved(true); });
  connect(trcTextVert_, &TTrackBar2::Change, this, [this] { PositionBarMoved(false); });
  connect(trcTextTran_, &TTrackBar2::Change, this, [this] {
    if (updating_ || !view_->Selected()) return;
    view_->Selected()->SetOpacity(trcTextTran_->PositionL());
    ScheduleRender();
  });
  connect(trcRange_, &TTrackBar2::Change, this, &TfrmWaterMark::RangeChanged);
  connect(edtStart_, &QSpinBox::valueChanged, this, [this](int v) {
    if (!updating_) trcRange_->SetPositionL(v);
  });
  connect(edtEnd_, &QSpinBox::valueChanged, this, [this](int v) {
    if (!updating_) trcRange_->SetPositionU(v);
  });
  connect(rbBack_, &QRadioButton::toggled, this, &TfrmWaterMark::TextControlChanged);
  connect(cbBack_, &QComboBox::currentIndexChanged, this, &TfrmWaterMark::TextControlChanged);
  connect(cbFontColor_, &QComboBox::currentIndexChanged, this, &TfrmWaterMark::TextControlChanged);
  connect(cbFont_, &QFontComboBox::currentFontChanged, this, &TfrmWaterMark::TextControlChanged);
  connect(cbSize_, &QComboBox::currentIndexChanged, this, &TfrmWaterMark::TextControlChanged);
  for (QCheckBox* box : chkStyle_) connect(box, &QCheckBox::toggled, this, &TfrmWaterMark::TextControlChanged);
  connect(view_, &TWmEditorView::LayerPressed, this, [this](TWmLayer* layer) {
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i].Layer == layer) SelectRow(int(i));
  });
  connect(view_, &TWmEditorView::LayerChanged, this, [this] { ScheduleRender(); });
  connect(view_, &TWmEditorView::MouseMovedOverSelection, this, &TfrmWaterMark::ShowLayerPosition);

  connect(&player_->Host(), &TPlayerHost::FrameArrived, this, &TfrmWaterMark::RenderPicture);
  connect(btnHelp_, &QPushButton::clicked, this, [] { QDesktopServices::openUrl(QUrl(weblinks::kWatermarkHelpUrl)); });
  connect(btnOk_, &QPushButton::clicked, this, &TfrmWaterMark::OkClick);
  connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);

  SetDefaults();
  EnableEditing();
}

TfrmWaterMark::~TfrmWaterMark() = default;

void TfrmWaterMark::SetDefaults() {
  updating_ = true;
  trcTextHoriz_->SetMax(100);
  trcTextVert_->SetMax(100);
  trcTextTran_->SetPositionL(kDefaultOpacity);
  lblTran_->setNum(kDefaultOpacity);
  cbSize_->clear();
  for (int size = 7; size <= 70; ++size) cbSize_->addItem(QString::number(size));
  cbSize_->setCurrentIndex(kDefaultSizeEntry);
  // The program's own face when the system has it, else the first one.
  const int face = cbFont_->findText(QApplication::font().family());
  cbFont_->setCurrentIndex(std::max(0, face));
  cbBack_->setCurrentIndex(cbBack_->IndexOf("clGreen"));
  cbFontColor_->setCurrentIndex(cbFontColor_->IndexOf("clBlue"));
  rbBack_->setChecked(true);
  for (QCheckBox* box : chkStyle_) box->setChecked(false);
  updating_ = false;
}

void TfrmWaterMark::ShowFor(int row) {
  if (model_.JobCount() == 0) return;
  row_ = row < 0 || row >= model_.JobCount() ? 0 : row;
  const TlvFilesRecord* rec = model_.Record(row_);
  crop_ = *rec;
  crop_.WaterMarks.clear();
  if (player_->Open(rec->SourceFile)) FileOpened();
  open();
}

void TfrmWaterMark::FileOpened() {
  const TPlayerHost& host = player_->Host();
  durationSec_ = int(std::min<int64_t>(host.DurationUs() / 1000000, INT32_MAX));
  // The picture is shown and edited in its display shape; the items are stored in the coded
  // picture's pixels.
  aspect_ = host.PixelAspect();
  const int fw = host.FrameWidth() > 0 ? ShownWidth(host.FrameWidth(), aspect_) : host.FrameWidth();
  const int fh = host.FrameHeight();
  updating_ = true;
  trcRange_->SetMax(std::max(1, durationSec_));
  trcRange_->SetPositionL(0);
  trcRange_->SetPositionU(trcRange_->Max());
  edtStart_->setRange(0, std::max(1, durationSec_));
  edtEnd_->setRange(0, std::max(1, durationSec_));
  trcTextHoriz_->SetMax(std::max(1, fw));
  trcTextVert_->SetMax(std::max(1, fh));
  updating_ = false;
  // Until the first frame: a black picture of the source's size.
  QImage blank(std::max(1, fw), std::max(1, fh), QImage::Format_RGB32);
  blank.fill(Qt::black);
  view_->SetPicture(blank);

  // One row per stored item, in order.
  for (const TWmRec& w : model_.Record(row_)->WaterMarks) {
    TWmItemRec item;
    item.Kind = w.Kind;
    item.StartSec = w.StartSec;
    item.EndSec = w.EndSec;
    if (w.Kind == wmkText && !w.Text.empty()) {
      item.Text = w.Text;
      item.Font = w.Font;
      item.BackColor = w.BackColor;
      item.HasBackColor = w.HasBackColor;
      item.Layer = view_->AddLayer(wmkText, Shown(QRectF(w.TextLeft, w.TextTop, w.TextWidth, w.TextHeight)),
                                   w.TextOpacity);
    } else if (w.Kind == wmkImage && !w.ImageFile.empty()) {
      item.ImageFile = w.ImageFile;
      QSizeF size(w.ImageWidth, w.ImageHeight);
      if (size.isEmpty()) size = QImageReader(QString::fromStdString(w.ImageFile)).size();
      item.Layer = view_->AddLayer(wmkImage, Shown(QRectF(QPointF(w.ImageLeft, w.ImageTop), size)), w.ImageOpacity);
    } else {
      continue;
    }
    AddRow(std::move(item));
  }
  loaded_ = true;
  if (!items_.empty()) SelectRow(int(items_.size()) - 1);
  EnableEditing();
}

int TfrmWaterMark::AddRow(TWmItemRec item) {
  auto* row = new QListWidgetItem(QString::fromStdString(item.Kind == wmkText ? item.Text : item.ImageFile));
  row->setData(TWmRowDelegate::kKindRole, item.Kind);
  items_.push_back(std::move(item));
  updating_ = true;
  lsbox_->addItem(row);
  updating_ = false;
  std::vector<TWmLayer*> order;
  for (const TWmItemRec& i : items_) order.push_back(i.Layer);
  view_->SetOrder(order);
  return int(items_.size()) - 1;
}

int TfrmWaterMark::CurrentRow() const { return lsbox_->currentRow(); }

void TfrmWaterMark::EnableEditing() {
  const bool any = !items_.empty();
  const int i = CurrentRow();
  const bool text = any && i >= 0 && items_[size_t(i)].Kind == wmkText;
  for (QWidget* w : std::initializer_list<QWidget*>{btnDelete_, btnUp_, btnDown_, trcTextHoriz_, trcTextVert_,
                                                    trcTextTran_, trcRange_, edtStart_, edtEnd_})
    w->setEnabled(any);
  for (QWidget* w : std::initializer_list<QWidget*>{rbBack_, rbTransparent_, cbFontColor_, cbFont_, cbSize_,
                                                    chkStyle_[0], chkStyle_[1], chkStyle_[2], chkStyle_[3]})
    w->setEnabled(text);
  cbBack_->setEnabled(text && rbBack_->isChecked());
  btnAddText_->setEnabled(loaded_);
  btnAddImage_->setEnabled(loaded_);
}

TWmRec TfrmWaterMark::Record(int i) const { return items_[size_t(i)].Stored(aspect_); }

void TfrmWaterMark::AddTextClick() {
  if (!loaded_) return;
  edtInPlace_->hide();
  TWmItemRec item;
  item.Text = "Add Text";
  ReadFont(item.Font);
  item.BackColor = cbBack_->Color();
  item.HasBackColor = false;
  item.EndSec = durationSec_;
  int w = 0, h = 0;
  WmTextSize(item.Text, item.Font, w, h);
  const QPointF c = view_->CentrePoint();
  item.Layer = view_->AddLayer(wmkText, QRectF(c.x() - w / 2.0, c.y() - h / 2.0, w, h), trcTextTran_->PositionL());
  const int i = AddRow(std::move(item));
  SelectRow(i);
  OpenInPlaceEditor(i);
  ScheduleRender();
}

void TfrmWaterMark::AddImageClick() {
  if (!loaded_) return;
  edtInPlace_->hide();
  if (!imageDialog_) {
    imageDialog_ = new QFileDialog(this, "Add Image", QString(),
                                   "Pictures (*.bmp *.png *.jpg *.jpeg);;Bitmap files (*.bmp);;All files (*)");
    imageDialog_->setFileMode(QFileDialog::ExistingFile);
    connect(imageDialog_, &QFileDialog::fileSelected, this, &TfrmWaterMark::AddImageFile);
  }
  imageDialog_->open();
}

void TfrmWaterMark::AddImageFile(const QString& path) {
  if (path.isEmpty() || !loaded_) return;
  QImageReader reader(path);
  const QSize size = reader.size();
  // Read it once now: a picture that cannot be read is not added.
  if (!QFileInfo(path).isFile() || reader.read().isNull() || size.isEmpty()) {
    auto* box = new QMessageBox(QMessageBox::Warning, "Add Image",
                                QString("Cannot read the picture file \"%1\": %2.")
                                    .arg(path, QFileInfo(path).isFile() ? reader.errorString() : "no such file"),
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return;
  }
  TWmItemRec item;
  item.Kind = wmkImage;
  item.ImageFile = QFileInfo(path).absoluteFilePath().toStdString();
  item.EndSec = durationSec_;
  const QPointF c = view_->CentrePoint();
  item.Layer = view_->AddLayer(wmkImage,
                               QRectF(QPointF(c.x() - size.width() / 2.0, c.y() - size.height() / 2.0), QSizeF(size)),
                               trcTextTran_->PositionL());
  SelectRow(AddRow(std::move(item)));
  ScheduleRender();
}

void TfrmWaterMark::SelectRow(int i) {
  if (i < 0 || i >= int(items_.size())) return;
  ShowItem(i);
  view_->Select(items_[size_t(i)].Layer);
}

void TfrmWaterMark::ShowItem(int i) {
  const TWmItemRec& item = items_[size_t(i)];
  updating_ = true;
  lsbox_->setCurrentRow(i);
  const QRectF r = item.Layer->Rect();
  trcTextHoriz_->SetPositionL(int(std::lround(r.left())));
  trcTextVert_->SetPositionL(int(std::lround(r.top())));
  trcTextTran_->SetPositionL(item.Layer->Opacity());
  // The lower thumb first to the bottom, so that the upper one can go anywhere.
  trcRange_->SetPositionL(trcRange_->Min());
  trcRange_->SetPositionU(item.EndSec);
  trcRange_->SetPositionL(item.StartSec);
  edtStart_->setValue(trcRange_->PositionL());
  edtEnd_->setValue(trcRange_->PositionU());
  if (item.Kind == wmkText) {
    cbFontColor_->SetColor(item.Font.Color);
    cbBack_->SetColor(item.BackColor);
    if (!item.Font.Name.empty()) cbFont_->setCurrentFont(QFont(QString::fromStdString(item.Font.Name)));
    cbSize_->setCurrentIndex(std::max(0, cbSize_->findText(QString::number(item.Font.Size))));
    const bool styles[4] = {item.Font.Bold, item.Font.Italic, item.Font.Underline, item.Font.StrikeOut};
    for (int s = 0; s < 4; ++s) chkStyle_[s]->setChecked(styles[s]);
    (item.HasBackColor ? rbBack_ : rbTransparent_)->setChecked(true);
  }
  updating_ = false;
  EnableEditing();
}

void TfrmWaterMark::TextControlChanged() {
  const int i = CurrentRow();
  if (updating_ || i < 0 || items_[size_t(i)].Kind != wmkText) return;
  TWmItemRec& item = items_[size_t(i)];
  ReadFont(item.Font);
  item.BackColor = cbBack_->Color();
  item.HasBackColor = rbBack_->isChecked();
  cbBack_->setEnabled(item.HasBackColor);
  RedrawText(i);
}

void TfrmWaterMark::ReadFont(TWmFont& font) const {
  font.Name = cbFont_->currentFont().family().toStdString();
  font.Size = cbSize_->currentText().toInt();
  bool* styles[4] = {&font.Bold, &font.Italic, &font.Underline, &font.StrikeOut};
  for (int s = 0; s < 4; ++s) *styles[s] = chkStyle_[s]->isChecked();
  font.Color = cbFontColor_->Color();
}

void TfrmWaterMark::RedrawText(int i) {
  TWmItemRec& item = items_[size_t(i)];
  // An empty text is not drawn; its box stays until the text is not empty again.
  if (item.Text.empty()) return ScheduleRender();
  int w = 0, h = 0;
  WmTextSize(item.Text, item.Font, w, h);
  item.Layer->SetRect(QRectF(item.Layer->Rect().topLeft(), QSizeF(w, h)));
  view_->UpdateSelection();
  ScheduleRender();
}

void TfrmWaterMark::OpenInPlaceEditor(int i) {
  if (i < 0 || i >= int(items_.size()) || items_[size_t(i)].Kind != wmkText) return;
  const QRect row = lsbox_->visualItemRect(lsbox_->item(i));
  edtInPlace_->setGeometry(21, row.top() + 2, lsbox_->width() - 25, 20);
  edtInPlace_->setText(QString::fromStdString(items_[size_t(i)].Text));
  edtInPlace_->selectAll();
  edtInPlace_->show();
  edtInPlace_->setFocus();
}

bool TfrmWaterMark::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edtInPlace_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
      edtInPlace_->hide();
      lsbox_->setFocus();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmWaterMark::DeleteClick() {
  edtInPlace_->hide();
  const int i = CurrentRow();
  if (i < 0) return;
  view_->RemoveLayer(items_[size_t(i)].Layer);
  items_.erase(items_.begin() + i);
  updating_ = true;
  delete lsbox_->takeItem(i);
  // The row before takes the selection; the first row's place goes to the new first row. The
  // controls show that row's item: they edit the current row, and the deleted item's values
  // must not reach it with the next touch.
  const int next = items_.empty() ? -1 : std::max(0, i - 1);
  lsbox_->setCurrentRow(next);
  updating_ = false;
  if (next >= 0) ShowItem(next);
  // No layer is selected until the user picks a row or a layer.
  view_->Select(nullptr);
  EnableEditing();
  ScheduleRender();
}

void TfrmWaterMark::MoveClick(int step) {
  edtInPlace_->hide();
  const int i = CurrentRow(), j = i + step;
  if (i < 0 || !view_->Selected() || j < 0 || j >= int(items_.size())) return;
  std::swap(items_[size_t(i)], items_[size_t(j)]);
  updating_ = true;
  QListWidgetItem* row = lsbox_->takeItem(i);
  lsbox_->insertItem(j, row);
  lsbox_->setCurrentRow(j);
  updating_ = false;
  std::vector<TWmLayer*> order;
  for (const TWmItemRec& item : items_) order.push_back(item.Layer);
  view_->SetOrder(order);
  ScheduleRender();
}

void TfrmWaterMark::PositionBarMoved(bool horizontal) {
  TWmLayer* layer = view_->Selected();
  if (updating_ || !layer) return;
  TTrackBar2* bar = horizontal ? trcTextHoriz_ : trcTextVert_;
  QRectF r = layer->Rect();
  // A layer placed beyond the bar's range is left where it is.
  const long at = std::lround(horizontal ? r.left() : r.top());
  if (at < bar->Min() || at > bar->Max()) return;
  horizontal ? r.moveLeft(bar->PositionL()) : r.moveTop(bar->PositionL());
  layer->SetRect(r);
  view_->UpdateSelection();
  ScheduleRender();
}

void TfrmWaterMark::ShowLayerPosition() {
  TWmLayer* layer = view_->Selected();
  if (!layer) return;
  updating_ = true;
  trcTextHoriz_->SetPositionL(int(std::lround(layer->Rect().left())));
  trcTextVert_->SetPositionL(int(std::lround(layer->Rect().top())));
  updating_ = false;
}

void TfrmWaterMark::RangeChanged() {
  const int i = CurrentRow();
  if (updating_ || i < 0) return;
  items_[size_t(i)].StartSec = trcRange_->PositionL();
  items_[size_t(i)].EndSec = trcRange_->PositionU();
  updating_ = true;
  edtStart_->setValue(trcRange_->PositionL());
  edtEnd_->setValue(trcRange_->PositionU());
  updating_ = false;
  ScheduleRender();
}

void TfrmWaterMark::ScheduleRender() {
  if (renderPending_) return;
  renderPending_ = true;
  QTimer::singleShot(0, this, [this] {
    renderPending_ = false;
    RenderPicture();
  });
}

void TfrmWaterMark::RenderPicture() {
  const TBitmap24& raw = player_->Host().Frame();
  const int64_t pts = player_->Host().FramePts();
  if (raw.Empty()) return;
  // The items as the conversion draws them, at this frame's time from the file start.
  std::vector<TWmRec> marks;
  for (int i = 0; i < int(items_.size()); ++i) {
    marks.push_back(Record(i));
    items_[size_t(i)].Layer->setVisible(WmItemActive(marks.back(), pts));
  }
  view_->SetPicture(WmEditorPicture(raw, pts, std::move(marks),
                                    QMargins(crop_.CropLeft, crop_.CropTop, crop_.CropRight, crop_.CropBottom),
                                    renderer_, aspect_));
}

QRectF TfrmWaterMark::Shown(const QRectF& coded) const {
  return QRectF(coded.left() * aspect_, coded.top(), coded.width() * aspect_, coded.height());
}

const QImage& TfrmWaterMark::Picture() const { return view_->Picture(); }

void TfrmWaterMark::OkClick() {
  // Without the file the stored items were never shown: they stay as they are.
  if (TlvFilesRecord* rec = model_.Record(row_); rec && loaded_) {
    std::vector<TWmRec> marks;
    for (int i = 0; i < int(items_.size()); ++i) marks.push_back(Record(i));
    rec->WaterMarks = std::move(marks);
  }
  accept();
}

void TfrmWaterMark::done(int result) {
  player_->Close();
  edtInPlace_->hide();
  QDialog::done(result);
}
