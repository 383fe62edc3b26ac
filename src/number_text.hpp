#pragma once
// Cell texts read as numbers: the one reading shared by the row iterator and
// the batch builder, so that a text cell shows the same number either way.
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvane::output {

// An optional sign, then decimal digits, nothing around them, within the
// 64-bit range.
std::optional<std::int64_t> parse_int(std::string_view s);

// An optional sign, then digits with an optional point and exponent, or
// inf, infinity, nan in any letter case; nothing around it. Overflow reads
// as an infinity, underflow as zero (or a subnormal).
std::optional<double> parse_float(std::string_view s);

// Truncation toward zero, saturating at the 64-bit limits, NaN giving 0.
std::int64_t truncate_to_int(double x);

// An integer column's reading of a text: an integer, else a float truncated.
inline std::optional<std::int64_t> parse_int_or_truncated(std::string_view s) {
  if (auto i = parse_int(s)) return i;
  if (auto f = parse_float(s)) return truncate_to_int(*f);
  return std::nullopt;
}

}  // namespace kelvane::output
