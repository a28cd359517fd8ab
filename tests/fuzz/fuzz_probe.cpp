// The media probe on any bytes, through the real codec libraries: a file it cannot take is
// refused with a message; one it opens answers every query and renders its information text
// without a fault.
#include <string>

#include "media/loader.h"
#include "media/logger.h"
#include "media/probe.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TFFmpegLoader& loader = FFLoader();
  loader.SetLibraryFolder("");
  if (!loader.LoadLibs(kEngineLibs)) {
    std::fprintf(stderr, "cannot load the codec libraries: %s\n", loader.LastError().c_str());
    std::abort();
  }
  // The libraries' complaints about damaged input pass through the log collector (so that it
  // is fuzzed as well) to a handler that drops them.
  GetFFLogger().SetTriggerEventInMainThread(false);
  GetFFLogger().SetOnLog([](const void*, uint32_t, TLogLevel, const std::string&) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::WriteInput("input", data, size);
  TAVProbe probe;
  if (!probe.LoadFile(path)) {
    FUZZ_CHECK(!probe.LastErrMsg().empty(), "a refused file without a message");
    FUZZ_CHECK(probe.FormatContext() == nullptr && probe.StreamCount() == -1, "a refused file left open");
    return 0;
  }
  FUZZ_CHECK(probe.GetFileName() == path, probe.GetFileName());
  FUZZ_CHECK(probe.AudioStreamCount() + probe.VideoStreamCount() + probe.SubtitleStreamCount() <= probe.StreamCount(),
             std::to_string(probe.StreamCount()));
  probe.GetFileStreamInfo();
  for (int i = -1; i < probe.StreamCount(); ++i) {
    if (i < 0 || probe.IsAudioStream(i)) probe.GetAudioStreamInfo(i);
    if (i < 0 || probe.IsVideoStream(i)) probe.GetVideoStreamInfo(i);
  }
  FUZZ_CHECK(!probe.GetInfoText().empty(), "no information text for an open file");
  probe.CloseFile();
  return 0;
}
