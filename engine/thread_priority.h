// Scheduling priority of the engine's worker threads.
//
// The seven priority steps map onto Linux per-thread scheduling: idle runs under SCHED_IDLE,
// the two low steps raise the thread's nice value, normal leaves the thread as it was created,
// and the high steps lower the nice value only where the process is allowed to (an
// unprivileged process keeps the thread at its current value).
#pragma once

enum TThreadPriority : int { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Applies the priority to the calling thread. Returns false when the system refused it; the
// thread then keeps running at its current priority.
bool ApplyThreadPriority(TThreadPriority priority);

// The nice value of the calling thread (for diagnostics and tests).
int CurrentThreadNice();
// True when the calling thread runs under SCHED_IDLE.
bool CurrentThreadIsIdleScheduled();
