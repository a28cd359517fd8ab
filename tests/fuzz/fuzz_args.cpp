// The command-line parser on any argument list (the input's NUL bytes separate the arguments,
// as no argument can hold one): it either accepts the list with valid settings or refuses it
// with a message.
#include <string>
#include <vector>

#include "cli/args.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"orvane-convert"};
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Each NUL ends an argument; the last one needs none.
  for (size_t start = 0; start < text.size();) {
    const size_t nul = text.find('\0', start);
    const size_t end = nul == std::string::npos ? text.size() : nul;
    words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  TCliArgs a;
  std::string err;
  if (!ParseArgs(int(words.size()), argv.data(), a, err)) {
    FUZZ_CHECK(!err.empty(), "a refused command line without a message");
    return 0;
  }
  FUZZ_CHECK(a.jobs >= 1 && a.jobs <= 64, std::to_string(a.jobs));
  const TlvFilesRecord& job = a.settings.Job;
  for (int32_t margin : {job.CropTop, job.CropLeft, job.CropBottom, job.CropRight})
    FUZZ_CHECK(margin >= 0 && margin % 2 == 0, std::to_string(margin));
  FUZZ_CHECK(job.TrimStart >= 0 && job.TrimLength >= 0,
             std::to_string(job.TrimStart) + "," + std::to_string(job.TrimLength));
  for (const TWmRec& item : job.WaterMarks)
    FUZZ_CHECK(item.StartSec >= 0 && item.StartSec <= item.EndSec,
               std::to_string(item.StartSec) + "," + std::to_string(item.EndSec));
  return 0;
}
