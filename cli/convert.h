// The conversion run of the command line: one engine task per job, run on worker threads
// while the main thread shows the progress, until the end-of-run notice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/core/jobprep.h"
#include "app/core/settings.h"
#include "app/core/sharding.h"
#include "cli/report.h"

struct TConvertSetup {
  std::vector<TJobSettings> Jobs;  // in order; each Job.SourceFile set
  int32_t ProfileCode = 1;
  TAppSettings Settings;  // the settings the option builder reads (never written)
  std::string OutputDir;  // --output-dir (made already), empty for the stored folder
  int Parallel = 1;       // tasks at once
  // Each job's number in the whole job list (for the reports; empty: 0, 1, ...), and its source
  // as the list names it (the ledger's name; empty: Job.SourceFile, which is this machine's name).
  std::vector<int> JobIds;
  std::vector<std::string> SharedSources;
  TPathMap Map;                // this machine's names <-> the shared names
  std::string LedgerPath;      // --resume: the ledger (this machine's name); empty: none
  bool AcceptPartial = false;  // --accept-partial: an input that ended early still counts as converted
  // Each job's FirstOutputNumber is its own output name (a sharded or resumable run): a job that
  // another running process converts under it is left to that process.
  bool OwnOutputNames = false;
};

// Runs the conversion. Returns the exit status: 0 every job converted (or recorded in the
// ledger as converted, and skipped), 75 any job failed for a reason that may pass on a retry
// (an I/O error, a full disk, the output folder unavailable), else 1 any job skipped or
// failed, and 128 + the signal number when the run was stopped: SIGINT or SIGTERM, SIGXFSZ (an
// output reached the file-size limit) or SIGPIPE (the standard output was closed). The first
// such event stops the run (the running files are closed with a valid trailer); a second
// SIGINT or SIGTERM ends the process at once. Each output is written under a temporary name
// and takes its final name when finished or stopped (with a ledger, a stopped one is removed,
// to be converted again, whole, by the next run); a failed file leaves no output. With a ledger,
// each job is recorded once its output has its final name.
int RunConversion(const TConvertSetup& setup, TRunReporter& reporter);
