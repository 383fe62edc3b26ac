#pragma once
// Text helpers of the whole system: ASCII case folding and comparison,
// trimming, UTF-8 decoding, validation and counting, Unicode upper-casing,
// and the writing of warning lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::text {

// ---------------------------------------------------------------------------
// ASCII

constexpr char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
constexpr bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
// The blanks of C's isspace: space, tab, line feed, vertical tab, form feed,
// carriage return.
constexpr bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// An ASCII upper-case copy; other bytes are kept.
std::string to_upper(std::string_view s);
// Equal when ASCII letters are compared without regard to case.
bool iequals(std::string_view a, std::string_view b);
// `name` upper-cased (ASCII) equals `upper` byte for byte.
bool equals_upper(std::string_view name, std::string_view upper);

// The ASCII upper case of a short text in a buffer of its own, so that the
// hot path (G and M words, names) upper-cases without allocating.
class UpperBuf {
 public:
  explicit UpperBuf(std::string_view s) {
    if (s.size() > sizeof buf_) {
      on_heap(s);
      return;
    }
    for (std::size_t i = 0; i < s.size(); ++i) buf_[i] = ascii_upper(s[i]);
    view_ = std::string_view(buf_, s.size());
  }
  UpperBuf(const UpperBuf&) = delete;
  UpperBuf& operator=(const UpperBuf&) = delete;
  std::string_view view() const { return view_; }

 private:
  void on_heap(std::string_view s);
  char buf_[48];
  std::string heap_;
  std::string_view view_;
};

// Without the leading and trailing bytes of `blanks`.
std::string_view trim(std::string_view s, std::string_view blanks = " \t\n\v\f\r");
std::string_view trim_end(std::string_view s, std::string_view blanks = " \t\n\v\f\r");

// ---------------------------------------------------------------------------
// UTF-8

// One decoded character. An invalid, overlong, surrogate or truncated
// sequence is one invalid character of one byte, with code U+FFFD.
struct Utf8Char {
  char32_t code = 0;
  std::size_t len = 1;
  bool valid = true;
};
Utf8Char decode_utf8(std::string_view s, std::size_t pos);

// Whether the whole text is well-formed UTF-8 (ASCII runs are checked eight
// bytes at a time).
bool valid_utf8(std::string_view s);

// The line feeds of `s`: how many there are; the offset just behind every
// `stride`-th of them is appended to `after` (stride >= 1).
std::size_t sampled_line_feeds(std::string_view s, std::size_t stride,
                               std::vector<std::size_t>& after);
// Characters of a text, an invalid byte counting as one.
std::size_t char_count(std::string_view s);
// Byte offset of character `n` (the end of the text when it has fewer).
std::size_t byte_offset_of_char(std::string_view s, std::size_t n);
// Appends the UTF-8 form of a code point.
void append_utf8(std::string& out, char32_t c);

// Unicode White_Space.
bool is_unicode_whitespace(char32_t c);
// The text without leading / trailing Unicode whitespace.
std::string_view trim_unicode_start(std::string_view s);
std::string_view trim_unicode_end(std::string_view s);
inline std::string_view trim_unicode(std::string_view s) { return trim_unicode_end(trim_unicode_start(s)); }

// Full upper-casing of UTF-8 text for the scripts NC programs use (ASCII,
// Latin-1, Latin Extended-A/B/Additional, Greek, Cyrillic, Armenian,
// fullwidth Latin) with the one-to-many cases (ß -> SS, ligatures, ŉ ...);
// other characters and invalid bytes are copied unchanged.
std::string upper_case(std::string_view s);

// ---------------------------------------------------------------------------
// Warnings

// "Warning [line N]: ", the start of a warning about one line.
std::string warning_prefix(std::size_t line);
// Writes one whole line (a "\n" is appended) to standard error at once.
void write_warning_line(std::string line);

}  // namespace kelvane::text
