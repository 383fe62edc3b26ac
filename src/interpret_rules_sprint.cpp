#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"
#include "limits.hpp"
#include "text.hpp"

// SPRINT: a format text with %d %f %s %x %b %c conversions, each with an
// optional field width and precision, filled from the further arguments.
namespace kelvane::interpret_rules {

using errors::fail;
using errors::float_text;

namespace {

// One SPRINT call: where it stands and the state its arguments read.
struct Sprint {
  std::size_t line;
  const std::string& line_text;
  State& state;

  ParsingError error(std::string_view message) const {
    return ParsingError::with_context(line, line_text, "SPRINT", message);
  }
  Result<double> number(const Pair& arg) const {
    return eval_number_arg(arg, state, line, line_text);
  }
};

// One conversion of a format: "%" [width] ["." precision] letter.
struct Conversion {
  std::uint64_t width = 0;
  bool has_precision = false;
  std::uint64_t precision = 6;
  std::string letter;  // upper-cased when it is one byte
};

std::optional<std::uint64_t> parse_u64(std::string_view t) {
  if (t.empty()) return std::nullopt;
  std::uint64_t v = 0;
  auto res = std::from_chars(t.data(), t.data() + t.size(), v);
  if (res.ec != std::errc() || res.ptr != t.data() + t.size()) return std::nullopt;
  return v;
}

// A number as an integer message part, saturated to the signed range.
std::string saturated_text(std::uint64_t v) {
  std::string out;
  append_int(out, static_cast<std::int64_t>(std::min<std::uint64_t>(v, INT64_MAX)));
  return out;
}

// Rounded half away from zero, saturated to signed 64 bits, NaN giving 0.
std::int64_t rounded_i64(double v) {
  if (std::isnan(v)) return 0;
  double r = std::round(v);
  if (r >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (r < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(r);
}

bool is_text_argument(const Pair& arg, const State& state) {
  switch (arg.as_rule()) {
    case Rule::string_value:
    case Rule::string_expression:
    case Rule::string:
      return true;
    case Rule::expression:
      return expression_is_string(arg, state);
    default:
      return false;
  }
}

std::string fixed_text(double v, std::uint64_t precision) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  std::string out(330 + static_cast<std::size_t>(precision), '\0');
  auto res = std::to_chars(out.data(), out.data() + out.size(), v, std::chars_format::fixed,
                           static_cast<int>(precision));
  out.resize(static_cast<std::size_t>(res.ptr - out.data()));
  return out;
}

// Reads the conversion whose '%' stands at f[i] and moves `i` past it. A
// conversion without an argument left is refused before its width is read.
Result<Conversion> read_conversion(std::string_view f, std::size_t& i, bool has_argument,
                                   const Sprint& call) {
  std::size_t j = i + 1;
  while (j < f.size() && (text::is_ascii_digit(f[j]) || f[j] == '.')) ++j;
  if (j >= f.size()) return fail(call.error("dangling '%' at end of SPRINT format"));
  if (!has_argument) return fail(call.error("SPRINT format has more conversions than arguments"));
  const std::string_view spec = f.substr(i + 1, j - i - 1);
  Conversion c;
  const std::size_t dot = spec.find('.');
  const std::string_view width_text = spec.substr(0, dot);
  if (!width_text.empty()) {
    auto w = parse_u64(width_text);
    if (!w) return fail(call.error(cat({"invalid SPRINT field width '", width_text, "'"})));
    c.width = *w;
  }
  c.has_precision = dot != std::string_view::npos;
  if (c.has_precision) {
    const std::string_view ptext = spec.substr(dot + 1);
    auto p = parse_u64(ptext);
    if (!p) return fail(call.error(cat({"invalid SPRINT precision '", ptext, "'"})));
    c.precision = *p;
  }
  const text::Utf8Char letter = text::decode_utf8(f, j);
  c.letter = std::string(f.substr(j, letter.len));
  if (c.letter.size() == 1) c.letter[0] = text::ascii_upper(c.letter[0]);
  i = j + letter.len;
  return c;
}

// %d, %x and %f.
Result<std::string> number_piece(const Conversion& c, const Pair& arg, const Sprint& call) {
  auto v = call.number(arg);
  if (!v) return fail(std::move(v.error()));
  std::string piece;
  if (c.letter == "D") {
    append_int(piece, rounded_i64(*v));
  } else if (c.letter == "X") {
    char buf[20];
    auto res = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint64_t>(rounded_i64(*v)), 16);
    piece.assign(buf, res.ptr);
    for (char& ch : piece) ch = text::ascii_upper(ch);
  } else {
    if (c.precision > limits::kMaxSprintPrecision) {
      return fail(call.error(cat({"SPRINT precision ", saturated_text(c.precision),
                                  " is too large (at most 65535)"})));
    }
    piece = fixed_text(*v, c.precision);
  }
  return piece;
}

// %b: TRUE for a non-empty text or a non-zero number.
Result<std::string> truth_piece(const Pair& arg, const Sprint& call) {
  bool truth;
  if (is_text_argument(arg, call.state)) {
    auto s = evaluate_string(arg, call.state);
    if (!s) return s;
    truth = !s->empty();
  } else {
    auto v = call.number(arg);
    if (!v) return fail(std::move(v.error()));
    truth = *v != 0.0;
  }
  return std::string(truth ? "TRUE" : "FALSE");
}

// %c: the first character of a text, or the character of a code 0..255.
Result<std::string> character_piece(const Pair& arg, const Sprint& call) {
  std::string piece;
  if (is_text_argument(arg, call.state)) {
    auto s = evaluate_string(arg, call.state);
    if (!s) return s;
    if (!s->empty()) piece = s->substr(0, text::decode_utf8(*s, 0).len);
    return piece;
  }
  auto v = call.number(arg);
  if (!v) return fail(std::move(v.error()));
  const double r = std::round(*v);
  if (!(r >= 0.0 && r <= 255.0)) {
    return fail(call.error(cat({"%c character code ", float_text(r), " is outside 0..255"})));
  }
  text::append_utf8(piece, static_cast<char32_t>(r));
  return piece;
}

// The text one conversion makes of its argument, before padding.
Result<std::string> convert(const Conversion& c, const Pair& arg, const Sprint& call) {
  if (c.letter == "D" || c.letter == "X" || c.letter == "F") return number_piece(c, arg, call);
  if (c.letter == "S") {
    auto s = evaluate_string(arg, call.state);
    if (!s) return s;
    if (c.has_precision) s->resize(text::byte_offset_of_char(*s, c.precision));
    return s;
  }
  if (c.letter == "B") return truth_piece(arg, call);
  if (c.letter == "C") return character_piece(arg, call);
  return fail(call.error(cat({"SPRINT conversion '%", c.letter,
                              "' is not supported (supported: %d %f %s %x %b %c)"})));
}

// Blanks before a piece shorter than its field width (in characters).
Status pad_to_width(std::string& out, std::string_view piece, std::uint64_t width,
                    const Sprint& call) {
  if (width == 0) return {};
  const std::size_t have = text::char_count(piece);
  if (have >= width) return {};
  if (width > limits::kMaxSprintWidth) {
    return fail(call.error(
        cat({"SPRINT field width ", saturated_text(width), " is too large (at most 1048576)"})));
  }
  out.append(static_cast<std::size_t>(width - have), ' ');
  return {};
}

}  // namespace

Result<std::string> evaluate_sprint(const std::vector<Pair>& args, std::size_t line,
                                    const std::string& line_text, State& state) {
  const Sprint call{line, line_text, state};
  if (args.empty()) return fail(call.error("SPRINT needs a format string"));
  auto format = evaluate_string(args[0], state);
  if (!format) return format;
  const std::string_view f = *format;
  std::string out;
  std::size_t next_arg = 1;
  std::size_t i = 0;
  while (i < f.size()) {
    if (f[i] != '%') {
      out.push_back(f[i]);
      ++i;
      continue;
    }
    if (i + 1 < f.size() && f[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    auto conversion = read_conversion(f, i, next_arg < args.size(), call);
    if (!conversion) return fail(std::move(conversion.error()));
    auto piece = convert(*conversion, args[next_arg++], call);
    if (!piece) return piece;
    if (auto st = pad_to_width(out, *piece, conversion->width, call); !st)
      return fail(std::move(st.error()));
    out += *piece;
  }
  return out;
}

}  // namespace kelvane::interpret_rules
