// The remaining time of a whole run: what is left of every task's length divided by the speed
// measured so far (media time converted per second of wall time, over all tasks at once).
#pragma once

#include <cstdint>
#include <vector>

class TQueueEstimate {
public:
  // One entry per task: its expected length in microseconds (0 or less when unknown).
  void Reset(std::vector<int64_t> lengths);
  // A task's progress; a positive total replaces the expected length.
  void Progress(int task, int64_t current, int64_t total);
  // A task has ended: nothing of it remains. A finished task counts as converted to its end;
  // a failed or stopped one only as far as it came.
  void Ended(int task, bool finished);
  // Seconds left at `elapsedUs` of wall time since the run began; -1 while the speed is not
  // known yet (less than a second of work measured) or nothing has been converted.
  int64_t RemainingSeconds(int64_t elapsedUs) const;

private:
  struct TTask {
    int64_t Length = 0;
    int64_t Done = 0;
    bool Ended = false;
  };
  std::vector<TTask> tasks_;
};
