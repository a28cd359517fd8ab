// The web addresses the main window opens: the product's pages and the share services.
#pragma once

#include <string>
#include <vector>

namespace weblinks {

inline constexpr const char* kProductUrl = "https://orvane.org/video-converter/";
inline constexpr const char* kHelpUrl = "https://orvane.org/video-converter/help/";
inline constexpr const char* kSupportUrl = "https://orvane.org/video-converter/support/";
// The watermark dialog's Help: how to add watermarks.
inline constexpr const char* kWatermarkHelpUrl = "https://orvane.org/video-converter/help/watermarks/";

struct TShareService {
  const char* Control;  // the image button's name
  const char* Hint;     // tool tip and accessible name
  const char* Picture;  // skin picture base name
};
// The seven share buttons in their order on the window.
const std::vector<TShareService>& ShareServices();
// The share address of a service for the product page (inserted as it is, not encoded).
std::string ShareUrl(const std::string& control, const std::string& productUrl);

}  // namespace weblinks
