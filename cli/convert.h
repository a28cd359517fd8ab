// The conversion run of the command line: one engine task per job, run on worker threads
// while the main thread shows the progress, until the end-of-run notice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/core/jobprep.h"
#include "app/core/settings.h"
#include "cli/report.h"

struct TConvertSetup {
  std::vector<TJobSettings> Jobs;  // in order; each Job.SourceFile set
  int32_t ProfileCode = 1;
  TAppSettings Settings;           // the settings the option builder reads (never written)
  std::string OutputDir;           // --output-dir (made already), empty for the stored folder
  int Parallel = 1;                // tasks at once
};

// Runs the conversion. Returns the exit status: 0 every job converted, 1 any job skipped or
// failed, 128 + the signal number when the run was stopped: SIGINT or SIGTERM, SIGXFSZ (an
// output reached the file-size limit) or SIGPIPE (the standard output was closed). The first
// such event stops the run (the running files are closed with a valid trailer); a second
// SIGINT or SIGTERM ends the process at once. Each output is written under a temporary name
// and takes its final name when finished or stopped; a failed file leaves no output.
int RunConversion(const TConvertSetup& setup, TRunReporter& reporter);
