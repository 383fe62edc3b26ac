#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"
#include "text.hpp"

// The built-in functions of expressions: arithmetic (LN ... BOUND) and the
// string queries (STRLEN, INDEX, MATCH, NUMBER ...), with their arguments.
namespace kelvane::interpret_rules {

using errors::fail;
using errors::float_text;

errors::Result<double> eval_number_arg(const types::Pair& argument, state::State& state,
                                       std::size_t line, std::string_view line_text) {
  const types::Rule r = argument.as_rule();
  if (r == types::Rule::string_value || r == types::Rule::string_expression ||
      r == types::Rule::string) {
    return fail(errors::ParsingError::with_context(
        line, line_text, "function argument",
        cat({"expected a number but got the string ", text::trim(argument.as_str())})));
  }
  return evaluate_expression(argument, state);
}

errors::Result<std::uint64_t> eval_index_arg(const types::Pair& argument, state::State& state,
                                             std::size_t line, std::string_view line_text) {
  auto v = eval_number_arg(argument, state, line, line_text);
  if (!v) return fail(std::move(v.error()));
  if (*v >= 0.0 && *v == std::trunc(*v)) return saturating_u64(*v);
  return fail(errors::ParsingError::with_context(
      line, line_text, "string index",
      cat({"expected a non-negative integer index, got ", float_text(*v)})));
}

std::optional<double> parse_nc_number(std::string_view text) {
  const std::string_view t = text::trim(text);
  if (t.empty()) return std::nullopt;
  std::string u;
  u.reserve(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = text::ascii_upper(t[i]);
    if (c == 'E' && i + 1 < t.size() && text::ascii_upper(t[i + 1]) == 'X') {
      u.push_back('E');
      ++i;
    } else {
      u.push_back(c);
    }
  }
  std::string_view s = u;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s == "INF" || s == "INFINITY")
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  if (s == "NAN") return std::numeric_limits<double>::quiet_NaN();
  // digits [. digits] with at least one digit, then an optional exponent
  std::size_t i = 0, digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') { ++i; ++digits; }
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') { ++i; ++digits; }
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && s[i] == 'E') {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') { ++i; ++exp_digits; }
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  std::string body(s);
  double v = std::strtod(body.c_str(), nullptr);
  return negative ? -v : v;
}

namespace {

struct NumericFunction {
  std::string_view name;
  std::size_t arity;
};

constexpr std::array<NumericFunction, 17> kNumericFunctions{{
    {"LN", 1}, {"EXP", 1}, {"SQRT", 1}, {"ABS", 1}, {"POT", 1}, {"SIN", 1}, {"COS", 1},
    {"TAN", 1}, {"ASIN", 1}, {"ACOS", 1}, {"ATAN2", 2}, {"TRUNC", 1}, {"ROUND", 1},
    {"ROUNDUP", 1}, {"MINVAL", 2}, {"MAXVAL", 2}, {"BOUND", 3},
}};

// The characters of a text as codes; an invalid byte keeps a code of its own
// above the Unicode range, so that it equals no character and no other byte.
std::vector<std::uint32_t> decode_all(std::string_view s) {
  std::vector<std::uint32_t> out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const text::Utf8Char c = text::decode_utf8(s, i);
    out.push_back(c.valid ? c.code : 0x110000u + static_cast<unsigned char>(s[i]));
    i += c.len;
  }
  return out;
}

bool call_has_arguments_node(const types::Pair& call) {
  auto inner = call.into_inner();
  inner.next();
  auto list = inner.next();
  return list && list->as_rule() == types::Rule::function_arguments;
}

std::optional<std::size_t> string_query_arity(std::string_view name) {
  if (name == "STRLEN" || name == "NUMBER" || name == "ISNUMBER") return 1;
  if (name == "INDEX" || name == "RINDEX" || name == "MINDEX" || name == "MATCH") return 2;
  return std::nullopt;
}

errors::Result<double> string_query(std::string_view name, const std::vector<std::string>& a,
                                    std::size_t line, const std::string& line_text) {
  if (name == "STRLEN") {
    const std::string_view s = a[0];
    const std::size_t nul = s.find('\0');
    return static_cast<double>(text::char_count(s.substr(0, nul)));
  }
  if (name == "NUMBER") {
    if (auto v = parse_nc_number(a[0])) return *v;
    return fail(errors::ParsingError::with_context(
        line, line_text, "NUMBER",
        cat({"NUMBER(\"", a[0], "\"): the string is not a valid number"})));
  }
  if (name == "ISNUMBER") return parse_nc_number(a[0]) ? 1.0 : 0.0;
  const std::vector<std::uint32_t> s = decode_all(a[0]);
  const std::vector<std::uint32_t> p = decode_all(a[1]);
  if (name == "INDEX" || name == "RINDEX") {
    if (p.empty()) {
      return fail(errors::ParsingError::with_context(
          line, line_text, name, cat({name, " needs a non-empty search character"})));
    }
    if (name == "INDEX") {
      auto it = std::find(s.begin(), s.end(), p[0]);
      return it == s.end() ? -1.0 : static_cast<double>(it - s.begin());
    }
    auto it = std::find(s.rbegin(), s.rend(), p[0]);
    return it == s.rend() ? -1.0 : static_cast<double>(s.rend() - it - 1);
  }
  if (name == "MINDEX") {
    for (std::size_t i = 0; i < s.size(); ++i)
      if (std::find(p.begin(), p.end(), s[i]) != p.end()) return static_cast<double>(i);
    return -1.0;
  }
  // MATCH
  if (p.empty()) return 0.0;
  auto it = std::search(s.begin(), s.end(), p.begin(), p.end());
  return it == s.end() ? -1.0 : static_cast<double>(it - s.begin());
}

// A string query with its arguments, each read as text.
errors::Result<double> call_string_query(std::string_view name, std::size_t arity,
                                         const std::vector<types::Pair>& args, std::size_t line,
                                         state::State& state) {
  const std::string line_text = state.line_text(line);
  if (args.size() != arity) {
    return fail(errors::InvalidFunctionArity{line_text, std::string(name), line, arity,
                                             args.size()});
  }
  std::vector<std::string> texts;
  for (const types::Pair& a : args) {
    auto s = evaluate_string(a, state);
    if (!s) return fail(std::move(s.error()));
    texts.push_back(std::move(*s));
  }
  return string_query(name, texts, line, line_text);
}

// The values of the arguments of an arithmetic function.
errors::Result<std::vector<double>> numeric_arguments(const std::vector<types::Pair>& args,
                                                      std::size_t line, state::State& state) {
  std::vector<double> values;
  values.reserve(args.size());
  for (const types::Pair& a : args) {
    // line text only matters for a text argument's error
    const types::Rule r = a.as_rule();
    const bool text_arg = r == types::Rule::string_value || r == types::Rule::string_expression ||
                          r == types::Rule::string;
    auto v = eval_number_arg(a, state, line, text_arg ? state.line_text(line) : std::string());
    if (!v) return fail(std::move(v.error()));
    values.push_back(*v);
  }
  return values;
}

// BOUND(min, max, x): x clamped to the limits.
errors::Result<double> bound(const types::Pair& call, double lo, double hi, double v,
                             const state::State& state) {
  if (std::isnan(lo) || std::isnan(hi)) {
    return fail(annotate_error(call, "BOUND",
                               cat({"BOUND limits must be numbers, got minimum (", float_text(lo),
                                    ") and maximum (", float_text(hi), ")"}),
                               state));
  }
  if (lo > hi) {
    return fail(annotate_error(call, "BOUND",
                               cat({"BOUND minimum (", float_text(lo),
                                    ") is greater than maximum (", float_text(hi), ")"}),
                               state));
  }
  if (v < lo) return lo;
  if (v > hi) return hi;
  return v;
}

// A known arithmetic function applied to as many values as it takes.
errors::Result<double> arithmetic(std::string_view name, const std::vector<double>& values,
                                  const types::Pair& call, const state::State& state) {
  const double x = values[0];
  if (name == "LN") return std::log(x);
  if (name == "EXP") return std::exp(x);
  if (name == "SQRT") return std::sqrt(x);
  if (name == "ABS") return std::fabs(x);
  if (name == "POT") return x * x;
  if (name == "SIN") return std::sin(x * kDegToRad);
  if (name == "COS") return std::cos(x * kDegToRad);
  if (name == "TAN") return std::tan(x * kDegToRad);
  if (name == "ASIN") return std::asin(x) * kRadToDeg;
  if (name == "ACOS") return std::acos(x) * kRadToDeg;
  if (name == "ATAN2") return std::atan2(x, values[1]) * kRadToDeg;
  if (name == "TRUNC") return std::trunc(x);
  if (name == "ROUND") return std::round(x);
  if (name == "ROUNDUP") return std::ceil(x);
  if (name == "MINVAL") return std::fmin(x, values[1]);
  if (name == "MAXVAL") return std::fmax(x, values[1]);
  return bound(call, values[0], values[1], values[2], state);
}

}  // namespace

errors::Result<double> evaluate_function(const types::Pair& call, state::State& state) {
  const std::size_t line = node_line(call);
  auto name_node = first_child(call);
  if (!name_node || name_node->as_rule() != types::Rule::arith_fun_name) {
    return fail(annotate_error(call, "function evaluation", "Missing function name", state));
  }
  if (!call_has_arguments_node(call)) {
    return fail(annotate_error(call, "function evaluation", "Missing function arguments", state));
  }
  const std::string_view written = name_node->as_str();
  const text::UpperBuf name_buf(written);
  const std::string_view name = name_buf.view();
  const std::vector<types::Pair> args = call_arguments(call);

  if (auto arity = string_query_arity(name)) return call_string_query(name, *arity, args, line, state);
  if (name == "SPRINT" || name == "SUBSTR") {
    return fail(annotate_error(
        call, "expression",
        cat({"'", name, "' returns a string; it cannot be used where a number is required"}),
        state));
  }
  auto values = numeric_arguments(args, line, state);
  if (!values) return fail(std::move(values.error()));
  const NumericFunction* fn = nullptr;
  for (const NumericFunction& f : kNumericFunctions)
    if (f.name == name) fn = &f;
  if (!fn) {
    return fail(annotate_error(call, "expression",
                               cat({"'", name, "' is not a known arithmetic function"}), state));
  }
  if (values->size() != fn->arity) {
    return fail(errors::InvalidFunctionArity{state.line_text(line), std::string(written), line,
                                             fn->arity, values->size()});
  }
  return arithmetic(name, *values, call, state);
}

}  // namespace kelvane::interpret_rules
