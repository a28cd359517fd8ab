// Frame-hook modules: external shared libraries that change decoded pictures in place.
//
// A conversion task keeps a chain of configured module instances. LoadFrameHook loads the
// module named by argv[0] (once per process and file name; modules stay loaded until the
// process ends), configures a new instance with the words and appends it to the chain;
// RunFrameHooks hands every picture to the instances in chain order; ReleaseFrameHooks
// releases them and empties the chain. Failures are logged through the codec library's log
// at its error level.
#pragma once

#include <cstdint>

#include "media/framehook_api.h"

struct TFrameHookNode;                    // one configured module instance
using TFrameHookChain = TFrameHookNode*;  // head of a task's chain, nullptr when empty

// Results of LoadFrameHook.
constexpr int kFrameHookOk = 0;
constexpr int kFrameHookLoadFailed = -1;      // the module file cannot be loaded
constexpr int kFrameHookBadModule = -2;       // no arguments, or an entry point is missing
constexpr int kFrameHookConfigRefused = -22;  // the module's Configure refused the arguments

// argv[0] is the module file: a name containing "/" is loaded from that path, a bare name
// through the system's library search. Safe to call from several threads at once.
int LoadFrameHook(TFrameHookChain& chain, int argc, char* argv[]);
void RunFrameHooks(TFrameHookChain& chain, TFrameHookPicture* pict, int pixFmt, int width, int height, int64_t pts);
void ReleaseFrameHooks(TFrameHookChain& chain);
