#include "media/loader.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <cassert>
#include <cstdarg>
#include <cstdlib>
#include <vector>

#include "media/errors.h"
#include "media/ffapi.h"
#include "media/gcc_warnings.h"
#include "media/logger.h"
#include "media/unicode_protocol.h"
#include "media/utils.h"

// The entry variables themselves.
namespace ff {
#define ORV_DEFINE_ENTRY(name) decltype(&::name) name = nullptr;
ORV_AVCODEC_ENTRIES(ORV_DEFINE_ENTRY, ORV_DEFINE_ENTRY)
ORV_AVDEVICE_ENTRIES(ORV_DEFINE_ENTRY, ORV_DEFINE_ENTRY)
ORV_AVFILTER_ENTRIES(ORV_DEFINE_ENTRY, ORV_DEFINE_ENTRY)
ORV_AVFORMAT_ENTRIES(ORV_DEFINE_ENTRY, ORV_DEFINE_ENTRY)
ORV_AVUTIL_ENTRIES(ORV_DEFINE_ENTRY, ORV_DEFINE_ENTRY)
ORV_SWSCALE_ENTRIES(ORV_DEFINE_ENTRY, ORV_DEFINE_ENTRY)
ORV_LIBC_ENTRIES(ORV_DEFINE_ENTRY, ORV_DEFINE_ENTRY)
ORV_SDL_ENTRIES(ORV_DEFINE_ENTRY, ORV_DEFINE_ENTRY)
ORV_SWRESAMPLE_ENTRIES(ORV_DEFINE_ENTRY, ORV_DEFINE_ENTRY)
#undef ORV_DEFINE_ENTRY
}  // namespace ff

std::string StrFormat(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    out.resize(size_t(n) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, ap2);
    out.resize(size_t(n));
  }
  va_end(ap2);
  return out;
}

namespace {

#define ORV_FUNC_ROW(name) {#name, reinterpret_cast<void**>(&ff::name), false},
#define ORV_VAR_ROW(name) {#name, reinterpret_cast<void**>(&ff::name), true},
const TEntryPoint kAVCodecEntries[] = {ORV_AVCODEC_ENTRIES(ORV_FUNC_ROW, ORV_VAR_ROW)};
const TEntryPoint kAVDeviceEntries[] = {ORV_AVDEVICE_ENTRIES(ORV_FUNC_ROW, ORV_VAR_ROW)};
const TEntryPoint kAVFilterEntries[] = {ORV_AVFILTER_ENTRIES(ORV_FUNC_ROW, ORV_VAR_ROW)};
const TEntryPoint kAVFormatEntries[] = {ORV_AVFORMAT_ENTRIES(ORV_FUNC_ROW, ORV_VAR_ROW)};
const TEntryPoint kAVUtilEntries[] = {ORV_AVUTIL_ENTRIES(ORV_FUNC_ROW, ORV_VAR_ROW)};
const TEntryPoint kSwScaleEntries[] = {ORV_SWSCALE_ENTRIES(ORV_FUNC_ROW, ORV_VAR_ROW)};
const TEntryPoint kLibcEntries[] = {ORV_LIBC_ENTRIES(ORV_FUNC_ROW, ORV_VAR_ROW)};
const TEntryPoint kSDLEntries[] = {ORV_SDL_ENTRIES(ORV_FUNC_ROW, ORV_VAR_ROW)};
const TEntryPoint kSwResampleEntries[] = {ORV_SWRESAMPLE_ENTRIES(ORV_FUNC_ROW, ORV_VAR_ROW)};
#undef ORV_FUNC_ROW
#undef ORV_VAR_ROW

// The library generation the program was compiled against: a library of another major
// version has differently laid out structures and must not be used.
unsigned SDLRuntimeVersion() {
  SDL_version v{};
  ff::SDL_GetVersion(&v);
  return AV_VERSION_INT(v.major, v.minor, v.patch);
}

struct TLibraryItem {
  TLibraryKind kind;
  const char* baseName;
  int majorVersion;  // -1: the file name carries no version
  const TEntryPoint* entries;
  size_t count;
  unsigned (*runtimeVersion)();  // AV_VERSION_INT of the loaded library, or null
};

#define ORV_ITEM(kind, base, major, table, ver) \
  { kind, base, major, table, sizeof(table) / sizeof(table[0]), ver }
const TLibraryItem kLibraryItems[kLibraryKindCount] = {
    ORV_ITEM(lkAVCodec, "avcodec", LIBAVCODEC_VERSION_MAJOR, kAVCodecEntries, [] { return ff::avcodec_version(); }),
    ORV_ITEM(lkAVDevice, "avdevice", LIBAVDEVICE_VERSION_MAJOR, kAVDeviceEntries,
             [] { return ff::avdevice_version(); }),
    ORV_ITEM(lkAVFilter, "avfilter", LIBAVFILTER_VERSION_MAJOR, kAVFilterEntries,
             [] { return ff::avfilter_version(); }),
    ORV_ITEM(lkAVFormat, "avformat", LIBAVFORMAT_VERSION_MAJOR, kAVFormatEntries,
             [] { return ff::avformat_version(); }),
    ORV_ITEM(lkAVUtil, "avutil", LIBAVUTIL_VERSION_MAJOR, kAVUtilEntries, [] { return ff::avutil_version(); }),
    ORV_ITEM(lkSwScale, "swscale", LIBSWSCALE_VERSION_MAJOR, kSwScaleEntries, [] { return ff::swscale_version(); }),
    ORV_ITEM(lkMSVCRT, "c", 6, kLibcEntries, nullptr),
    ORV_ITEM(lkSDL, "SDL2-2.0", 0, kSDLEntries, SDLRuntimeVersion),
    ORV_ITEM(lkSwResample, "swresample", LIBSWRESAMPLE_VERSION_MAJOR, kSwResampleEntries,
             [] { return ff::swresample_version(); }),
};
#undef ORV_ITEM

// The major version a kind must have at run time (for SDL the API generation, 2).
int ExpectedRuntimeMajor(TLibraryKind kind) {
  return kind == lkSDL ? SDL_MAJOR_VERSION : kLibraryItems[kind].majorVersion;
}

// Loading order: a library's own dependencies are resident before it is opened, so that a
// copy in the library folder is used for them as well.
constexpr TLibraryKind kLoadOrder[kLibraryKindCount] = {lkMSVCRT,   lkAVUtil,   lkSwResample, lkSwScale, lkAVCodec,
                                                        lkAVFormat, lkAVFilter, lkAVDevice,   lkSDL};

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string DlErrorText() {
  const char* e = ::dlerror();
  return e ? e : "unknown error";
}

}  // namespace

TFFmpegLoader::TFFmpegLoader() = default;

TFFmpegLoader& FFLoader() {
  static TFFmpegLoader loader;
  return loader;
}

std::mutex& CodecLock() {
  static std::mutex lock;
  return lock;
}

void TFFmpegLoader::SetLibraryFolder(const std::string& folder) { folder_ = folder; }

std::string TFFmpegLoader::LastError() const {
  std::lock_guard<std::mutex> g(errorLock_);
  return lastError_;
}

std::string TFFmpegLoader::LibraryFileName(TLibraryKind kind) {
  const TLibraryItem& item = kLibraryItems[kind];
  std::string name = std::string("lib") + item.baseName + ".so";
  ORVANE_STRING_RESTRICT_FALSE_ALARM_BEGIN
  if (item.majorVersion >= 0) name += "." + std::to_string(item.majorVersion);
  ORVANE_STRING_RESTRICT_FALSE_ALARM_END
  return name;
}

std::string TFFmpegLoader::LoadedPath(TLibraryKind kind) const { return status_[kind].path; }

unsigned TFFmpegLoader::RuntimeVersion(TLibraryKind kind) const {
  const TLibraryItem& item = kLibraryItems[kind];
  return LibLoaded(kind) && item.runtimeVersion ? item.runtimeVersion() : 0;
}

void TFFmpegLoader::BindEntries(void* handle, const std::string& fileName, const TEntryPoint* entries, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    ::dlerror();
    void* sym = ::dlsym(handle, entries[i].name);
    if (!sym) {
      std::string why = DlErrorText();
      for (size_t j = 0; j < count; ++j) *entries[j].slot = nullptr;
      throw FFmpegException(
          StrFormat(entries[i].variable ? "Load variable %s@%s error: %s" : "Load function %s@%s error: %s",
                    entries[i].name, fileName.c_str(), why.c_str()));
    }
    *entries[i].slot = sym;
  }
}

bool TFFmpegLoader::LoadLibs(TLibraryKinds kinds) {
  assert(kinds != 0 && "empty library set");
  for (TLibraryKind kind : kLoadOrder) {
    if (!(kinds & KindBit(kind))) continue;
    if (!LoadLib(kind)) {
      UnloadLibs(kinds);
      return false;
    }
  }
  return true;
}

bool TFFmpegLoader::LibsLoaded(TLibraryKinds kinds) const {
  assert(kinds != 0 && "empty library set");
  for (int k = 0; k < kLibraryKindCount; ++k)
    if ((kinds & KindBit(TLibraryKind(k))) && !LibLoaded(TLibraryKind(k))) return false;
  return true;
}

bool TFFmpegLoader::LibLoaded(TLibraryKind kind) const { return status_[kind].handle && status_[kind].bound; }

void TFFmpegLoader::UnloadLibs(TLibraryKinds kinds) {
  assert(kinds != 0 && "empty library set");
  // Dependents first, so that no library outlives the ones it calls.
  for (int i = kLibraryKindCount - 1; i >= 0; --i)
    if (kinds & KindBit(kLoadOrder[i])) UnloadLib(kLoadOrder[i]);
}

void* TFFmpegLoader::LoadModule(const std::string& directory, const std::string& name, std::string& error,
                                std::string& path) {
  void* handle = nullptr;
  std::string full = directory.empty() ? std::string() : directory + name;
  if (!full.empty() && IsRegularFile(full)) {
    // Programs started from this one (and tools that read PATH) find the folder too.
    const char* old = std::getenv("PATH");
    std::string oldPath = old ? old : "";
    std::string dir = directory.size() > 1 && directory.back() == '/' ? directory.substr(0, directory.size() - 1)
                                                                      : directory;
    bool present = false;
    size_t start = 0;
    while (start <= oldPath.size()) {
      size_t end = oldPath.find(':', start);
      if (end == std::string::npos) end = oldPath.size();
      std::string entry = oldPath.substr(start, end - start);
      if (entry == dir || entry == dir + "/") present = true;
      start = end + 1;
    }
    if (!present) ::setenv("PATH", oldPath.empty() ? dir.c_str() : (dir + ":" + oldPath).c_str(), 1);
    handle = ::dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
    path = full;
  } else {
    handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    path = name;
  }
  if (!handle) {
    error = DlErrorText();
    return nullptr;
  }
  // Report where the library really came from (the search path may have chosen it).
  struct link_map* map = nullptr;
  if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name) path = map->l_name;
  return handle;
}

bool TFFmpegLoader::LoadLib(TLibraryKind kind) {
  Status& st = status_[kind];
  const TLibraryItem& item = kLibraryItems[kind];
  std::string name = LibraryFileName(kind);
  if (!st.handle) {
    std::string directory = IncludeTrailingSlash(folder_);
    std::string error, path;
    void* handle = LoadModule(directory, name, error, path);
    if (!handle) {
      std::lock_guard<std::mutex> g(errorLock_);
      lastError_ = StrFormat("Load library %s error: %s", (directory + name).c_str(), error.c_str());
      return false;
    }
    st.handle = handle;
    st.path = path;
  }
  if (!st.bound) {
    try {
      BindEntries(st.handle, name, item.entries, item.count);
      if (item.runtimeVersion) {
        unsigned v = item.runtimeVersion();
        int major = int(v >> 16);
        if (major != ExpectedRuntimeMajor(kind)) {
          for (size_t j = 0; j < item.count; ++j) *item.entries[j].slot = nullptr;
          throw FFmpegException(StrFormat("Load library %s error: version %d.%d.%d found, version %d expected",
                                          st.path.c_str(), major, int((v >> 8) & 0xFF), int(v & 0xFF),
                                          ExpectedRuntimeMajor(kind)));
        }
      }
      st.bound = true;
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> g(errorLock_);
      lastError_ = e.what();
    }
  }
  if (!st.bound) {
    UnloadLib(kind);
    return false;
  }
  if (kind == lkAVUtil && installLogHook_) GetFFLogger().InstallLogHook();
  if (kind == lkAVFormat) RegisterUnicodeProtocol();
  return true;
}

void TFFmpegLoader::UnloadLib(TLibraryKind kind) {
  Status& st = status_[kind];
  const TLibraryItem& item = kLibraryItems[kind];
  if (st.bound) {
    for (size_t j = 0; j < item.count; ++j) *item.entries[j].slot = nullptr;
    st.bound = false;
  }
  if (st.handle) {
    ::dlclose(st.handle);
    st.handle = nullptr;
    st.path.clear();
  }
}
