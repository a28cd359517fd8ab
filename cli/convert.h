// The conversion run of the command line: one engine task per job, run on worker threads
// while the main thread shows the progress, until the end-of-run notice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/report.h"

struct TConvertSetup {
  std::vector<TJobSettings> Jobs;  // in order; each Job.SourceFile set
  int32_t ProfileCode = 1;
  std::string SettingsIniPath;     // the settings file the option builder reads
  int Parallel = 1;                // tasks at once
};

// Runs the conversion. Returns the exit status: 0 every job converted, 1 any job skipped or
// failed, 128 + the signal number when SIGINT or SIGTERM stopped the run. The first such
// signal stops the run (the running files are closed with a valid trailer); a second one ends
// the process at once. The output of a file that failed is removed; a stopped file keeps the
// part converted so far.
int RunConversion(const TConvertSetup& setup, TRunReporter& reporter);
