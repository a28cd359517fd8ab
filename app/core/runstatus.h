// The exit status of a conversion run, for the job runners that start it: they retry a run
// whose failures may pass (75) and give up on one whose inputs are bad (1).
#pragma once

#include <string>

enum : int {
  kExitConverted = 0,  // every job converted, or skipped as done already
  kExitFailed = 1,     // a job failed for a reason a retry does not change (bad or unsupported input)
  kExitUsage = 2,      // the command line or the batch file is wrong
  kExitRetry = 75,     // a job failed for a reason that may pass: an I/O error, a full disk, the
                       // output folder unavailable (EX_TEMPFAIL)
};

// Whether a failed job may convert on a retry: true when the message carries the system's text
// for an I/O error, a full disk or quota, a read-only or vanished file system or a lost network
// connection, or when the output folder (this machine's name) is now missing or not writable.
bool FailureMayPass(const std::string& message, const std::string& outputFolder);

// The status of a run: a stop signal gives 128 + its number; else 75 when any failure may pass
// (a retry converts those, and the lasting ones fail again with 1); else 1 for any failure.
int RunExitStatus(int lastingFailures, int passingFailures, int stopSignal);
