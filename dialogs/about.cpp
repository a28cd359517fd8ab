#include "dialogs/about.h"

#include <dlfcn.h>
#include <link.h>

#include <QDesktopServices>
#include <QEnterEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QUrl>
#include <climits>
#include <cstdlib>

#include "app/core/globalobject.h"
#include "controls/theme.h"
#include "media/loader.h"

namespace {

std::string VersionOf(unsigned v) {
  return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff) + "." + std::to_string(v & 0xff);
}

// The version in a shared library's real file name ("libjpeg.so.62.3.0" gives "62.3.0"),
// found through the dynamic linker; empty when the library is not on this system.
std::string SharedLibraryVersion(const char* soname) {
  void* handle = dlopen(soname, RTLD_LAZY | RTLD_LOCAL);
  if (!handle) return {};
  std::string version;
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name) {
    char real[PATH_MAX];
    if (realpath(map->l_name, real)) {
      const std::string file = real;
      const size_t so = file.rfind(".so.");
      if (so != std::string::npos) version = file.substr(so + 4);
    }
  }
  dlclose(handle);
  return version;
}

// A web address shown as a link: blue, red while the mouse is over it; a click opens it.
class TLinkLabel : public QLabel {
public:
  TLinkLabel(const QString& url, QWidget* parent) : QLabel(url, parent), url_(url) {
    setCursor(Qt::PointingHandCursor);
    SetColour(Qt::blue);
  }

protected:
  void enterEvent(QEnterEvent*) override { SetColour(Qt::red); }
  void leaveEvent(QEvent*) override { SetColour(Qt::blue); }
  void mouseReleaseEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()))
      QDesktopServices::openUrl(QUrl(url_));
  }

private:
  void SetColour(const QColor& c) {
    setStyleSheet(QString("color: %1; text-decoration: underline; background: transparent;").arg(c.name()));
  }
  QString url_;
};

}  // namespace

std::vector<TLibraryNote> LibraryNotes() {
  std::vector<TLibraryNote> notes;
  const TFFmpegLoader& loader = FFLoader();
  const char* const kFFmpegLicence = "GNU LGPL 2.1 or later (GPL 2 or later when built with GPL parts)";
  auto ff = [&](const char* name, TLibraryKind kind) {
    const unsigned version = loader.RuntimeVersion(kind);
    notes.push_back({name, version ? VersionOf(version) : "not loaded", kFFmpegLicence});
  };
  ff("FFmpeg libavcodec", lkAVCodec);
  ff("FFmpeg libavformat", lkAVFormat);
  ff("FFmpeg libavfilter", lkAVFilter);
  ff("FFmpeg libavutil", lkAVUtil);
  ff("FFmpeg libswscale", lkSwScale);
  ff("FFmpeg libswresample", lkSwResample);
  const unsigned sdlVersion = loader.RuntimeVersion(lkSDL);
  const std::string sdl = sdlVersion ? VersionOf(sdlVersion) : "not loaded";
  notes.push_back({"SDL2", sdl, "zlib licence"});
  notes.push_back({"Qt", qVersion(), "GNU LGPL 3"});
  const std::string jpeg = SharedLibraryVersion("libjpeg.so.62");
  notes.push_back({"libjpeg-turbo", jpeg.empty() ? "not found" : "libjpeg.so." + jpeg,
                   "IJG licence, modified BSD licence, zlib licence"});
  return notes;
}

TfrmAbout::TfrmAbout(QWidget* parent, const TGlobalObject& global) : QDialog(parent), global_(global) {
  setObjectName("frmAbout");
  setWindowTitle("About");
  setFixedSize(kWidth, kHeight);

  auto* picture = new QLabel(this);
  picture->setObjectName("imgAbout");
  picture->setGeometry(12, 12, 48, 48);
  picture->setPixmap(theme::SkinPixmap("about.svg", {48, 48}, devicePixelRatioF()));
  lblAppNameVer_ = new QLabel(this);
  lblAppNameVer_->setObjectName("lblAppNameVer");
  lblAppNameVer_->setGeometry(70, 10, 258, 20);
  lblProductLink_ = new TLinkLabel(QString::fromStdString(global.ProductUrl), this);
  lblProductLink_->setObjectName("lblProductLink");
  lblProductLink_->setGeometry(70, 30, 258, 16);
  lblHelpLink_ = new TLinkLabel(QString::fromStdString(global.HelpUrl), this);
  lblHelpLink_->setObjectName("lblHelpLink");
  lblHelpLink_->setGeometry(70, 47, 258, 16);
  auto* notice = new QLabel("Converts with these libraries, loaded while it runs:", this);
  notice->setObjectName("lblNotice");
  notice->setGeometry(12, 66, 316, 16);
  notes_ = new QPlainTextEdit(this);
  notes_->setObjectName("mmoLicences");
  notes_->setReadOnly(true);
  notes_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  notes_->setGeometry(12, 84, 316, 64);
  btnOk_ = new QPushButton("&Ok", this);
  btnOk_->setObjectName("btnOk");
  btnOk_->setGeometry(248, 155, 80, 24);
  btnOk_->setDefault(true);
  connect(btnOk_, &QPushButton::clicked, this, &QDialog::accept);
}

void TfrmAbout::showEvent(QShowEvent* event) {
  resize(kWidth, kHeight);
  lblAppNameVer_->setText(QString::fromStdString(global_.ProductName + global_.VersionText));
  QStringList lines;
  for (const TLibraryNote& n : LibraryNotes())
    lines << QString::fromStdString(n.Name + " " + n.Version + ": " + n.Licence);
  notes_->setPlainText(lines.join('\n'));
  QDialog::showEvent(event);
}
