// The about window: the product name with its version, the product and help pages, and the
// licence notes of the libraries the program uses, with the versions found while it runs.
#pragma once

#include <QDialog>
#include <QString>
#include <string>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class TGlobalObject;

// One library the program uses: its name, the version in use ("not loaded" while it is not)
// and its licence.
struct TLibraryNote {
  std::string Name;
  std::string Version;
  std::string Licence;
};
// FFmpeg (each of its libraries), SDL2, Qt and libjpeg-turbo, as found in this process.
std::vector<TLibraryNote> LibraryNotes();

class TfrmAbout : public QDialog {
  Q_OBJECT
public:
  static constexpr int kWidth = 340;
  static constexpr int kHeight = 187;

  TfrmAbout(QWidget* parent, const TGlobalObject& global);

  QLabel* lblAppNameVer() const { return lblAppNameVer_; }
  QLabel* lblProductLink() const { return lblProductLink_; }
  QLabel* lblHelpLink() const { return lblHelpLink_; }
  QPlainTextEdit* Notes() const { return notes_; }
  QPushButton* btnOk() const { return btnOk_; }

protected:
  void showEvent(QShowEvent* event) override;

private:
  const TGlobalObject& global_;
  QLabel* lblAppNameVer_ = nullptr;
  QLabel* lblProductLink_ = nullptr;
  QLabel* lblHelpLink_ = nullptr;
  QPlainTextEdit* notes_ = nullptr;
  QPushButton* btnOk_ = nullptr;
};
