// The run-time loader: the engine and player sets from the system, copies in a library
// folder, PATH handling, and every failure path with its text.
//
// Loading a second copy of a library next to the one already resident is fragile, so each
// test that points the loader at a library folder runs in a fresh process (the death-test
// machinery re-executes this binary for just that test); its checks are collected there and
// reported through the exit status and the error output.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "media/errors.h"
#include "media/ffapi.h"
#include "media/loader.h"
#include "media/logger.h"
#include "media/utils.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

// The kinds that have a copy in the library folder of the copy test.
const TLibraryKind kCodecKinds[] = {lkAVUtil, lkSwResample, lkSwScale, lkAVCodec, lkAVFormat, lkAVFilter};

#define ORV_NAME(name) #name,
#define ORV_SLOT(name) reinterpret_cast<void*>(ff::name),
const char* const kSwScaleNames[] = {ORV_SWSCALE_ENTRIES(ORV_NAME, ORV_NAME)};
const char* const kSDLNames[] = {ORV_SDL_ENTRIES(ORV_NAME, ORV_NAME)};
std::vector<void*> SwScaleSlots() { return {ORV_SWSCALE_ENTRIES(ORV_SLOT, ORV_SLOT)}; }
std::vector<void*> AVUtilSlots() { return {ORV_AVUTIL_ENTRIES(ORV_SLOT, ORV_SLOT)}; }
#undef ORV_NAME
#undef ORV_SLOT

bool AllNull(const std::vector<void*>& slots) {
  for (void* p : slots)
    if (p) return false;
  return true;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// Checks made inside the fresh process; the failures become its error output.
class Checks {
public:
  void True(bool ok, const std::string& what) {
    if (!ok) out_ << "FAILED: " << what << "\n";
  }
  void Eq(const std::string& actual, const std::string& expected, const std::string& what) {
    if (actual != expected)
      out_ << "FAILED: " << what << "\n  actual:   " << actual << "\n  expected: " << expected << "\n";
  }
  std::string Failures() const { return out_.str(); }

private:
  std::ostringstream out_;
};

// Runs body in a fresh process and expects it to pass every check.
void RunIsolated(const std::function<void(Checks&)>& body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string failures;
        {
          Checks checks;
          body(checks);
          failures = checks.Failures();
        }
        if (!failures.empty()) {
          std::fputs(failures.c_str(), stderr);
          std::fflush(stderr);
          std::_Exit(1);
        }
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Where the system keeps a library (the copies are made from there).
std::string SystemLibrary(const std::string& name) {
  for (const char* dir : {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/lib64", "/usr/lib"}) {
    fs::path p = fs::path(dir) / name;
    if (fs::exists(p)) return p.string();
  }
  return "";
}

// Every loaded object of the process whose file name is one of the codec libraries.
std::vector<std::string> ResidentCodecLibraries() {
  std::vector<std::string> found;
  ::dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) {
        std::string path = info->dlpi_name ? info->dlpi_name : "";
        for (TLibraryKind k : kCodecKinds)
          if (!path.empty() && ExtractFileName(path) == TFFmpegLoader::LibraryFileName(k))
            static_cast<std::vector<std::string>*>(data)->push_back(path);
        return 0;
      },
      &found);
  return found;
}

std::string PathVariable() {
  const char* p = std::getenv("PATH");
  return p ? p : "";
}

std::string FakeLibs(const std::string& folder) { return std::string(ORVANE_FAKELIBS_DIR) + "/" + folder; }

TEST(Loader, LoadsEngineSetFromSystem) {
  testsupport::LoadEngineLibs();
  TFFmpegLoader& loader = FFLoader();
  EXPECT_TRUE(loader.LibsLoaded(kEngineLibs));
  EXPECT_EQ(int(ff::avcodec_version() >> 16), LIBAVCODEC_VERSION_MAJOR);
  for (int k = 0; k < kLibraryKindCount; ++k) {
    TLibraryKind kind = TLibraryKind(k);
    if (!(kEngineLibs & KindBit(kind))) continue;
    std::string path = loader.LoadedPath(kind);
    EXPECT_TRUE(StartsWith(path, "/")) << path;
    EXPECT_EQ(ExtractFileName(path), TFFmpegLoader::LibraryFileName(kind)) << path;
  }
  EXPECT_FALSE(loader.LibLoaded(lkAVDevice));
}

TEST(Loader, PlayerSetAfterEngineSetAddsSDLAndReinstallsTheLogHook) {
  testsupport::LoadEngineLibs();
  TFFmpegLoader& loader = FFLoader();
  std::vector<std::string> before;
  for (TLibraryKind k : kCodecKinds) before.push_back(loader.LoadedPath(k));

  // Another log callback took the library's output; the next request puts the collector back.
  static int foreignCalls = 0;
  ff::av_log_set_callback([](void*, int, const char*, va_list) { ++foreignCalls; });
  std::optional<testsupport::LogCapture> log(std::in_place);

  ASSERT_TRUE(loader.LoadLibs(kPlayerLibs)) << loader.LastError();
  EXPECT_TRUE(loader.LibLoaded(lkSDL));
  EXPECT_EQ(ExtractFileName(loader.LoadedPath(lkSDL)), TFFmpegLoader::LibraryFileName(lkSDL));
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(loader.LoadedPath(kCodecKinds[i]), before[i]);

  ff::av_log(nullptr, AV_LOG_ERROR, "reinstalled hook\n");
  const std::vector<std::string> lines = log->Messages();
  log.reset();
  GetFFLogger().SetTriggerEventInMainThread(true);
  EXPECT_EQ(foreignCalls, 0);
  EXPECT_EQ(lines, std::vector<std::string>{"reinstalled hook"});
}

TEST(Loader, LoadsCopiesFromLibraryFolder) {
  RunIsolated([](Checks& c) {
    testsupport::TempDir tmp;
    const std::string dir = tmp.file("LibAV");
    fs::create_directory(dir);
    for (TLibraryKind k : kCodecKinds) {
      std::string src = SystemLibrary(TFFmpegLoader::LibraryFileName(k));
      c.True(!src.empty(), "system copy of " + TFFmpegLoader::LibraryFileName(k));
      if (!src.empty()) fs::copy_file(src, dir + "/" + TFFmpegLoader::LibraryFileName(k));
    }
    TFFmpegLoader& loader = FFLoader();
    const struct {
      std::string folder;
      std::string pathBefore;
      std::string pathAfter;
    } runs[] = {
        // Without a trailing slash: the folder goes in front of PATH.
        {dir, "/usr/bin:/bin", dir + ":/usr/bin:/bin"},
        // With one: the same files; a PATH holding the folder stays as it is.
        {dir + "/", dir + ":/usr/bin:/bin", dir + ":/usr/bin:/bin"},
        {dir, "/usr/bin:" + dir + "/:/bin", "/usr/bin:" + dir + "/:/bin"},
    };
    for (const auto& run : runs) {
      ::setenv("PATH", run.pathBefore.c_str(), 1);
      loader.SetLibraryFolder(run.folder);
      bool ok = loader.LoadLibs(kEngineLibs);
      c.True(ok, "load from " + run.folder + ": " + loader.LastError());
      if (!ok) continue;
      for (TLibraryKind k : kCodecKinds)
        c.Eq(loader.LoadedPath(k), dir + "/" + TFFmpegLoader::LibraryFileName(k), "path of the copy");
      c.True(!StartsWith(loader.LoadedPath(lkMSVCRT), dir), "C runtime from the search path");
      c.Eq(PathVariable(), run.pathAfter, "PATH after loading from " + run.folder);
      // The copies' own dependencies are the copies: no system copy came along.
      for (const std::string& p : ResidentCodecLibraries())
        c.True(StartsWith(p, dir + "/"), "resident library outside the folder: " + p);
      // And they work.
      AVFormatContext* in = nullptr;
      int r = ff::avformat_open_input(&in, testsupport::MediaPath("clip.mp4").c_str(), nullptr, nullptr);
      c.True(r == 0 && ff::avformat_find_stream_info(in, nullptr) >= 0, "open a clip with the copies");
      if (in) ff::avformat_close_input(&in);
      loader.UnloadLibs(kEngineLibs);
      c.True(!loader.LibLoaded(lkAVCodec) && loader.LoadedPath(lkAVCodec).empty(), "unloaded");
    }
  });
}

TEST(Loader, FailuresUnloadTheRequestAndNameTheCause) {
  RunIsolated([](Checks& c) {
    testsupport::TempDir tmp;
    TFFmpegLoader& loader = FFLoader();
    const std::string swscale = TFFmpegLoader::LibraryFileName(lkSwScale);

    // A file that is no library: named with the folder, with or without the trailing slash.
    const std::string avutil = TFFmpegLoader::LibraryFileName(lkAVUtil);
    std::ofstream(tmp.file(avutil)) << "not a shared library\n";
    for (const std::string& folder : {tmp.path().string(), tmp.path().string() + "/"}) {
      loader.SetLibraryFolder(folder);
      c.True(!loader.LoadLibs(kEngineLibs), "load a text file as " + avutil);
      std::string e = loader.LastError();
      std::string prefix = "Load library " + tmp.file(avutil) + " error: ";
      c.True(StartsWith(e, prefix), "text: " + e);
      c.True(e.find(tmp.file(avutil)) != std::string::npos && e.size() > prefix.size() + tmp.file(avutil).size(),
             "the system's reason follows: " + e);
      c.True(!loader.LibLoaded(lkMSVCRT), "the C runtime loaded before it is unloaded again");
    }

    // An entry point missing from a library in the folder.
    loader.SetLibraryFolder(FakeLibs("noentries"));
    c.True(!loader.LoadLibs(kEngineLibs), "load a scaling library without entries");
    std::string e = loader.LastError();
    c.True(StartsWith(e, StrFormat("Load function %s@%s error: ", kSwScaleNames[0], swscale.c_str())), "text: " + e);
    c.True(e.find(std::string("undefined symbol: ") + kSwScaleNames[0]) != std::string::npos, "reason: " + e);
    c.True(AllNull(SwScaleSlots()), "scaling entries null");
    c.True(AllNull(AVUtilSlots()) && !loader.LibLoaded(lkAVUtil), "avutil (bound before the failure) unloaded");

    // A library of another major version.
    loader.SetLibraryFolder(FakeLibs("wrongmajor"));
    c.True(!loader.LoadLibs(kEngineLibs), "load a scaling library of the next major version");
    c.Eq(loader.LastError(),
         StrFormat("Load library %s/%s error: version %d.0.0 found, version %d expected",
                   FakeLibs("wrongmajor").c_str(), swscale.c_str(), LIBSWSCALE_VERSION_MAJOR + 1,
                   LIBSWSCALE_VERSION_MAJOR),
         "wrong major text");
    c.True(AllNull(SwScaleSlots()) && !loader.LibLoaded(lkSwScale), "scaling entries null");
    for (int k = 0; k < kLibraryKindCount; ++k)
      c.True(!loader.LibLoaded(TLibraryKind(k)), "kind " + std::to_string(k) + " unloaded");
  });
}

TEST(Loader, FailureUnloadsKindsOfEarlierRequestsAndLastErrorStays) {
  RunIsolated([](Checks& c) {
    TFFmpegLoader& loader = FFLoader();
    loader.SetLibraryFolder("");
    c.True(loader.LoadLibs(kEngineLibs), "engine set from the system: " + loader.LastError());
    c.Eq(loader.LastError(), "", "no failure yet");

    // The player set adds SDL, whose copy in the folder lacks its entries.
    loader.SetLibraryFolder(FakeLibs("noentries"));
    c.True(!loader.LoadLibs(kPlayerLibs), "player set with a broken SDL");
    const std::string failure = loader.LastError();
    c.True(StartsWith(failure, StrFormat("Load function %s@%s error: ", kSDLNames[0],
                                         TFFmpegLoader::LibraryFileName(lkSDL).c_str())),
           "text: " + failure);
    c.True(!loader.LibsLoaded(kEngineLibs), "engine set (bound by the earlier request) unloaded");
    c.True(ff::avcodec_version == nullptr && ff::av_log_set_level == nullptr, "their entries are null");

    // A later success keeps the old text.
    loader.SetLibraryFolder("");
    c.True(loader.LoadLibs(kPlayerLibs), "player set from the system: " + loader.LastError());
    c.True(loader.LibsLoaded(kPlayerLibs), "player set loaded");
    c.Eq(loader.LastError(), failure, "last error after a success");
  });
}

TEST(Loader, BindEntriesNamesTheMissingEntry) {
  void* libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  void* fn = nullptr;
  void* var = nullptr;
  const struct {
    const char* function;
    const char* variable;
    const char* message;  // empty: binds
  } cases[] = {
      {"strlen", "environ", ""},
      {"orvane_no_such_function", "environ", "Load function orvane_no_such_function@libc.so.6 error: "},
      {"strlen", "orvane_no_such_variable", "Load variable orvane_no_such_variable@libc.so.6 error: "},
  };
  for (const auto& c : cases) {
    const TEntryPoint entries[] = {{c.function, &fn, false}, {c.variable, &var, true}};
    fn = var = reinterpret_cast<void*>(1);
    if (!*c.message) {
      TFFmpegLoader::BindEntries(libc, "libc.so.6", entries, 2);
      EXPECT_EQ(fn, ::dlsym(libc, "strlen"));
      EXPECT_EQ(var, ::dlsym(libc, "environ"));
      continue;
    }
    try {
      TFFmpegLoader::BindEntries(libc, "libc.so.6", entries, 2);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const FFmpegException& e) {
      std::string what = e.what();
      EXPECT_TRUE(StartsWith(what, c.message)) << what;
      EXPECT_NE(what.find("undefined symbol"), std::string::npos) << what;
    }
    // A failed table is unbound as a whole, also the entry resolved before the failure.
    EXPECT_EQ(fn, nullptr);
    EXPECT_EQ(var, nullptr);
  }
  ::dlclose(libc);
}

}  // namespace

// The libraries are opened at run time only: no binary of the project names them as a
// link-time dependency.
TEST(Loader, NoBinaryLinksTheCodecLibraries) {
  std::string out;
  ASSERT_EQ(testsupport::RunCapture("ldd /proc/" + std::to_string(::getpid()) + "/exe " +
                                        testsupport::ShellQuote(std::string(ORVANE_BINARY_DIR) + "/orvane-convert"),
                                    out),
            0);
  EXPECT_NE(out.find("libc.so.6"), std::string::npos) << out;  // ldd did list the dependencies
  for (const char* lib : {"libavcodec", "libavformat", "libavfilter", "libavutil", "libswscale", "libswresample",
                          "libavdevice", "libSDL2"})
    EXPECT_EQ(out.find(lib), std::string::npos) << lib << " is linked:\n" << out;
}

// The versions that callers without the libraries' headers (the About box) read: each loaded
// kind's own, packed as the libraries pack theirs; 0 for a kind not loaded and for the C
// runtime, which reports none.
TEST(Loader, RuntimeVersionIsTheLoadedLibrarysOwn) {
  TFFmpegLoader& loader = FFLoader();
  ASSERT_TRUE(loader.LoadLibs(kPlayerLibs)) << loader.LastError();
  EXPECT_EQ(loader.RuntimeVersion(lkAVCodec), ff::avcodec_version());
  EXPECT_EQ(loader.RuntimeVersion(lkAVFormat), ff::avformat_version());
  EXPECT_EQ(loader.RuntimeVersion(lkSwResample), ff::swresample_version());
  SDL_version v{};
  ff::SDL_GetVersion(&v);
  EXPECT_EQ(loader.RuntimeVersion(lkSDL), unsigned(AV_VERSION_INT(v.major, v.minor, v.patch)));
  EXPECT_EQ(loader.RuntimeVersion(lkMSVCRT), 0u);
  loader.UnloadLibs(KindBit(lkAVDevice));
  EXPECT_EQ(loader.RuntimeVersion(lkAVDevice), 0u);
}
