#include "number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <system_error>

namespace kelvane::output {

std::optional<std::int64_t> parse_int(std::string_view s) {
  std::string_view body = s;
  // from_chars takes a '-' but no '+'; a '+' before a '-' is no sign at all
  if (!body.empty() && body[0] == '+') {
    body.remove_prefix(1);
    if (!body.empty() && body[0] == '-') return std::nullopt;
  }
  if (body.empty()) return std::nullopt;
  std::int64_t v = 0;
  auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), v);
  if (ec != std::errc() || ptr != body.data() + body.size()) return std::nullopt;
  return v;
}

std::optional<double> parse_float(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::string_view body = s;
  if (body[0] == '+') {
    body.remove_prefix(1);
    if (body.empty() || body[0] == '+' || body[0] == '-') return std::nullopt;
  }
  if (body.find('(') != std::string_view::npos) return std::nullopt;  // no nan(...) payloads
  double v = 0.0;
  auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), v,
                                   std::chars_format::general);
  if (ptr != body.data() + body.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // from_chars gives no value here; strtod gives the infinity or the zero
    std::string copy(body);
    return std::strtod(copy.c_str(), nullptr);
  }
  if (ec != std::errc()) return std::nullopt;
  return v;
}

std::int64_t truncate_to_int(double x) {
  if (std::isnan(x)) return 0;
  // -2^63 is the smallest int64 itself, 2^63 is one past the largest
  if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (x <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

}  // namespace kelvane::output
