// The conversion run of the desktop program, presented: Start hands every checked row to the
// shared conversion run (the only owner of the engine), shows the progress window and starts
// it; the run's notices come back as copies posted to the main thread (the latest progress and
// picture win, end notices keep their order); the rows show each task's percentage and how
// the run says it ended; at the end the output folder is opened or the computer powered
// off when the progress window asks for it, and a short summary follows when files failed.
// Also the output-folder controls: "Open" and "Browse".
#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "app/core/conversionrun.h"
#include "app/core/queueestimate.h"
#include "engine/options.h"

class QLineEdit;

class QWidget;
class TAppSettings;
class TBuilderPrompts;
class THeldWarnings;
class TConvertEngine;
class TJobListModel;
class TPowerOff;
class TfrmProgress;

class TRunController : public QObject {
  Q_OBJECT
public:
  TRunController(QWidget* window, TJobListModel& model, TAppSettings& settings, TBuilderPrompts& prompts);
  ~TRunController() override;

  // Start (btnStart, btnStartBelow, the menus' "&Start"). Nothing happens without checked rows
  // or while a run goes on.
  void Start();
  // Stops the run (the progress window's Cancel); the end-of-run notice follows.
  void Stop();
  // Stops the run for the program's exit: ExitReady follows the end of the run.
  void StopForExit();
  bool Running() const { return running_; }
  bool Stopping() const { return stopping_; }

  // "Open": the stored output folder in the desktop's file manager.
  void OpenOutputFolder();
  // "Browse": the folder chooser, then the checks; `edDirectory` shows the folder taken.
  void Browse(QLineEdit* edDirectory);

  // The row's "Details" entry: how its file's conversion ended and why (nothing without a
  // message).
  void ShowDetails(int row);

  // Task k of the current run is the job-list row CheckedRows()[k].
  const std::vector<int>& CheckedRows() const { return checkedRows_; }
  TfrmProgress* ProgressWindow();
  TConvertEngine& Engine() { return run_->Engine(); }
  // The latest preview picture of the running task.
  const QImage& PreviewFrame() const { return previewFrame_; }
  // The end-of-run summary while it shows (null otherwise).
  QMessageBox* Summary() const { return summary_; }

  // Replaceable system actions (tests put fakes here).
  void SetPowerOff(std::unique_ptr<TPowerOff> powerOff);
  void SetFolderOpener(std::function<void(const QString&)> opener) { openFolder_ = std::move(opener); }
  void SetFolderChooser(std::function<QString(QWidget*, const QString&)> chooser) {
    chooseFolder_ = std::move(chooser);
  }

signals:
  // Start has checked rows to convert: the preview stops before the tasks are built.
  void AboutToStart();
  void RunStarted();
  // After the end-of-run notice: the tasks are cleared and the progress window closed.
  void RunEnded();
  // The run stopped for the program's exit has ended: the window may close now.
  void ExitReady();
  // Start found the folder the outputs go to (the stored one, or the fallback that replaced a
  // stored folder that cannot be made).
  void OutputFolderUsed(const QString& folder);

private:
  void ConnectRun();
  void ConvEngineProgress(const TProgressInfo& info);
  void ConvEnginePreviewBitmap(const QImage& picture);
  void ConvEngineTerminate(const TTerminateInfo& info);
  void TaskEnded(const TTerminateInfo& info);
  void RunEnd();
  void MarkRow(int row, const QString& word, const QString& message);
  void ShowSummary();
  void ShowMessage(const QString& title, const QString& text, int icon);
  void PowerOffComputer();
  // The progress window's snapshot: the latest picture in full size and the picture area as
  // drawn, written by the program's snapshot writer.
  void SaveSnapshot();
  // Posted from the engine's threads.
  void DeliverProgress();
  void DeliverPreview();

  QWidget* window_;
  TJobListModel& model_;
  TAppSettings& settings_;
  std::unique_ptr<THeldWarnings> runWarnings_;  // the current run's, shown at its end
  std::unique_ptr<TPowerOff> powerOff_;
  std::function<void(const QString&)> openFolder_;
  std::function<QString(QWidget*, const QString&)> chooseFolder_;
  TfrmProgress* progress_ = nullptr;
  QPointer<QMessageBox> summary_;

  // The current run (main thread; task k is the row checkedRows_[k]).
  std::unique_ptr<TConversionRun> run_;
  std::vector<int> checkedRows_;
  QStringList failures_;  // "file: message" of every file that failed, for the summary
  TQueueEstimate estimate_;
  QElapsedTimer clock_;
  QElapsedTimer pausedAt_;  // valid while paused
  int64_t pausedUs_ = 0;
  int runRows_ = 0;  // checked rows of the run, including those that got no task
  QImage previewFrame_;
  std::string outputFolder_;
  bool running_ = false;
  bool stopping_ = false;
  bool userStopped_ = false;
  bool exitAfterRun_ = false;
  bool lastTaskFinished_ = false;

  // Handed over from the engine's threads.
  std::mutex postLock_;
  std::map<int, TProgressInfo> pendingProgress_;
  bool progressPosted_ = false;
  QImage pendingPreview_;
  bool previewPosted_ = false;
};
