#include "engine/options.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "media/gcc_warnings.h"
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

std::vector<TExtOption> ParseExtOptions(const std::string& text) {
  // The whole text is trimmed of blanks and control characters at both ends; inside it, a
  // value keeps its bytes exactly (a filter text may end in a blank on purpose).
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  // CR LF and lone CR become LF, then every literal "<CRLF>" becomes a line break.
  std::string norm;
  norm.reserve(e - b);
  for (size_t i = b; i < e; ++i) {
    if (text[i] == '\r') {
      norm += '\n';
      if (i + 1 < e && text[i + 1] == '\n') ++i;
    } else {
      norm += text[i];
    }
  }
  for (size_t p = 0; (p = norm.find("<CRLF>", p)) != std::string::npos;) {
    ORVANE_STRING_RESTRICT_FALSE_ALARM_BEGIN
    norm.replace(p, 6, "\n");
    ORVANE_STRING_RESTRICT_FALSE_ALARM_END
    p += 1;
  }
  std::vector<TExtOption> out;
  size_t start = 0;
  while (start < norm.size()) {
    size_t end = norm.find('\n', start);
    if (end == std::string::npos) end = norm.size();
    std::string line = norm.substr(start, end - start);
    start = end + 1;
    // A line of nothing but blanks names no option.
    if (std::all_of(line.begin(), line.end(), IsBlank)) continue;
    size_t eq = line.find('=');
    TExtOption opt;
    opt.Name = line.substr(0, eq);
    opt.Value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    std::transform(opt.Name.begin(), opt.Name.end(), opt.Name.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    out.push_back(std::move(opt));
  }
  return out;
}
