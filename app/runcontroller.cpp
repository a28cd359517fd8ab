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
#include "engine/engine.h"
#include "media/errors.h"
#include "render/renderer.h"

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
    : QObject(window),
      window_(window),
      model_(model),
      settings_(settings),
      runWarnings_(std::make_unique<THeldWarnings>(prompts)),
      renderer_(std::make_unique<TConversionRenderer>()),
      engine_(std::make_unique<TConvertEngine>()),
      powerOff_(MakeSystemPowerOff()),
      openFolder_([](const QString& folder) { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); }),
      chooseFolder_(ChooseFolder) {
  InstallQtPreviewer();
  ConnectEngine();
}

TRunController::~TRunController() {
  // Nothing reaches this object once it goes: the handlers are taken off before the engine
  // stops whatever still runs.
  engine_->SetOnProgress(nullptr);
  engine_->SetOnPreviewBitmap(nullptr);
  engine_->SetOnTerminate(nullptr);
  engine_->SetOnCustomHook(nullptr);
  engine_->SetOnCustomHookNeeded(nullptr);
  engine_.reset();
  SetPreviewerFactory({});
}

void TRunController::SetPowerOff(std::unique_ptr<TPowerOff> powerOff) { powerOff_ = std::move(powerOff); }

TfrmProgress* TRunController::ProgressWindow() {
  if (!progress_) {
    progress_ = new TfrmProgress(window_);
    connect(progress_, &TfrmProgress::PauseClicked, this, [this] {
      if (!running_ || stopping_) return;
      engine_->PauseTask();
      pausedAt_.start();
    });
    connect(progress_, &TfrmProgress::ResumeClicked, this, [this] {
      if (!running_) return;
      engine_->ResumeTask();
      if (pausedAt_.isValid()) pausedUs_ += pausedAt_.nsecsElapsed() / 1000;
      pausedAt_.invalidate();
    });
    connect(progress_, &TfrmProgress::CancelClicked, this, &TRunController::Stop);
    connect(progress_, &TfrmProgress::SnapshotClicked, this, &TRunController::SaveSnapshot);
  }
  return progress_;
}

void TRunController::ConnectEngine() {
  // The handlers run on the engine's threads and never wait for the main thread: they copy
  // the notice and post it.
  engine_->SetTriggerEventInMainThread(false);
  engine_->SetPreviewBitmap(true);
  engine_->SetOnProgress([this](TCustomConvertEngine*, PProgressInfo info) {
    bool post = false;
    {
      std::lock_guard<std::mutex> g(postLock_);
      pendingProgress_[info->TaskIndex] = *info;
      post = !std::exchange(progressPosted_, true);
    }
    if (post) QMetaObject::invokeMethod(this, &TRunController::DeliverProgress, Qt::QueuedConnection);
  });
  engine_->SetOnPreviewBitmap([this](TCustomConvertEngine*, const TPreviewInfo* info) {
    const TBitmap24* b = info->Bitmap;
    if (!b || b->Empty()) return;
    QImage copy = QImage(b->Pixels.data(), b->Width, b->Height, b->Stride, QImage::Format_BGR888).copy();
    bool post = false;
    {
      std::lock_guard<std::mutex> g(postLock_);
      pendingPreview_ = std::move(copy);
      post = !std::exchange(previewPosted_, true);
    }
    if (post) QMetaObject::invokeMethod(this, &TRunController::DeliverPreview, Qt::QueuedConnection);
  });
  engine_->SetOnTerminate([this](TCustomConvertEngine*, const TTerminateInfo* info) {
    const TTerminateInfo copy = *info;
    QMetaObject::invokeMethod(this, [this, copy] { ConvEngineTerminate(copy); }, Qt::QueuedConnection);
  });
  // The picture adjustments and watermarks of the task's job, drawn on the worker. A failing
  // hook is reported as the failure of its file.
  engine_->SetOnCustomHook([this](TCustomConvertEngine*, PHookInfo info) {
    if (info->TaskIndex < 0 || size_t(info->TaskIndex) >= book_.Count()) return;
    try {
      renderer_->RenderFrame(*info, book_.Job(info->TaskIndex).Job);
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> g(postLock_);
      hookErrors_.emplace(info->TaskIndex, e.what());
      throw;
    }
  });
  engine_->SetOnCustomHookNeeded([this](TCustomConvertEngine*, int32_t task, int64_t pts) {
    return task >= 0 && size_t(task) < book_.Count() && TConversionRenderer::DrawsAt(book_.Job(task).Job, pts);
  });
}

void TRunController::Start() {
  if (running_) return;
  std::vector<int> rows;
  for (int r = 0; r < model_.rowCount(); ++r)
    if (model_.Checked(r)) rows.push_back(r);
  if (rows.empty()) return;
  emit AboutToStart();
  if (!engine_->LoadAVLib(ProgramDir() + "/LibAV")) {
    ShowMessage("Warning", QString::fromStdString(engine_->LastErrMsg()), QMessageBox::Warning);
    return;
  }
  const TSettingsValues values = settings_.Read();
  if (const auto priority = WorkPriority(values.Priority)) engine_->SetThreadPriority(*priority);

  engine_->ClearTasks();
  engine_->SetPreview(true);
  book_ = TRunBook();
  checkedRows_.clear();
  failures_.clear();
  counts_ = {};
  runRows_ = int(rows.size());
  {
    std::lock_guard<std::mutex> g(postLock_);
    hookErrors_.clear();
    pendingProgress_.clear();
  }
  renderer_->ClearCache();

  // One task per checked row in list order. A row that cannot be prepared or added is marked
  // failed and gets no task, so task numbers and rows stay aligned.
  // Warnings (an output folder replaced) are shown when the run has ended: shown now, they
  // would sit behind the progress window and block the main window after it.
  runWarnings_->Clear();
  TJobPreparation preparation(settings_, *runWarnings_, *renderer_);
  std::vector<int64_t> lengths;
  for (int row : rows) {
    const TlvFilesRecord* record = model_.Record(row);
    const std::string& file = record->SourceFile;
    TJobSettings job;
    job.Job = *record;
    TPreparedJob prepared;
    std::string err;
    bool ok = false;
    try {
      ok = preparation.Prepare(job, values.FormatCode, engine_->AVProbe(), prepared, err);
    } catch (const std::exception& e) {
      err = WithFileName(file, e.what());
    }
    int task = -1;
    if (ok) {
      task = engine_->AddTask(file, prepared.In);
      if (task < 0) {
        ok = false;
        err = WithFileName(file, engine_->LastErrMsg());
      } else if (!engine_->SetOutputFile(task, prepared.Out.FileName, prepared.Out)) {
        ok = false;
        err = WithFileName(file, engine_->LastErrMsg());
        engine_->RemoveTask(task);
      }
    }
    if (!ok) {
      prepared.Output.Discard();
      MarkRow(row, "Failed", QString::fromStdString(err));
      failures_ << QString::fromStdString(err);
      ++counts_.Failed;
      continue;
    }
    model_.Record(row)->DestFile = prepared.Job.DestFile;
    model_.SetProgress(row, QString());
    lengths.push_back(JobLength(prepared.Job));
    checkedRows_.push_back(row);
    book_.Add(row, std::move(prepared));
  }
  outputFolder_ = preparation.OutputFolder();
  if (!outputFolder_.empty()) emit OutputFolderUsed(LocalPath(outputFolder_));
  if (book_.Count() == 0) {
    ShowSummary();
    runWarnings_->Flush();
    return;
  }

  estimate_.Reset(lengths);
  ended_.assign(book_.Count(), false);
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
  engine_->StartTask(values.FilesAtOnce);
}

void TRunController::Stop() {
  if (!running_ || stopping_) return;
  stopping_ = true;
  userStopped_ = true;
  if (progress_ && !progress_->Stopping()) progress_->btnCancel()->click();  // same look as Cancel
  engine_->StopTask(false);
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
  if (!running_ || task < 0 || size_t(task) >= ended_.size() || ended_[size_t(task)]) return;
  const int row = checkedRows_[size_t(task)];
  TfrmProgress* w = ProgressWindow();
  // An unknown length shows the position only.
  const int percent =
      info.TotalDuration > 0 ? int(std::clamp<int64_t>(info.CurrentDuration * 100 / info.TotalDuration, 0, 100)) : -1;
  w->SetPercent(percent);
  w->lblTime()->setText(QString::number(info.CurrentDuration / 1000000) + " Second");
  w->lblLength()->setText(info.TotalDuration > 0 ? QString::number(info.TotalDuration / 1000000) + " Second"
                                                 : QString("unknown"));
  w->lblSize()->setText(QString::number(info.CurrentSize / 1000) + " kb");
  w->lblProgress()->setText(QString("[%1/%2]").arg(task + 1).arg(book_.Count()));
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
  const int task = info.TaskIndex;
  if (size_t(task) >= ended_.size() || ended_[size_t(task)]) return;
  // Progress still on its way for this task is dropped from here on.
  ended_[size_t(task)] = true;
  std::string failure;
  {
    std::lock_guard<std::mutex> g(postLock_);
    if (auto it = hookErrors_.find(task); it != hookErrors_.end())
      failure = "the pictures could not be changed: " + it->second;
  }
  // An input that ended before its known length fails its file, as on the command line.
  const TTaskOutcome outcome = book_.TaskEnded(info, failure);
  const int row = checkedRows_[size_t(task)];
  estimate_.Ended(task, outcome.Kind == TTaskOutcome::Converted);
  const QString file = LocalPath(model_.Record(row)->SourceFile);
  switch (outcome.Kind) {
    case TTaskOutcome::Converted:
      ++counts_.Converted;
      model_.SetProgress(row, "100%");
      ProgressWindow()->SetPercent(100);
      if (size_t(task) + 1 == book_.Count()) lastTaskFinished_ = true;
      break;
    case TTaskOutcome::Failed: {
      ++counts_.Failed;
      const QString msg = QString::fromStdString(WithFileName(model_.Record(row)->SourceFile, outcome.Message));
      MarkRow(row, "Failed", QString::fromStdString(outcome.Message));
      failures_ << msg;
      break;
    }
    case TTaskOutcome::Stopped:
      ++counts_.Stopped;
      MarkRow(row, "Stopped",
              "Stopped by the user; what was converted is kept in " + LocalPath(outcome.Output));
      break;
    case TTaskOutcome::NotStarted:
      ++counts_.NotStarted;
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
  engine_->ClearTasks();
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
  if (counts_.Failed > 0) ShowSummary();
  runWarnings_->Flush();
}

void TRunController::ShowSummary() {
  QString text = QString("%1 of %2 file(s) converted, %3 failed").arg(counts_.Converted).arg(runRows_).arg(counts_.Failed);
  if (counts_.Stopped + counts_.NotStarted > 0)
    text += QString(", %1 stopped").arg(counts_.Stopped + counts_.NotStarted);
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
