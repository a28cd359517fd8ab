#include "app/core/weblinks.h"

namespace weblinks {
namespace {
// The share title and the message of a post, URL-encoded.
constexpr const char* kTitle = "Orvane%20Video%20Converter%20-%20convert%20video%20and%20audio%20files";
constexpr const char* kMessage = "Converting%20my%20videos%20with%20Orvane%20Video%20Converter%20";
}  // namespace

// Services that no longer take shares are replaced by a current service of the same kind:
// the social network slot by LinkedIn, the bookmarking slot by Pinboard, the news-voting slot
// by Hacker News and the discovery slot by Tumblr.
const std::vector<TShareService>& ShareServices() {
  static const std::vector<TShareService> services = {
      {"imgbtnfc", "Facebook", "share-facebook"},
      {"imgbtngoogle", "LinkedIn", "share-linkedin"},
      {"imgbtntw", "X", "share-x"},
      {"imgbtndelicious", "Pinboard", "share-pinboard"},
      {"imgbtndigg", "Hacker News", "share-hackernews"},
      {"imgbtnstumbleupon", "Tumblr", "share-tumblr"},
      {"imgbtnreddit", "Reddit", "share-reddit"},
  };
  return services;
}

std::string ShareUrl(const std::string& control, const std::string& productUrl) {
  const std::string title = kTitle;
  if (control == "imgbtnfc") return "https://www.facebook.com/sharer/sharer.php?u=" + productUrl;
  if (control == "imgbtngoogle") return "https://www.linkedin.com/sharing/share-offsite/?url=" + productUrl;
  if (control == "imgbtntw")
    return "https://x.com/intent/post?source=webclient&text=" + std::string(kMessage) + productUrl;
  if (control == "imgbtndelicious") return "https://pinboard.in/add?url=" + productUrl + "&title=" + title;
  if (control == "imgbtndigg") return "https://news.ycombinator.com/submitlink?u=" + productUrl + "&t=" + title;
  if (control == "imgbtnstumbleupon")
    return "https://www.tumblr.com/widgets/share/tool?canonicalUrl=" + productUrl + "&title=" + title;
  if (control == "imgbtnreddit") return "https://www.reddit.com/submit?url=" + productUrl + "&title=" + title;
  return {};
}

}  // namespace weblinks
