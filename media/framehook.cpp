#include "media/framehook.h"

#include <dlfcn.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "media/errors.h"
#include "media/ffapi.h"
#include "media/logger.h"

struct TFrameHookNode {
  std::unique_ptr<TFrameHookNode> next;
  TFrameHookConfigureFn configure = nullptr;
  TFrameHookProcessFn process = nullptr;
  TFrameHookReleaseFn release = nullptr;
  void* ctx = nullptr;
};

namespace {

// The process-wide module list: file name as given (compared exactly, as Linux paths are)
// to its library handle. Handles are never closed: a module stays loaded until the process
// ends, so contexts and entry points of every chain stay valid. The lock serialises the
// loads.
struct TModuleList {
  std::mutex lock;
  std::map<std::string, void*> modules;
};

TModuleList& Modules() {
  static TModuleList list;
  return list;
}

// Logs one error line through the codec library's log at its error level, or straight to the
// log collector while the utility library is not loaded.
void LogError(const std::string& line) {
  if (ff::av_log)
    ff::av_log(nullptr, AV_LOG_ERROR, "%s\n", line.c_str());
  else
    GetFFLogger().Log(&GetFFLogger(), llError, line);
}

// The module's handle, loading it on first use; null with the system's text in `error` when
// it cannot be loaded. Called with the list lock held.
void* ModuleHandle(TModuleList& list, const std::string& file, std::string& error) {
  auto it = list.modules.find(file);
  if (it != list.modules.end()) return it->second;
  if (file.empty()) {
    // dlopen of an empty name would hand back the program itself.
    error = "Cannot load a frame-hook module without a file name";
    return nullptr;
  }
  ::dlerror();
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* err = ::dlerror();
    error = err ? err : "Cannot load " + file;
    return nullptr;
  }
  list.modules.emplace(file, handle);
  return handle;
}

template <typename Fn>
Fn Entry(void* handle, const char* name) {
  return reinterpret_cast<Fn>(::dlsym(handle, name));
}

// Loads, configures and appends one instance with the list lock held; a failure leaves its
// log line in `error`.
int LoadLocked(TFrameHookChain& chain, int argc, char* argv[], std::string& error) {
  void* handle = ModuleHandle(Modules(), argv[0], error);
  if (!handle) return kFrameHookLoadFailed;
  auto node = std::make_unique<TFrameHookNode>();
  node->configure = Entry<TFrameHookConfigureFn>(handle, "Configure");
  node->process = Entry<TFrameHookProcessFn>(handle, "Process");
  node->release = Entry<TFrameHookReleaseFn>(handle, "Release");

  if (!node->process) {
    error = StrFormat("Failed to find Process entrypoint in %s", argv[0]);
    return kFrameHookBadModule;
  }
  if (!node->configure && argc > 1) {
    error = StrFormat("Failed to find Configure entrypoint in %s", argv[0]);
    return kFrameHookBadModule;
  }
  if (node->configure && node->configure(&node->ctx, argc, argv) != 0) {
    error = StrFormat("Failed to Configure %s", argv[0]);
    return kFrameHookConfigRefused;
  }

  if (!chain) {
    chain = node.release();
  } else {
    TFrameHookNode* last = chain;
    while (last->next) last = last->next.get();
    last->next = std::move(node);
  }
  return kFrameHookOk;
}

}  // namespace

int LoadFrameHook(TFrameHookChain& chain, int argc, char* argv[]) {
  if (argc <= 0 || !argv || !argv[0]) return kFrameHookBadModule;
  // The whole load, the module's Configure included, runs under the list lock: modules may
  // rely on their set-up never running twice at once. The failure is logged after the lock
  // is released, as the log handler may wait for the main thread, which may itself be
  // waiting to load a module.
  std::string error;
  int result;
  {
    std::lock_guard<std::mutex> g(Modules().lock);
    result = LoadLocked(chain, argc, argv, error);
  }
  if (!error.empty()) LogError(error);
  return result;
}

void RunFrameHooks(TFrameHookChain& chain, TFrameHookPicture* pict, int pixFmt, int width, int height, int64_t pts) {
  for (TFrameHookNode* n = chain; n; n = n->next.get()) n->process(n->ctx, pict, pixFmt, width, height, pts);
}

void ReleaseFrameHooks(TFrameHookChain& chain) {
  // Nodes are released front to back; each one is freed before its successor so that a long
  // chain does not recurse through the owners.
  std::unique_ptr<TFrameHookNode> node(chain);
  chain = nullptr;
  while (node) {
    if (node->release) node->release(node->ctx);
    node = std::move(node->next);
  }
}
