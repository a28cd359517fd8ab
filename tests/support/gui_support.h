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
#include "app/core/jobprep.h"
#include "app/core/optionbuilder.h"
#include "app/mainwindow.h"
#include "engine/engine.h"
#include "media/probe.h"
#include "controls/theme.h"
#include "render/renderer.h"

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

// Start's steps for one job with profile 202 (MPEG-4): prepared from the settings file, one
// engine task run to its end. The final output path; a failure is reported in `error`.
inline std::string ConvertJob(const std::string& settingsPath, const std::string& formatPath, const TlvFilesRecord& job,
                              bool zoomSet, std::string& error) {
  TAppSettings settings(settingsPath, formatPath);
  settings.WriteFormat(202, "MPEG-4 Video (*.mp4)");
  TAutoAnswerPrompts prompts;
  TConversionRenderer renderer;
  TJobPreparation preparation(settings, prompts, renderer);
  TAVProbe probe;
  TPreparedJob p;
  if (!preparation.Prepare(TJobSettings{job, zoomSet}, 202, probe, p, error)) return {};
  error = "<no notice>";
  {
    TConvertEngine engine;
    engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
      if (info->TaskIndex >= 0) error = info->ExceptionMsg;
    });
    // The job's adjustments and watermarks drawn as the desktop run draws them.
    engine.SetOnCustomHook([&](TCustomConvertEngine*, PHookInfo info) { renderer.RenderFrame(*info, job); });
    engine.SetOnCustomHookNeeded(
        [&](TCustomConvertEngine*, int32_t, int64_t pts) { return TConversionRenderer::DrawsAt(job, pts); });
    const int task = engine.AddTask(p.In.FileName, p.In);
    if (task < 0 || !engine.SetOutputFile(task, p.Out.FileName, p.Out)) {
      error = engine.LastErrMsg();
      return {};
    }
    engine.StartTask(0);
  }
  return error.empty() ? p.Output.Commit() : std::string();
}

// main() of a window test: the offscreen platform (unless the caller chose one, as the desktop
// runs on a real X server do), the program's application object and theme.
inline int RunWindowTests(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  theme::Apply(app);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace testsupport
