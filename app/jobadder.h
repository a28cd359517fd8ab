// Adding files to the job list: each path is opened by a throw-away conversion-engine task
// on a worker thread; the results come back to the main thread through queued calls, in the
// order of the paths, where the rows are added. Files the engine cannot open are skipped and
// counted. A batch can be cancelled between two files; the rows added so far stay.
#pragma once

#include <QObject>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class TJobListModel;
class TAppSettings;
class TBuilderPrompts;
class THeldWarnings;

class TJobAdder : public QObject {
  Q_OBJECT
public:
  TJobAdder(TJobListModel& model, TAppSettings& settings, TBuilderPrompts& prompts, QObject* parent = nullptr);
  ~TJobAdder() override;

  // Starts adding the paths (in this order). Folders, paths already in the list and repeats
  // within the batch are left out before probing. False when a batch is still running.
  bool Add(const std::vector<std::string>& paths);
  void Cancel();
  bool Busy() const { return busy_; }

signals:
  // One more path was handled (added or skipped): done of total.
  void Progress(int done, int total);
  // A row was added at `row`.
  void RowAdded(int row);
  // The batch ended (finished or cancelled); `skipped` holds the paths the engine could not
  // open (the vanished included). Warnings of the batch (an output folder replaced) are shown
  // right after.
  void Finished(const QStringList& skipped, bool cancelled);
  // The output folder the batch's rows are named in (the stored one, or the fallback that
  // replaced a stored folder that cannot be made), once per batch before its first row.
  void OutputFolderUsed(const QString& folder);

private:
  struct TProbeResult {
    int Index = 0;
    std::string Path;
    bool Opened = false;
    int64_t DurationUS = -1;
  };
  void Work(std::vector<std::string> paths, uint64_t batch);
  void Deliver(const TProbeResult& result, uint64_t batch);
  void Done(uint64_t batch);

  TJobListModel& model_;
  TAppSettings& settings_;
  std::thread worker_;
  std::atomic<bool> cancel_{false};
  bool busy_ = false;
  uint64_t batch_ = 0;
  int total_ = 0;
  int handled_ = 0;
  // Read once per batch: profile number, output extension and zoom mode.
  int32_t formatCode_ = 1;
  std::string ext_;
  std::string zoom_;
  // The batch's output folder, found at its first row (empty before).
  std::string folder_;
  // Warnings met while the batch runs, shown when it ends.
  std::unique_ptr<THeldWarnings> held_;
  QStringList skipped_;
};
