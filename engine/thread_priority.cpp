#include "engine/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

pid_t ThreadId() { return pid_t(::syscall(SYS_gettid)); }

// Nice offsets relative to the value the thread inherited from its creator.
int NiceDelta(TThreadPriority priority) {
  switch (priority) {
    case tpLowest:
      return 10;
    case tpLower:
      return 5;
    case tpHigher:
      return -5;
    case tpHighest:
      return -10;
    case tpTimeCritical:
      return -15;
    default:
      return 0;
  }
}

}  // namespace

int CurrentThreadNice() {
  errno = 0;
  int value = ::getpriority(PRIO_PROCESS, id_t(ThreadId()));
  return errno == 0 ? value : 0;
}

bool CurrentThreadIsIdleScheduled() { return ::sched_getscheduler(0) == SCHED_IDLE; }

bool ApplyThreadPriority(TThreadPriority priority) {
  if (priority == tpNormal) return true;
  if (priority == tpIdle) {
    sched_param param{};
    param.sched_priority = 0;
    return ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &param) == 0;
  }
  // On Linux every thread has its own nice value, addressed by its kernel thread id.
  int target = std::clamp(CurrentThreadNice() + NiceDelta(priority), -20, 19);
  return ::setpriority(PRIO_PROCESS, id_t(ThreadId()), target) == 0;
}
