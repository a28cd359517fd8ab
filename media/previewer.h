// The previewer: a window that shows the latest picture of a running conversion task.
//
// The headless core only knows the interface; the desktop program implements it and
// installs a factory. The engine asks the factory for one previewer per task when its
// preview setting is on; without a factory (the headless build) there is no previewer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "media/bitmap.h"

class TPreviewer {
public:
  virtual ~TPreviewer() = default;
  // Shows the picture with its time (microseconds) unless the user has closed the window;
  // true while the window has not been closed. Called from the engine's worker thread; the
  // picture stays unchanged until the call returns.
  virtual bool ShowPicture(const TBitmap24& picture, int32_t frameNumber, int64_t pts) = 0;
};

using TPreviewerFactory = std::function<std::unique_ptr<TPreviewer>()>;

// Installs (or, with an empty function, removes) the process-wide factory. Thread-safe.
void SetPreviewerFactory(TPreviewerFactory f);
// A new previewer from the installed factory; null when none is installed. Thread-safe.
std::unique_ptr<TPreviewer> CreatePreviewer();
