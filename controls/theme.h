// The program's one look: the skin folder with its SVG pictures, the colours of the main
// window and the style sheet every window gets.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QSize>
#include <QString>

class QApplication;

namespace theme {

// Window background and the fixed colours of the job list and the format picker.
inline const QColor kWindowBack(24, 52, 91);
inline const QColor kBoxBack(246, 247, 248);
inline const QColor kRowOdd(226, 230, 246);
inline const QColor kRowSelFocus(185, 204, 236);
inline const QColor kRowSel(229, 236, 248);
inline const QColor kFrameFocus(122, 160, 218);
inline const QColor kFrame(152, 181, 226);
inline const QColor kNavy(0, 0, 128);
// The keyboard-focus ring drawn by the custom-painted controls.
inline const QColor kFocusRing(255, 209, 102);

// The folder the pictures are read from (set once at start-up).
void SetSkinDir(const QString& dir);
QString SkinDir();
// Full path of a skin file.
QString SkinFile(const QString& name);
// A skin SVG drawn at `logical` size for the device pixel ratio; a null pixmap when the file
// is missing or unreadable (the caller then draws without it).
QPixmap SkinPixmap(const QString& name, QSize logical, qreal dpr);

// The style sheet of every window.
QString StyleSheet();
// Applies the style sheet, the font and the palette to the whole program.
void Apply(QApplication& app);

}  // namespace theme
