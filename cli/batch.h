// The --batch file: a list of jobs, each with its own settings, in the program's INI format.
//
//   [file1]                 one section per source file: [file1], [file2], ... up to the
//   SourceFile=a.mkv        first missing number; relative names start at the batch file's
//   CropTop=40              folder. The other keys are the job record's fields (TrimStart and
//   TrimStart=2000000       TrimLength in microseconds); a missing key keeps the value given
//   [file1.wm1]             on the command line. [fileN.wm1], [fileN.wm2], ... are the job's
//   Kind=text               watermark items in drawing order; when a job has any, they
//   Text=Hello              replace the command line's items.
#pragma once

#include <string>
#include <vector>

#include "cli/args.h"

// Appends the jobs of the batch file to `jobs`, each starting from `defaults`. False with the
// reason in err (file, section and key named) when the file is missing, lists no job, or a
// value is out of range; nothing is appended then. `warnings` receives what the reading left
// out: the first job section after a gap in the numbering or given a second time, since the
// sections from there on are not read.
bool ReadBatchFile(const std::string& path, const TJobSettings& defaults, std::vector<TJobSettings>& jobs,
                   std::string& err, std::vector<std::string>& warnings);
