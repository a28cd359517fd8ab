#include "media/previewer.h"

#include <mutex>
#include <utility>

namespace {

struct TFactorySlot {
  std::mutex lock;
  TPreviewerFactory factory;
};

TFactorySlot& Slot() {
  static TFactorySlot slot;
  return slot;
}

}  // namespace

void SetPreviewerFactory(TPreviewerFactory f) {
  TFactorySlot& slot = Slot();
  std::lock_guard<std::mutex> g(slot.lock);
  slot.factory = std::move(f);
}

std::unique_ptr<TPreviewer> CreatePreviewer() {
  // The factory is copied out so that a window factory that waits for the main thread does
  // not hold the lock meanwhile.
  TPreviewerFactory factory;
  {
    TFactorySlot& slot = Slot();
    std::lock_guard<std::mutex> g(slot.lock);
    factory = slot.factory;
  }
  return factory ? factory() : nullptr;
}
