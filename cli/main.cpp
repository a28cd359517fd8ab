// orvane-convert: the command-line front end over the conversion engine.
#include <cstdio>
#include <cstring>
#include <string>

#include "media/ffapi.h"
#include "media/loader.h"

namespace {

const char* KindName(TLibraryKind k) {
  switch (k) {
    case lkAVCodec: return "avcodec";
    case lkAVDevice: return "avdevice";
    case lkAVFilter: return "avfilter";
    case lkAVFormat: return "avformat";
    case lkAVUtil: return "avutil";
    case lkSwScale: return "swscale";
    case lkMSVCRT: return "C runtime";
    case lkSDL: return "SDL";
    case lkSwResample: return "swresample";
  }
  return "?";
}

// Which library kinds load, and from where (the "LibAV" folder beside the program first).
int PrintLibraries(const std::string& programDir) {
  TFFmpegLoader& loader = FFLoader();
  loader.SetLibraryFolder(programDir + "/LibAV");
  bool ok = loader.LoadLibs(kPlayerLibs);
  if (!ok) ok = loader.LoadLibs(kEngineLibs);
  for (int k = 0; k < kLibraryKindCount; ++k) {
    TLibraryKind kind = TLibraryKind(k);
    std::printf("  %-10s %-22s %s\n", KindName(kind), TFFmpegLoader::LibraryFileName(kind).c_str(),
                loader.LibLoaded(kind) ? loader.LoadedPath(kind).c_str() : "not loaded");
  }
  if (!ok) std::printf("error: %s\n", loader.LastError().c_str());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string self = argv[0];
  std::string programDir = self.find('/') == std::string::npos ? "." : self.substr(0, self.rfind('/'));
  bool version = false, libraries = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--version"))
      version = true;
    else if (!std::strcmp(argv[i], "--libraries"))
      libraries = true;
    else {
      std::fprintf(stderr, "orvane-convert: unknown option '%s'\n", argv[i]);
      return 2;
    }
  }
  if (version || !libraries) std::printf("Orvane Video Converter %s\n", ORVANE_VERSION);
  return libraries ? PrintLibraries(programDir) : 0;
}
