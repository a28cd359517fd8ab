#include "dialogs/wmplayer.h"

#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "app/core/clocktext.h"
#include "controls/trackbar.h"
#include "controls/videosurface.h"
#include "dialogs/playerhost.h"
#include "dialogs/volumecontrol.h"

TWmPlayerBar::TWmPlayerBar(QWidget* host, TAppSettings& settings, int x, int y, const QRect& panel) : QObject(host) {
  hiddenPanel_ = new TVideoSurfaceWidget(host);
  hiddenPanel_->setGeometry(panel);
  hiddenPanel_->hide();
  btnPlay_ = new QPushButton("Play", host);
  btnPlay_->setGeometry(x, y, 60, 26);
  btnPlay_->setEnabled(false);
  btnPause_ = new QPushButton("Pause", host);
  btnPause_->setGeometry(x + 64, y, 60, 26);
  btnPause_->setEnabled(false);
  trcSeek_ = new TTrackBar2(host);
  trcSeek_->setObjectName("trcSeek");
  trcSeek_->setGeometry(x + 132, y + 3, 250, 20);
  trcSeek_->SetTickStyle(TTrackBar2::tiUserDrawn);
  trcSeek_->setEnabled(false);
  lblPosition_ = new QLabel(host);
  lblPosition_->setGeometry(x + 388, y + 3, 54, 20);
  lblDuration_ = new QLabel(host);
  lblDuration_->setGeometry(x + 444, y + 3, 54, 20);
  host_ = new TPlayerHost(this, settings);
  host_->SetVolumeControl(new TVolumeControl(host, settings, QRect(x + 502, y, 30, 25), QRect(x + 534, y + 3, 58, 20)));
  host_->SetSeekBar(trcSeek_, TPlayerHost::srEveryMove, TPlayerHost::bsShare);

  connect(btnPlay_, &QPushButton::clicked, this, [this] {
    host_->Resume();
    btnPlay_->setEnabled(false);
    btnPause_->setEnabled(true);
    trcSeek_->setEnabled(host_->DurationUs() > 0);
  });
  host_->SetPauseButtons(btnPlay_, btnPause_);
  connect(host_, &TPlayerHost::FrameArrived, this,
          [this] { lblPosition_->setText(QString::fromStdString(FormatClock(RoundedSeconds(host_->FramePts())))); });
  connect(host_, &TPlayerHost::StateChanged, this, [this](TPlayState state) {
    // At the end the bar rests at the start until Play.
    if (state == psEnd) trcSeek_->setEnabled(false);
  });
}

bool TWmPlayerBar::Open(const std::string& file) {
  std::string error;
  if (!host_->LoadLibraries(error)) return false;
  if (!host_->Open(file, hiddenPanel_, false, true)) return false;
  lblDuration_->setText(QString::fromStdString(FormatClock(RoundedSeconds(host_->DurationUs()))));
  lblPosition_->setText("00:00:00");
  trcSeek_->SetMax(std::max<int>(1, int(RoundedSeconds(host_->DurationUs()))));
  host_->ShowPlace(0);
  trcSeek_->setEnabled(host_->DurationUs() > 0);
  btnPause_->setEnabled(true);
  return true;
}

void TWmPlayerBar::Close() { host_->Stop(true); }
