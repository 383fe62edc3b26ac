#pragma once
// The character classes and the number scanner the line decoders share, so
// that every decoder of a line reads its blanks and numbers alike; not for
// use outside the line driver.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvane::line_driver {

// ---------------------------------------------------------------------------
// Character classes (ASCII only; bytes above 127 belong to none)

enum : std::uint8_t { kBlank = 1, kLetter = 2, kDigit = 4, kIdent = 8 };

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> t{};
  t[' '] = kBlank;
  t['\t'] = kBlank;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = kLetter | kIdent;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = kLetter | kIdent;
  for (int c = '0'; c <= '9'; ++c) t[c] = kDigit | kIdent;
  t['_'] = kIdent;
  return t;
}
inline constexpr std::array<std::uint8_t, 256> kClasses = make_classes();

inline bool is_blank(char c) { return kClasses[static_cast<unsigned char>(c)] & kBlank; }
inline bool is_letter(char c) { return kClasses[static_cast<unsigned char>(c)] & kLetter; }
inline bool is_digit(char c) { return kClasses[static_cast<unsigned char>(c)] & kDigit; }
inline bool is_ident(char c) { return kClasses[static_cast<unsigned char>(c)] & kIdent; }

inline std::size_t skip_blanks(std::string_view s, std::size_t p) {
  while (p < s.size() && is_blank(s[p])) ++p;
  return p;
}

// ---------------------------------------------------------------------------
// Numbers

// Powers of ten that a double holds exactly.
inline constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A number of more than 15 digits, read by the standard conversion (an
// overflow reads as an infinity, an underflow as zero).
double convert_number(std::string_view text);

// The number scanner, inline where words are decoded: an optional "-", one or
// more digits, optionally "." and digits; the character after it must not be
// a letter, "." or "_". Advances `pos` past the number.
//
// Up to 15 digits are gathered as they are scanned into one integer: it and
// the power of ten to divide it by are both exact, so the one division rounds
// as reading the text does. Longer numbers are read by convert_number.
[[gnu::always_inline]] inline std::optional<double> scan_number(std::string_view s,
                                                                std::size_t& pos) {
  std::size_t p = pos;
  const std::size_t start = p;
  const std::size_t n = s.size();
  const bool negative = p < n && s[p] == '-';
  if (negative) ++p;
  std::uint64_t mantissa = 0;
  std::size_t count = 0, fraction = 0;
  const std::size_t digits = p;
  for (; p < n && static_cast<unsigned char>(s[p] - '0') < 10; ++p, ++count)
    mantissa = mantissa * 10 + static_cast<std::uint64_t>(s[p] - '0');
  if (p == digits) return std::nullopt;
  if (p < n && s[p] == '.') {
    ++p;
    for (; p < n && static_cast<unsigned char>(s[p] - '0') < 10; ++p, ++count, ++fraction)
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(s[p] - '0');
  }
  if (p < n && (is_letter(s[p]) || s[p] == '.' || s[p] == '_')) return std::nullopt;
  pos = p;
  if (count <= 15) [[likely]] {
    const double v = static_cast<double>(mantissa) / kExactPowersOfTen[fraction];
    return negative ? -v : v;
  }
  return convert_number(s.substr(start, p - start));
}

}  // namespace kelvane::line_driver
