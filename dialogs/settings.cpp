#include "dialogs/settings.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>

#include "app/core/profiles.h"
#include "controls/theme.h"
#include "media/errors.h"

namespace {

constexpr const char* kInputError = "Input Error!";

// The entries of a non-editable list: white rows; the focused one on a light-blue rectangle
// inset 2 pixels with a darker frame around it; black text inset 3 pixels, cut with an
// ellipsis.
class TListEntryDelegate : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    p->save();
    p->fillRect(option.rect, Qt::white);
    if (option.state & (QStyle::State_Selected | QStyle::State_HasFocus)) {
      const QRect fill = option.rect.adjusted(2, 2, -2, -2);
      p->fillRect(fill, theme::kRowSelFocus);
      p->setPen(theme::kFrameFocus);
      p->drawRect(fill.adjusted(-1, -1, 0, 0));
    }
    p->setPen(Qt::black);
    const QRect text = option.rect.adjusted(3, 0, -3, 0);
    p->drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                option.fontMetrics.elidedText(index.data().toString(), Qt::ElideRight, text.width()));
    p->restore();
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QStyledItemDelegate::sizeHint(option, index).expandedTo(QSize(0, 20));
  }
};

void Fill(QComboBox* combo, const std::vector<std::string>& entries) {
  combo->clear();
  for (const std::string& e : entries) combo->addItem(QString::fromStdString(e));
  combo->setMaxVisibleItems(std::max(1, combo->count()));
}

void Select(QComboBox* combo, int32_t index) {
  combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
}

// An editable field: the stored index, or the typed text when the index is negative.
void Restore(QComboBox* combo, int32_t index, const std::string& typed) {
  if (index < 0) {
    combo->setCurrentIndex(-1);
    combo->setEditText(QString::fromStdString(typed));
  } else {
    Select(combo, index);
  }
}

// The index stored for a combo: the entry whose text the field holds, -1 for a typed text.
int32_t StoredIndex(const QComboBox* combo) {
  if (!combo->isEditable()) return combo->currentIndex();
  const int i = combo->currentIndex();
  if (i >= 0 && combo->itemText(i) == combo->currentText()) return i;
  return combo->findText(combo->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
}

std::string Text(const QComboBox* combo) { return combo->currentText().toStdString(); }
std::string Chosen(const QComboBox* combo) { return combo->currentIndex() >= 0 ? Text(combo) : std::string(); }

bool IsDigitText(const QString& t) {
  for (QChar c : t)
    if (!c.isDigit() || c.unicode() > 127) return false;
  return true;
}

}  // namespace

TfrmSettings::TfrmSettings(QWidget* parent, TAppSettings& settings) : QDialog(parent), settings_(settings) {
  setObjectName("frmSettings");
  setWindowTitle("Settings");
  setFixedSize(kWidth, kHeight);
  setProperty("skinned", true);

  auto* nameLabel = new QLabel("Output Format:", this);
  nameLabel->setGeometry(12, 12, 88, 22);
  // The dialog edits the one chosen profile: its name is shown, never switched here.
  edtFormatName_ = new QLineEdit(this);
  edtFormatName_->setObjectName("edtFormatName");
  edtFormatName_->setReadOnly(true);
  edtFormatName_->setFocusPolicy(Qt::NoFocus);
  edtFormatName_->setGeometry(104, 12, 359, 22);

  auto* video = new QGroupBox("Video", this);
  video->setGeometry(12, 46, 220, 266);
  auto* audio = new QGroupBox("Audio", this);
  audio->setGeometry(243, 46, 220, 266);
  cmbVideoSize_ = AddCombo(video, 0, "Frame Size:", "cmbVideoSize", true);
  cmbVideoBitRate_ = AddCombo(video, 1, "BitRate (Kbps):", "cmbVideoBitRate", true);
  cmbVideoEncoder_ = AddCombo(video, 2, "Encoder:", "cmbVideoEncoder", false);
  cmbFrameRate_ = AddCombo(video, 3, "FrameRate (Fps):", "cmbFrameRate", false);
  cmbZoom_ = AddCombo(video, 4, "Zoom:", "cmbZoom", false);
  cmbSamplerate_ = AddCombo(audio, 0, "SampleRate (Hz):", "cmbSamplerate", true);
  cmbAudioBitRate_ = AddCombo(audio, 1, "BitRate (Kbps):", "cmbAudioBitRate", true);
  cmbAudioEncoder_ = AddCombo(audio, 2, "Encoder:", "cmbAudioEncoder", false);
  cmbChannel_ = AddCombo(audio, 3, "Channel:", "cmbChannel", false);
  cmbVolume_ = AddCombo(audio, 4, "Volume:", "cmbVolume", false);

  btnDefault_ = new QPushButton("&Default", this);
  btnDefault_->setObjectName("btnDefault");
  btnDefault_->setGeometry(12, 326, 80, 26);
  btnOk_ = new QPushButton("&Ok", this);
  btnOk_->setObjectName("btnOk");
  btnOk_->setGeometry(293, 326, 80, 26);
  btnOk_->setDefault(true);
  btnCancel_ = new QPushButton("&Cancel", this);
  btnCancel_->setObjectName("btnCancel");
  btnCancel_->setGeometry(383, 326, 80, 26);
  connect(btnDefault_, &QPushButton::clicked, this, &TfrmSettings::btnDefaultClick);
  connect(btnOk_, &QPushButton::clicked, this, &TfrmSettings::btnOkClick);
  connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);
}

QComboBox* TfrmSettings::AddCombo(QGroupBox* group, int row, const QString& label, const char* name, bool editable) {
  const int y = 26 + row * 46;
  auto* l = new QLabel(label, group);
  l->setGeometry(8, y, 94, 22);
  auto* combo = new QComboBox(group);
  combo->setObjectName(name);
  combo->setGeometry(102, y, 110, 22);
  combo->setEditable(editable);
  if (editable) {
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setCompleter(nullptr);
  } else {
    combo->setItemDelegate(new TListEntryDelegate(combo));
  }
  combo->installEventFilter(this);
  l->setBuddy(combo);
  return combo;
}

void TfrmSettings::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) LoadProfile();
}

void TfrmSettings::LoadProfile() {
  resize(kWidth, kHeight);
  const TSettingsValues values = settings_.Read();
  formatCode_ = values.FormatCode;
  formatName_ = values.FormatName;
  edtFormatName_->setText(QString::fromStdString(formatName_));
  edtFormatName_->setCursorPosition(0);

  const TProfileLists lists = settings_.ProfileLists(formatCode_);
  for (const TListField& f : ListFields()) Fill(f.Combo, lists.*f.List);
  Fill(cmbZoom_, {"Full screen", "Letterbox", "Pan and Scan"});

  const TProfileStored st = settings_.StoredProfile(formatCode_);
  Restore(cmbVideoSize_, st.Index.VideoSize, st.VideoSize);
  Restore(cmbVideoBitRate_, st.Index.VideoBitRate, st.VideoBitRate);
  Restore(cmbSamplerate_, st.Index.SampleRate, st.SampleRate);
  Restore(cmbAudioBitRate_, st.Index.AudioBitRate, st.AudioBitRate);
  Select(cmbFrameRate_, st.Index.FrameRate);
  Select(cmbVideoEncoder_, st.Index.VideoEncoder);
  Select(cmbChannel_, st.Index.Channel);
  Select(cmbVolume_, st.Index.Volume);
  Select(cmbAudioEncoder_, st.Index.AudioEncoder);
  // A stored mode the builder cannot use shows the dialog's own default, so OK mends it.
  const int zoom = st.Zoom == "full" ? 0 : st.Zoom == "lbox" ? 1 : st.Zoom == "pan" ? 2 : st.Zoom.empty() ? 0 : -1;
  cmbZoom_->setCurrentIndex(zoom);

  SetGroupEnabled({cmbVideoSize_, cmbVideoBitRate_, cmbFrameRate_, cmbVideoEncoder_, cmbZoom_},
                  cmbVideoEncoder_->count() > 0);
  SetGroupEnabled({cmbSamplerate_, cmbChannel_, cmbVolume_, cmbAudioEncoder_, cmbAudioBitRate_},
                  cmbAudioEncoder_->count() > 0);
  if (cmbAudioBitRate_->count() == 0) SetGroupEnabled({cmbAudioBitRate_}, false);

  // A profile file that cannot serve this profile is said so at once; the controls show the
  // defaults and OK stores nothing a conversion could not use.
  QStringList problems;
  const QString section = QString::fromStdString(ProfileSection(formatCode_));
  if (!lists.SectionFound)
    problems << QString(
                    "The format-profile file has no section [%1] for this profile; its values cannot be "
                    "changed.")
                    .arg(section);
  for (const std::string& e : lists.VideoEncoder)
    if (!VideoEncoderForDisplay(e))
      problems << QString("The format-profile file's section [%1] names an unknown video encoder \"%2\".")
                      .arg(section, QString::fromStdString(e));
  for (const std::string& e : lists.AudioEncoder)
    if (!AudioEncoderForDisplay(e))
      problems << QString("The format-profile file's section [%1] names an unknown audio encoder \"%2\".")
                      .arg(section, QString::fromStdString(e));
  if (!st.ZoomError.empty()) problems << QString::fromStdString(st.ZoomError) + ". \"Full screen\" is shown instead.";
  if (!problems.isEmpty()) ShowMessage("Warning", problems.join('\n'));
}

std::vector<TfrmSettings::TListField> TfrmSettings::ListFields() const {
  return {{cmbVideoSize_, &TProfileLists::VideoSize, &TProfileChoices::VideoSize},
          {cmbVideoBitRate_, &TProfileLists::VideoBitRate, &TProfileChoices::VideoBitRate},
          {cmbFrameRate_, &TProfileLists::FrameRate, &TProfileChoices::FrameRate},
          {cmbVideoEncoder_, &TProfileLists::VideoEncoder, &TProfileChoices::VideoEncoder},
          {cmbAudioBitRate_, &TProfileLists::AudioBitRate, &TProfileChoices::AudioBitRate},
          {cmbSamplerate_, &TProfileLists::SampleRate, &TProfileChoices::SampleRate},
          {cmbAudioEncoder_, &TProfileLists::AudioEncoder, &TProfileChoices::AudioEncoder},
          {cmbChannel_, &TProfileLists::Channel, &TProfileChoices::Channel},
          {cmbVolume_, &TProfileLists::Volume, &TProfileChoices::Volume}};
}

void TfrmSettings::SetGroupEnabled(const std::vector<QComboBox*>& combos, bool enabled) {
  for (QComboBox* c : combos) c->setEnabled(enabled);
}

void TfrmSettings::btnDefaultClick() {
  const TProfileChoices d = settings_.DefaultChoices(formatCode_);
  for (const TListField& f : ListFields()) Select(f.Combo, d.*f.Index);
  cmbZoom_->setCurrentIndex(0);
}

void TfrmSettings::btnOkClick() {
  // While an input error is on show, the field it names holds a value the user has not seen
  // yet (a click on OK can be what made the field check itself).
  if (inputError_ && inputError_->isVisible()) return;
  // Fields are checked again: Enter confirms without leaving the field. A value the check
  // refused or corrected is shown, not stored: the dialog stays open on that field.
  const std::pair<TField, QComboBox*> fields[] = {{TField::FrameSize, cmbVideoSize_},
                                                  {TField::VideoBitRate, cmbVideoBitRate_},
                                                  {TField::SampleRate, cmbSamplerate_},
                                                  {TField::AudioBitRate, cmbAudioBitRate_}};
  for (const auto& [field, combo] : fields) {
    if (!combo->isEnabled()) continue;
    validating_ = true;  // moving the focus to a refused field checks no other field
    const TCheck check = ValidateField(field);
    if (check != TCheck::Passed) combo->setFocus(Qt::OtherFocusReason);
    validating_ = false;
    if (check != TCheck::Passed) return;
  }
  // An encoder name the conversion would refuse is not stored.
  const std::string video = Chosen(cmbVideoEncoder_), audio = Chosen(cmbAudioEncoder_);
  if (!video.empty() && !VideoEncoderForDisplay(video)) {
    ShowMessage(kInputError, QString("The video encoder \"%1\" is not known.").arg(QString::fromStdString(video)));
    return;
  }
  if (!audio.empty() && !AudioEncoderForDisplay(audio)) {
    ShowMessage(kInputError, QString("The audio encoder \"%1\" is not known.").arg(QString::fromStdString(audio)));
    return;
  }

  TProfileForm f;
  for (const TListField& field : ListFields()) f.Index.*field.Index = StoredIndex(field.Combo);
  f.VideoSize = Text(cmbVideoSize_);
  f.VideoBitRate = Text(cmbVideoBitRate_);
  f.FrameRate = Text(cmbFrameRate_);
  f.SampleRate = Text(cmbSamplerate_);
  f.AudioBitRate = Text(cmbAudioBitRate_);
  f.VideoEncoder = video;
  f.AudioEncoder = audio;
  f.Channel = Chosen(cmbChannel_);
  f.Volume = Chosen(cmbVolume_);
  f.Zoom = cmbZoom_->currentIndex();
  try {
    settings_.WriteProfileForm(formatCode_, formatName_, f);
  } catch (const FFmpegException& e) {
    ShowMessage("Warning", QString::fromStdString(e.what()));
    return;
  }
  emit SettingsSaved();
  accept();
}

TfrmSettings::TCheck TfrmSettings::ValidateField(TField field) {
  QComboBox* combo = field == TField::FrameSize      ? cmbVideoSize_
                     : field == TField::VideoBitRate ? cmbVideoBitRate_
                     : field == TField::SampleRate   ? cmbSamplerate_
                                                     : cmbAudioBitRate_;
  const QString text = combo->currentText();
  auto refuse = [&](const char* message) {
    if (combo->count() >= 2) combo->setCurrentIndex(1);
    ShowMessage(kInputError, message);
    return TCheck::Changed;
  };
  switch (field) {
    case TField::FrameSize: {
      if (text.toLower().contains("as source")) {
        // The conversion knows the source size by this exact text only.
        combo->setEditText("as source");
        return TCheck::Passed;
      }
      const qsizetype x = text.indexOf('x');
      int32_t w = 0, h = 0;
      if (x < 0 || !IsInteger(text.left(x).toStdString(), &w) || !IsInteger(text.mid(x + 1).toStdString(), &h))
        return refuse("Frame Size is not a valid value!");
      if (w > 0 && h > 0 && w % 2 == 0 && h % 2 == 0) return TCheck::Passed;
      // Rounded down to even, toward zero; a size of 0 becomes 2.
      auto even = [](int32_t v) {
        v -= v % 2;
        return v == 0 ? 2 : v;
      };
      const QString fixed = QString("%1x%2").arg(even(w)).arg(even(h));
      combo->setEditText(fixed);
      ShowMessage(kInputError, "Frame Size must be a multiple of 2.\nThe correct value:" + fixed);
      return TCheck::Changed;
    }
    case TField::VideoBitRate:
      if (IsInteger(text.toStdString()) || text == "as source") return TCheck::Passed;
      return refuse("Video BitRate is not a valid value!");
    case TField::AudioBitRate:
      if (IsNumber(text.toStdString()) || text == "as source") return TCheck::Passed;
      return refuse("Audio BitRate is not a valid value!");
    case TField::SampleRate:
      if (IsInteger(text.toStdString()) || text == "as source") return TCheck::Passed;
      return refuse("Audio SampleRate is not a valid value!");
  }
  return TCheck::Passed;
}

bool TfrmSettings::KeyAccepted(TField field, QComboBox* combo, const QString& text) {
  if (IsDigitText(text)) return true;
  if (field == TField::FrameSize) {
    if (text == "x" && !combo->currentText().contains('x')) return true;
    Beep();
    return false;
  }
  Beep();
  ShowMessage(kInputError, "Please enter numerical.");
  return false;
}

bool TfrmSettings::eventFilter(QObject* watched, QEvent* event) {
  auto* combo = qobject_cast<QComboBox*>(watched);
  if (!combo || !combo->isEditable()) return QDialog::eventFilter(watched, event);
  const TField field = combo == cmbVideoSize_      ? TField::FrameSize
                       : combo == cmbVideoBitRate_ ? TField::VideoBitRate
                       : combo == cmbSamplerate_   ? TField::SampleRate
                                                   : TField::AudioBitRate;
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    // Keys that type a character are filtered; backspace, editing and moving keys pass.
    const QString text = key->text();
    if (key->key() == Qt::Key_Backspace || text.isEmpty() || !text.at(0).isPrint()) return false;
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) return false;
    return !KeyAccepted(field, combo, text);
  }
  if (event->type() == QEvent::FocusOut && !validating_) {
    const auto reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason && isVisible()) {
      validating_ = true;
      ValidateField(field);
      validating_ = false;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmSettings::Beep() {
  ++beeps_;
  QApplication::beep();
}

void TfrmSettings::ShowMessage(const QString& title, const QString& text) {
  // Shown without waiting: no event loop of its own inside a key or focus handler.
  auto* box = new QMessageBox(title == kInputError ? QMessageBox::Warning : QMessageBox::Information, title, text,
                              QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  if (title == kInputError) inputError_ = box;
  box->open();
}
