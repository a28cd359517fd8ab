#include "app/previewerwindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include "media/textutils.h"

TPreviewerForm::TPreviewerForm() : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowCloseButtonHint) {
  setObjectName("frmPreviewer");
  setAttribute(Qt::WA_DeleteOnClose, false);
}

void TPreviewerForm::SetPicture(const QImage& picture, const QString& caption) {
  const bool first = picture_.isNull();
  picture_ = picture;
  setWindowTitle(caption);
  if (first || size() != picture.size()) {
    setFixedSize(picture.size());
    if (first) {
      if (QScreen* s = QGuiApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());
    }
  }
  update();
}

void TPreviewerForm::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (!picture_.isNull()) p.drawImage(0, 0, picture_);
}

void TPreviewerForm::mousePressEvent(QMouseEvent* event) {
  // The picture drags the window, as its caption does.
  if (event->button() == Qt::LeftButton && windowHandle()) {
    windowHandle()->startSystemMove();
    event->accept();
    return;
  }
  QWidget::mousePressEvent(event);
}

void TPreviewerForm::closeEvent(QCloseEvent* event) {
  if (OnClosed) OnClosed();
  QWidget::closeEvent(event);
}

TQtPreviewer::TQtPreviewer() : state_(std::make_shared<TState>()) {}

TQtPreviewer::~TQtPreviewer() {
  // The engine frees its previewer on the worker thread; the window goes on the main thread.
  std::shared_ptr<TState> state = state_;
  state->closed = true;
  QMetaObject::invokeMethod(
      qApp, [state] { delete state->window.data(); }, Qt::QueuedConnection);
}

bool TQtPreviewer::ShowPicture(const TBitmap24& picture, int32_t, int64_t pts) {
  if (state_->closed) return false;
  if (picture.Empty()) return true;
  const QImage view(picture.Pixels.data(), picture.Width, picture.Height, picture.Stride, QImage::Format_BGR888);
  bool post = false;
  {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->picture = view.copy();
    state_->pts = pts;
    post = !state_->posted;
    state_->posted = true;
  }
  if (post) {
    std::shared_ptr<TState> state = state_;
    QMetaObject::invokeMethod(
        qApp,
        [state] {
          QImage picture;
          int64_t pts = 0;
          {
            std::lock_guard<std::mutex> g(state->lock);
            picture = std::move(state->picture);
            state->picture = QImage();
            pts = state->pts;
            state->posted = false;
          }
          if (state->closed || picture.isNull()) return;
          if (!state->window) {
            state->window = new TPreviewerForm;
            std::weak_ptr<TState> weak = state;
            state->window->OnClosed = [weak] {
              if (auto s = weak.lock()) s->closed = true;
            };
          }
          state->window->SetPicture(picture, QString::fromStdString(FormatDuration(pts)));
          state->window->show();
        },
        Qt::QueuedConnection);
  }
  return !state_->closed;
}

TPreviewerForm* TQtPreviewer::Window() const { return state_->window.data(); }
bool TQtPreviewer::Closed() const { return state_->closed; }

void InstallQtPreviewer() {
  SetPreviewerFactory([] { return std::make_unique<TQtPreviewer>(); });
}
