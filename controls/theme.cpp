#include "controls/theme.h"

#include <QApplication>
#include <QFileInfo>
#include <QFont>
#include <QPainter>
#include <QPalette>
#include <QSvgRenderer>

namespace theme {
namespace {
QString& SkinDirRef() {
  static QString dir;
  return dir;
}
}  // namespace

void SetSkinDir(const QString& dir) { SkinDirRef() = dir; }
QString SkinDir() { return SkinDirRef(); }
QString SkinFile(const QString& name) { return SkinDirRef() + "/" + name; }

QPixmap SkinPixmap(const QString& name, QSize logical, qreal dpr) {
  const QString path = SkinFile(name);
  if (!QFileInfo::exists(path)) return {};
  QSvgRenderer svg(path);
  if (!svg.isValid()) return {};
  QPixmap pm(logical * dpr);
  pm.fill(Qt::transparent);
  {
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    svg.render(&p);
  }
  pm.setDevicePixelRatio(dpr);
  return pm;
}

// Colour pairs were checked for a contrast of at least 4.5:1: white on the window blue
// (24,52,91) is 12.6:1; the dark text (29,53,87) on the light boxes (246,247,248) is 11.7:1;
// white on the button blue (49,92,149) is 6.9:1; disabled texts (168,184,206 on the window
// blue) are 6.3:1.
QString StyleSheet() {
  return QStringLiteral(R"(
QWidget { font-family: "DejaVu Sans Condensed"; font-size: 11px; color: #1d3557; }
QDialog, QMainWindow, QWidget#frmMain { background: rgb(24,52,91); }
QWidget#frmMain QLabel { color: #ffffff; }
QLabel#lbl_appname { font-size: 15px; color: #ffffff; }
QLabel#lblTime, QLabel#lblPTS { color: #dfe7f3; }
QLineEdit { background: rgb(246,247,248); border: 1px solid #7d93b5; border-radius: 2px; padding: 0 3px;
            color: #1d3557; selection-background-color: rgb(185,204,236); selection-color: #000000; }
QLineEdit:focus { border: 2px solid rgb(255,209,102); }
QPushButton { background: #315c95; color: #ffffff; border: 1px solid #5a86c0; border-radius: 3px; padding: 0 4px; }
QPushButton:hover { background: #4171b2; }
QPushButton:pressed { background: #16304f; }
QPushButton:focus { border: 2px solid rgb(255,209,102); }
QPushButton:disabled { color: #a8b8ce; background: #24446f; border-color: #3d5f8c; }
QPushButton[menuButton="true"] { background: transparent; border: 1px solid transparent; color: #ffffff; padding: 0 2px; }
QPushButton[menuButton="true"]:hover { background: #2f5a92; border-color: #5a86c0; }
QPushButton[menuButton="true"]:focus { border: 2px solid rgb(255,209,102); }
QMenu { background: #f6f7f8; color: #1d3557; border: 1px solid #5a6f8e; padding: 2px; }
QMenu::item { padding: 4px 22px 4px 18px; }
QMenu::item:selected { background: rgb(185,204,236); color: #000000; }
QMenu::item:disabled { color: #6b7a8f; }
QMenu::separator { height: 1px; background: #b8c6dd; margin: 3px 6px; }
QTreeView, QListView, QListWidget { background: #ffffff; color: #000000; border: 1px solid #7d93b5; }
QTreeView:focus, QListWidget:focus { border: 2px solid rgb(255,209,102); }
QHeaderView::section { background: #dfe7f3; color: #1d3557; border: 0; border-right: 1px solid #b8c6dd;
                       border-bottom: 1px solid #b8c6dd; padding: 2px 4px; }
QScrollBar:vertical { background: #e9eef6; width: 12px; margin: 0; }
QScrollBar:horizontal { background: #e9eef6; height: 12px; margin: 0; }
QScrollBar::handle { background: #9fb3d1; border-radius: 4px; min-height: 20px; min-width: 20px; }
QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; }
QSlider::groove:horizontal { height: 6px; background: #2a4f84; border: 1px solid #5a86c0; border-radius: 3px; }
QSlider::handle:horizontal { width: 10px; margin: -5px 0; background: #dfe7f3; border: 1px solid #5a86c0; border-radius: 3px; }
QSlider::handle:horizontal:disabled { background: #7d93b5; }
QCheckBox, QRadioButton { color: #ffffff; }
QCheckBox:disabled, QRadioButton:disabled, QLabel:disabled { color: #a8b8ce; }
QCheckBox:focus, QRadioButton:focus { color: rgb(255,209,102); }
QCheckBox::indicator, QRadioButton::indicator { width: 13px; height: 13px; background: #f6f7f8; border: 1px solid #7d93b5; }
QCheckBox::indicator { border-radius: 2px; }
QCheckBox::indicator:checked { image: url(CHECK_PICTURE); }
QRadioButton::indicator { border-radius: 7px; }
QRadioButton::indicator:checked { background: qradialgradient(cx:0.5, cy:0.5, radius:0.5, fx:0.5, fy:0.5, stop:0 #1d3557,
                                  stop:0.45 #1d3557, stop:0.55 #f6f7f8, stop:1 #f6f7f8); }
QCheckBox::indicator:disabled, QRadioButton::indicator:disabled { background: #b8c6dd; }
QSpinBox { background: rgb(246,247,248); color: #1d3557; border: 1px solid #7d93b5; border-radius: 2px; padding: 0 2px; }
QSpinBox:disabled { background: #b8c6dd; color: #5a6f8e; }
QProgressDialog, QMessageBox { background: #f6f7f8; }
QProgressDialog QLabel, QMessageBox QLabel { color: #1d3557; }
QWidget#frmMain QProgressDialog QLabel, QWidget#frmMain QMessageBox QLabel { color: #1d3557; }
QDialog#frmProgress QLabel, QDialog#frmProgress QCheckBox { color: #ffffff; }
QProgressBar { background: #ffffff; border: 1px solid #7d93b5; border-radius: 2px; text-align: center; color: #000000; }
QProgressBar::chunk { background: rgb(122,160,218); }
QToolTip { background: #f6f7f8; color: #1d3557; border: 1px solid #5a6f8e; }
QDialog[skinned="true"] QLabel, QDialog[skinned="true"] QGroupBox { color: #ffffff; }
QDialog[skinned="true"] QMessageBox QLabel { color: #1d3557; }
/* Tab pages are light: their captions are dark, in the main window's dialogs too. */
QTabWidget QLabel, QWidget#frmMain QTabWidget QLabel { color: #1d3557; }
QGroupBox { border: 1px solid #5a86c0; border-radius: 3px; margin-top: 8px; }
QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 8px; padding: 0 3px; }
QComboBox { background: #ffffff; color: #000000; border: 1px solid #7d93b5; border-radius: 2px; padding: 0 3px; }
QComboBox:disabled { color: #6d6d6d; background: #c9d2de; }
QComboBox:focus { border: 2px solid rgb(255,209,102); }
QComboBox QAbstractItemView { background: #ffffff; color: #000000; selection-background-color: rgb(185,204,236);
                              selection-color: #000000; }
QDialog#frmAbout { background: #f6f7f8; }
QDialog#frmAbout QLabel { color: #1d3557; }
QLabel#lblAppNameVer { font-size: 13px; font-weight: bold; }
QDialog#frmAbout QPlainTextEdit { background: #ffffff; color: #000000; border: 1px solid #7d93b5; }
)")
      .replace("CHECK_PICTURE", SkinFile("check.svg"));
}

void Apply(QApplication& app) {
  QFont font("DejaVu Sans Condensed");
  font.setPixelSize(11);
  app.setFont(font);
  app.setStyleSheet(StyleSheet());
}

}  // namespace theme
