#include "dialogs/fileinfo.h"

#include <cmath>

#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "engine/engine.h"
#include "media/errors.h"
#include "media/probe.h"

TfrmFileInfo::TfrmFileInfo(QWidget* parent) : QDialog(parent), engine_(std::make_unique<TConvertEngine>()) {
  setObjectName("frmFileInfo");
  setWindowTitle("File information");
  setFixedSize(kWidth, kHeight);
  setProperty("skinned", true);

  auto* name = new QLabel("File Name:", this);
  name->setGeometry(20, 18, 76, 20);
  lblSourceName_ = new QLabel(this);
  lblSourceName_->setObjectName("lblSourceName");
  lblSourceName_->setGeometry(100, 18, 270, 20);
  auto* length = new QLabel("Duration:", this);
  length->setGeometry(20, 44, 76, 20);
  lblFileLength_ = new QLabel(this);
  lblFileLength_->setObjectName("lblFileLength");
  lblFileLength_->setGeometry(100, 44, 270, 20);

  auto* video = new QGroupBox("Video ", this);
  video->setGeometry(20, 74, 380, 180);
  edtFormat_ = Field(video, 0, "Format:", "edtFormat");
  edtResloution_ = Field(video, 1, "Resloution:", "edtResloution");
  edtFrameRate_ = Field(video, 2, "Frame Rate:", "edtFrameRate");
  edtTotalFrame_ = Field(video, 3, "Total Frame:", "edtTotalFrame");
  edtBitRate_ = Field(video, 4, "Bit Rate:", "edtBitRate");
  auto* audio = new QGroupBox("Audio", this);
  audio->setGeometry(20, 264, 380, 150);
  edtAudioForamt_ = Field(audio, 0, "Format:", "edtAudioForamt");
  edtSampleRate_ = Field(audio, 1, "Sample Rate:", "edtSampleRate");
  edtChannel_ = Field(audio, 2, "Channel:", "edtChannel");
  edtAudioBitRate_ = Field(audio, 3, "Bit Rate:", "edtAudioBitRate");

  lblStatus_ = new QLabel(this);
  lblStatus_->setObjectName("lblFileInfoStatus");
  lblStatus_->setGeometry(20, 424, 290, 26);

  btnOk_ = new QPushButton("&Ok", this);
  btnOk_->setObjectName("btnOk");
  btnOk_->setGeometry(320, 424, 80, 26);
  btnOk_->setDefault(true);
  connect(btnOk_, &QPushButton::clicked, this, &QDialog::accept);
}

TfrmFileInfo::~TfrmFileInfo() = default;

QLineEdit* TfrmFileInfo::Field(QWidget* group, int row, const QString& label, const char* name) {
  const int y = 24 + row * 30;
  auto* l = new QLabel(label, group);
  l->setGeometry(16, y, 90, 22);
  auto* e = new QLineEdit(group);
  e->setObjectName(name);
  e->setReadOnly(true);
  e->setGeometry(110, y, 250, 22);
  l->setBuddy(e);
  return e;
}

QString TfrmFileInfo::ShortName(const QString& path) {
  if (path.size() < 46) return path;
  const QString name = QFileInfo(path).fileName();
  const qsizetype dot = name.lastIndexOf('.');
  const QString ext = dot >= 0 ? name.mid(dot) : QString();
  return path.left(40) + ".." + ext + "  ";
}

QString TfrmFileInfo::DurationText(int64_t durationUS) {
  const int64_t us = std::max<int64_t>(durationUS, 0);
  return QString::asprintf("%lld.%.3lld", static_cast<long long>(us / 1000000),
                           static_cast<long long>((us / 1000) % 1000)) +
         " Second";
}

QString TfrmFileInfo::FrameRateText(int num, int den) {
  if (num <= 0 || den <= 0) return {};
  QString t = QString::number(double(num) / den, 'f', 3);
  while (t.endsWith('0')) t.chop(1);
  if (t.endsWith('.')) t.chop(1);
  return t;
}

QString TfrmFileInfo::FrameCountText(int64_t stated, int64_t durationUS, int num, int den) {
  if (stated > 0) return QString::number(stated);
  if (durationUS <= 0 || num <= 0 || den <= 0) return {};
  return QString::number(std::llround(double(durationUS) * num / den / 1e6));
}

QString TfrmFileInfo::AudioFormatFrom(const std::string& infoText) {
  const size_t p = infoText.find("Audio:");
  if (p == std::string::npos) return {};
  const size_t start = p + 7;
  const size_t comma = infoText.find(',', p);
  if (start >= infoText.size()) return {};
  const size_t end = comma == std::string::npos ? infoText.find_first_of("\r\n", start) : comma;
  return QString::fromStdString(
      infoText.substr(start, end == std::string::npos || end < start ? std::string::npos : end - start));
}

void TfrmFileInfo::ShowFile(const std::string& sourceFile) {
  lblSourceName_->clear();
  lblFileLength_->clear();
  lblStatus_->clear();
  if (sourceFile.empty()) return;
  // A file that cannot be opened shows none of the values of the file shown before.
  const auto cannotOpen = [this, &sourceFile] {
    for (QLineEdit* e : {edtFormat_, edtResloution_, edtFrameRate_, edtTotalFrame_, edtBitRate_, edtAudioForamt_,
                         edtSampleRate_, edtChannel_, edtAudioBitRate_})
      e->clear();
    const QString name = QFileInfo(QFile::decodeName(QByteArray::fromStdString(sourceFile))).fileName();
    lblStatus_->setText(lblStatus_->fontMetrics().elidedText(QString("The file cannot be opened: %1").arg(name),
                                                             Qt::ElideMiddle, lblStatus_->width()));
  };

  engine_->ClearTasks();
  TInputOptions in;
  in.FileName = sourceFile;
  const int task = engine_->AddTask(sourceFile, in);
  TAVProbe& probe = engine_->AVProbe();
  try {
    if (!probe.LoadFile(sourceFile)) return cannotOpen();
  } catch (const FFmpegException&) {
    return cannotOpen();  // the codec libraries are not loaded: nothing can be shown
  }
  lblSourceName_->setText(ShortName(QFile::decodeName(QByteArray::fromStdString(sourceFile))));
  lblSourceName_->setFixedWidth(270);
  lblFileLength_->setText(DurationText(probe.GetFileStreamInfo().Duration));
  edtFormat_->setText(QString::fromStdString(probe.GetFormatName()));

  // The stream values come from the task's own input; without a task they stay empty.
  TAVProbe* input = task >= 0 ? engine_->InputProbe(task, 0) : nullptr;
  const int v = probe.FirstVideoStreamIndex();
  if (input && v >= 0 && probe.IsVideoStream(v)) {
    const TVideoStreamInfo info = input->GetVideoStreamInfo(v);
    edtResloution_->setText(QString("%1x%2").arg(info.Width).arg(info.Height));
    edtBitRate_->setText(QString::number(info.BitRate));
    // The rate as the number a user knows (30000/1001 is 29.97), and the count of pictures
    // (the stream's own length, else the file's, when the container does not state it).
    edtFrameRate_->setText(FrameRateText(info.FrameRateNum, info.FrameRateDen));
    const int64_t length = info.DurationUS > 0 ? info.DurationUS : probe.GetFileStreamInfo().Duration;
    edtTotalFrame_->setText(FrameCountText(info.FrameCount, length, info.FrameRateNum, info.FrameRateDen));
  } else {
    for (QLineEdit* e : {edtResloution_, edtBitRate_, edtFrameRate_, edtTotalFrame_}) e->clear();
  }
  const int a = probe.FirstAudioStreamIndex();
  if (input && a >= 0 && probe.IsAudioStream(a)) {
    const TAudioStreamInfo info = input->GetAudioStreamInfo(a);
    edtAudioBitRate_->setText(QString::number(info.BitRate));
    edtSampleRate_->setText(QString::number(info.SampleRate));
    edtChannel_->setText(QString::number(info.Channels));
    edtAudioForamt_->setText(AudioFormatFrom(probe.GetInfoText()));
  } else {
    for (QLineEdit* e : {edtAudioBitRate_, edtSampleRate_, edtChannel_, edtAudioForamt_}) e->clear();
  }
  probe.CloseFile();
}

void TfrmFileInfo::hideEvent(QHideEvent* event) {
  engine_->ClearTasks();
  QDialog::hideEvent(event);
}
