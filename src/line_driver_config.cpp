#include "line_driver.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include <oneapi/tbb/info.h>

#include "text.hpp"

// The line driver's settings from the environment.
namespace kelvane::line_driver {

namespace {

// An optional "+" and decimal digits only, within 64 bits.
std::optional<std::uint64_t> parse_u64(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (!text::is_ascii_digit(c)) return std::nullopt;
    const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::size_t read_pool_threads() {
  if (const char* v = std::getenv("RAYON_NUM_THREADS")) {
    if (auto n = parse_u64(v); n && *n > 0) return static_cast<std::size_t>(std::min<std::uint64_t>(*n, 4096));
  }
  const int d = tbb::info::default_concurrency();
  return d > 0 ? static_cast<std::size_t>(d) : 1;
}

}  // namespace

bool stage1_enabled() {
  const char* v = std::getenv("NC_STAGE1");
  if (v == nullptr) return true;
  const std::string_view s(v);
  if (s == "0") return false;
  return !text::iequals(s, "OFF");
}

std::size_t stream_min_bytes() {
  const char* v = std::getenv("NC_STREAM_MIN_BYTES");
  if (v == nullptr) return kDefaultStreamMinBytes;
  auto n = parse_u64(v);
  if (!n) return kDefaultStreamMinBytes;
  return static_cast<std::size_t>(*n);
}

bool stats_enabled() {
  const char* v = std::getenv("NC_STAGE1_STATS");
  return v != nullptr && text::valid_utf8(v);
}

std::size_t pool_threads() {
  static const std::size_t threads = read_pool_threads();
  return threads;
}

}  // namespace kelvane::line_driver
