#include "dialogs/cover.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QLabel>
#include <QPointer>
#include <QScreen>

#include "controls/theme.h"

TfrmCover::TfrmCover(QWidget* mainWindow)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), mainWindow_(mainWindow) {
  setObjectName("frmCover");
  setAttribute(Qt::WA_ShowWithoutActivating);
  imgCover_ = new QLabel(this);
  imgCover_->setObjectName("imgCover");
  imgCover_->setPixmap(CoverPicture(devicePixelRatioF()));
  timer_.setInterval(kIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &TfrmCover::Tick);
  timer_.start();
}

QPixmap TfrmCover::CoverPicture(qreal dpr) {
  const QString file = theme::SkinFile("pspvideocover.jpg");
  if (QFileInfo::exists(file)) {
    QImageReader reader(file);
    const QImage image = reader.read();
    if (!image.isNull()) return QPixmap::fromImage(image);
  }
  return theme::SkinPixmap("cover.svg", {kPictureWidth, kPictureHeight}, dpr);
}

void TfrmCover::showEvent(QShowEvent* event) {
  // The window takes the picture's size and sits in the middle of the screen.
  const QPixmap pm = imgCover_->pixmap();
  const QSize size = pm.isNull() ? QSize(kPictureWidth, kPictureHeight) : pm.deviceIndependentSize().toSize();
  imgCover_->setGeometry(0, 0, size.width(), size.height());
  setFixedSize(size);
  if (QScreen* screen = QGuiApplication::primaryScreen()) move(screen->availableGeometry().center() - rect().center());
  QWidget::showEvent(event);
}

void TfrmCover::Tick() {
  if (mainWindow_ && mainWindow_->isVisible()) {
    timer_.stop();
    hide();
  }
}
