// The previewer window: a floating, always-on-top tool window with the latest picture of a
// running conversion task and its time in the caption. The engine asks for one previewer per
// task on its worker thread; the window itself lives on the main thread.
//
// ShowPicture copies the picture and posts the drawing to the main thread without waiting for
// it (a worker never waits on the main thread), so the picture shown may lag one preview
// interval behind. Closing the window makes the next ShowPicture return false.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "media/previewer.h"

class TPreviewerForm : public QWidget {
  Q_OBJECT
public:
  TPreviewerForm();
  void SetPicture(const QImage& picture, const QString& caption);
  const QImage& Picture() const { return picture_; }
  // Set when the user closes the window.
  std::function<void()> OnClosed;

protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  QImage picture_;
};

class TQtPreviewer : public TPreviewer {
public:
  TQtPreviewer();
  ~TQtPreviewer() override;
  bool ShowPicture(const TBitmap24& picture, int32_t frameNumber, int64_t pts) override;

  // The window (main thread; null until the first picture has been drawn).
  TPreviewerForm* Window() const;
  bool Closed() const;

private:
  struct TState {
    std::mutex lock;
    QImage picture;
    int64_t pts = 0;
    bool posted = false;
    std::atomic<bool> closed{false};
    QPointer<TPreviewerForm> window;  // used on the main thread only
  };
  std::shared_ptr<TState> state_;
};

// Installs the factory that gives the engine a TQtPreviewer per task (the desktop program).
void InstallQtPreviewer();
