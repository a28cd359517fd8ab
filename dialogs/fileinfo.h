// The file information window: the name, duration and container of a job's source file with
// the main values of its first video and first audio stream. It reads them through an engine
// component of its own that is never started: the component's probe for the file, and the
// probe of the component's task input for the streams.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class TConvertEngine;

class TfrmFileInfo : public QDialog {
  Q_OBJECT
public:
  static constexpr int kWidth = 420;
  static constexpr int kHeight = 460;

  explicit TfrmFileInfo(QWidget* parent = nullptr);
  ~TfrmFileInfo() override;

  // Fills the window for a source file; an empty name stands for an empty job list. A file
  // that cannot be opened empties every field and says so in the status line.
  void ShowFile(const std::string& sourceFile);

  // The name shown for a path: the path when shorter than 46 characters, otherwise its first
  // 40 characters, "..", its extension and two blanks.
  static QString ShortName(const QString& path);
  // "125.340 Second" for 125,340,000 microseconds; an unknown (negative) duration gives 0.000.
  static QString DurationText(int64_t durationUS);
  // The frame rate as a decimal: "25", "29.97", "23.976"; empty when unknown.
  static QString FrameRateText(int num, int den);
  // The number of pictures: what the container states, else the duration times the frame
  // rate; empty when neither is known.
  static QString FrameCountText(int64_t stated, int64_t durationUS, int num, int den);
  // The audio format cut from the probe's information text: after the first "Audio:" and one
  // blank, up to the next ",".
  static QString AudioFormatFrom(const std::string& infoText);

  TConvertEngine& ConvEngine() { return *engine_; }
  QLabel* lblSourceName() const { return lblSourceName_; }
  QLabel* lblFileLength() const { return lblFileLength_; }
  QLineEdit* edtFormat() const { return edtFormat_; }
  QLineEdit* edtResloution() const { return edtResloution_; }
  QLineEdit* edtFrameRate() const { return edtFrameRate_; }
  QLineEdit* edtTotalFrame() const { return edtTotalFrame_; }
  QLineEdit* edtBitRate() const { return edtBitRate_; }
  QLineEdit* edtAudioForamt() const { return edtAudioForamt_; }
  QLineEdit* edtSampleRate() const { return edtSampleRate_; }
  QLineEdit* edtChannel() const { return edtChannel_; }
  QLineEdit* edtAudioBitRate() const { return edtAudioBitRate_; }
  QLabel* lblStatus() const { return lblStatus_; }
  QPushButton* btnOk() const { return btnOk_; }

protected:
  void hideEvent(QHideEvent* event) override;

private:
  QLineEdit* Field(QWidget* group, int row, const QString& label, const char* name);

  std::unique_ptr<TConvertEngine> engine_;
  QLabel* lblSourceName_ = nullptr;
  QLabel* lblFileLength_ = nullptr;
  QLineEdit* edtFormat_ = nullptr;
  QLineEdit* edtResloution_ = nullptr;
  QLineEdit* edtFrameRate_ = nullptr;
  QLineEdit* edtTotalFrame_ = nullptr;
  QLineEdit* edtBitRate_ = nullptr;
  QLineEdit* edtAudioForamt_ = nullptr;
  QLineEdit* edtSampleRate_ = nullptr;
  QLineEdit* edtChannel_ = nullptr;
  QLineEdit* edtAudioBitRate_ = nullptr;
  QLabel* lblStatus_ = nullptr;  // says when the file cannot be opened
  QPushButton* btnOk_ = nullptr;
};
