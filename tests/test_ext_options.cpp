#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/options.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs Parse(const std::string& text) {
  Pairs out;
  for (const TExtOption& o : ParseExtOptions(text)) out.emplace_back(o.Name, o.Value);
  return out;
}

struct Row {
  const char* text;
  Pairs expected;
};

TEST(ParseExtOptions, SplitsNormalisesAndLowerCases) {
  const Row rows[] = {
      {"", {}},
      {" \r\n\t ", {}},
      {"vn=1", {{"vn", "1"}}},
      // Names are lower-cased, values kept; only the first "=" splits.
      {"VF=scale=320:240\r\nACodec=AAC", {{"vf", "scale=320:240"}, {"acodec", "AAC"}}},
      // Literal <CRLF> markers, lone CR and LF all break lines; empty lines are skipped.
      {"a=1<CRLF>b=2\rc=3\n\nd=4<CRLF><CRLF>", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}}},
      // A line without "=" gives an empty value; an empty value stays empty.
      {"newaudio\nnewvideo=", {{"newaudio", ""}, {"newvideo", ""}}},
      // The text as a whole is trimmed; a value inside it keeps its blanks.
      {"  title=a b  \nvf=drawtext=text='x '  ", {{"title", "a b  "}, {"vf", "drawtext=text='x '"}}},
      // A line of blanks between two options names nothing.
      {"a=1\n   \nb=2", {{"a", "1"}, {"b", "2"}}},
  };
  for (const Row& r : rows) EXPECT_EQ(Parse(r.text), r.expected) << "text: " << r.text;
}

}  // namespace
