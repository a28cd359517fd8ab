// Text subtitles as the player shows them: the decoders of every text format (SubRip, ASS/SSA,
// WebVTT, mov_text) hand over ASS event lines; these are read into runs of text with their
// look (bold, italic, underline, strike-out, colour) and a place on the picture, from the
// script's styles and the override tags of the line. Positions, movements, fades, sizes and
// fonts of the tags are not followed: the text goes to one of the nine places of its alignment.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A piece of text in one look. The text may hold '\n' (a hard line break).
struct TSubtitleRun {
  std::string Text;
  bool Bold = false, Italic = false, Underline = false, StrikeOut = false;
  uint32_t Colour = 0xFFFFFF;  // 0xRRGGBB
  bool SameLook(const TSubtitleRun& o) const {
    return Bold == o.Bold && Italic == o.Italic && Underline == o.Underline && StrikeOut == o.StrikeOut &&
           Colour == o.Colour;
  }
  bool operator==(const TSubtitleRun&) const = default;
};

// One subtitle event: its runs and where it goes, as on a numeric keypad: 1-3 along the bottom
// (left, centre, right), 4-6 across the middle, 7-9 along the top.
struct TSubtitleEvent {
  std::vector<TSubtitleRun> Runs;
  int Alignment = 2;
  std::string Plain() const;
  bool operator==(const TSubtitleEvent&) const = default;
};

// Every event in force at one moment, the earliest first.
struct TSubtitleText {
  std::vector<TSubtitleEvent> Events;
  // The events' text one under the other ('\n' between them); empty when there is none.
  std::string Plain() const;
  bool Empty() const { return Events.empty(); }
  bool operator==(const TSubtitleText&) const = default;
};

// A style of the script's [V4+ Styles] (or [V4 Styles]) section.
struct TSubtitleStyle {
  std::string Name = "Default";
  uint32_t Colour = 0xFFFFFF;  // the primary colour, 0xRRGGBB
  bool Bold = false, Italic = false, Underline = false, StrikeOut = false;
  int Alignment = 2;
};

// The styles of a script header (the decoder's subtitle header).
class TSubtitleStyles {
public:
  TSubtitleStyles() = default;
  explicit TSubtitleStyles(std::string_view header);
  // The style of that name (letter case ignored, a leading '*' too); the "Default" style, else
  // the first one, else white upright text at the bottom centre, for an unknown name.
  const TSubtitleStyle& Find(std::string_view name) const;
  size_t Count() const { return styles_.size(); }

private:
  std::vector<TSubtitleStyle> styles_;
  TSubtitleStyle fallback_;
};

// The event of one decoded event line: the text after the eight leading commas of the
// decoder's event format (ReadOrder, Layer, Style, Name, MarginL, MarginR, MarginV, Effect,
// Text), or after nine following a "Dialogue:" prefix (Layer, Start, End, Style, ...), in its
// style's look, changed by the override tags {\i1}, {\b1} (or a weight from 600), {\u1}, {\s1},
// {\c&HBBGGRR&} / {\1c...}, {\r} / {\rName}, {\an7} / {\a5} (the older numbering); other tags
// are skipped, and the text drawn as shapes ({\p1} up to {\p0}) is left out. \N and \n become
// line breaks, \h a space, \{ \} \\ the character itself; trailing line breaks go. A line with
// too few fields has no runs.
TSubtitleEvent SubtitleEvent(std::string_view eventLine, const TSubtitleStyles& styles);
// Its plain text.
std::string SubtitleEventText(std::string_view eventLine);
