#include "engine/options.h"

#include <algorithm>
#include <cctype>
#include <vector>

std::vector<TExtOption> ParseExtOptions(const std::string& text) {
  std::string s = text;
  // Literal "<CRLF>" markers become line breaks; CR LF and lone CR become LF.
  for (size_t p; (p = s.find("<CRLF>")) != std::string::npos;) s.replace(p, 6, "\n");
  std::string norm;
  norm.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') {
      norm += '\n';
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    } else {
      norm += s[i];
    }
  }
  std::vector<TExtOption> out;
  size_t start = 0;
  while (start <= norm.size()) {
    size_t end = norm.find('\n', start);
    if (end == std::string::npos) end = norm.size();
    std::string line = norm.substr(start, end - start);
    // Trim blanks and control characters at both ends of the line.
    size_t b = 0, e = line.size();
    while (b < e && static_cast<unsigned char>(line[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(line[e - 1]) <= ' ') --e;
    line = line.substr(b, e - b);
    if (!line.empty()) {
      size_t eq = line.find('=');
      TExtOption opt;
      opt.Name = line.substr(0, eq);
      opt.Value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
      std::transform(opt.Name.begin(), opt.Name.end(), opt.Name.begin(),
                     [](unsigned char c) { return char(std::tolower(c)); });
      out.push_back(std::move(opt));
    }
    start = end + 1;
  }
  return out;
}
