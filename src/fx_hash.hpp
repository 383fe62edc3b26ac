#pragma once
// The Fx hash of the system's short-keyed tables (axis, translation and
// output-key maps, the batch builder's columns and carry).
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kelvane {

// The Fx hash: one rotate-xor-multiply per 8-byte word of the text, then
// per 4-, 2- and 1-byte piece of the tail, then the length (so texts that
// differ only by trailing zero bytes do not collide).
// Fast and good enough for the short keys of axis and column tables.
struct FxHash {
  using is_transparent = void;
  static constexpr std::uint64_t kSeed = 0x51'7c'c1'b7'27'22'0a'95ULL;

  static constexpr std::uint64_t add(std::uint64_t h, std::uint64_t word) {
    return (std::rotl(h, 5) ^ word) * kSeed;
  }
  [[gnu::always_inline]] static std::uint64_t hash_bytes(std::string_view s) {
    std::uint64_t h = 0;
    const char* p = s.data();
    std::size_t n = s.size();
    while (n >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      h = add(h, w);
      p += 8;
      n -= 8;
    }
    if (n >= 4) {
      std::uint32_t w;
      std::memcpy(&w, p, 4);
      h = add(h, w);
      p += 4;
      n -= 4;
    }
    if (n >= 2) {
      std::uint16_t w;
      std::memcpy(&w, p, 2);
      h = add(h, w);
      p += 2;
      n -= 2;
    }
    if (n >= 1) {
      h = add(h, static_cast<unsigned char>(*p));
    }
    return add(h, static_cast<std::uint64_t>(s.size()));
  }
  [[gnu::always_inline]] std::size_t operator()(std::string_view s) const noexcept {
    return static_cast<std::size_t>(hash_bytes(s));
  }
  std::size_t operator()(const std::string& s) const noexcept { return (*this)(std::string_view(s)); }
  std::size_t operator()(const char* s) const noexcept { return (*this)(std::string_view(s)); }
};

struct NameEq {
  using is_transparent = void;
  // the one- and two-letter names of axes and addresses compared in place
  [[gnu::always_inline]] bool operator()(std::string_view a, std::string_view b) const noexcept {
    if (a.size() != b.size()) return false;
    switch (a.size()) {
      case 0: return true;
      case 1: return a[0] == b[0];
      case 2: return a[0] == b[0] && a[1] == b[1];
      default: return std::memcmp(a.data(), b.data(), a.size()) == 0;
    }
  }
};
}  // namespace kelvane
