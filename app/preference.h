// The preferences dialog "Preference": the snapshot folder, sizes, formats and JPEG quality,
// and the work priority of the conversion threads. Every show reads the settings file; only
// OK writes it (the folder chosen with "&Brows" is stored at once).
#pragma once

#include <QDialog>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class TAppSettings;
class TTrackBar2;

class TfrmPreference : public QDialog {
  Q_OBJECT
public:
  static constexpr int kWidth = 480;
  static constexpr int kHeight = 426;

  TfrmPreference(TAppSettings& settings, QWidget* parent = nullptr);

  QLineEdit* SnapDirectory() const { return edtSnapDirectory_; }
  QCheckBox* SmallSize() const { return ckSmallSize_; }
  QCheckBox* FullSize() const { return ckFullSize_; }
  QCheckBox* Bmp() const { return ckBmp_; }
  QCheckBox* Jpg() const { return ckJpg_; }
  QSpinBox* Quality() const { return spedCmp_; }
  TTrackBar2* QualityBar() const { return trcCmp_; }
  QButtonGroup* Priority() const { return rgPriority_; }
  // Files converted at the same time (1 to 8).
  QSpinBox* FilesAtOnce() const { return spedFiles_; }
  QPushButton* OkButton() const { return btnOk_; }
  QPushButton* CancelButton() const { return btnCancel_; }
  QPushButton* DefaultButton() const { return btnDefault_; }

  // "&Brows" after the folder chooser gave `chosen` (empty: cancelled).
  void FolderChosen(const QString& chosen);

protected:
  void showEvent(QShowEvent* event) override;

private:
  void FormShow();
  void btnOpenClick();
  void btnBrowsClick();
  void btnDefaultClick();
  void btnOkClick();
  void SetQualityEnabled(bool enabled);
  void Warn(const QString& text);

  TAppSettings& settings_;
  QLineEdit* edtSnapDirectory_;
  QCheckBox* ckSmallSize_;
  QCheckBox* ckFullSize_;
  QCheckBox* ckBmp_;
  QCheckBox* ckJpg_;
  QSpinBox* spedCmp_;
  TTrackBar2* trcCmp_;
  QLabel* lblCmpNote_;
  QButtonGroup* rgPriority_;
  QSpinBox* spedFiles_;
  QPushButton* btnOk_;
  QPushButton* btnCancel_;
  QPushButton* btnDefault_;
};
