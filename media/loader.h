// Run-time loading of the codec libraries, SDL and the C runtime.
//
// One process-wide loader opens each library kind from a folder the caller names (the
// "LibAV" folder beside the program), falling back to the normal search path, binds every
// entry point of media/ffapi.h and keeps the text of the last failure.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

enum TLibraryKind : int {
  lkAVCodec = 0,
  lkAVDevice = 1,
  lkAVFilter = 2,
  lkAVFormat = 3,
  lkAVUtil = 4,
  lkSwScale = 5,
  lkMSVCRT = 6,  // the platform C runtime
  lkSDL = 7,
  lkSwResample = 8,  // audio conversion of the modern library generation
};
constexpr int kLibraryKindCount = 9;

// A set of kinds: bit n stands for kind n.
using TLibraryKinds = uint32_t;
constexpr TLibraryKinds KindBit(TLibraryKind k) { return TLibraryKinds(1) << k; }
constexpr TLibraryKinds kEngineLibs = KindBit(lkAVCodec) | KindBit(lkAVFilter) | KindBit(lkAVFormat) |
                                      KindBit(lkAVUtil) | KindBit(lkSwScale) | KindBit(lkMSVCRT) |
                                      KindBit(lkSwResample);
constexpr TLibraryKinds kPlayerLibs = kEngineLibs | KindBit(lkSDL);

// One entry point to resolve: its exported name and the variable that receives it.
struct TEntryPoint {
  const char* name;
  void** slot;
  bool variable;
};

class TFFmpegLoader {
public:
  TFFmpegLoader();
  TFFmpegLoader(const TFFmpegLoader&) = delete;
  TFFmpegLoader& operator=(const TFFmpegLoader&) = delete;

  void SetLibraryFolder(const std::string& folder);
  const std::string& LibraryFolder() const { return folder_; }

  // Loads and binds every kind of the set (dependencies first). On the first failure the
  // whole set is unloaded, also kinds bound by an earlier request, and false returned.
  bool LoadLibs(TLibraryKinds kinds);
  bool LibsLoaded(TLibraryKinds kinds) const;
  bool LibLoaded(TLibraryKind kind) const;
  void UnloadLibs(TLibraryKinds kinds);

  // The most recent failure; a later success does not clear it.
  std::string LastError() const;
  // "lib<base>.so.<major>" (or the name without version for kinds that carry none).
  static std::string LibraryFileName(TLibraryKind kind);
  // Where a kind was loaded from (empty while not loaded).
  std::string LoadedPath(TLibraryKind kind) const;
  // The version a loaded kind reports, packed as major << 16 | minor << 8 | micro; 0 while
  // the kind is not loaded and for kinds that report none (the C runtime).
  unsigned RuntimeVersion(TLibraryKind kind) const;

  // Resolves a table of entry points in a loaded module. Throws FFmpegException with
  // "Load function %s@%s error: %s" / "Load variable %s@%s error: %s"; on failure every
  // slot of the table is null again.
  static void BindEntries(void* handle, const std::string& fileName, const TEntryPoint* entries, size_t count);

private:
  bool LoadLib(TLibraryKind kind);
  void UnloadLib(TLibraryKind kind);
  void* LoadModule(const std::string& directory, const std::string& name, std::string& error, std::string& path);

  struct Status {
    void* handle = nullptr;
    bool bound = false;
    std::string path;
  };
  Status status_[kLibraryKindCount];
  std::string folder_;
  mutable std::mutex errorLock_;
  std::string lastError_;
  bool installLogHook_ = true;
};

TFFmpegLoader& FFLoader();

// The process-wide codec lock: held around every codec opening and closing and around the
// engine's stream analysis, so that no two threads open or close codecs at once.
std::mutex& CodecLock();
