#include "app/core/queueestimate.h"

#include <algorithm>
#include <cmath>

void TQueueEstimate::Reset(std::vector<int64_t> lengths) {
  tasks_.clear();
  for (int64_t l : lengths) tasks_.push_back({std::max<int64_t>(0, l), 0, false});
}

void TQueueEstimate::Progress(int task, int64_t current, int64_t total) {
  if (task < 0 || size_t(task) >= tasks_.size()) return;
  TTask& t = tasks_[size_t(task)];
  if (t.Ended) return;
  if (total > 0) t.Length = total;
  t.Done = std::max<int64_t>(0, current);
  if (t.Length > 0) t.Done = std::min(t.Done, t.Length);
}

void TQueueEstimate::Ended(int task, bool finished) {
  if (task < 0 || size_t(task) >= tasks_.size()) return;
  TTask& t = tasks_[size_t(task)];
  t.Ended = true;
  if (finished) t.Done = std::max(t.Done, t.Length);
}

int64_t TQueueEstimate::RemainingSeconds(int64_t elapsedUs) const {
  int64_t done = 0, left = 0;
  for (const TTask& t : tasks_) {
    done += t.Done;
    if (!t.Ended) left += std::max<int64_t>(0, t.Length - t.Done);
  }
  if (elapsedUs < 1000000 || done <= 0) return -1;
  const double speed = double(done) / double(elapsedUs);  // media µs per wall µs
  return int64_t(std::llround(double(left) / speed / 1e6));
}
