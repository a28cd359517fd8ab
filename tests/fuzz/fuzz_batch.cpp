// The --batch file reader on any bytes: it either lists jobs whose settings are all valid or
// refuses the file with a message and adds nothing.
#include <string>
#include <vector>

#include "cli/batch.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

void CheckJob(const TJobSettings& s) {
  const TlvFilesRecord& job = s.Job;
  FUZZ_CHECK(!job.SourceFile.empty() && job.SourceFile[0] == '/' && !HasNul(job.SourceFile), job.SourceFile);
  for (int32_t margin : {job.CropTop, job.CropLeft, job.CropBottom, job.CropRight})
    FUZZ_CHECK(margin >= 0 && margin % 2 == 0, std::to_string(margin));
  FUZZ_CHECK(job.TrimStart >= 0 && job.TrimLength >= 0,
             std::to_string(job.TrimStart) + "," + std::to_string(job.TrimLength));
  FUZZ_CHECK(job.ZoomMode == "full" || job.ZoomMode == "lbox" || job.ZoomMode == "pan" || job.ZoomMode == "center",
             job.ZoomMode);
  for (const TWmRec& item : job.WaterMarks) {
    FUZZ_CHECK(item.Kind == wmkText ? !item.Text.empty() : item.Kind == wmkImage && !item.ImageFile.empty(),
               item.Text + item.ImageFile);
    FUZZ_CHECK(!HasNul(item.Text) && !HasNul(item.ImageFile) && !HasNul(item.Font.Name), item.Text);
    FUZZ_CHECK(item.StartSec >= 0 && item.StartSec <= item.EndSec,
               std::to_string(item.StartSec) + "," + std::to_string(item.EndSec));
    FUZZ_CHECK(item.TextOpacity >= 0 && item.TextOpacity <= 255 && item.ImageOpacity >= 0 && item.ImageOpacity <= 255,
               std::to_string(item.TextOpacity));
    FUZZ_CHECK(item.Font.Size >= 1 && item.Font.Size <= 1000, std::to_string(item.Font.Size));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::WriteInput("jobs.ini", data, size);
  std::vector<TJobSettings> jobs;
  std::string err;
  std::vector<std::string> warnings;
  if (ReadBatchFile(path, TJobSettings{}, jobs, err, warnings)) {
    FUZZ_CHECK(!jobs.empty(), "a batch file read without error lists no job");
    for (const TJobSettings& s : jobs) CheckJob(s);
  } else {
    FUZZ_CHECK(!err.empty(), "a refused batch file without a message");
    FUZZ_CHECK(jobs.empty(), "a refused batch file added jobs");
  }
  return 0;
}
