#include "app/core/conversionrun.h"

#include "app/core/runstatus.h"
#include "app/core/settings.h"
#include "render/renderer.h"
#include "engine/engine.h"
#include "media/errors.h"

TConversionRun::TConversionRun()
    : engine_(std::make_unique<TConvertEngine>()), renderer_(std::make_unique<TConversionRenderer>()) {
  // The picture adjustments and watermarks of the task's job, drawn on the worker. A failing
  // hook is reported as the failure of its file, even though the engine goes on encoding the
  // pictures unchanged.
  engine_->SetOnCustomHook([this](TCustomConvertEngine*, PHookInfo info) {
    if (info->TaskIndex < 0 || size_t(info->TaskIndex) >= book_.Count()) return;
    try {
      renderer_->RenderFrame(*info, book_.Job(info->TaskIndex).Job);
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> g(hookErrorsLock_);
      std::string& error = hookErrors_.at(size_t(info->TaskIndex));
      if (error.empty()) error = e.what();
      throw;
    }
  });
  // Frames the renderer leaves alone skip the conversion to the bitmap and back.
  engine_->SetOnCustomHookNeeded([this](TCustomConvertEngine*, int32_t task, int64_t pts) {
    return task >= 0 && size_t(task) < book_.Count() && TConversionRenderer::DrawsAt(book_.Job(task).Job, pts);
  });
}

TConversionRun::~TConversionRun() {
  // Nothing reaches the front end or this object once it goes: the handlers are taken off
  // before the engine stops whatever still runs.
  engine_->SetOnProgress(nullptr);
  engine_->SetOnPreviewBitmap(nullptr);
  engine_->SetOnTerminate(nullptr);
  engine_->SetOnCustomHook(nullptr);
  engine_->SetOnCustomHookNeeded(nullptr);
  engine_.reset();
}

void TConversionRun::SetNotices(const TRunNotices& notices) {
  engine_->SetTriggerEventInMainThread(notices.OnMainThread);
  if (notices.ProgressIntervalMs > 0) engine_->SetProgressInterval(notices.ProgressIntervalMs);
  // The pictures come as bitmaps of the running task.
  engine_->SetPreview(bool(notices.Picture));
  engine_->SetPreviewBitmap(bool(notices.Picture));
  if (notices.Progress)
    engine_->SetOnProgress([f = notices.Progress](TCustomConvertEngine*, PProgressInfo info) { f(*info); });
  else
    engine_->SetOnProgress(nullptr);
  if (notices.Picture)
    engine_->SetOnPreviewBitmap([f = notices.Picture](TCustomConvertEngine*, const TPreviewInfo* info) {
      if (info->Bitmap && !info->Bitmap->Empty()) f(*info->Bitmap);
    });
  else
    engine_->SetOnPreviewBitmap(nullptr);
  if (notices.Ended)
    engine_->SetOnTerminate([f = notices.Ended](TCustomConvertEngine*, const TTerminateInfo* info) { f(*info); });
  else
    engine_->SetOnTerminate(nullptr);
}

void TConversionRun::Begin(const TAppSettings& settings, TBuilderPrompts& prompts, const TRunOptions& options) {
  engine_->ClearTasks();
  book_ = TRunBook();
  book_.SetKeepStopped(options.KeepStopped);
  book_.SetAcceptPartial(options.AcceptPartial);
  book_.SetHoldCommitted(options.HoldCommitted);
  ended_.clear();
  totals_ = {};
  {
    std::lock_guard<std::mutex> g(hookErrorsLock_);
    hookErrors_.clear();
  }
  renderer_->ClearCache();
  prepareDir_ = options.Prepare.OutputDir;
  preparation_ = std::make_unique<TJobPreparation>(settings, prompts, *renderer_, options.Prepare);
}

const std::string& TConversionRun::OutputFolder() const {
  static const std::string none;
  return preparation_ ? preparation_->OutputFolder() : none;
}

void TConversionRun::CountFailure(const std::string& message, int& counter) {
  ++counter;
  if (FailureMayPass(message, OutputFolder().empty() ? prepareDir_ : OutputFolder())) ++totals_.MayPass;
}

TJobAdded TConversionRun::Add(int row, const TJobSettings& job, int32_t code,
                              const std::function<bool(const TPreparedJob&)>& keep) {
  TJobAdded added;
  const std::string& file = job.Job.SourceFile;
  TPreparedJob prepared;
  bool ok = false;
  try {
    ok = preparation_->Prepare(job, code, engine_->AVProbe(), prepared, added.Error);
  } catch (const std::exception& e) {
    added.Error = WithFileName(file, e.what());
  }
  if (!ok) {
    // Another process started on the same jobs converts this one: never twice.
    if (prepared.OutputHeldElsewhere)
      added.HeldElsewhere = true;
    else
      CountFailure(added.Error, totals_.Skipped);
    return added;
  }
  if (keep && !keep(prepared)) {
    added.Withdrawn = true;  // the reserved name goes with `prepared`
    return added;
  }
  const int task = engine_->AddTask(file, prepared.In);
  if (task >= 0 && engine_->SetOutputFile(task, prepared.Out.FileName, prepared.Out)) {
    added.Task = book_.Add(row, std::move(prepared));
    return added;
  }
  added.Error = WithFileName(file, engine_->LastErrMsg());
  if (task >= 0) engine_->RemoveTask(task);
  prepared.Output.Discard();
  ++totals_.Skipped;
  return added;
}

bool TConversionRun::HasEnded(int task) const {
  return task < 0 || size_t(task) >= ended_.size() || ended_[size_t(task)];
}

void TConversionRun::Start(int parallel, int32_t storedPriority) {
  ended_.assign(book_.Count(), false);
  {
    std::lock_guard<std::mutex> g(hookErrorsLock_);
    hookErrors_.assign(book_.Count(), std::string());
  }
  if (const auto priority = WorkPriority(storedPriority)) engine_->SetThreadPriority(*priority);
  engine_->StartTask(parallel);
}

void TConversionRun::Pause() { engine_->PauseTask(); }
void TConversionRun::Resume() { engine_->ResumeTask(); }
void TConversionRun::Stop() { engine_->StopTask(false); }

std::optional<TTaskOutcome> TConversionRun::TaskEnded(const TTerminateInfo& info) {
  const int task = info.TaskIndex;
  if (HasEnded(task)) return std::nullopt;
  ended_[size_t(task)] = true;
  std::string failure;
  {
    std::lock_guard<std::mutex> g(hookErrorsLock_);
    if (!hookErrors_[size_t(task)].empty()) failure = "the pictures could not be changed: " + hookErrors_[size_t(task)];
  }
  // An input that ended before its known length fails its file unless partial inputs are
  // accepted.
  TTaskOutcome outcome = book_.TaskEnded(info, failure);
  switch (outcome.Kind) {
    case TTaskOutcome::Converted:
      ++totals_.Converted;
      if (outcome.EndedEarly) ++totals_.EndedEarly;
      break;
    case TTaskOutcome::Failed:
      CountFailure(outcome.Message, totals_.Failed);
      break;
    case TTaskOutcome::Stopped:
      ++totals_.Stopped;
      break;
    case TTaskOutcome::NotStarted:
      ++totals_.NotStarted;
      break;
  }
  return outcome;
}

void TConversionRun::End() { engine_->ClearTasks(); }
