// The preview area of the main window: the black video panel `pan1`, the time labels, the
// seek and volume bars and the player buttons. Until the player is wired in, the panel is
// idle: black, with every control disabled; the volume bar and the mute button show the
// stored settings.
#pragma once

#include <QObject>

class QLabel;
class QSlider;
class QWidget;
class TImageButton;
class TAppSettings;

class TPreviewPanel : public QObject {
  Q_OBJECT
public:
  TPreviewPanel(QWidget* host, TAppSettings& settings);

  QWidget* VideoPanel() const { return pan1_; }
  QSlider* VolumeBar() const { return trcVolume_; }
  TImageButton* MuteButton() const { return imgbtnMute_; }

  // Volume bar (0..128, stored value or 64 when out of range) and mute picture from the
  // settings file.
  void LoadVolume();

private:
  TAppSettings& settings_;
  QWidget* pan1_;
  QLabel* lblTime_;
  QLabel* lblPTS_;
  QSlider* trcPreview_;
  QSlider* trcVolume_;
  TImageButton* imgbtnMute_;
};
