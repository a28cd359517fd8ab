// Shared pieces of the desktop program's window tests: the main window on a test's settings
// file, adding files and waiting for the batch, and the test program's main().
#pragma once

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QStringList>
#include <memory>
#include <string>

#include "app/apperror.h"
#include "app/jobadder.h"
#include "app/mainwindow.h"
#include "controls/theme.h"

namespace testsupport {

// The main window on these INI files, shown, without the exit question.
inline std::unique_ptr<TfrmMain> OpenMainWindow(const std::string& settingsPath, const std::string& formatPath) {
  auto w = std::make_unique<TfrmMain>(settingsPath, formatPath);
  w->SetAskOnExit(false);
  w->show();
  return w;
}

// Adds the paths and waits for the batch to end.
inline void AddAndWait(TfrmMain& w, const QStringList& paths) {
  QSignalSpy done(w.Adder(), &TJobAdder::Finished);
  w.AddFiles(paths);
  ASSERT_TRUE(done.count() > 0 || done.wait(60000)) << "adding did not finish";
}

// main() of a window test: the offscreen platform, the program's application object and theme.
inline int RunWindowTests(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  theme::Apply(app);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace testsupport
