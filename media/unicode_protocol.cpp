#include "media/unicode_protocol.h"

#include <atomic>

namespace {
std::atomic<bool> gRegistered{false};
}

void RegisterUnicodeProtocol() { gRegistered.store(true); }
bool UnicodeProtocolRegistered() { return gRegistered.load(); }
