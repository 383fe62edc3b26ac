#include "text.hpp"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kelvane::text {

// ---------------------------------------------------------------------------
// ASCII

std::string to_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_upper(c);
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
  return true;
}

bool equals_upper(std::string_view name, std::string_view upper) {
  if (name.size() != upper.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (ascii_upper(name[i]) != upper[i]) return false;
  return true;
}

void UpperBuf::on_heap(std::string_view s) {
  heap_ = to_upper(s);
  view_ = heap_;
}

std::string_view trim(std::string_view s, std::string_view blanks) {
  const auto b = s.find_first_not_of(blanks);
  if (b == std::string_view::npos) return s.substr(s.size());
  const auto e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

std::string_view trim_end(std::string_view s, std::string_view blanks) {
  const auto e = s.find_last_not_of(blanks);
  return e == std::string_view::npos ? s.substr(0, 0) : s.substr(0, e + 1);
}

// ---------------------------------------------------------------------------
// UTF-8

Utf8Char decode_utf8(std::string_view s, std::size_t pos) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) return {b0, 1, true};
  constexpr Utf8Char kInvalid{0xFFFD, 1, false};
  std::size_t len = 0;
  char32_t c = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) { len = 2; c = b0 & 0x1F; }
  else if (b0 >= 0xE0 && b0 <= 0xEF) { len = 3; c = b0 & 0x0F; }
  else if (b0 >= 0xF0 && b0 <= 0xF4) { len = 4; c = b0 & 0x07; }
  else return kInvalid;
  if (pos + len > s.size()) return kInvalid;
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xC0) != 0x80) return kInvalid;
    c = (c << 6) | (b & 0x3F);
  }
  // overlong forms, surrogates and values past U+10FFFF are not characters
  if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
      (c >= 0xD800 && c <= 0xDFFF))
    return kInvalid;
  return {c, len, true};
}

std::size_t sampled_line_feeds(std::string_view s, std::size_t stride,
                               std::vector<std::size_t>& after) {
  const char* base = s.data();
  const std::size_t size = s.size();
  std::size_t count = 0;
  std::size_t pos = 0;
#if defined(__SSE2__)
  // 64 bytes at a time: their line feeds as the bits of a mask, walked one
  // by one only where a sample falls among them
  const __m128i feed = _mm_set1_epi8('\n');
  std::size_t to_next = stride;  // line feeds until the next sample
  const __m128i one = _mm_set1_epi8(1);
  const __m128i zero = _mm_setzero_si128();
  for (; pos + 64 <= size; pos += 64) {
    __m128i hits[4];
    __m128i ones = zero;
    for (int k = 0; k < 4; ++k) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + pos + 16 * k));
      hits[k] = _mm_cmpeq_epi8(v, feed);
      ones = _mm_add_epi8(ones, _mm_and_si128(hits[k], one));
    }
    // the byte counts added up, without a population count instruction
    const __m128i sums = _mm_sad_epu8(ones, zero);
    const auto found = static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                       static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    if (found < to_next) {
      to_next -= found;
      count += found;
      continue;
    }
    std::uint64_t mask = 0;
    for (int k = 0; k < 4; ++k)
      mask |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(hits[k])))
              << (16 * k);
    for (; mask != 0; mask &= mask - 1) {
      ++count;
      if (--to_next == 0) {
        after.push_back(pos + static_cast<std::size_t>(std::countr_zero(mask)) + 1);
        to_next = stride;
      }
    }
  }
#endif
  while (pos < size) {
    const void* hit = std::memchr(base + pos, '\n', size - pos);
    if (hit == nullptr) break;
    pos = static_cast<std::size_t>(static_cast<const char*>(hit) - base) + 1;
    if (++count % stride == 0) after.push_back(pos);
  }
  return count;
}

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    // ASCII runs, eight bytes at a time
    while (s.size() - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= s.size()) break;
    const Utf8Char c = decode_utf8(s, i);
    if (!c.valid) return false;
    i += c.len;
  }
  return true;
}

std::size_t char_count(std::string_view s) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size(); i += decode_utf8(s, i).len) ++count;
  return count;
}

std::size_t byte_offset_of_char(std::string_view s, std::size_t n) {
  std::size_t i = 0;
  for (; n > 0 && i < s.size(); --n) i += decode_utf8(s, i).len;
  return i;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool is_unicode_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim_unicode_start(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    // ASCII bytes, nearly all of a program, without decoding
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if (b != 0x20 && (b < 0x09 || b > 0x0D)) break;
      ++i;
      continue;
    }
    const Utf8Char c = decode_utf8(s, i);
    if (!c.valid || !is_unicode_whitespace(c.code)) break;
    i += c.len;
  }
  return s.substr(i);
}

std::string_view trim_unicode_end(std::string_view s) {
  std::size_t end = s.size();
  while (end > 0) {
    // step back to the start of the last character
    std::size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && end - start < 4)
      --start;
    const Utf8Char c = decode_utf8(s, start);
    if (start + c.len != end || !c.valid || !is_unicode_whitespace(c.code)) break;
    end = start;
  }
  return s.substr(0, end);
}

namespace {

// The one-to-many upper-case mappings; nullptr when there is none.
const char* special_upper(char32_t c) {
  switch (c) {
    case 0x00DF: return "SS";
    case 0x0149: return "\u02BCN";
    case 0x01F0: return "J\u030C";
    case 0x0390: return "\u0399\u0308\u0301";
    case 0x03B0: return "\u03A5\u0308\u0301";
    case 0x0587: return "\u0535\u0552";
    case 0x1E96: return "H\u0331";
    case 0x1E97: return "T\u0308";
    case 0x1E98: return "W\u030A";
    case 0x1E99: return "Y\u030A";
    case 0x1E9A: return "A\u02BE";
    case 0xFB00: return "FF";
    case 0xFB01: return "FI";
    case 0xFB02: return "FL";
    case 0xFB03: return "FFI";
    case 0xFB04: return "FFL";
    case 0xFB05: return "ST";
    case 0xFB06: return "ST";
    default: return nullptr;
  }
}

// The simple (one-to-one) upper case of a code point.
char32_t simple_upper(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c < 0x80) return c;
  // Latin-1
  if (c == 0x00B5) return 0x039C;
  if ((c >= 0x00E0 && c <= 0x00FE) && c != 0x00F7) return c - 0x20;
  if (c == 0x00FF) return 0x0178;
  // Latin Extended-A
  if (c >= 0x0100 && c <= 0x017F) {
    if (c == 0x0131) return 'I';
    if (c == 0x017F) return 'S';
    if (c == 0x0130 || c == 0x0138 || c == 0x0149) return c;
    if ((c >= 0x0100 && c <= 0x0137) || (c >= 0x014A && c <= 0x0177))
      return (c & 1) ? c - 1 : c;
    if ((c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E))
      return (c & 1) ? c : c - 1;
    return c;
  }
  // Latin Extended-B: the regular pairs used by European languages
  if ((c >= 0x01CD && c <= 0x01DC)) return (c & 1) ? c : c - 1;
  if ((c >= 0x01DE && c <= 0x01EF) || (c >= 0x01F8 && c <= 0x021F) ||
      (c >= 0x0222 && c <= 0x0233))
    return (c & 1) ? c - 1 : c;
  if (c == 0x01C6 || c == 0x01C9 || c == 0x01CC || c == 0x01F3) return c - 2;
  if (c == 0x01C5 || c == 0x01C8 || c == 0x01CB || c == 0x01F2) return c - 1;
  // Greek
  if (c >= 0x0370 && c <= 0x03FF) {
    if (c == 0x03AC) return 0x0386;
    if (c >= 0x03AD && c <= 0x03AF) return c - 37;
    if (c == 0x03C2) return 0x03A3;
    if (c >= 0x03B1 && c <= 0x03CB) return c - 0x20;
    if (c == 0x03CC) return 0x038C;
    if (c == 0x03CD || c == 0x03CE) return c - 63;
    if (c >= 0x03D8 && c <= 0x03EF) return (c & 1) ? c - 1 : c;
    return c;
  }
  // Cyrillic
  if (c >= 0x0430 && c <= 0x044F) return c - 0x20;
  if (c >= 0x0450 && c <= 0x045F) return c - 0x50;
  if ((c >= 0x0460 && c <= 0x0481) || (c >= 0x048A && c <= 0x04BF) ||
      (c >= 0x04D0 && c <= 0x052F))
    return (c & 1) ? c - 1 : c;
  if (c >= 0x04C1 && c <= 0x04CE) return (c & 1) ? c : c - 1;
  if (c == 0x04CF) return 0x04C0;
  // Armenian
  if (c >= 0x0561 && c <= 0x0586) return c - 0x30;
  // Latin Extended Additional
  if ((c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF)) return (c & 1) ? c - 1 : c;
  // Greek Extended: the plain-vowel rows
  if (c >= 0x1F00 && c <= 0x1F6F) {
    const char32_t low = c & 0xF;
    if (low < 8) {
      const char32_t row = c & 0xFFF0;
      if (row == 0x1F10 || row == 0x1F40) return low < 6 ? c + 8 : c;
      if (row == 0x1F50) return (c & 1) ? c + 8 : c;
      return c + 8;
    }
    return c;
  }
  // Fullwidth Latin
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
  return c;
}

}  // namespace

std::string upper_case(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      out += ascii_upper(static_cast<char>(b));
      ++i;
      continue;
    }
    const Utf8Char c = decode_utf8(s, i);
    if (!c.valid) {
      out += s[i];  // an invalid byte stays as it is
    } else if (const char* special = special_upper(c.code)) {
      out += special;
    } else {
      append_utf8(out, simple_upper(c.code));
    }
    i += c.len;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Warnings

std::string warning_prefix(std::size_t line) {
  return "Warning [line " + std::to_string(line) + "]: ";
}

void write_warning_line(std::string line) {
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace kelvane::text
