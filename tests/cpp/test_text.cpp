#include "text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane::text {
namespace {

TEST(Utf8, DecodingCountingAndValidation) {
  struct Case {
    std::string text;
    std::size_t chars;
    bool valid;
  };
  const Case cases[] = {
      {"", 0, true},
      {"abc", 3, true},
      {"\u00E4\u20AC\U0001F600", 3, true},
      {"a\xFF" "b", 3, false},               // a stray byte is one character
      {"\xC3", 1, false},                    // truncated
      {"\xC0\x80", 2, false},                // overlong NUL
      {"\xE0\x80\x80", 3, false},            // overlong three-byte form
      {"\xED\xA0\x80", 3, false},            // surrogate
      {"\xF4\x90\x80\x80", 4, false},        // beyond U+10FFFF
      {std::string(20, 'x') + "\u00E9" + std::string(9, 'y'), 30, true},  // past the ASCII fast path
  };
  for (const Case& c : cases) {
    EXPECT_EQ(char_count(c.text), c.chars) << c.text;
    EXPECT_EQ(valid_utf8(c.text), c.valid) << c.text;
  }
  const Utf8Char euro = decode_utf8("\u20AC", 0);
  EXPECT_EQ(euro.code, 0x20ACu);
  EXPECT_EQ(euro.len, 3u);
  EXPECT_TRUE(euro.valid);
  const Utf8Char bad = decode_utf8("\xFFx", 0);
  EXPECT_FALSE(bad.valid);
  EXPECT_EQ(bad.len, 1u);
  EXPECT_EQ(byte_offset_of_char("a\u00E4b", 2), 3u);
  EXPECT_EQ(byte_offset_of_char("ab", 5), 2u);
  std::string out;
  for (char32_t c : {U'a', U'\u00E4', U'\u20AC', U'\U0001F600'}) append_utf8(out, c);
  EXPECT_EQ(out, "a\u00E4\u20AC\U0001F600");
}

TEST(Ascii, CaseAndTrimming) {
  EXPECT_EQ(to_upper("gOto_f1\u00E4"), "GOTO_F1\u00E4");
  EXPECT_TRUE(iequals("Gotof", "GOTOF"));
  EXPECT_FALSE(iequals("GOTO", "GOTOF"));
  EXPECT_TRUE(equals_upper("ra1", "RA1"));
  EXPECT_FALSE(equals_upper("RA1", "ra1"));  // the second text is taken as upper case
  EXPECT_EQ(UpperBuf("m30").view(), "M30");
  const std::string long_name(100, 'q');
  EXPECT_EQ(UpperBuf(long_name).view(), std::string(100, 'Q'));
  EXPECT_EQ(trim("\t x y \v\r\n"), "x y");
  EXPECT_EQ(trim("   "), "");
  EXPECT_EQ(trim_end("  x  "), "  x");
  EXPECT_EQ(trim("--x--", "-"), "x");
}

TEST(Warnings, Prefix) { EXPECT_EQ(warning_prefix(12), "Warning [line 12]: "); }

}  // namespace
}  // namespace kelvane::text

// The sampled line feeds agree with a plain walk, whatever the density of
// line feeds in a 64-byte block and wherever the text ends.
TEST(LineFeeds, SamplesAgreeWithAPlainWalk) {
  std::vector<std::string> texts = {"", "\n", "abc", std::string(64, '\n'), std::string(200, '\n'),
                                    std::string(130, 'x') + "\n"};
  std::string mixed;
  for (std::size_t i = 0; i < 1000; ++i) mixed += std::string(i % 7, 'a') + (i % 5 ? "\n" : "\r\n");
  texts.push_back(mixed);
  texts.push_back(mixed.substr(0, 777));
  for (const std::string& text : texts) {
    for (std::size_t stride : {1, 3, 16, 64}) {
      std::vector<std::size_t> want;
      std::size_t count = 0;
      for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' && ++count % stride == 0) want.push_back(i + 1);
      std::vector<std::size_t> got{0};
      EXPECT_EQ(kelvane::text::sampled_line_feeds(text, stride, got), count) << text.size() << " " << stride;
      got.erase(got.begin());
      EXPECT_EQ(got, want) << text.size() << " " << stride;
    }
  }
}
