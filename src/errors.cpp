#include "errors.hpp"

#include <charconv>
#include <cmath>

namespace kelvane::errors {

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0.0) return std::signbit(value) ? "-0" : "0";
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  std::string text(buf, res.ptr);
  // fixed notation with the shortest round-trip digits; the shortest form
  // never ends in a bare point, and integral values have no fraction.
  return text;
}

}  // namespace kelvane::errors
