#include "app/jobadder.h"

#include <QFile>
#include <filesystem>
#include <set>

#include "app/core/apppaths.h"
#include "app/core/jobrecord.h"
#include "app/core/optionbuilder.h"
#include "app/core/outputfile.h"
#include "app/joblist.h"
#include "app/msgprompts.h"
#include "app/core/settings.h"
#include "engine/engine.h"
#include "media/errors.h"

namespace {

// The duration of the task's first input in microseconds (-1 when unknown), from the probe
// of the input the task has opened.
int64_t TaskInputDuration(const TConvertEngine& engine, int task) {
  TAVProbe* probe = engine.InputProbe(task, 0);
  return probe ? probe->GetFileStreamInfo().Duration : -1;
}

}  // namespace

TJobAdder::TJobAdder(TJobListModel& model, TAppSettings& settings, TBuilderPrompts& prompts, QObject* parent)
    : QObject(parent), model_(model), settings_(settings), held_(std::make_unique<THeldWarnings>(prompts)) {}

TJobAdder::~TJobAdder() {
  cancel_ = true;
  if (worker_.joinable()) worker_.join();
}

bool TJobAdder::Add(const std::vector<std::string>& paths) {
  if (busy_) return false;
  std::vector<std::string> toProbe;
  std::set<std::string> seen;
  for (const std::string& p : paths) {
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec) || model_.Contains(p) || !seen.insert(p).second) continue;
    toProbe.push_back(p);
  }
  formatCode_ = settings_.Read().FormatCode;
  ext_ = settings_.OutputExtension(formatCode_);
  zoom_ = settings_.Zoom(formatCode_);
  // A cancelled batch's worker ends after its current file.
  if (worker_.joinable()) {
    cancel_ = true;
    worker_.join();
  }
  skipped_.clear();
  folder_.clear();
  held_->Clear();
  total_ = int(toProbe.size());
  handled_ = 0;
  cancel_ = false;
  const uint64_t batch = ++batch_;
  busy_ = true;
  if (toProbe.empty()) {
    QMetaObject::invokeMethod(
        this, [this, batch] { Done(batch); }, Qt::QueuedConnection);
    return true;
  }
  worker_ = std::thread(&TJobAdder::Work, this, std::move(toProbe), batch);
  return true;
}

void TJobAdder::Cancel() {
  if (!busy_) return;
  cancel_ = true;
  // Results still on their way are dropped; the rows added so far stay.
  Done(batch_);
}

// Worker thread: one engine of its own, one task per file, removed again at once.
void TJobAdder::Work(std::vector<std::string> paths, uint64_t batch) {
  TConvertEngine engine;
  std::string loadError;  // a file that cannot be opened then is skipped, as any other
  LoadCodecLibraries(kEngineLibs, loadError);
  for (size_t i = 0; i < paths.size() && !cancel_; ++i) {
    TProbeResult r;
    r.Index = int(i);
    r.Path = paths[i];
    try {
      engine.ClearTasks();
      TInputOptions in;
      in.FileName = r.Path;
      const int task = engine.AddTask(r.Path, in);
      if (task >= 0) {
        r.Opened = true;
        r.DurationUS = TaskInputDuration(engine, task);
        engine.RemoveTask(task);
        engine.ClearTasks();
      }
    } catch (const std::exception&) {
      r.Opened = false;
    }
    QMetaObject::invokeMethod(
        this, [this, r, batch] { Deliver(r, batch); }, Qt::QueuedConnection);
  }
  QMetaObject::invokeMethod(
      this, [this, batch] { Done(batch); }, Qt::QueuedConnection);
}

// Main thread: adds the row of one probed file.
void TJobAdder::Deliver(const TProbeResult& r, uint64_t batch) {
  if (batch != batch_ || !busy_) return;
  ++handled_;
  if (!r.Opened) {
    skipped_ << QFile::decodeName(QByteArray::fromStdString(r.Path));
  } else if (!model_.Contains(r.Path)) {
    auto rec = std::make_unique<TlvFilesRecord>();
    rec->AddIndex = r.Index;
    rec->SourceFile = r.Path;
    rec->DurationSec = r.DurationUS > 0 ? int32_t(r.DurationUS / 1000000) : 0;
    rec->ZoomMode = zoom_;
    try {
      // The folder is found (and, when the stored one cannot be made, replaced) once per
      // batch, not once per file; its warning is held for the end of the batch.
      if (folder_.empty()) {
        folder_ = TOutputOptionBuilder(settings_, *held_).OutputFolder();
        emit OutputFolderUsed(QFile::decodeName(QByteArray::fromStdString(folder_)));
      }
      rec->DestFile = FirstFreeOutputName(folder_, r.Path, "_ipod" + ext_);
    } catch (const FFmpegException& e) {
      // No output folder can be made: the batch stops with the reason shown once.
      held_->Warn("Warning", e.what());
      Cancel();
      return;
    }
    emit RowAdded(model_.AddRow(std::move(rec)));
  }
  emit Progress(handled_, total_);
}

void TJobAdder::Done(uint64_t batch) {
  if (batch != batch_ || !busy_) return;
  busy_ = false;
  const bool cancelled = cancel_;
  emit Finished(skipped_, cancelled);
  // After the batch's progress has gone, so the message is the window in front.
  held_->Flush();
}
