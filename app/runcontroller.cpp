#include "app/runcontroller.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <algorithm>

#include "app/core/apppaths.h"
#include "app/core/folderchoice.h"
#include "app/core/settings.h"
#include "app/core/snapshot.h"
#include "app/joblist.h"
#include "app/msgprompts.h"
#include "app/poweroff.h"
#include "app/previewerwindow.h"
#include "dialogs/folderchooser.h"
#include "dialogs/progress.h"

namespace {

QString LocalPath(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }
std::string PathBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

// What is left of the job to convert, in microseconds (0 when unknown).
int64_t JobLength(const TlvFilesRecord& job) {
  if (job.TrimLength > 0) return job.TrimLength;
  return std::max<int64_t>(0, int64_t(job.DurationSec) * 1000000 - std::max<int64_t>(0, job.TrimStart));
}

// A 24-bit BGR bitmap of the picture (the snapshot writer's form).
TBitmap24 ToBitmap(const QImage& image) {
  const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
  TBitmap24 out;
  out.SetSize(bgr.width(), bgr.height());
  for (int y = 0; y < out.Height; ++y) std::copy_n(bgr.constScanLine(y), size_t(out.Width) * 3, out.Row(y));
  return out;
}

}  // namespace

TRunController::TRunController(QWidget* window, TJobListModel& model, TAppSettings& settings, TBuilderPrompts& prompts)
    : QObject(window), window_(window), model_(model), settings_(settings),
      runWarnings_(std::make_unique<THeldWarnings>(prompts)), powerOff_(MakeSystemPowerOff()),
      openFolder_([](const QString& folder) { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); }),
      chooseFolder_(ChooseFolder), run_(std::make_unique<TConversionRun>()) {
  InstallQtPreviewer();
  ConnectRun();
}

TRunController::~TRunController() {
  // Nothing reaches this object once it goes: the run takes its handlers off before its
  // engine stops whatever still runs.
  run_.reset();
  SetPreviewerFactory({});
}

void TRunController::SetPowerOff(std::unique_ptr<TPowerOff> powerOff) { powerOff_ = std::move(powerOff); }

TfrmProgress* TRunController::ProgressWindow() {
  if (!progress_) {
    progress_ = new TfrmProgress(window_);
    connect(progress_, &TfrmProgress::PauseClicked, this, [this] {
      if (!running_ || stopping_) return;
      run_->Pause();
      pausedAt_.start();
    });
    connect(progress_, &TfrmProgress::ResumeClicked, this, [this] {
      if (!running_) return;
      run_->Resume();
      if (pausedAt_.isValid()) pausedUs_ += pausedAt_.nsecsElapsed() / 1000;
      pausedAt_.invalidate();
    });
    connect(progress_, &TfrmProgress::CancelClicked, this, &TRunController::Stop);
    connect(progress_, &TfrmProgress::SnapshotClicked, this, &TRunController::SaveSnapshot);
  }
  return progress_;
}

void TRunController::ConnectRun() {
  // The notices come on the engine's threads, which never wait for the main thread: they copy
  // the notice and post it.
  TRunNotices notices;
  notices.Progress = [this](const TProgressInfo& info) {
    bool post = false;
    {
      std::lock_guard<std::mutex> g(postLock_);
      pendingProgress_[info.TaskIndex] = info;
      post = !std::exchange(progressPosted_, true);
    }
    if (post) QMetaObject::invokeMethod(this, &TRunController::DeliverProgress, Qt::QueuedConnection);
  };
  notices.Picture = [this](const TBitmap24& b) {
    QImage copy = QImage(b.Pixels.data(), b.Width, b.Height, b.Stride, QImage::Format_BGR888).copy();
    bool post = false;
    {
      std::lock_guard<std::mutex> g(postLock_);
      pendingPreview_ = std::move(copy);
      post = !std::exchange(previewPosted_, true);
    }
    if (post) QMetaObject::invokeMethod(this, &TRunController::DeliverPreview, Qt::QueuedConnection);
  };
  notices.Ended = [this](const TTerminateInfo& info) {
    QMetaObject::invokeMethod(
        this, [this, info] { ConvEngineTerminate(info); }, Qt::QueuedConnection);
  };
  run_->SetNotices(notices);
}

void TRunController::Start() {
  if (running_) return;
  std::vector<int> rows;
  for (int r = 0; r < model_.rowCount(); ++r)
    if (model_.Checked(r)) rows.push_back(r);
  if (rows.empty()) return;
  emit AboutToStart();
  std::string loadError;
  if (!LoadCodecLibraries(kEngineLibs, loadError)) {
    ShowMessage("Warning", QString::fromStdString(loadError), QMessageBox::Warning);
    return;
  }
  const TSettingsValues values = settings_.Read();

  checkedRows_.clear();
  failures_.clear();
  runRows_ = int(rows.size());
  {
    std::lock_guard<std::mutex> g(postLock_);
    pendingProgress_.clear();
  }

  // One task per checked row in list order. A row that cannot be prepared or added is marked
  // failed and gets no task, so task numbers and rows stay aligned.
  // Warnings (an output folder replaced) are shown when the run has ended: shown now, they
  // would sit behind the progress window and block the main window after it.
  runWarnings_->Clear();
  run_->Begin(settings_, *runWarnings_);
  std::vector<int64_t> lengths;
  for (int row : rows) {
    TJobSettings job;
    job.Job = *model_.Record(row);
    const TJobAdded added = run_->Add(row, job, values.FormatCode);
    if (added.Task < 0) {
      MarkRow(row, "Failed", QString::fromStdString(added.Error));
      failures_ << QString::fromStdString(added.Error);
      continue;
    }
    const TlvFilesRecord& prepared = run_->Job(added.Task).Job;
    model_.Record(row)->DestFile = prepared.DestFile;
    model_.SetProgress(row, QString());
    lengths.push_back(JobLength(prepared));
    checkedRows_.push_back(row);
  }
  outputFolder_ = run_->OutputFolder();
  if (!outputFolder_.empty()) emit OutputFolderUsed(LocalPath(outputFolder_));
  if (run_->TaskCount() == 0) {
    ShowSummary();
    runWarnings_->Flush();
    return;
  }

  estimate_.Reset(lengths);
  lastTaskFinished_ = false;
  userStopped_ = false;
  stopping_ = false;
  exitAfterRun_ = false;
  pausedUs_ = 0;
  pausedAt_.invalidate();
  previewFrame_ = QImage();
  running_ = true;
  emit RunStarted();
  ProgressWindow()->BeginRun();
  clock_.start();
  run_->Start(values.FilesAtOnce, values.Priority);
}

void TRunController::Stop() {
  if (!running_ || stopping_) return;
  stopping_ = true;
  userStopped_ = true;
  if (progress_ && !progress_->Stopping()) progress_->btnCancel()->click();  // same look as Cancel
  run_->Stop();
}

void TRunController::StopForExit() {
  exitAfterRun_ = true;
  if (!running_) {
    emit ExitReady();
    return;
  }
  Stop();
}

void TRunController::DeliverProgress() {
  std::map<int, TProgressInfo> pending;
  {
    std::lock_guard<std::mutex> g(postLock_);
    pending.swap(pendingProgress_);
    progressPosted_ = false;
  }
  for (const auto& [task, info] : pending) ConvEngineProgress(info);
}

void TRunController::DeliverPreview() {
  QImage picture;
  {
    std::lock_guard<std::mutex> g(postLock_);
    picture = std::move(pendingPreview_);
    pendingPreview_ = QImage();
    previewPosted_ = false;
  }
  if (running_ && !picture.isNull()) ConvEnginePreviewBitmap(picture);
}

void TRunController::ConvEngineProgress(const TProgressInfo& info) {
  const int task = info.TaskIndex;
  // Progress still on its way for a task that has ended is dropped.
  if (!running_ || run_->HasEnded(task)) return;
  const int row = checkedRows_[size_t(task)];
  TfrmProgress* w = ProgressWindow();
  // An unknown length shows the position only.
  const int percent = info.TotalDuration > 0
                          ? int(std::clamp<int64_t>(info.CurrentDuration * 100 / info.TotalDuration, 0, 100))
                          : -1;
  w->SetPercent(percent);
  w->lblTime()->setText(QString::number(info.CurrentDuration / 1000000) + " Second");
  w->lblLength()->setText(info.TotalDuration > 0 ? QString::number(info.TotalDuration / 1000000) + " Second"
                                                 : QString("unknown"));
  w->lblSize()->setText(QString::number(info.CurrentSize / 1000) + " kb");
  w->lblProgress()->setText(QString("[%1/%2]").arg(task + 1).arg(run_->TaskCount()));
  model_.SetProgress(row, percent >= 0 ? QString::number(percent) + "%"
                                       : QString::number(info.CurrentDuration / 1000000) + " s");
  w->lblOutput()->setText(ShortFileName(LocalPath(model_.Record(row)->SourceFile)));
  estimate_.Progress(task, info.CurrentDuration, info.TotalDuration);
  int64_t paused = pausedUs_;
  if (pausedAt_.isValid()) paused += pausedAt_.nsecsElapsed() / 1000;
  w->SetRemaining(estimate_.RemainingSeconds(clock_.nsecsElapsed() / 1000 - paused));
}

void TRunController::ConvEnginePreviewBitmap(const QImage& picture) {
  previewFrame_ = picture;
  ProgressWindow()->SetPicture(picture);
}

void TRunController::ConvEngineTerminate(const TTerminateInfo& info) {
  if (!running_) return;
  if (info.TaskIndex < 0)
    RunEnd();
  else
    TaskEnded(info);
}

void TRunController::TaskEnded(const TTerminateInfo& info) {
  const std::optional<TTaskOutcome> outcome = run_->TaskEnded(info);
  if (!outcome) return;
  const int task = info.TaskIndex;
  const int row = checkedRows_[size_t(task)];
  estimate_.Ended(task, outcome->Kind == TTaskOutcome::Converted);
  switch (outcome->Kind) {
    case TTaskOutcome::Converted:
      model_.SetProgress(row, "100%");
      ProgressWindow()->SetPercent(100);
      if (size_t(task) + 1 == run_->TaskCount()) lastTaskFinished_ = true;
      break;
    case TTaskOutcome::Failed:
      MarkRow(row, "Failed", QString::fromStdString(outcome->Message));
      failures_ << QString::fromStdString(WithFileName(model_.Record(row)->SourceFile, outcome->Message));
      break;
    case TTaskOutcome::Stopped:
      MarkRow(row, "Stopped", "Stopped by the user; what was converted is kept in " + LocalPath(outcome->Output));
      break;
    case TTaskOutcome::NotStarted:
      model_.SetProgress(row, model_.Progress(row), "Not converted: the run was stopped before this file began.");
      break;
  }
}

void TRunController::MarkRow(int row, const QString& word, const QString& message) {
  // The word with the last percentage the row showed.
  const QString last = model_.Progress(row);
  model_.SetProgress(row, last.endsWith('%') ? word + " (" + last + ")" : word, message);
}

void TRunController::RunEnd() {
  TfrmProgress* w = ProgressWindow();
  const bool open = w->ckOpen()->isChecked();
  const bool powerOff = w->ckShutDown()->isChecked();
  running_ = false;
  stopping_ = false;
  run_->End();
  w->EndRun();
  emit RunEnded();
  if (exitAfterRun_) {
    emit ExitReady();
    return;
  }
  // Only after a run whose last file was converted and that the user did not stop.
  if (lastTaskFinished_ && !userStopped_) {
    if (open && outputFolder_.size() > 2) openFolder_(LocalPath(outputFolder_));
    if (powerOff) PowerOffComputer();
  }
  if (run_->Totals().Failed + run_->Totals().Skipped > 0) ShowSummary();
  runWarnings_->Flush();
}

void TRunController::ShowSummary() {
  const TRunTotals& t = run_->Totals();
  QString text =
      QString("%1 of %2 file(s) converted, %3 failed").arg(t.Converted).arg(runRows_).arg(t.Failed + t.Skipped);
  if (t.Stopped + t.NotStarted > 0) text += QString(", %1 stopped").arg(t.Stopped + t.NotStarted);
  text += ".\nThe rows of the files that failed show why in their tool tips and in Edit, Details.";
  auto* box = new QMessageBox(QMessageBox::Warning, "Conversion finished", text, QMessageBox::Ok, window_);
  box->setObjectName("runSummary");
  box->setDetailedText(failures_.join('\n'));
  box->setAttribute(Qt::WA_DeleteOnClose);
  summary_ = box;
  box->open();
}

void TRunController::ShowMessage(const QString& title, const QString& text, int icon) {
  auto* box = new QMessageBox(QMessageBox::Icon(icon), title, text, QMessageBox::Ok, window_);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void TRunController::PowerOffComputer() {
  QString error;
  if (!powerOff_ || powerOff_->PowerOff(error)) return;
  ShowMessage("Warning", "The computer could not be shut down: " + error, QMessageBox::Warning);
}

void TRunController::ShowDetails(int row) {
  const QString message = model_.Message(row);
  if (message.isEmpty()) return;
  auto* box = new QMessageBox(QMessageBox::Information, "Details",
                              LocalPath(model_.Record(row)->SourceFile) + "\n" + model_.Progress(row) + ": " + message,
                              QMessageBox::Ok, window_);
  box->setObjectName("rowDetails");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void TRunController::SaveSnapshot() {
  if (previewFrame_.isNull() || !progress_) return;
  const TSnapshotResult r = WriteSnapshots(ToBitmap(previewFrame_), ToBitmap(progress_->DrawnPicture()), settings_);
  if (!r.Warning.empty()) ShowMessage("Warning", QString::fromStdString(r.Warning), QMessageBox::Warning);
  if (!r.Error.empty()) ShowMessage("Warning", QString::fromStdString(r.Error), QMessageBox::Warning);
}

void TRunController::OpenOutputFolder() {
  const std::string folder = settings_.Read().OutPutDir;
  if (folder.size() > 2) openFolder_(LocalPath(folder));
}

void TRunController::Browse(QLineEdit* edDirectory) {
  const QString chosen = chooseFolder_(window_, edDirectory->text());
  const TFolderChoice choice = CheckChosenFolder(PathBytes(chosen), PathBytes(edDirectory->text()));
  if (choice.Kind == TFolderChoice::fcNone) return;
  if (!choice.Message.empty()) ShowMessage("Warning", QString::fromStdString(choice.Message), QMessageBox::Warning);
  if (choice.Kind == TFolderChoice::fcInvalid) return;
  settings_.WriteOutPutDir(choice.Folder);
  edDirectory->setText(LocalPath(choice.Folder));
}
