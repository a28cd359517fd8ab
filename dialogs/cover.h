// The splash window: a borderless picture centred on the screen while the program starts.
// Every two seconds it looks whether the main window is showing, and hides once it is. No
// event loop of its own.
#pragma once

#include <QPixmap>
#include <QTimer>
#include <QWidget>

class QLabel;

class TfrmCover : public QWidget {
  Q_OBJECT
public:
  static constexpr int kPictureWidth = 399;
  static constexpr int kPictureHeight = 239;
  static constexpr int kIntervalMs = 2000;

  // `mainWindow`: the window whose showing ends the splash.
  explicit TfrmCover(QWidget* mainWindow);

  QLabel* imgCover() const { return imgCover_; }
  QTimer& Timer() { return timer_; }
  // The picture: the file "pspvideocover.jpg" of the skin folder when it can be read, else the
  // built-in drawing.
  static QPixmap CoverPicture(qreal dpr);

protected:
  void showEvent(QShowEvent* event) override;

private:
  void Tick();

  QWidget* mainWindow_;
  QLabel* imgCover_;
  QTimer timer_;
};
