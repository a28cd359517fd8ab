#include "dialogs/volumecontrol.h"

#include "app/core/settings.h"
#include "controls/imagebutton.h"
#include "controls/trackbar.h"
#include "media/player.h"

TVolumeControl::TVolumeControl(QWidget* host, TAppSettings& settings, const QRect& muteRect, const QRect& barRect)
    : QObject(host), settings_(settings) {
  mute_ = new TImageButton(host);
  mute_->setObjectName("imgbtnMute");
  mute_->SetPictures("pv-sound");
  mute_->setToolTip("Mute");
  mute_->setAccessibleName("Mute");
  mute_->setGeometry(muteRect);
  bar_ = new TTrackBar2(host);
  bar_->setObjectName("trcVolume");
  bar_->setGeometry(barRect);
  bar_->SetMax(128);
  bar_->setToolTip("Volume");

  Load();
  // Mute acts on the press.
  connect(mute_, &TImageButton::pressed, this, &TVolumeControl::MutePressed);
  connect(bar_, &TTrackBar2::Change, this, &TVolumeControl::VolumeChanged);
}

void TVolumeControl::Load() {
  const TSettingsValues v = settings_.Read();
  loading_ = true;
  bar_->SetPositionL(v.Volume);
  loading_ = false;
  muted_ = v.Mute;
  mute_->SetAlternate("pv-mute", muted_);
  if (player_) Apply(*player_);
}

void TVolumeControl::Apply(TCustomPlayer& player) const {
  player.AudioVolume = bar_->PositionL();
  player.Mute = muted_;
}

void TVolumeControl::MutePressed() {
  muted_ = !muted_;
  if (player_) player_->Mute = muted_;
  settings_.WriteMute(muted_);
  mute_->SetAlternate("pv-mute", muted_);
}

void TVolumeControl::VolumeChanged() {
  if (loading_) return;
  if (player_) player_->AudioVolume = bar_->PositionL();
  settings_.WriteVolume(bar_->PositionL());
}
