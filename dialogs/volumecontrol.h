// The mute button and volume bar of the windows that play a file (the main window's panel, the
// crop dialog). The
// volume (0..128) and the mute state are stored settings: read when the control is made and
// written at once on every change.
#pragma once

#include <QObject>
#include <QRect>

class QWidget;
class TAppSettings;
class TCustomPlayer;
class TImageButton;
class TTrackBar2;

class TVolumeControl : public QObject {
  Q_OBJECT
public:
  // The mute button goes at `muteRect`, the volume bar at `barRect`, both on `host`.
  TVolumeControl(QWidget* host, TAppSettings& settings, const QRect& muteRect, const QRect& barRect);

  // Reads the stored volume and mute state again into the controls and the attached player.
  void Load();
  // Gives the player the shown volume and mute state (at every open: the player keeps them).
  void Apply(TCustomPlayer& player) const;
  // The player that follows the bar and the button from now on (null: none).
  void Attach(TCustomPlayer* player) { player_ = player; }

  TImageButton* MuteButton() const { return mute_; }
  TTrackBar2* VolumeBar() const { return bar_; }
  bool Muted() const { return muted_; }

private:
  void MutePressed();
  void VolumeChanged();

  TAppSettings& settings_;
  TCustomPlayer* player_ = nullptr;
  TImageButton* mute_;
  TTrackBar2* bar_;
  bool muted_ = false;
  bool loading_ = false;
};
