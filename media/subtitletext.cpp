#include "media/subtitletext.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::vector<std::string_view> SplitFields(std::string_view s) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t comma = s.find(',');
    out.push_back(Trim(s.substr(0, comma)));
    if (comma == std::string_view::npos) return out;
    s.remove_prefix(comma + 1);
  }
}

bool ParseInt(std::string_view s, int& out) {
  s = Trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// An ASS colour, "&HAABBGGRR" (hexadecimal, the "&" around it optional) or a decimal number,
// as 0xRRGGBB.
bool ParseColour(std::string_view s, uint32_t& rgb) {
  s = Trim(s);
  while (!s.empty() && s.front() == '&') s.remove_prefix(1);
  while (!s.empty() && s.back() == '&') s.remove_suffix(1);
  int base = 10;
  if (!s.empty() && (s.front() == 'H' || s.front() == 'h')) {
    s.remove_prefix(1);
    base = 16;
  }
  uint64_t v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
  rgb = uint32_t(v & 0xFF) << 16 | uint32_t(v & 0xFF00) | uint32_t((v >> 16) & 0xFF);
  return true;
}

// The older alignment numbers (1-3 bottom, +4 top, +8 middle) as keypad places.
int LegacyAlignment(int a) {
  const int h = a & 3;
  if (h == 0) return 0;
  if (a & 4) return 6 + h;
  if (a & 8) return 3 + h;
  return h;
}

bool AllDigits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The look and place of the text while an event line is read.
struct TState {
  TSubtitleRun Look;
  int Alignment = 2;
  bool AlignmentSet = false;  // the first alignment tag of a line counts
  bool Drawing = false;

  void TakeStyle(const TSubtitleStyle& s) {
    Look.Bold = s.Bold;
    Look.Italic = s.Italic;
    Look.Underline = s.Underline;
    Look.StrikeOut = s.StrikeOut;
    Look.Colour = s.Colour;
  }
};

// One override tag without its backslash.
void ApplyTag(std::string_view tag, TState& st, const TSubtitleStyle& lineStyle, const TSubtitleStyles& styles) {
  tag = Trim(tag);
  if (tag.empty()) return;
  auto flag = [&](std::string_view arg, bool styleValue, bool& out) {
    int v = 0;
    if (arg.empty())
      out = styleValue;
    else if (ParseInt(arg, v))
      out = v != 0;
  };
  const char c = tag.front();
  const std::string_view rest = tag.substr(1);
  if (tag.substr(0, 2) == "an" && AllDigits(tag.substr(2))) {
    int a = 0;
    if (!st.AlignmentSet && ParseInt(tag.substr(2), a) && a >= 1 && a <= 9) {
      st.Alignment = a;
      st.AlignmentSet = true;
    }
  } else if (c == 'a' && !rest.empty() && AllDigits(rest)) {
    int a = 0;
    if (!st.AlignmentSet && ParseInt(rest, a) && LegacyAlignment(a) > 0) {
      st.Alignment = LegacyAlignment(a);
      st.AlignmentSet = true;
    }
  } else if (c == 'i' && AllDigits(rest)) {
    flag(rest, lineStyle.Italic, st.Look.Italic);
  } else if (c == 'u' && AllDigits(rest)) {
    flag(rest, lineStyle.Underline, st.Look.Underline);
  } else if (c == 's' && AllDigits(rest)) {
    flag(rest, lineStyle.StrikeOut, st.Look.StrikeOut);
  } else if (c == 'b' && AllDigits(rest)) {
    int w = 0;
    if (rest.empty())
      st.Look.Bold = lineStyle.Bold;
    else if (ParseInt(rest, w))
      st.Look.Bold = w == 1 || w >= 600;
  } else if ((c == 'c' && (rest.empty() || rest.front() == '&' || rest.front() == 'H' || rest.front() == 'h')) ||
             (tag.substr(0, 2) == "1c")) {
    const std::string_view arg = c == 'c' ? rest : tag.substr(2);
    if (Trim(arg).empty())
      st.Look.Colour = lineStyle.Colour;
    else
      ParseColour(arg, st.Look.Colour);
  } else if (c == 'r') {
    st.TakeStyle(Trim(rest).empty() ? lineStyle : styles.Find(Trim(rest)));
  } else if (c == 'p' && AllDigits(rest)) {
    int v = 0;
    if (ParseInt(rest, v)) st.Drawing = v > 0;
  }
}

}  // namespace

std::string TSubtitleEvent::Plain() const {
  std::string out;
  for (const TSubtitleRun& r : Runs) out += r.Text;
  return out;
}

std::string TSubtitleText::Plain() const {
  std::string out;
  for (const TSubtitleEvent& e : Events) {
    if (!out.empty()) out += '\n';
    out += e.Plain();
  }
  return out;
}

TSubtitleStyles::TSubtitleStyles(std::string_view header) {
  // The fields of a style line in the order of the section's Format line; without one, the
  // order the script type writes.
  std::vector<std::string_view> format;
  bool inStyles = false, legacy = false;
  while (!header.empty()) {
    const size_t end = header.find('\n');
    std::string_view line = Trim(header.substr(0, end));
    header.remove_prefix(end == std::string_view::npos ? header.size() : end + 1);
    if (!line.empty() && line.front() == '[') {
      inStyles = SameName(line, "[V4+ Styles]") || SameName(line, "[V4 Styles]");
      legacy = SameName(line, "[V4 Styles]");
      format.clear();
      if (inStyles && legacy)
        format = {"Name", "Fontname", "Fontsize",    "PrimaryColour", "SecondaryColour", "TertiaryColour", "BackColour",
                  "Bold", "Italic",   "BorderStyle", "Outline",       "Shadow",          "Alignment"};
      else if (inStyles)
        format = {"Name",          "Fontname",   "Fontsize", "PrimaryColour", "SecondaryColour",
                  "OutlineColour", "BackColour", "Bold",     "Italic",        "Underline",
                  "StrikeOut",     "ScaleX",     "ScaleY",   "Spacing",       "Angle",
                  "BorderStyle",   "Outline",    "Shadow",   "Alignment"};
      continue;
    }
    if (!inStyles) continue;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, colon)), value = line.substr(colon + 1);
    if (SameName(key, "Format")) {
      format = SplitFields(value);
      continue;
    }
    if (!SameName(key, "Style")) continue;
    const std::vector<std::string_view> fields = SplitFields(value);
    TSubtitleStyle s;
    for (size_t i = 0; i < fields.size() && i < format.size(); ++i) {
      const std::string_view f = format[i], v = fields[i];
      int n = 0;
      if (SameName(f, "Name"))
        s.Name = std::string(v);
      else if (SameName(f, "PrimaryColour"))
        ParseColour(v, s.Colour);
      else if (SameName(f, "Bold") && ParseInt(v, n))
        s.Bold = n != 0;
      else if (SameName(f, "Italic") && ParseInt(v, n))
        s.Italic = n != 0;
      else if (SameName(f, "Underline") && ParseInt(v, n))
        s.Underline = n != 0;
      else if (SameName(f, "StrikeOut") && ParseInt(v, n))
        s.StrikeOut = n != 0;
      else if (SameName(f, "Alignment") && ParseInt(v, n)) {
        const int a = legacy ? LegacyAlignment(n) : n;
        if (a >= 1 && a <= 9) s.Alignment = a;
      }
    }
    styles_.push_back(std::move(s));
  }
}

const TSubtitleStyle& TSubtitleStyles::Find(std::string_view name) const {
  while (!name.empty() && name.front() == '*') name.remove_prefix(1);
  for (const TSubtitleStyle& s : styles_)
    if (SameName(s.Name, name)) return s;
  for (const TSubtitleStyle& s : styles_)
    if (SameName(s.Name, "Default")) return s;
  return styles_.empty() ? fallback_ : styles_.front();
}

TSubtitleEvent SubtitleEvent(std::string_view line, const TSubtitleStyles& styles) {
  TSubtitleEvent event;
  // Skip the fields before the text, keeping the style's name.
  int fields = 8, styleField = 2;
  constexpr std::string_view kDialogue = "Dialogue:";
  if (line.substr(0, kDialogue.size()) == kDialogue) {
    line.remove_prefix(kDialogue.size());
    fields = 9;
    styleField = 3;
  }
  std::string_view styleName;
  for (int i = 0; i < fields; ++i) {
    const size_t comma = line.find(',');
    if (comma == std::string_view::npos) return event;
    if (i == styleField) styleName = Trim(line.substr(0, comma));
    line.remove_prefix(comma + 1);
  }
  const TSubtitleStyle& style = styles.Find(styleName);
  TState st;
  st.TakeStyle(style);
  st.Alignment = style.Alignment;

  auto put = [&](char ch) {
    if (st.Drawing) return;
    if (event.Runs.empty() || !event.Runs.back().SameLook(st.Look)) {
      TSubtitleRun run = st.Look;
      run.Text.clear();
      event.Runs.push_back(std::move(run));
    }
    event.Runs.back().Text += ch;
  };
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '{') {
      // An override block; an unclosed one is kept as text.
      const size_t close = line.find('}', i + 1);
      if (close != std::string_view::npos) {
        const std::string_view block = line.substr(i + 1, close - i - 1);
        for (size_t t = 0; t < block.size();) {
          if (block[t] != '\\') {
            ++t;
            continue;
          }
          // A tag runs to the next backslash outside parentheses.
          size_t e = t + 1;
          int depth = 0;
          while (e < block.size() && (depth > 0 || block[e] != '\\')) {
            if (block[e] == '(') ++depth;
            if (block[e] == ')' && depth > 0) --depth;
            ++e;
          }
          ApplyTag(block.substr(t + 1, e - t - 1), st, style, styles);
          t = e;
        }
        i = close;
        continue;
      }
    } else if (c == '\\' && i + 1 < line.size()) {
      const char e = line[i + 1];
      if (e == 'N' || e == 'n') {
        put('\n');
        ++i;
        continue;
      }
      if (e == 'h') {
        put(' ');
        ++i;
        continue;
      }
      if (e == '{' || e == '}' || e == '\\') {
        put(e);
        ++i;
        continue;
      }
    } else if (c == '\r' || c == '\n') {
      continue;  // line ends of the event line itself
    }
    put(c);
  }
  // Trailing line breaks go, and the runs they leave empty.
  while (!event.Runs.empty()) {
    std::string& t = event.Runs.back().Text;
    while (!t.empty() && t.back() == '\n') t.pop_back();
    if (!t.empty()) break;
    event.Runs.pop_back();
  }
  event.Alignment = st.Alignment;
  return event;
}

std::string SubtitleEventText(std::string_view eventLine) {
  return SubtitleEvent(eventLine, TSubtitleStyles()).Plain();
}
