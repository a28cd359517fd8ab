// The watermark dialog: text and picture watermarks of one file, edited over its playing video.
// Every item is a layer of the editor view; the view's picture is the latest frame with the
// items drawn by the conversion's own renderer, so what the editor shows is what the converted
// file gets. OK stores the items in the job record in list order (the first drawn lowest);
// Cancel and the close button store nothing.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "app/core/jobrecord.h"
#include "dialogs/playerhost.h"
#include "dialogs/wmeditor.h"
#include "dialogs/wmplayer.h"
#include "render/renderer.h"

class QCheckBox;
class QFileDialog;
class QFontComboBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class TAppSettings;
class TClockSpin;
class TColorBox;
class TJobRows;
class TTrackBar2;

class TfrmWaterMark : public QDialog {
  Q_OBJECT
public:
  using TWmItemRec = TWmItem;

  TfrmWaterMark(TJobRows& model, TAppSettings& settings, QWidget* parent = nullptr);
  ~TfrmWaterMark() override;

  // Opens the row's file (the first row when `row` is negative) and shows the dialog (open()).
  void ShowFor(int row);

  // The stored form of row i, as OK writes it.
  TWmRec Record(int i) const;
  int RowCount() const { return int(items_.size()); }
  const TWmItemRec& Item(int i) const { return items_[size_t(i)]; }
  int CurrentRow() const;
  // The picture the editor shows (the frame with the items and the crop outline, in its display
  // shape: a source with pixels that are not square is shown wider or narrower than coded) and
  // its time.
  const QImage& Picture() const;
  int64_t PicturePts() const { return player_->Host().FramePts(); }
  // How many of the player's frames the view has shown.
  int FramesShown() const { return player_->Host().FramesShown(); }

  TWmEditorView* View() const { return view_; }
  QListWidget* List() const { return lsbox_; }
  QLineEdit* InPlaceEditor() const { return edtInPlace_; }
  QPushButton* AddTextButton() const { return btnAddText_; }
  QPushButton* AddImageButton() const { return btnAddImage_; }
  QPushButton* DeleteButton() const { return btnDelete_; }
  QPushButton* UpButton() const { return btnUp_; }
  QPushButton* DownButton() const { return btnDown_; }
  TTrackBar2* HorizontalBar() const { return trcTextHoriz_; }
  TTrackBar2* VerticalBar() const { return trcTextVert_; }
  TTrackBar2* TransparencyBar() const { return trcTextTran_; }
  TTrackBar2* RangeBar() const { return trcRange_; }
  TClockSpin* StartField() const { return edtStart_; }
  TClockSpin* EndField() const { return edtEnd_; }
  QRadioButton* BackgroundRadio() const { return rbBack_; }
  QRadioButton* TransparentRadio() const { return rbTransparent_; }
  TColorBox* BackColorBox() const { return cbBack_; }
  TColorBox* FontColorBox() const { return cbFontColor_; }
  QFontComboBox* FontBox() const { return cbFont_; }
  QComboBox* SizeBox() const { return cbSize_; }
  QCheckBox* StyleBox(int i) const { return chkStyle_[i]; }  // bold, italic, underline, strikeout
  QPushButton* PlayButton() const { return player_->PlayButton(); }
  QPushButton* PauseButton() const { return player_->PauseButton(); }
  TTrackBar2* SeekBar() const { return player_->SeekBar(); }
  QPushButton* OkButton() const { return btnOk_; }
  QPushButton* CancelButton() const { return btnCancel_; }
  TFFPlayer& Player() { return player_->Host().Player(); }
  const TPlayerHost* PlayerBar() const { return &player_->Host(); }

  void done(int result) override;

protected:
  // Enter and Escape in the in-place editor end the typing, not the dialog.
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void FileOpened();
  void SetDefaults();
  // The font the controls show, into `font`.
  void ReadFont(TWmFont& font) const;
  void EnableEditing();
  void AddTextClick();
  void AddImageClick();
  void AddImageFile(const QString& path);
  void DeleteClick();
  void MoveClick(int step);
  int AddRow(TWmItemRec item);
  // Makes row i current, shows its item in the controls and selects its layer.
  void SelectRow(int i);
  // Makes row i current and shows its item in the controls (no layer selected).
  void ShowItem(int i);
  // A new row's text or font: the box takes the text's size, its top-left corner stays.
  void RedrawText(int i);
  void TextControlChanged();
  void OpenInPlaceEditor(int i);
  void PositionBarMoved(bool horizontal);
  void RangeChanged();
  void ShowLayerPosition();
  void ScheduleRender();
  void RenderPicture();
  void OkClick();
  // A rectangle of the coded picture in the shown one.
  QRectF Shown(const QRectF& coded) const;

  TJobRows& model_;
  TAppSettings& settings_;
  int row_ = -1;
  int durationSec_ = 0;
  double aspect_ = 1.0;    // shown width of one picture pixel (see dialogs/displayshape.h)
  bool loaded_ = false;    // the job's items were loaded (the file opened)
  bool updating_ = false;  // controls are being set from a row: no edits
  bool renderPending_ = false;
  std::vector<TWmItemRec> items_;
  TlvFilesRecord crop_;  // the job's crop margins, outlined in the picture

  TConversionRenderer renderer_;

  TWmEditorView* view_;
  TWmPlayerBar* player_;
  QListWidget* lsbox_;
  QLineEdit* edtInPlace_;
  QPushButton *btnAddText_, *btnAddImage_, *btnDelete_, *btnUp_, *btnDown_;
  TTrackBar2 *trcTextHoriz_, *trcTextVert_, *trcTextTran_, *trcRange_;
  QLabel *lblHoriz_, *lblVert_, *lblTran_;
  TClockSpin *edtStart_, *edtEnd_;
  QRadioButton *rbBack_, *rbTransparent_;
  TColorBox *cbBack_, *cbFontColor_;
  QFontComboBox* cbFont_;
  QComboBox* cbSize_;
  QCheckBox* chkStyle_[4];
  QPushButton *btnHelp_, *btnOk_, *btnCancel_;
  QFileDialog* imageDialog_ = nullptr;
};
