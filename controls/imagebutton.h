// A push button drawn from pictures: one for the normal state, one under the mouse and one
// while pressed, optionally with a glyph and a caption on top (the tool buttons). Keyboard
// focus shows as a ring. Missing pictures leave a plain drawn button, never an error.
#pragma once

#include <QAbstractButton>
#include <QPixmap>
#include <QString>

class TImageButton : public QAbstractButton {
  Q_OBJECT
public:
  explicit TImageButton(QWidget* parent = nullptr);

  // Skin picture names: "<base>.svg", "<base>-hover.svg", "<base>-pressed.svg". A missing
  // hover or pressed picture is made from the normal one (lighter, darker).
  void SetPictures(const QString& base);
  // A picture drawn centred above the caption (or centred alone without a caption).
  void SetGlyph(const QString& name, QSize size);
  // Shows picture `index` of a two-picture list (the mute button's muted / unmuted look).
  void SetAlternate(const QString& base, bool on);
  bool Alternate() const { return alternate_; }

protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  void changeEvent(QEvent*) override;

private:
  void Reload();
  QString base_;
  QString altBase_;
  QString glyph_;
  QSize glyphSize_;
  bool alternate_ = false;
  bool hover_ = false;
  qreal loadedDpr_ = 0;
  QSize loadedSize_;
  QPixmap normal_, over_, down_, glyphPm_;
};
