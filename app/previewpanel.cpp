#include "app/previewpanel.h"

#include <QLabel>
#include <QSlider>

#include "app/core/settings.h"
#include "controls/imagebutton.h"

TPreviewPanel::TPreviewPanel(QWidget* host, TAppSettings& settings) : QObject(host), settings_(settings) {
  pan1_ = new QWidget(host);
  pan1_->setObjectName("pan1");
  pan1_->setGeometry(516, 134, 370, 240);
  pan1_->setAutoFillBackground(true);
  pan1_->setStyleSheet("QWidget#pan1 { background: black; border: 1px solid #5a86c0; }");
  lblTime_ = new QLabel("0:00:00", host);
  lblTime_->setObjectName("lblTime");
  lblTime_->setGeometry(786, 384, 54, 14);
  lblPTS_ = new QLabel("/ 0:00:00", host);
  lblPTS_->setObjectName("lblPTS");
  lblPTS_->setGeometry(842, 384, 56, 14);
  trcPreview_ = new QSlider(Qt::Horizontal, host);
  trcPreview_->setObjectName("trcPreview");
  trcPreview_->setGeometry(514, 400, 380, 20);
  trcPreview_->setEnabled(false);
  struct TButton {
    const char* Name;
    const char* Picture;
    const char* Hint;
    int X;
  };
  const TButton buttons[] = {{"imgbtnPre", "pv-prev", "Previous", 514},  {"imgbtnPlay", "pv-play", "Play", 553},
                             {"imgbtnPause", "pv-pause", "Pause", 592}, {"imgbtnStop", "pv-stop", "Stop", 631},
                             {"imgbtnNext", "pv-next", "Next", 670},    {"imgbtnSnap", "pv-snap", "Snapshot", 719},
                             {"imgbtnMute", "pv-sound", "Mute", 778}};
  for (const TButton& b : buttons) {
    auto* btn = new TImageButton(host);
    btn->setObjectName(b.Name);
    btn->SetPictures(b.Picture);
    btn->setToolTip(b.Hint);
    btn->setAccessibleName(b.Hint);
    btn->setGeometry(b.X, 432, 39, 25);
    btn->setEnabled(false);
    if (QString(b.Name) == "imgbtnMute") imgbtnMute_ = btn;
  }
  trcVolume_ = new QSlider(Qt::Horizontal, host);
  trcVolume_->setObjectName("trcVolume");
  trcVolume_->setGeometry(815, 435, 83, 20);
  trcVolume_->setRange(0, 128);
  trcVolume_->setEnabled(false);
  LoadVolume();
}

void TPreviewPanel::LoadVolume() {
  const TSettingsValues v = settings_.Read();
  trcVolume_->setValue(v.Volume);
  imgbtnMute_->SetAlternate("pv-mute", v.Mute);
}
