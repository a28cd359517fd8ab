// The output settings dialog: edits the chosen profile's frame size, bit rates, encoders, frame
// rate, zoom mode, sample rate, channels and volume. What can be chosen comes from the profile
// file, what was chosen is stored in the settings file (through TAppSettings); OK writes the
// profile's section and announces it so the format picker rebuilds, Cancel writes nothing.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <vector>

#include "app/core/settings.h"

class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

class TfrmSettings : public QDialog {
  Q_OBJECT
public:
  static constexpr int kWidth = 475;
  static constexpr int kHeight = 370;

  TfrmSettings(QWidget* parent, TAppSettings& settings);

  QComboBox* cmbVideoSize() const { return cmbVideoSize_; }
  QComboBox* cmbVideoBitRate() const { return cmbVideoBitRate_; }
  QComboBox* cmbVideoEncoder() const { return cmbVideoEncoder_; }
  QComboBox* cmbFrameRate() const { return cmbFrameRate_; }
  QComboBox* cmbZoom() const { return cmbZoom_; }
  QComboBox* cmbSamplerate() const { return cmbSamplerate_; }
  QComboBox* cmbAudioBitRate() const { return cmbAudioBitRate_; }
  QComboBox* cmbAudioEncoder() const { return cmbAudioEncoder_; }
  QComboBox* cmbChannel() const { return cmbChannel_; }
  QComboBox* cmbVolume() const { return cmbVolume_; }
  QLineEdit* NameField() const { return edtFormatName_; }
  QPushButton* btnDefault() const { return btnDefault_; }
  QPushButton* btnOk() const { return btnOk_; }
  QPushButton* btnCancel() const { return btnCancel_; }
  // Beeps given for refused keys since the dialog was made.
  int BeepCount() const { return beeps_; }

  // Reads the profile's lists and the stored choices into the controls (every show does this).
  void LoadProfile();
  // The buttons' actions.
  void btnDefaultClick();
  void btnOkClick();

signals:
  // OK wrote the profile: the format list is to be rebuilt from the settings file.
  void SettingsSaved();

protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  enum class TField { FrameSize, VideoBitRate, AudioBitRate, SampleRate };
  // The nine list combos with the profile list and the remembered index behind each.
  struct TListField {
    QComboBox* Combo;
    std::vector<std::string> TProfileLists::*List;
    int32_t TProfileChoices::*Index;
  };
  std::vector<TListField> ListFields() const;
  QComboBox* AddCombo(QGroupBox* group, int row, const QString& label, const char* name, bool editable);
  // What checking a typed field did: the value passed as it stands, or the field now holds a
  // value the user did not type (corrected, or refused and replaced by the list's second entry).
  enum class TCheck { Passed, Changed };
  // Checks a typed field and corrects it as the rules say, showing the rule's message.
  TCheck ValidateField(TField field);
  bool KeyAccepted(TField field, QComboBox* combo, const QString& text);
  void Beep();
  void ShowMessage(const QString& title, const QString& text);
  void SetGroupEnabled(const std::vector<QComboBox*>& combos, bool enabled);

  TAppSettings& settings_;
  // The "Input Error!" message on show, if any: OK waits until the user has read it.
  QPointer<QMessageBox> inputError_;
  int32_t formatCode_ = 1;
  std::string formatName_;
  int beeps_ = 0;
  bool validating_ = false;
  QLineEdit* edtFormatName_ = nullptr;
  QComboBox* cmbVideoSize_ = nullptr;
  QComboBox* cmbVideoBitRate_ = nullptr;
  QComboBox* cmbVideoEncoder_ = nullptr;
  QComboBox* cmbFrameRate_ = nullptr;
  QComboBox* cmbZoom_ = nullptr;
  QComboBox* cmbSamplerate_ = nullptr;
  QComboBox* cmbAudioBitRate_ = nullptr;
  QComboBox* cmbAudioEncoder_ = nullptr;
  QComboBox* cmbChannel_ = nullptr;
  QComboBox* cmbVolume_ = nullptr;
  QPushButton* btnDefault_ = nullptr;
  QPushButton* btnOk_ = nullptr;
  QPushButton* btnCancel_ = nullptr;
};
