// Writes pictures of the desktop program's windows in their main states, for review:
//   orvane-screenshots OUTDIR FILE...
// main-empty.png (fresh settings), main-rows.png (FILE... added), main-picker.png (the
// format list open with the video group open), settings.png, fileinfo.png (the first file),
// about.png, browse.png, cover.png, main-playing.png (the first file playing in the preview
// panel), preference.png (the preferences dialog), crop-effect.png and crop-margins.png (the
// crop dialog's two tabs over the playing first file), trim.png, watermark-items.png (a text
// and a picture watermark over the first file, the text selected), progress-running.png (the progress window
// mid-run, paused on a real picture), run-summary.png and main-after-run.png (the end of a run
// whose last file went away after Start). Run under QT_QPA_PLATFORM=offscreen.
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QListWidget>
#include <QMenu>
#include <QSpinBox>
#include <QTabWidget>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "app/apperror.h"
#include "app/core/apppaths.h"
#include "app/formatpicker.h"
#include "app/jobadder.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "app/preference.h"
#include "app/previewpanel.h"
#include "app/runcontroller.h"
#include "controls/theme.h"
#include "app/core/settings.h"
#include "controls/imagebutton.h"
#include "dialogs/about.h"
#include "dialogs/cover.h"
#include "dialogs/crop.h"
#include "dialogs/watermark.h"
#include "dialogs/trim.h"
#include "dialogs/fileinfo.h"
#include "dialogs/progress.h"
#include "dialogs/folderchooser.h"
#include "dialogs/settings.h"

namespace {
bool Save(QWidget& w, const QString& file) {
  const bool ok = w.grab().save(file);
  std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(file));
  return ok;
}
}  // namespace

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: orvane-screenshots OUTDIR FILE...\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  const std::string programDir = ProgramDir();
  theme::SetSkinDir(QString::fromStdString(SkinDir(programDir)));
  theme::Apply(app);
  const std::string settingsPath = SettingsIniPath();
  // The run's outputs and snapshots go to folders of this run, never the user's own: the
  // folders exist, so the start-up check (a folder must be writable) keeps them.
  const QString runOut = config.path() + "/out";
  QDir().mkpath(runOut);
  TAppSettings runSettings(settingsPath, "");
  runSettings.WriteOutPutDir(runOut.toStdString());
  runSettings.WriteSnapOutPutDir(runOut.toStdString());
  TfrmMain main(settingsPath, FormatIniPath(programDir));
  main.SetAskOnExit(false);
  main.show();
  bool ok = Save(main, out + "/main-empty.png");
  QStringList files;
  for (int i = 2; i < argc; ++i) files << QString::fromLocal8Bit(argv[i]);
  // A copy of the first file that goes away once the run has started: the last task fails.
  const QString vanishing = config.path() + "/vanishing.mp4";
  if (!files.isEmpty()) QFile::copy(files.first(), vanishing);
  files << vanishing;

  // The run: the progress window is drawn paused on the first picture it shows, then the
  // run goes on to its end and its summary.
  TRunController* runner = main.Runner();
  runner->SetFolderOpener([](const QString&) {});
  QTimer poll;
  poll.setInterval(20);
  bool drawn = false;
  QObject::connect(&poll, &QTimer::timeout, &app, [&] {
    TfrmProgress* p = runner->ProgressWindow();
    if (drawn || p->Picture().isNull() || p->lblProgress()->text().isEmpty()) return;
    drawn = true;
    p->btnPause()->click();
    // One more tick of the window's timer draws the picture.
    QTimer::singleShot(250, &app, [&, p] {
      ok = Save(*p, out + "/progress-running.png") && ok;
      p->btnResume()->click();
    });
  });
  QObject::connect(runner, &TRunController::RunEnded, &app, [&] {
    poll.stop();
    QTimer::singleShot(100, &app, [&] {
      if (QMessageBox* box = runner->Summary())
        ok = Save(*box, out + "/run-summary.png") && ok;
      else
        ok = false, std::printf("FAILED no run summary\n");
      ok = Save(main, out + "/main-after-run.png") && ok;
      if (!drawn) ok = false, std::printf("FAILED the run showed no picture\n");
      app.exit(ok ? 0 : 1);
    });
  });
  auto StartRun = [&] {
    runner->ProgressWindow()->ckOpen()->setChecked(false);
    runner->Start();
    QFile::remove(vanishing);
    poll.start();
  };
  QObject::connect(main.Adder(), &TJobAdder::Finished, &app, [&] {
    ok = Save(main, out + "/main-rows.png") && ok;
    // The picker: the general video group opened by a press on its mark, the list shown.
    main.Picker()->DropButton()->click();
    QListWidget* list = main.Picker()->List();
    for (int r = 0; r < list->count(); ++r)
      if (list->item(r)->text() == "General Video formates") {
        const QRect rect = list->visualItemRect(list->item(r));
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(8, rect.center().y()),
                          list->viewport()->mapToGlobal(QPointF(8, rect.center().y())), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &press);
        break;
      }
    ok = Save(main, out + "/main-picker.png") && ok;
    main.Picker()->HideList();
    // The other windows, each opened as the user opens it.
    main.OpenSettings();
    ok = Save(*main.SettingsDialog(), out + "/settings.png") && ok;
    main.SettingsDialog()->reject();
    main.JobList()->setCurrentIndex(main.JobModel()->index(0, 0));
    main.OpenFileInfo();
    ok = Save(*main.FileInfoDialog(), out + "/fileinfo.png") && ok;
    main.FileInfoDialog()->accept();
    main.OpenAbout();
    ok = Save(*main.AboutDialog(), out + "/about.png") && ok;
    main.AboutDialog()->accept();
    TfmDirectory browse(&main);
    browse.SelectFolder(QDir::homePath());
    browse.show();
    ok = Save(browse, out + "/browse.png") && ok;
    browse.hide();
    TfrmCover cover(&main);
    cover.show();
    ok = Save(cover, out + "/cover.png") && ok;
    cover.hide();
    // The first row playing in the preview panel, a few seconds in; then the preferences.
    main.Preview()->imgbtnPlayClick();
    QTimer::singleShot(3500, &app, [&] {
      ok = Save(main, out + "/main-playing.png") && ok;
      main.Preview()->imgbtnStopClick();
      main.ShowPreference();
      ok = Save(*main.Preference(), out + "/preference.png") && ok;
      main.Preference()->hide();
      // The crop dialog with a crop and a brightness change over the playing picture; then
      // the trim dialog.
      auto editMenu = [&](const QString& text) {
        auto* menu = main.findChild<QMenu*>("popupMenuEdit");
        emit menu->aboutToShow();
        for (QAction* a : menu->actions())
          if (a->text() == text && a->isEnabled()) a->trigger();
      };
      editMenu("&Crop");
      TfrmCrop* crop = main.CropDialog();
      if (!crop) {
        ok = false, std::printf("FAILED the crop dialog did not open\n");
        StartRun();
        return;
      }
      crop->MarginField(TfrmCrop::mgUp)->setValue(30);
      crop->MarginField(TfrmCrop::mgLeft)->setValue(40);
      crop->Spin(0)->setValue(330);
      QTimer::singleShot(1500, &app, [&, crop, editMenu] {
        ok = Save(*crop, out + "/crop-effect.png") && ok;
        crop->Tabs()->setCurrentIndex(0);
        ok = Save(*crop, out + "/crop-margins.png") && ok;
        crop->reject();
        editMenu("&Trim");
        QTimer::singleShot(1500, &app, [&, editMenu] {
          if (TfrmTrim* trim = main.TrimDialog()) {
            ok = Save(*trim, out + "/trim.png") && ok;
            trim->reject();
          } else {
            ok = false, std::printf("FAILED the trim dialog did not open\n");
          }
          editMenu("&Video Effect && Water Mark");
          TfrmWaterMark* wm = main.WaterMarkDialog();
          if (!wm) {
            ok = false, std::printf("FAILED the watermark dialog did not open\n");
            StartRun();
            return;
          }
          // A text on a box and the program's icon as a picture item, the text selected.
          QTest::mouseClick(wm->AddTextButton(), Qt::LeftButton);
          QTest::keyClicks(wm->InPlaceEditor(), "Orvane");
          QTest::mouseClick(wm->BackgroundRadio(), Qt::LeftButton);
          const QString logo = QDir::temp().filePath("orvane-screenshot-logo.png");
          theme::SkinPixmap("icon.svg", {64, 64}, 1.0).save(logo);
          QTest::mouseClick(wm->AddImageButton(), Qt::LeftButton);
          if (auto* picker = wm->findChild<QFileDialog*>()) {
            picker->selectFile(logo);
            QMetaObject::invokeMethod(picker, "accept");
          }
          wm->List()->setCurrentRow(0);
          QTimer::singleShot(1500, &app, [&, wm, logo] {
            ok = Save(*wm, out + "/watermark-items.png") && ok;
            wm->reject();
            QFile::remove(logo);
            StartRun();
          });
        });
      });
    });
  });
  if (files.isEmpty()) {
    std::fprintf(stderr, "no files given: main-rows.png needs files to add\n");
    return 1;
  }
  main.AddFiles(files);
  return app.exec();
}
