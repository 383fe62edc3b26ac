#include "interpret_rules.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "modal_groups.hpp"
#include <cstdio>
#include <system_error>
#include <type_traits>
#include "output.hpp"
#include "state.hpp"

namespace kelvane::interpret_rules {

using errors::fail;
using errors::float_text;
using output::CellMap;
using types::Value;

namespace {

// ---------------------------------------------------------------------------
// Small text helpers

constexpr bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view trim_end(std::string_view s) {
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

constexpr char upper_char(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = upper_char(c);
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upper_char(a[i]) != upper_char(b[i])) return false;
  return true;
}

// Upper-cases a short text into a stack buffer when it fits, so the hot
// path (G and M words) allocates nothing.
class UpperBuf {
 public:
  explicit UpperBuf(std::string_view s) {
    if (s.size() <= sizeof buf_) {
      for (std::size_t i = 0; i < s.size(); ++i) buf_[i] = upper_char(s[i]);
      view_ = std::string_view(buf_, s.size());
    } else {
      heap_ = upper(s);
      view_ = heap_;
    }
  }
  std::string_view view() const { return view_; }

 private:
  char buf_[48];
  std::string heap_;
  std::string_view view_;
};

// One decoded character: its code (invalid bytes get a code above the
// Unicode range, one per byte) and its length in bytes.
struct Utf8Char {
  std::uint32_t code;
  std::size_t len;
};

Utf8Char decode_utf8(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  const std::uint32_t invalid = 0x110000u + b0;
  if (b0 < 0x80) return {b0, 1};
  std::size_t len;
  std::uint32_t cp;
  if ((b0 & 0xE0) == 0xC0) { len = 2; cp = b0 & 0x1F; }
  else if ((b0 & 0xF0) == 0xE0) { len = 3; cp = b0 & 0x0F; }
  else if ((b0 & 0xF8) == 0xF0) { len = 4; cp = b0 & 0x07; }
  else return {invalid, 1};
  if (i + len > s.size()) return {invalid, 1};
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return {invalid, 1};
    cp = (cp << 6) | (b & 0x3F);
  }
  // overlong forms, surrogates and values beyond U+10FFFF are not characters
  if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
      (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
    return {invalid, 1};
  return {cp, len};
}

std::vector<std::uint32_t> decode_all(std::string_view s) {
  std::vector<std::uint32_t> out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    Utf8Char c = decode_utf8(s, i);
    out.push_back(c.code);
    i += c.len;
  }
  return out;
}

// Byte offset of character `n` (the end of the text when it has fewer).
std::size_t byte_offset_of_char(std::string_view s, std::size_t n) {
  std::size_t i = 0;
  while (n > 0 && i < s.size()) {
    i += decode_utf8(s, i).len;
    --n;
  }
  return i;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string cat(std::initializer_list<std::string_view> parts) {
  std::size_t n = 0;
  for (auto p : parts) n += p.size();
  std::string out;
  out.reserve(n);
  for (auto p : parts) out.append(p);
  return out;
}

// ---------------------------------------------------------------------------
// Node helpers

std::optional<types::Pair> first_child(const types::Pair& node) {
  const auto& tokens = node.tree()->tokens;
  const std::uint32_t start = node.token_index();
  if (tokens[start].partner <= start + 1) return std::nullopt;  // no children
  return types::Pair(node.tree(), start + 1, node.line_offset());
}

errors::ParsingError unexpected_rule(const types::Pair& node, std::string_view context,
                                     std::string details, const state::State& state) {
  const std::size_t line = node_line(node);
  return errors::UnexpectedRule{std::string(context), state.line_text(line), std::move(details),
                                line, node.as_rule()};
}

// Interned column names written by blocks.
struct Columns {
  std::string_view n = output::intern_column("N");
  std::string_view comment = output::intern_column("comment");
  std::string_view m = output::intern_column("M");
  std::string_view t = output::intern_column("T");
  std::string_view call = output::intern_column("non_returning_function_call");
};
const Columns& columns() {
  static const Columns c;
  return c;
}

// Saturating conversion of a float to an unsigned 64-bit integer (fraction
// dropped, negatives and NaN give 0).
std::uint64_t saturating_u64(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

// Rounded half away from zero, saturated to signed 64 bits, NaN giving 0.
std::int64_t rounded_i64(double v) {
  if (std::isnan(v)) return 0;
  double r = std::round(v);
  if (r >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (r < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(r);
}

// A decimal literal of the grammar (optional "-", digits, optional fraction).
std::optional<double> parse_literal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  double v = 0.0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), v);
  if (res.ec == std::errc::result_out_of_range) {
    std::string copy(text);
    v = std::strtod(copy.c_str(), nullptr);
  } else if (res.ec != std::errc() || res.ptr != text.data() + text.size()) {
    return std::nullopt;
  }
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Locations

std::size_t node_line(const types::Pair& node) {
  const auto& starts = node.tree()->lines.starts;
  const std::size_t pos = node.start_pos();
  // Blocks are executed in source order, so the line of the previous lookup
  // is usually the answer or a few lines before it. The remembered line is
  // checked against this tree's own line index before it is used.
  thread_local std::size_t last_line = 1;  // 1-based, without line offset
  std::size_t line = last_line;
  const std::size_t n = starts.size();
  if (line >= 1 && line <= n && starts[line - 1] <= pos) {
    std::size_t steps = 0;
    while (line < n && starts[line] <= pos && steps < 8) {
      ++line;
      ++steps;
    }
    if (line < n && starts[line] <= pos) line = 0;  // too far ahead: search
  } else {
    line = 0;
  }
  if (line == 0) {
    const auto it = std::upper_bound(starts.begin(), starts.end(), pos);
    line = static_cast<std::size_t>(it - starts.begin());
    if (line == 0) line = 1;
  }
  last_line = line;
  return line + node.line_offset();
}

std::string line_text_of(const state::State& state, std::size_t line) {
  return state.line_text(line);
}

errors::ParsingError annotate_error(const types::Pair& node, std::string_view context,
                                    std::string_view message, const state::State& state) {
  const std::size_t line = node_line(node);
  return errors::ParsingError::with_context(line, state.line_text(line), context, message);
}

std::pair<std::size_t, std::string> get_error_context(const types::Pair& node,
                                                      const state::State& state) {
  const std::size_t line = node_line(node);
  return {line, state.line_text(line)};
}

std::size_t char_count(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); i += decode_utf8(text, i).len) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// Expressions

bool approximately_equal(double a, double b) {
  if (a == b) return true;
  const double scale = std::fmax(std::fabs(a), std::fabs(b));
  return std::fabs(a - b) <= scale * 1e-12;
}

errors::Result<std::int64_t> bit_operand(double value, const types::Pair& op,
                                         const state::State& state) {
  if (std::isfinite(value) && std::fabs(value) < 9007199254740992.0 && value == std::trunc(value))
    return static_cast<std::int64_t>(value);
  return fail(annotate_error(
      op, "bit-by-bit operator",
      cat({op.as_str(), " requires integer operands (manual 4.1.3.2: types CHAR/INT), got ",
           float_text(value)}),
      state));
}

namespace {

errors::Result<double> evaluate_function(const types::Pair& call, state::State& state);
errors::Result<double> read_actual_position(const types::Pair& node, std::string_view sysvar,
                                            state::State& state, bool& handled);

// The flat child list of one expression with its shared cursor.
struct ExprWalk {
  const types::Pair& expr;
  state::State& state;
  // token indices of the children; small lists stay on the stack
  std::array<std::uint32_t, 24> inline_nodes{};
  std::vector<std::uint32_t> heap_nodes;
  const std::uint32_t* nodes = nullptr;
  std::size_t count = 0;
  std::size_t cursor = 0;

  ExprWalk(const types::Pair& e, state::State& s) : expr(e), state(s) {
    const auto& tokens = e.tree()->tokens;
    const std::uint32_t begin = e.token_index() + 1;
    const std::uint32_t end = tokens[e.token_index()].partner;
    std::size_t n = 0;
    for (std::uint32_t i = begin; i < end; i = tokens[i].partner + 1) {
      if (n < inline_nodes.size()) {
        inline_nodes[n] = i;
      } else {
        if (heap_nodes.empty()) heap_nodes.assign(inline_nodes.begin(), inline_nodes.end());
        heap_nodes.push_back(i);
      }
      ++n;
    }
    count = n;
    nodes = heap_nodes.empty() ? inline_nodes.data() : heap_nodes.data();
  }

  bool at_end() const { return cursor >= count; }
  types::Rule rule_at(std::size_t i) const {
    const auto& tokens = expr.tree()->tokens;
    return tokens[tokens[nodes[i]].partner].rule;
  }
  types::Pair pair_at(std::size_t i) const {
    return types::Pair(expr.tree(), nodes[i], expr.line_offset());
  }
};

errors::Result<double> eval_or(ExprWalk& w);

errors::Result<double> interpret_primary(const types::Pair& primary, state::State& state) {
  auto child = first_child(primary);
  if (!child) {
    return fail(annotate_error(primary, "interpret_primary", "Expected inner pair, found none",
                               state));
  }
  switch (child->as_rule()) {
    case types::Rule::expression:
      return evaluate_expression(*child, state);
    case types::Rule::variable: {
      auto name = interpret_variable(*child, state);
      if (!name) return fail(std::move(name.error()));
      const std::size_t line = node_line(*child);
      // fast path: a defined variable needs no line text
      if (auto it = state.symbol_table.find(std::string_view(*name));
          it != state.symbol_table.end())
        return it->second;
      return read_scalar_variable(*name, line, state.line_text(line), state);
    }
    case types::Rule::variable_array: {
      if (auto sysvar = actual_position_sysvar_name(*child)) {
        bool handled = false;
        auto v = read_actual_position(*child, *sysvar, state, handled);
        if (handled || !v) return v;
      }
      auto key = interpret_variable_array_key(*child, state);
      if (!key) return fail(std::move(key.error()));
      if (auto it = state.symbol_table.find(std::string_view(*key));
          it != state.symbol_table.end())
        return it->second;
      const std::size_t line = node_line(*child);
      return read_array_element(*key, line, state.line_text(line), state);
    }
    case types::Rule::value: {
      const std::string_view text = child->as_str();
      if (auto v = parse_literal(text)) return *v;
      return fail(annotate_error(*child, "numeric literal",
                                 cat({"'", text, "' is not a valid number"}), state));
    }
    case types::Rule::arith_fun:
      return evaluate_function(*child, state);
    default:
      return fail(unexpected_rule(
          *child, "interpret_primary",
          cat({"Unexpected rule in interpret_primary: ", types::rule_name(child->as_rule())}),
          state));
  }
}

errors::Result<double> eval_unary(ExprWalk& w) {
  // prefixes nearest the operand are applied first
  std::array<types::Rule, 16> inline_prefixes{};
  std::vector<types::Rule> more_prefixes;
  std::size_t n_prefix = 0;
  while (!w.at_end()) {
    const types::Rule r = w.rule_at(w.cursor);
    if (r != types::Rule::neg && r != types::Rule::not_op) break;
    if (n_prefix < inline_prefixes.size()) inline_prefixes[n_prefix] = r;
    else more_prefixes.push_back(r);
    ++n_prefix;
    ++w.cursor;
  }
  if (w.at_end()) {
    if (w.count == 0) {
      return fail(errors::ParsingError::with_context(0, state::kNoLineText, "evaluate_unary",
                                                     "Expected an operand at end of expression"));
    }
    return fail(annotate_error(w.pair_at(w.count - 1), "evaluate_unary",
                               "Expected an operand at end of expression", w.state));
  }
  if (w.rule_at(w.cursor) != types::Rule::primary) {
    const types::Pair node = w.pair_at(w.cursor);
    return fail(unexpected_rule(
        node, "evaluate_unary",
        cat({"Expected an operand, found ", types::rule_name(node.as_rule())}), w.state));
  }
  const types::Pair primary = w.pair_at(w.cursor);
  ++w.cursor;
  auto value = interpret_primary(primary, w.state);
  if (!value) return value;
  double v = *value;
  for (std::size_t i = n_prefix; i-- > 0;) {
    const types::Rule r =
        i < inline_prefixes.size() ? inline_prefixes[i] : more_prefixes[i - inline_prefixes.size()];
    if (r == types::Rule::neg) v = -v;
    else v = (v == 0.0) ? 1.0 : 0.0;
  }
  return v;
}

errors::Result<double> eval_multiplicative(ExprWalk& w) {
  auto left = eval_unary(w);
  if (!left) return left;
  double l = *left;
  while (!w.at_end()) {
    const types::Rule r = w.rule_at(w.cursor);
    if (r != types::Rule::op_mul && r != types::Rule::op_div && r != types::Rule::op_int_div &&
        r != types::Rule::op_mod)
      break;
    const std::size_t op_index = w.cursor;
    ++w.cursor;
    auto right = eval_unary(w);
    if (!right) return right;
    const double rv = *right;
    switch (r) {
      case types::Rule::op_mul: l = l * rv; break;
      case types::Rule::op_div: l = l / rv; break;
      case types::Rule::op_int_div:
        if (rv == 0.0) {
          return fail(annotate_error(w.pair_at(op_index), "integer division",
                                     "Integer division (DIV) by zero", w.state));
        }
        l = std::trunc(l / rv);
        break;
      default: l = std::fmod(l, rv); break;
    }
  }
  return l;
}

errors::Result<double> eval_additive(ExprWalk& w) {
  auto left = eval_multiplicative(w);
  if (!left) return left;
  double l = *left;
  while (!w.at_end()) {
    const types::Rule r = w.rule_at(w.cursor);
    if (r != types::Rule::op_add && r != types::Rule::op_sub) break;
    ++w.cursor;
    auto right = eval_multiplicative(w);
    if (!right) return right;
    l = (r == types::Rule::op_add) ? l + *right : l - *right;
  }
  return l;
}

using LevelFn = errors::Result<double> (*)(ExprWalk&);

template <types::Rule Op, LevelFn Next>
errors::Result<double> eval_bit_level(ExprWalk& w) {
  auto left = Next(w);
  if (!left) return left;
  double l = *left;
  while (!w.at_end() && w.rule_at(w.cursor) == Op) {
    const types::Pair op = w.pair_at(w.cursor);
    ++w.cursor;
    auto right = Next(w);
    if (!right) return right;
    auto a = bit_operand(l, op, w.state);
    if (!a) return fail(std::move(a.error()));
    auto b = bit_operand(*right, op, w.state);
    if (!b) return fail(std::move(b.error()));
    std::int64_t res;
    if constexpr (Op == types::Rule::op_b_and) res = *a & *b;
    else if constexpr (Op == types::Rule::op_b_xor) res = *a ^ *b;
    else res = *a | *b;
    l = static_cast<double>(res);
  }
  return l;
}

template <types::Rule Op, LevelFn Next>
errors::Result<double> eval_logic_level(ExprWalk& w) {
  auto left = Next(w);
  if (!left) return left;
  double l = *left;
  while (!w.at_end() && w.rule_at(w.cursor) == Op) {
    ++w.cursor;
    auto right = Next(w);  // both operands always evaluated
    if (!right) return right;
    const bool a = l != 0.0;
    const bool b = *right != 0.0;
    bool res;
    if constexpr (Op == types::Rule::op_and) res = a && b;
    else if constexpr (Op == types::Rule::op_xor) res = a != b;
    else res = a || b;
    l = res ? 1.0 : 0.0;
  }
  return l;
}

constexpr LevelFn kBAnd = &eval_bit_level<types::Rule::op_b_and, &eval_additive>;
constexpr LevelFn kBXor = &eval_bit_level<types::Rule::op_b_xor, kBAnd>;
constexpr LevelFn kBOr = &eval_bit_level<types::Rule::op_b_or, kBXor>;
constexpr LevelFn kAnd = &eval_logic_level<types::Rule::op_and, kBOr>;
constexpr LevelFn kXor = &eval_logic_level<types::Rule::op_xor, kAnd>;
constexpr LevelFn kOr = &eval_logic_level<types::Rule::op_or, kXor>;

errors::Result<double> eval_or(ExprWalk& w) { return kOr(w); }

}  // namespace

errors::Result<double> evaluate_expression(const types::Pair& expression, state::State& state) {
  ExprWalk w(expression, state);
  auto left = eval_or(w);
  if (!left) return left;
  double l = *left;
  while (!w.at_end() && w.rule_at(w.cursor) == types::Rule::relational_operator) {
    const types::Pair op = w.pair_at(w.cursor);
    ++w.cursor;
    auto right = eval_or(w);
    if (!right) return right;
    const double a = l, b = *right;
    const std::string_view t = op.as_str();
    const bool eq = approximately_equal(a, b);
    bool res;
    if (t == "==") res = eq;
    else if (t == "<>") res = !eq;
    else if (t == "<=") res = a <= b || eq;
    else if (t == ">=") res = a >= b || eq;
    else if (t == "<") res = a < b && !eq;
    else if (t == ">") res = a > b && !eq;
    else return fail(errors::UnexpectedOperator{std::string(t)});
    l = res ? 1.0 : 0.0;
  }
  if (!w.at_end()) {
    const types::Pair node = w.pair_at(w.cursor);
    return fail(unexpected_rule(
        node, "evaluate_expression",
        cat({"Unexpected trailing rule in expression: ", types::rule_name(node.as_rule())}),
        state));
  }
  return l;
}

errors::Result<bool> evaluate_condition(const types::Pair& condition, state::State& state) {
  auto inner = condition.into_inner();
  auto expr = inner.next();
  if (!expr || inner.next()) return fail(errors::InvalidCondition{});
  auto v = evaluate_expression(*expr, state);
  if (!v) return fail(std::move(v.error()));
  return *v != 0.0;
}

// ---------------------------------------------------------------------------
// Variables and arrays

errors::Result<std::string> interpret_variable(const types::Pair& node, const state::State& state) {
  auto child = first_child(node);
  if (!child) {
    return fail(annotate_error(node, "variable parsing", "Expected inner pair, found none", state));
  }
  const types::Rule r = child->as_rule();
  if (r == types::Rule::identifier || r == types::Rule::nc_variable) return upper(child->as_str());
  return fail(annotate_error(node, "variable parsing",
                             cat({"Expected identifier, found '", types::rule_name(r), "'"}),
                             state));
}

errors::Result<std::string> interpret_identifier(const types::Pair& node) {
  const types::Rule r = node.as_rule();
  if (r == types::Rule::identifier || r == types::Rule::nc_variable) return upper(node.as_str());
  return fail(errors::ParsingError::with_context(
      node_line(node), node.as_str(), "identifier parsing",
      cat({"Found '", types::rule_name(r), "' but expected an identifier"})));
}

std::string normalize_reserved_case(std::string name, const state::State& state) {
  std::string u = upper(name);
  for (const std::string& axis : state.axis_identifiers)
    if (axis == u) return u;
  if (state::State::is_block_address(name)) return u;
  return name;
}

namespace {
// Largest index value an array subscript may have.
constexpr double kMaxIndex = 2147483646.0;
}  // namespace

errors::Result<std::vector<double>> interpret_indices(const types::Pair& indices,
                                                      state::State& state) {
  std::vector<double> out;
  for (const types::Pair& child : indices.into_inner()) {
    if (child.as_rule() != types::Rule::expression) {
      return fail(unexpected_rule(child, "array index expression",
                                  "Expected a valid array index expression", state));
    }
    const std::string_view t = trim(child.as_str());
    double value;
    if (state.is_axis(t)) {
      const std::size_t line = node_line(child);
      auto idx = state.get_axis_index(t, line, state.line_text(line));
      if (!idx) return fail(std::move(idx.error()));
      value = static_cast<double>(*idx);
    } else {
      auto v = evaluate_expression(child, state);
      if (!v) return fail(std::move(v.error()));
      value = *v;
    }
    // negative, fractional, NaN, infinite, or beyond the 32-bit key range
    if (value < 0.0 || value != std::trunc(value) || value > kMaxIndex) {
      const std::size_t line = node_line(indices);
      return fail(errors::InvalidAxisIndex{state.line_text(line), std::string(t), line,
                                           static_cast<std::size_t>(saturating_u64(value))});
    }
    out.push_back(value);
  }
  return out;
}

namespace {

void append_int(std::string& out, std::int64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

std::string element_key(std::string_view name, const std::int32_t* idx, std::size_t n) {
  std::string key;
  key.reserve(name.size() + 2 + n * 4);
  key.append(name);
  key.push_back('[');
  for (std::size_t i = 0; i < n; ++i) {
    if (i) key.push_back(',');
    append_int(key, idx[i]);
  }
  key.push_back(']');
  return key;
}

struct ArrayRef {
  std::string name;
  std::vector<std::int32_t> bounds;
};

errors::Result<ArrayRef> array_ref(const types::Pair& node, state::State& state) {
  auto inner = node.into_inner();
  auto name_node = inner.next();
  auto indices_node = inner.next();
  if (!name_node || !indices_node) {
    return fail(annotate_error(node, "variable parsing", "Expected inner pair, found none", state));
  }
  auto name = interpret_identifier(*name_node);
  if (!name) return fail(std::move(name.error()));
  auto values = interpret_indices(*indices_node, state);
  if (!values) return fail(std::move(values.error()));
  if (values->empty() || values->size() > 3) {
    return fail(errors::ParseError{"Invalid number of indices for variable array"});
  }
  ArrayRef ref{std::move(*name), {}};
  for (double v : *values) ref.bounds.push_back(static_cast<std::int32_t>(v));
  return ref;
}

// The number of elements from the origin to the bounds, exact: three bounds
// near 2^31 make about 2^93 elements.
unsigned __int128 element_count(const ArrayRef& ref) {
  unsigned __int128 n = 1;
  for (std::int32_t b : ref.bounds) n *= static_cast<unsigned __int128>(b) + 1;
  return n;
}

std::string count_text(unsigned __int128 n) {
  char buf[48];
  char* p = buf + sizeof buf;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(n % 10));
    n /= 10;
  } while (n);
  return std::string(p, buf + sizeof buf);
}

std::string bounds_text(const ArrayRef& ref) {
  std::string out;
  for (std::size_t i = 0; i < ref.bounds.size(); ++i) {
    if (i) out.push_back(',');
    append_int(out, ref.bounds[i]);
  }
  return out;
}

// Calls fn(key) for the element keys from the origin towards the bounds,
// row-major (the last index innermost), at most `limit` of them.
template <typename F>
void for_each_element_key(const ArrayRef& ref, std::uint64_t limit, F&& fn) {
  const std::size_t dims = ref.bounds.size();
  std::array<std::int32_t, 3> idx{0, 0, 0};
  for (std::uint64_t done = 0; done < limit; ++done) {
    fn(element_key(ref.name, idx.data(), dims));
    std::size_t d = dims;
    while (true) {
      --d;
      if (idx[d] < ref.bounds[d]) {
        ++idx[d];
        break;
      }
      idx[d] = 0;
      if (d == 0) return;
    }
  }
}

}  // namespace

errors::Result<std::string> interpret_variable_array_key(const types::Pair& node,
                                                         state::State& state) {
  auto ref = array_ref(node, state);
  if (!ref) return fail(std::move(ref.error()));
  return element_key(ref->name, ref->bounds.data(), ref->bounds.size());
}

errors::Result<std::vector<std::string>> interpret_variable_array(const types::Pair& node,
                                                                  state::State& state) {
  auto ref = array_ref(node, state);
  if (!ref) return fail(std::move(ref.error()));
  const unsigned __int128 total = element_count(*ref);
  if (total > kMaxArrayElements) {
    std::string limit;
    append_int(limit, static_cast<std::int64_t>(kMaxArrayElements));
    return fail(annotate_error(
        node, "array declaration",
        cat({"array ", ref->name, "[", bounds_text(*ref), "] would have ", count_text(total),
             " elements; at most ", limit, " elements per array are supported"}),
        state));
  }
  std::vector<std::string> keys;
  keys.reserve(static_cast<std::size_t>(total));
  for_each_element_key(*ref, static_cast<std::uint64_t>(total),
                       [&](std::string key) { keys.push_back(std::move(key)); });
  return keys;
}

namespace {

// DEF of an array: every element from the origin to the bounds becomes 0.0
// and is recorded as a variable change, in row-major order. The elements
// that the DEFs of one run create, all arrays together, are bounded.
errors::Status declare_array(const types::Pair& node, output::OutputRows& rows,
                             state::State& state) {
  auto ref = array_ref(node, state);
  if (!ref) return fail(std::move(ref.error()));
  if (auto refused = state.symbol_table.declare_array(ref->name, ref->bounds)) {
    const unsigned __int128 count = element_count(*ref);
    std::string limit;
    append_int(limit, static_cast<std::int64_t>(state::kMaxArrayElementsPerRun));
    std::string message = cat({"array ", ref->name, "[", bounds_text(*ref), "] would have ",
                               count_text(count), " elements"});
    if (count <= state::kMaxArrayElementsPerRun)
      message += cat({", ", count_text(*refused), " in all arrays of this run"});
    message += cat({"; at most ", limit, " array elements per run are supported"});
    return fail(annotate_error(node, "array declaration", message, state));
  }
  if (rows.track_variables) {
    const auto count = static_cast<std::uint64_t>(element_count(*ref));
    rows.row.variables.reserve(rows.row.variables.size() + static_cast<std::size_t>(count));
    for_each_element_key(*ref, count,
                         [&](const std::string& key) { rows.record_variable_change(key, 0.0); });
  }
  return {};
}

// The first `count` element keys of an array reference (SET and REP lists),
// or InvalidElementCount when the array has fewer elements than `count`.
errors::Result<std::vector<std::string>> leading_element_keys(const ArrayRef& ref,
                                                              std::size_t count) {
  const unsigned __int128 total = element_count(ref);
  if (total < count) {
    return fail(errors::InvalidElementCount{static_cast<std::size_t>(total), count});
  }
  std::vector<std::string> keys;
  keys.reserve(count);
  for_each_element_key(ref, count, [&](std::string key) { keys.push_back(std::move(key)); });
  return keys;
}

}  // namespace

std::optional<std::string_view> actual_position_sysvar_name(const types::Pair& node) {
  auto child = first_child(node);
  if (!child || child->as_rule() != types::Rule::nc_variable) return std::nullopt;
  const std::string_view t = child->as_str();
  if (iequals(t, "$AA_IW")) return std::string_view("$AA_IW");
  if (iequals(t, "$AA_IM")) return std::string_view("$AA_IM");
  return std::nullopt;
}

namespace {

// $AA_IW[axis] and $AA_IM[axis]; `handled` stays false when the reference is
// an ordinary array element instead.
errors::Result<double> read_actual_position(const types::Pair& node, std::string_view sysvar,
                                            state::State& state, bool& handled) {
  handled = false;
  auto inner = node.into_inner();
  inner.next();
  auto indices = inner.next();
  if (!indices) return 0.0;
  auto exprs = indices->into_inner();
  auto only = exprs.next();
  if (!only || exprs.next()) return 0.0;
  const std::string axis = upper(trim(only->as_str()));
  if (!state.is_axis(axis)) return 0.0;
  handled = true;
  const std::optional<double> pos =
      sysvar == "$AA_IW" ? state.get_axis_local(axis) : state.get_axis_machine(axis);
  if (pos) return *pos;
  const std::size_t line = node_line(node);
  if (state.allow_undefined_variables) {
    std::string msg = "Warning [line ";
    append_int(msg, static_cast<std::int64_t>(line));
    msg += cat({"]: ", sysvar, "[", axis, "] read before axis ", axis,
                " was positioned; returning 0.0"});
    state::write_warning_line(std::move(msg));
    return 0.0;
  }
  return fail(annotate_error(
      node, "actual-position system variable",
      cat({sysvar, "[", axis, "] is read before axis ", axis,
           " has a position; set a start position (e.g. via an initial-state file) or pass "
           "allow_undefined_variables"}),
      state));
}

}  // namespace

errors::Result<double> read_scalar_variable(const std::string& name, std::size_t line,
                                            std::string_view line_text, state::State& state) {
  if (auto it = state.symbol_table.find(std::string_view(name)); it != state.symbol_table.end())
    return it->second;
  if (state.string_table.find(std::string_view(name)) != state.string_table.end()) {
    return fail(errors::ParsingError::with_context(
        line, line_text, "expression evaluation",
        cat({"'", name,
             "' is a STRING variable; string values cannot be used in numeric expressions "
             "(string expressions are not supported)"})));
  }
  if (state.allow_undefined_variables) {
    state::write_warning_line(
        cat({"Warning: Variable '", name, "' is undefined, initializing to 0.0"}));
    state.symbol_table.insert_or_assign(name, 0.0);
    return 0.0;
  }
  return fail(errors::UndefinedVariable{std::string(line_text), name, line});
}

errors::Result<double> read_array_element(const std::string& key, std::size_t line,
                                          std::string_view line_text, state::State& state) {
  if (auto it = state.symbol_table.find(std::string_view(key)); it != state.symbol_table.end())
    return it->second;
  if (!state.allow_undefined_variables) {
    return fail(errors::UnknownVariable{std::string(line_text), key, line});
  }
  state::write_warning_line(
      cat({"Warning: Variable array element '", key, "' is undefined, initializing to 0.0"}));
  state.symbol_table.insert_or_assign(key, 0.0);
  return 0.0;
}

// ---------------------------------------------------------------------------
// Strings

std::string number_to_text(double value) {
  if (std::isfinite(value) && std::fabs(value) < 9007199254740992.0 &&
      value == std::trunc(value)) {
    std::string out;
    append_int(out, static_cast<std::int64_t>(value));
    return out;
  }
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 10);
  std::string_view t(buf, static_cast<std::size_t>(res.ptr - buf));
  while (!t.empty() && t.back() == '0') t.remove_suffix(1);
  while (!t.empty() && t.back() == '.') t.remove_suffix(1);
  return std::string(t);
}

types::Pair unwrap_lone_operand(const types::Pair& node) {
  if (node.as_rule() != types::Rule::string_expression) return node;
  auto inner = node.into_inner();
  auto operand = inner.next();
  if (!operand || inner.next()) return node;
  if (operand->start_pos() != node.start_pos()) return node;  // a leading "<<"
  auto lone = first_child(*operand);
  return lone ? *lone : node;
}

namespace {

// The child of the lone primary of an expression, if it has exactly one.
std::optional<types::Pair> lone_primary_child(const types::Pair& expression) {
  auto inner = expression.into_inner();
  auto primary = inner.next();
  if (!primary || inner.next() || primary->as_rule() != types::Rule::primary) return std::nullopt;
  return first_child(*primary);
}

std::string_view function_name_text(const types::Pair& call) {
  auto name = first_child(call);
  if (!name || name->as_rule() != types::Rule::arith_fun_name) return {};
  return name->as_str();
}

bool is_text_function(std::string_view name) {
  return iequals(name, "SPRINT") || iequals(name, "SUBSTR");
}

}  // namespace

bool expression_is_string(const types::Pair& expression, const state::State& state) {
  auto child = lone_primary_child(expression);
  if (!child) return false;
  switch (child->as_rule()) {
    case types::Rule::arith_fun:
      return is_text_function(function_name_text(*child));
    case types::Rule::variable: {
      auto name = interpret_variable(*child, state);
      if (!name) return false;
      const std::string n = normalize_reserved_case(std::move(*name), state);
      return state.string_table.find(std::string_view(n)) != state.string_table.end();
    }
    case types::Rule::expression:
      return expression_is_string(*child, state);
    default:
      return false;
  }
}

errors::Result<std::string> evaluate_string(const types::Pair& node, state::State& state) {
  switch (node.as_rule()) {
    case types::Rule::expression: {
      if (expression_is_string(node, state)) {
        auto child = lone_primary_child(node);
        switch (child->as_rule()) {
          case types::Rule::expression:
            return evaluate_string(*child, state);
          case types::Rule::variable: {
            auto name = interpret_variable(*child, state);
            if (!name) return fail(std::move(name.error()));
            const std::string n = normalize_reserved_case(std::move(*name), state);
            auto it = state.string_table.find(std::string_view(n));
            return it == state.string_table.end() ? std::string() : it->second;
          }
          default:
            return evaluate_string_function(*child, state);
        }
      }
      auto v = evaluate_expression(node, state);
      if (!v) return fail(std::move(v.error()));
      return number_to_text(*v);
    }
    case types::Rule::string_value: {
      auto s = first_child(node);
      return s ? std::string(s->as_str()) : std::string();
    }
    case types::Rule::string_expression: {
      std::string out;
      for (const types::Pair& operand : node.into_inner()) {
        auto part = evaluate_string(operand, state);
        if (!part) return part;
        out += *part;
      }
      return out;
    }
    case types::Rule::concat_operand: {
      auto child = first_child(node);
      if (!child) return std::string();
      return evaluate_string(*child, state);
    }
    case types::Rule::arith_fun:
      return evaluate_string_function(node, state);
    case types::Rule::string:
      return std::string(node.as_str());
    default:
      return fail(unexpected_rule(
          node, "evaluate_string",
          cat({"cannot evaluate ", types::rule_name(node.as_rule()), " as a string"}), state));
  }
}

namespace {

std::vector<types::Pair> call_arguments(const types::Pair& call) {
  std::vector<types::Pair> args;
  auto inner = call.into_inner();
  inner.next();  // the name
  if (auto list = inner.next(); list && list->as_rule() == types::Rule::function_arguments) {
    for (const types::Pair& a : list->into_inner()) args.push_back(unwrap_lone_operand(a));
  }
  return args;
}

bool call_has_arguments_node(const types::Pair& call) {
  auto inner = call.into_inner();
  inner.next();
  auto list = inner.next();
  return list && list->as_rule() == types::Rule::function_arguments;
}

errors::ParsingError sprint_err(std::size_t line, std::string_view line_text,
                                std::string_view message) {
  return errors::ParsingError::with_context(line, line_text, "SPRINT", message);
}

// Bounds of the SPRINT conversions, so no text can ask for unbounded memory.
constexpr std::uint64_t kMaxSprintPrecision = 65535;
constexpr std::uint64_t kMaxSprintWidth = 1u << 20;

std::optional<std::uint64_t> parse_u64(std::string_view t) {
  if (t.empty()) return std::nullopt;
  std::uint64_t v = 0;
  auto res = std::from_chars(t.data(), t.data() + t.size(), v);
  if (res.ec != std::errc() || res.ptr != t.data() + t.size()) return std::nullopt;
  return v;
}

bool is_text_argument(const types::Pair& arg, const state::State& state) {
  switch (arg.as_rule()) {
    case types::Rule::string_value:
    case types::Rule::string_expression:
    case types::Rule::string:
      return true;
    case types::Rule::expression:
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

errors::Result<std::string> evaluate_sprint(const std::vector<types::Pair>& args,
                                            std::size_t line, const std::string& line_text,
                                            state::State& state) {
  if (args.empty()) return fail(sprint_err(line, line_text, "SPRINT needs a format string"));
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
    if (i + 1 >= f.size())
      return fail(sprint_err(line, line_text, "dangling '%' at end of SPRINT format"));
    if (f[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    std::size_t j = i + 1;
    while (j < f.size() && ((f[j] >= '0' && f[j] <= '9') || f[j] == '.')) ++j;
    if (j >= f.size())
      return fail(sprint_err(line, line_text, "dangling '%' at end of SPRINT format"));
    const std::string_view spec = f.substr(i + 1, j - i - 1);
    if (next_arg >= args.size())
      return fail(sprint_err(line, line_text, "SPRINT format has more conversions than arguments"));
    const types::Pair& arg = args[next_arg++];

    const std::size_t dot = spec.find('.');
    const std::string_view width_text = spec.substr(0, dot);
    std::uint64_t width = 0;
    if (!width_text.empty()) {
      auto w = parse_u64(width_text);
      if (!w)
        return fail(sprint_err(line, line_text,
                               cat({"invalid SPRINT field width '", width_text, "'"})));
      width = *w;
    }
    const bool has_precision = dot != std::string_view::npos;
    std::uint64_t precision = 6;
    if (has_precision) {
      const std::string_view ptext = spec.substr(dot + 1);
      auto p = parse_u64(ptext);
      if (!p)
        return fail(sprint_err(line, line_text, cat({"invalid SPRINT precision '", ptext, "'"})));
      precision = *p;
    }
    const Utf8Char conv_char = decode_utf8(f, j);
    std::string conv(f.substr(j, conv_char.len));
    if (conv.size() == 1) conv[0] = upper_char(conv[0]);
    i = j + conv_char.len;

    std::string piece;
    if (conv == "D" || conv == "X" || conv == "F") {
      auto v = eval_number_arg(arg, state, line, line_text);
      if (!v) return fail(std::move(v.error()));
      if (conv == "D") {
        append_int(piece, rounded_i64(*v));
      } else if (conv == "X") {
        char buf[20];
        auto res = std::to_chars(buf, buf + sizeof buf,
                                 static_cast<std::uint64_t>(rounded_i64(*v)), 16);
        piece.assign(buf, res.ptr);
        for (char& c : piece) c = upper_char(c);
      } else {
        if (precision > kMaxSprintPrecision) {
          std::string p;
          append_int(p, static_cast<std::int64_t>(std::min<std::uint64_t>(precision, INT64_MAX)));
          return fail(sprint_err(line, line_text,
                                 cat({"SPRINT precision ", p, " is too large (at most 65535)"})));
        }
        piece = fixed_text(*v, precision);
      }
    } else if (conv == "S") {
      auto s = evaluate_string(arg, state);
      if (!s) return s;
      piece = std::move(*s);
      if (has_precision) piece.resize(byte_offset_of_char(piece, precision));
    } else if (conv == "B") {
      bool truth;
      if (is_text_argument(arg, state)) {
        auto s = evaluate_string(arg, state);
        if (!s) return s;
        truth = !s->empty();
      } else {
        auto v = eval_number_arg(arg, state, line, line_text);
        if (!v) return fail(std::move(v.error()));
        truth = *v != 0.0;
      }
      piece = truth ? "TRUE" : "FALSE";
    } else if (conv == "C") {
      if (is_text_argument(arg, state)) {
        auto s = evaluate_string(arg, state);
        if (!s) return s;
        if (!s->empty()) piece = s->substr(0, decode_utf8(*s, 0).len);
      } else {
        auto v = eval_number_arg(arg, state, line, line_text);
        if (!v) return fail(std::move(v.error()));
        const double r = std::round(*v);
        if (!(r >= 0.0 && r <= 255.0)) {
          return fail(sprint_err(line, line_text,
                                 cat({"%c character code ", float_text(r),
                                      " is outside 0..255"})));
        }
        append_utf8(piece, static_cast<std::uint32_t>(r));
      }
    } else {
      return fail(sprint_err(
          line, line_text,
          cat({"SPRINT conversion '%", conv,
               "' is not supported (supported: %d %f %s %x %b %c)"})));
    }
    if (width > 0) {
      const std::size_t have = char_count(piece);
      if (have < width) {
        if (width > kMaxSprintWidth) {
          std::string w;
          append_int(w, static_cast<std::int64_t>(std::min<std::uint64_t>(width, INT64_MAX)));
          return fail(sprint_err(line, line_text,
                                 cat({"SPRINT field width ", w, " is too large (at most 1048576)"})));
        }
        out.append(static_cast<std::size_t>(width - have), ' ');
      }
    }
    out += piece;
  }
  return out;
}

errors::Result<std::string> evaluate_substr(const std::vector<types::Pair>& args,
                                            std::size_t line, const std::string& line_text,
                                            state::State& state) {
  if (args.size() < 2 || args.size() > 3) {
    return fail(errors::InvalidFunctionArity{line_text, "SUBSTR", line, 2, args.size()});
  }
  auto text = evaluate_string(args[0], state);
  if (!text) return text;
  const std::size_t len = char_count(*text);
  auto start = eval_index_arg(args[1], state, line, line_text);
  if (!start) return fail(std::move(start.error()));
  const std::uint64_t s = std::min<std::uint64_t>(*start, len);
  std::uint64_t e = len;
  if (args.size() == 3) {
    auto count = eval_index_arg(args[2], state, line, line_text);
    if (!count) return fail(std::move(count.error()));
    e = (*count >= len - s) ? len : s + *count;
  }
  const std::size_t b0 = byte_offset_of_char(*text, static_cast<std::size_t>(s));
  const std::size_t b1 = b0 + byte_offset_of_char(std::string_view(*text).substr(b0),
                                                  static_cast<std::size_t>(e - s));
  return text->substr(b0, b1 - b0);
}

}  // namespace

errors::Result<std::string> evaluate_string_function(const types::Pair& node, state::State& state) {
  const std::size_t line = node_line(node);
  const std::string line_text = state.line_text(line);
  const std::string name = upper(function_name_text(node));
  const std::vector<types::Pair> args = call_arguments(node);
  if (name == "SPRINT") return evaluate_sprint(args, line, line_text, state);
  if (name == "SUBSTR") return evaluate_substr(args, line, line_text, state);
  return fail(errors::ParsingError::with_context(
      line, line_text, "string function", cat({"'", name, "' is not a string-valued function"})));
}

// ---------------------------------------------------------------------------
// Built-in functions

errors::Result<double> eval_number_arg(const types::Pair& argument, state::State& state,
                                       std::size_t line, std::string_view line_text) {
  const types::Rule r = argument.as_rule();
  if (r == types::Rule::string_value || r == types::Rule::string_expression ||
      r == types::Rule::string) {
    return fail(errors::ParsingError::with_context(
        line, line_text, "function argument",
        cat({"expected a number but got the string ", trim(argument.as_str())})));
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
  const std::string_view t = trim(text);
  if (t.empty()) return std::nullopt;
  std::string u;
  u.reserve(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = upper_char(t[i]);
    if (c == 'E' && i + 1 < t.size() && upper_char(t[i + 1]) == 'X') {
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

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;

constexpr std::array<NumericFunction, 17> kNumericFunctions{{
    {"LN", 1}, {"EXP", 1}, {"SQRT", 1}, {"ABS", 1}, {"POT", 1}, {"SIN", 1}, {"COS", 1},
    {"TAN", 1}, {"ASIN", 1}, {"ACOS", 1}, {"ATAN2", 2}, {"TRUNC", 1}, {"ROUND", 1},
    {"ROUNDUP", 1}, {"MINVAL", 2}, {"MAXVAL", 2}, {"BOUND", 3},
}};

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
    return static_cast<double>(char_count(s.substr(0, nul)));
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
  const UpperBuf name_buf(written);
  const std::string_view name = name_buf.view();
  const std::vector<types::Pair> args = call_arguments(call);

  if (auto arity = string_query_arity(name)) {
    const std::string line_text = state.line_text(line);
    if (args.size() != *arity) {
      return fail(errors::InvalidFunctionArity{line_text, std::string(name), line, *arity,
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
  if (name == "SPRINT" || name == "SUBSTR") {
    return fail(annotate_error(
        call, "expression",
        cat({"'", name, "' returns a string; it cannot be used where a number is required"}),
        state));
  }
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
  const NumericFunction* fn = nullptr;
  for (const NumericFunction& f : kNumericFunctions)
    if (f.name == name) fn = &f;
  if (!fn) {
    return fail(annotate_error(call, "expression",
                               cat({"'", name, "' is not a known arithmetic function"}), state));
  }
  if (values.size() != fn->arity) {
    return fail(errors::InvalidFunctionArity{state.line_text(line), std::string(written), line,
                                             fn->arity, values.size()});
  }
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
  // BOUND(min, max, x)
  const double lo = values[0], hi = values[1], v = values[2];
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

}  // namespace

// ---------------------------------------------------------------------------
// Blocks and statements

bool is_end_of_program_m_code(std::string_view text) {
  while (!text.empty() && (text.front() == 'M' || text.front() == 'm')) text.remove_prefix(1);
  while (!text.empty() && text.front() == '0') text.remove_prefix(1);
  return text == "2" || text == "17" || text == "30";
}

bool looks_like_axis_word_typo(std::string_view name) {
  // counted in characters: the first two must be ASCII, the rest decoded
  std::size_t i = 0, n = 0;
  bool first_letter = false, second_digit = false, later_letter = false;
  while (i < name.size()) {
    const Utf8Char c = decode_utf8(name, i);
    const bool letter = (c.code >= 'a' && c.code <= 'z') || (c.code >= 'A' && c.code <= 'Z');
    const bool digit = c.code >= '0' && c.code <= '9';
    if (n == 0) first_letter = letter;
    else if (n == 1) second_digit = digit;
    else if (letter) later_letter = true;
    ++n;
    i += c.len;
  }
  return n >= 3 && first_letter && second_digit && later_letter;
}

errors::Status insert_m_key(CellMap& cells, std::string_view text, std::size_t line,
                            std::string_view line_text) {
  const UpperBuf word(text);
  const std::string_view m_col = columns().m;
  Value* cell = cells.get(m_col);
  if (!cell) {
    cells.insert(m_col, Value(std::vector<std::string>{std::string(word.view())}));
    return {};
  }
  auto* list = std::get_if<std::vector<std::string>>(cell);
  if (!list) return fail(errors::ParseError{"M command key 'M' is not a list"});
  if (list->size() >= 5) {
    return fail(errors::TooManyMCommands{std::string(line_text),
                                         "Too many M commands in a single block", line});
  }
  list->emplace_back(word.view());
  return {};
}

errors::Result<GCommand> interpret_g_command(const types::Pair& node, state::State& state) {
  const UpperBuf text(trim(node.as_str()));
  const std::string_view t = text.view();
  auto group = modal_groups::classify_g_command(t);
  if (!group) {
    const std::size_t line = node_line(node);
    return fail(errors::UnknownGCommand{state.line_text(line), std::string(t), line});
  }
  if (group->column == modal_groups::kPlaneColumn) {
    if (t == "G17") state.active_plane = 0;
    else if (t == "G18") state.active_plane = 1;
    else if (t == "G19") state.active_plane = 2;
  }
  return GCommand{group->column, std::string(t)};
}

void interpret_block_number(const types::Pair& node, output::OutputRows& rows) {
  auto digits = first_child(node);
  const std::string_view text = digits ? digits->as_str() : trim(node.as_str());
  rows.row.cells.insert(columns().n, Value(std::string(text)));
}

namespace {

constexpr std::array<std::string_view, 11> kFrameKeywords{
    "AMIRROR", "AROTS", "AROT", "ASCALE", "ATRANS", "CROTS", "MIRROR", "ROTS", "ROT", "SCALE",
    "TRANS"};

errors::Status write_assignment(const AssignmentResult& result, std::size_t line,
                                output::OutputRows& rows, state::State& state) {
  if (!result.second) return {};  // a text value writes no cell
  const double value = *result.second;
  const std::string& name = result.first;
  if (auto key = state.resolve_output_key(name)) {
    if (key->kind == state::ColKind::Axis) {
      const std::string_view col = key->column;
      if (state.rotation_active && (col == "X" || col == "Y" || col == "Z")) {
        state.insert_rotated_geometry(rows.row.cells);
      } else {
        rows.row.cells.insert(col, Value(value + state.translation_of(col)));
      }
    } else {
      rows.row.cells.insert(key->column, Value(value));
    }
    return {};
  }
  state.warn_unsupported_address(name, line);
  rows.record_variable_change(name, value);
  return {};
}

errors::Status interpret_named_call(const types::Pair& call, output::OutputRows& rows,
                                    state::State& state) {
  // the cell shows the call as written, blanks after a bare name included
  const std::string_view text = call.as_str();
  const std::size_t paren = text.find('(');
  if (paren != std::string_view::npos) {
    rows.row.cells.insert(columns().call, Value(std::string(text)));
    return {};
  }
  const std::string_view name = trim(text);
  for (std::string_view kw : kFrameKeywords) {
    if (iequals(name, kw)) {
      const std::size_t line = node_line(call);
      return fail(errors::UnsupportedStatement{
          state.line_text(line),
          cat({"The frame instruction ", name, " after another statement"}),
          "Frame instructions must be programmed in a separate NC block (manual 3.12.2.1).",
          line});
    }
  }
  const UpperBuf upper_name(name);
  if (auto group = modal_groups::classify_g_command(upper_name.view())) {
    rows.row.cells.insert(group->column, Value(std::string(upper_name.view())));
    return {};
  }
  if (looks_like_axis_word_typo(name)) {
    std::string msg = cat({"Warning: '", name, "' (line "});
    append_int(msg, static_cast<std::int64_t>(node_line(call)));
    msg += ") is interpreted as a subprogram call; did you mean one or more axis words (e.g. Y20)?";
    state::write_warning_line(std::move(msg));
  }
  rows.row.cells.insert(columns().call, Value(std::string(text)));
  return {};
}

}  // namespace

errors::Result<Flow> interpret_statement(const types::Pair& statement, output::OutputRows& rows,
                                         state::State& state) {
  auto child = first_child(statement);
  if (!child) {
    return fail(unexpected_rule(statement, "interpret_statement",
                                "Unexpected rule in interpret_statement: statement", state));
  }
  switch (child->as_rule()) {
    case types::Rule::axis_word:
    case types::Rule::assignment: {
      auto result = interpret_assignment(*child, state);
      if (!result) return fail(std::move(result.error()));
      auto st = write_assignment(*result, node_line(*child), rows, state);
      if (!st) return fail(std::move(st.error()));
      return Flow::cont();
    }
    case types::Rule::g_command_numbered:
    case types::Rule::g_command: {
      types::Pair g = *child;
      if (child->as_rule() == types::Rule::g_command_numbered) {
        auto inner = first_child(*child);
        if (!inner) {
          return fail(unexpected_rule(*child, "interpret_statement",
                                      "Unexpected rule in interpret_statement: g_command_numbered",
                                      state));
        }
        g = *inner;
      }
      auto cmd = interpret_g_command(g, state);
      if (!cmd) return fail(std::move(cmd.error()));
      rows.row.cells.insert(cmd->column, Value(std::move(cmd->text)));
      return Flow::cont();
    }
    case types::Rule::m_command: {
      const UpperBuf text(trim_end(child->as_str()));
      const std::size_t line = node_line(*child);
      auto line_view = state.get_line(line);
      auto st = insert_m_key(rows.row.cells, text.view(), line,
                             line_view ? *line_view : state::kNoLineText);
      if (!st) return fail(std::move(st.error()));
      return is_end_of_program_m_code(text.view()) ? Flow::end() : Flow::cont();
    }
    case types::Rule::tool_selection: {
      std::string tool;
      for (const types::Pair& part : child->into_inner()) {
        if (part.as_rule() == types::Rule::string_value) {
          if (auto s = first_child(part)) tool += s->as_str();
        } else if (part.as_rule() == types::Rule::string) {
          tool += part.as_str();
        } else {
          return fail(errors::UnexpectedRule{
              "interpret_tool_selection", "(state not available)",
              cat({"Unexpected rule in interpret_tool_selection: ",
                   types::rule_name(part.as_rule())}),
              node_line(part), part.as_rule()});
        }
      }
      rows.row.cells.insert(columns().t, Value(std::move(tool)));
      return Flow::cont();
    }
    case types::Rule::non_returning_function_call: {
      auto st = interpret_named_call(*child, rows, state);
      if (!st) return fail(std::move(st.error()));
      return Flow::cont();
    }
    default:
      return fail(unexpected_rule(
          *child, "interpret_statement",
          cat({"Unexpected rule in interpret_statement: ", types::rule_name(child->as_rule())}),
          state));
  }
}

errors::Result<Flow> interpret_control(const types::Pair& control, output::OutputRows& rows,
                                       state::State& state) {
  for (const types::Pair& child : control.into_inner()) {
    errors::Result<Flow> flow = Flow::cont();
    switch (child.as_rule()) {
      case types::Rule::gotos_statement:
        flow = interpret_gotos(child, state);
        break;
      case types::Rule::goto_statement:
        flow = interpret_goto(child, state);
        break;
      case types::Rule::if_goto_statement:
        flow = interpret_if_goto(child, state);
        break;
      case types::Rule::case_statement:
        flow = interpret_case(child, state);
        break;
      case types::Rule::if_statement:
        flow = interpret_statement_if(child, rows, state);
        break;
      case types::Rule::loop_statement:
        flow = interpret_statement_loop(child, rows, state);
        break;
      case types::Rule::for_statement:
        flow = interpret_statement_for(child, rows, state);
        break;
      case types::Rule::while_statement:
        flow = interpret_statement_while(child, rows, state);
        break;
      case types::Rule::repeat_until_statement:
        flow = interpret_statement_repeat_until(child, rows, state);
        break;
      default:
        return fail(annotate_error(
            child, "control statement",
            cat({"Unexpected rule in interpret_control: ", types::rule_name(child.as_rule())}),
            state));
    }
    if (!flow) return flow;
    if (!flow->is_continue()) return flow;
  }
  return Flow::cont();
}

errors::Result<Flow> interpret_block(const types::Pair& block, output::OutputRows& rows,
                                     state::State& state) {
  const std::size_t line = node_line(block);
  if (auto st = rows.flush(); !st) return fail(std::move(st.error()));
  rows.row.line = line;
  Flow flow = Flow::cont();
  bool ran_statement = false;
  for (const types::Pair& child : block.into_inner()) {
    switch (child.as_rule()) {
      case types::Rule::block_number:
        interpret_block_number(child, rows);
        break;
      case types::Rule::label_def:
        break;
      case types::Rule::statement: {
        auto f = interpret_statement(child, rows, state);
        if (!f) return f;
        if (f->is_end()) flow = Flow::end();
        ran_statement = true;
        break;
      }
      case types::Rule::definition: {
        auto st = interpret_definition(child, rows, state);
        if (!st) return fail(std::move(st.error()));
        break;
      }
      case types::Rule::frame_op: {
        auto st = interpret_frame_op(child, state);
        if (!st) return fail(std::move(st.error()));
        break;
      }
      case types::Rule::control: {
        auto f = interpret_control(child, rows, state);
        if (!f) return f;
        flow = std::move(*f);
        break;
      }
      case types::Rule::comment:
        rows.row.cells.insert(columns().comment, Value(std::string(child.as_str())));
        break;
      default:
        return fail(annotate_error(
            child, "block interpretation",
            cat({"Unexpected rule: ", types::rule_name(child.as_rule())}), state));
    }
  }
  if (ran_statement) {
    if (auto st = state.finish_block_frame(rows.row.cells, line); !st)
      return fail(std::move(st.error()));
  }
  return flow;
}

}  // namespace kelvane::interpret_rules

// ===========================================================================
// Assignments, DEF, frame instructions, jumps, CASE, block lists and loops
namespace kelvane::interpret_rules {

namespace {

using errors::fail;
using types::rule_name;
// the shared one beside the node-first form of the first half
using interpret_rules::unexpected_rule;

constexpr std::string_view kBlanks = " \t\r\n";

// Text of one placeholder argument.
template <typename T>
std::string to_text(const T& v) {
  if constexpr (std::is_integral_v<T>) {
    return std::to_string(v);
  } else {
    return std::string(std::string_view(v));
  }
}

// Fills the "{}" placeholders of `pattern` in order.
template <typename... A>
std::string fmt(std::string_view pattern, const A&... args) {
  const std::array<std::string, sizeof...(A)> texts{to_text(args)...};
  std::string out;
  out.reserve(pattern.size() + 16);
  std::size_t next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' &&
        next < texts.size()) {
      out += texts[next++];
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::string_view trim_blanks(std::string_view s) {
  const auto b = s.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return {};
  const auto e = s.find_last_not_of(kBlanks);
  return s.substr(b, e - b + 1);
}


void warn(std::string line) { state::write_warning_line(std::move(line)); }

// The children of a node, collected.
std::vector<Pair> children(const Pair& node) {
  const types::Pairs inner = node.into_inner();
  std::vector<Pair> out;
  out.reserve(inner.count());
  for (Pair p : inner) out.push_back(std::move(p));
  return out;
}

// A decimal float literal (the whole text), or nothing.
std::optional<double> parse_float_literal(std::string_view text) {
  text = trim_blanks(text);
  if (text.empty()) return std::nullopt;
  double v = 0.0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (*first == '+') ++first;
  auto [ptr, ec] = std::from_chars(first, last, v, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // overflow reads as an infinity, underflow as zero, like strtod
    const std::string copy(text);
    v = std::strtod(copy.c_str(), nullptr);
    return v;
  }
  if (ec != std::errc() || ptr != last) return std::nullopt;
  return v;
}

// Length in bytes of the UTF-8 character starting at s[i]; an invalid byte
// counts as a character of its own.
std::size_t utf8_char_len(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t n = 1;
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c >= 0xE0 && c <= 0xEF) n = 3;
  else if (c >= 0xF0 && c <= 0xF4) n = 4;
  if (n == 1 || i + n > s.size()) return 1;
  for (std::size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
  }
  return n;
}

std::size_t utf8_count(std::string_view s) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size(); i += utf8_char_len(s, i)) ++count;
  return count;
}

}  // namespace

ParsingError loop_limit(const State& state) {
  return errors::LoopLimit{std::to_string(state.iteration_limit)};
}

ParsingError unexpected_rule(std::string_view context, std::string_view details_prefix,
                             const Pair& node, const State& state) {
  const std::size_t line = node_line(node);
  return errors::UnexpectedRule{std::string(context), line_text_of(state, line),
                                fmt("{}{}", details_prefix, rule_name(node.as_rule())),
                                line, node.as_rule()};
}

// ===========================================================================
// Assignments

namespace {

Result<AssignmentResult> single_character_write(const Pair& target, std::string text,
                                                State& state) {
  constexpr std::string_view ctx = "single-character string write";
  auto parts = target.into_inner();
  auto name_node = parts.next();
  auto indices_node = parts.next();
  if (!name_node || !indices_node) {
    return fail(annotate_error(target, ctx, "malformed array reference", state));
  }
  if (name_node->as_rule() == Rule::nc_variable) {
    return fail(annotate_error(
        target, ctx,
        fmt("'{}' is a system variable; single-character write is only allowed for "
                    "user-defined variables",
                    upper(trim_blanks(name_node->as_str()))),
        state));
  }
  auto ident = interpret_identifier(*name_node);
  if (!ident) return fail(ident.error());
  std::string name = normalize_reserved_case(std::move(*ident), state);
  auto not_a_string = [&] {
    return annotate_error(
        target, ctx,
        fmt("'{}' is not a STRING variable; only strings support single-character "
            "(STRING[i] = \"c\") writes",
            name),
        state);
  };
  auto it = state.string_table.find(name);
  if (it == state.string_table.end()) return fail(not_a_string());
  auto idx = interpret_indices(*indices_node, state);
  if (!idx) return fail(idx.error());
  if (idx->size() != 1) {
    return fail(annotate_error(
        target, ctx, fmt("single-character write into '{}' requires exactly one index", name),
        state));
  }
  const double raw = (*idx)[0];
  std::uint64_t index = 0;
  if (std::isnan(raw) || raw <= 0.0) index = 0;
  else if (raw >= 18446744073709551615.0) index = std::numeric_limits<std::uint64_t>::max();
  else index = static_cast<std::uint64_t>(raw);
  if (utf8_count(text) != 1) {
    return fail(annotate_error(
        target, ctx,
        fmt("single-character write into '{}' expects exactly one character on the "
                    "right-hand side, got \"{}\"",
                    name, text),
        state));
  }
  // the table may have been rehashed by the subscripts
  it = state.string_table.find(name);
  if (it == state.string_table.end()) return fail(not_a_string());
  const std::string& current = it->second;
  const std::size_t length = utf8_count(current);
  if (index >= length) {
    return fail(annotate_error(
        target, ctx,
        fmt("index {} is out of range for '{}' (length {}); valid range is 0..{}", index,
                    name, length, length == 0 ? 0 : length - 1),
        state));
  }
  std::size_t pos = 0;
  for (std::uint64_t k = 0; k < index; ++k) pos += utf8_char_len(current, pos);
  const std::size_t len = utf8_char_len(current, pos);
  std::string updated = current.substr(0, pos) + text + current.substr(pos + len);
  it.value() = std::move(updated);
  return AssignmentResult{std::move(name), std::nullopt};
}

Status store_number(const std::string& name, double value, const Pair& node, State& state) {
  if (state.is_axis(name)) {
    state.update_axis(name, value);
    return {};
  }
  if (State::is_block_address(name)) return {};
  if (state.string_table.find(name) != state.string_table.end()) {
    return fail(annotate_error(
        node, "assignment",
        fmt("'{}' is a STRING variable; it cannot be assigned a number", name), state));
  }
  state.symbol_table[name] = value;
  return {};
}

}  // namespace

Result<AssignmentResult> interpret_assignment(Pair node, State& state) {
  auto parts = node.into_inner();
  auto target = parts.next();
  auto raw_value = parts.next();
  if (!target || !raw_value) {
    return fail(errors::InvalidElementCount{2, target ? std::size_t{1} : std::size_t{0}});
  }
  const Pair value = unwrap_lone_operand(*raw_value);
  const Rule vr = value.as_rule();
  const bool is_text = vr == Rule::string_expression || vr == Rule::string_value ||
                       (vr == Rule::expression && expression_is_string(value, state));

  if (is_text) {
    auto text = evaluate_string(value, state);
    if (!text) return fail(text.error());
    if (target->as_rule() == Rule::variable_array) {
      return single_character_write(*target, std::move(*text), state);
    }
    std::string name;
    if (target->as_rule() == Rule::variable_single_char) {
      name = upper(trim_blanks(target->as_str()));
    } else {
      auto n = interpret_variable(*target, state);
      if (!n) return fail(n.error());
      name = std::move(*n);
    }
    if (state.is_axis(name) || State::is_block_address(name)) {
      return fail(annotate_error(node, "a numeric value",
                                 fmt("cannot assign a string to '{}'", name), state));
    }
    if (state.symbol_table.find(name) != state.symbol_table.end()) {
      return fail(annotate_error(
          node, "a numeric value",
          fmt("'{}' is a numeric variable; it cannot be assigned a string", name), state));
    }
    state.string_table[name] = std::move(*text);
    return AssignmentResult{std::move(name), std::nullopt};
  }

  const Rule tr = target->as_rule();
  std::string name;
  double number = 0.0;
  if (tr == Rule::variable_array && vr == Rule::expression) {
    if (auto sys = actual_position_sysvar_name(*target)) {
      return fail(annotate_error(
          *target, "actual-position system variable",
          fmt("{} is a read-only actual position; it cannot be assigned", *sys), state));
    }
    auto key = interpret_variable_array_key(*target, state);
    if (!key) return fail(key.error());
    name = std::move(*key);
    auto v = evaluate_expression(value, state);
    if (!v) return fail(v.error());
    number = *v;
  } else if (tr == Rule::variable_single_char && vr == Rule::value) {
    name = upper(trim_blanks(target->as_str()));
    auto v = parse_float_literal(value.as_str());
    if (!v) {
      return fail(annotate_error(value, "numeric literal",
                                 fmt("'{}' is not a valid number", value.as_str()), state));
    }
    number = *v;
  } else if (tr == Rule::variable && vr == Rule::expression) {
    auto n = interpret_variable(*target, state);
    if (!n) return fail(n.error());
    name = std::move(*n);
    auto v = evaluate_expression(value, state);
    if (!v) return fail(v.error());
    number = *v;
  } else if (tr == Rule::variable && vr == Rule::axis_increment) {
    auto n = interpret_variable(*target, state);
    if (!n) return fail(n.error());
    name = std::move(*n);
    auto v = interpret_axis_increment(value, state, name);
    if (!v) return fail(v.error());
    number = *v;
  } else {
    const std::size_t line = node_line(node);
    return fail(errors::UnexpectedRule{
        "interpret_assignment", line_text_of(state, line),
        fmt("Unexpected rule in interpret_assignment: {}", rule_name(vr)), line, vr});
  }
  if (auto st = store_number(name, number, node, state); !st) return fail(st.error());
  return AssignmentResult{std::move(name), number};
}

Result<double> interpret_axis_increment(Pair node, State& state, std::string name) {
  auto child = node.into_inner().next();
  if (!child || child->as_rule() != Rule::expression) {
    const std::size_t line = node_line(node);
    const Rule r = child ? child->as_rule() : Rule::EOI;
    return fail(errors::UnexpectedRule{
        "interpret_axis_increment::axis_increment", line_text_of(state, line),
        fmt("Unexpected rule in interpret_axis_increment: {}", rule_name(r)), line, r});
  }
  auto e = evaluate_expression(*child, state);
  if (!e) return fail(e.error());
  if (auto it = state.axes.find(name); it != state.axes.end()) return it->second + *e;
  warn(fmt(
      "Warning: axis '{}' is incremented with IC() before any absolute position was set; "
      "assuming it starts at 0 (a real control would start from the actual axis position).",
      name));
  return *e;
}

// ===========================================================================
// DEF

namespace {

Status test_definable(const std::string& name, const Pair& node, State& state) {
  if (state.is_axis(name)) {
    const std::size_t line = node_line(node);
    return fail(errors::AxisUsedAsVariable{name, line_text_of(state, line), line});
  }
  if (State::is_block_address(name)) {
    const std::size_t line = node_line(node);
    return fail(errors::ReservedNameUsedAsVariable{name, line_text_of(state, line), line});
  }
  return {};
}

// The name an assignment inside DEF is about to define, when it can be read
// without side effects.
std::optional<std::string> definition_target_name(const Pair& assignment, State& state) {
  auto target = assignment.into_inner().next();
  if (!target) return std::nullopt;
  switch (target->as_rule()) {
    case Rule::variable: {
      auto n = interpret_variable(*target, state);
      if (!n) return std::nullopt;
      return std::move(*n);
    }
    case Rule::variable_single_char:
      return upper(trim_blanks(target->as_str()));
    case Rule::variable_array: {
      auto first = target->into_inner().next();
      if (!first) return std::nullopt;
      auto n = interpret_identifier(*first);
      if (!n) return std::nullopt;
      return std::move(*n);
    }
    default:
      return std::nullopt;
  }
}

Result<std::vector<std::optional<double>>> interpret_value_array(const Pair& list, State& state) {
  std::vector<std::optional<double>> values;
  for (Pair child : list.into_inner()) {
    switch (child.as_rule()) {
      case Rule::value_none:
        values.emplace_back(std::nullopt);
        break;
      case Rule::expression: {
        auto v = evaluate_expression(child, state);
        if (!v) return fail(v.error());
        values.emplace_back(*v);
        break;
      }
      default:
        return fail(unexpected_rule("interpret_value_array",
                                    "Unexpected rule in interpret_value_array: ", child, state));
    }
  }
  return values;
}

Status interpret_assignment_multi(const Pair& node, OutputRows& rows, State& state) {
  auto parts = node.into_inner();
  auto target = parts.next();
  auto list = parts.next();
  if (!target || !list) {
    return fail(errors::InvalidElementCount{2, target ? std::size_t{1} : std::size_t{0}});
  }
  auto ref = array_ref(*target, state);
  if (!ref) return fail(std::move(ref.error()));
  auto values = interpret_value_array(*list, state);
  if (!values) return fail(values.error());
  // only the keys that take a value are made: the array may be far larger
  auto keys = leading_element_keys(*ref, values->size());
  if (!keys) return fail(keys.error());
  for (std::size_t i = 0; i < values->size(); ++i) {
    if ((*values)[i]) state.symbol_table[(*keys)[i]] = *(*values)[i];
  }
  for (std::size_t i = 0; i < values->size(); ++i) {
    if ((*values)[i]) rows.record_variable_change((*keys)[i], *(*values)[i]);
  }
  return {};
}

}  // namespace

Status interpret_definition(Pair node, OutputRows& rows, State& state) {
  bool is_string = false;
  for (Pair item : node.into_inner()) {
    switch (item.as_rule()) {
      case Rule::data_type: {
        const std::string t = upper(item.as_str());
        is_string = t.size() >= 6 && t.starts_with("STRING");
        break;
      }
      case Rule::variable: {
        auto n = interpret_variable(item, state);
        if (!n) return fail(n.error());
        if (auto st = test_definable(*n, item, state); !st) return st;
        if (is_string) {
          state.string_table[*n] = std::string();
        } else {
          state.symbol_table[*n] = 0.0;
          rows.record_variable_change(*n, 0.0);
        }
        break;
      }
      case Rule::variable_array:
        if (auto st = declare_array(item, rows, state); !st) return st;
        break;
      case Rule::assignment: {
        if (auto pre = definition_target_name(item, state)) {
          if (auto st = test_definable(*pre, item, state); !st) return st;
        }
        auto r = interpret_assignment(item, state);
        if (!r) return fail(r.error());
        if (auto st = test_definable(r->first, item, state); !st) return st;
        if (r->second && is_string) {
          return fail(annotate_error(
              item, "interpret_definition",
              fmt("DEF STRING variable '{}' initialized with a number", r->first), state));
        }
        if (!r->second && !is_string) {
          return fail(annotate_error(
              item, "interpret_definition",
              fmt("numeric variable '{}' initialized with a string (declare it DEF "
                          "STRING[n])",
                          r->first),
              state));
        }
        if (r->second) rows.record_variable_change(r->first, *r->second);
        break;
      }
      case Rule::assignment_multi:
        if (auto st = interpret_assignment_multi(item, rows, state); !st) return st;
        break;
      default:
        return fail(unexpected_rule("interpret_definition",
                                    "Unexpected rule in interpret_definition: ", item, state));
    }
  }
  return {};
}

// ===========================================================================
// Frame instructions

namespace {


state::Matrix3 rot_x(double a) {
  const double c = std::cos(a * kDegToRad), s = std::sin(a * kDegToRad);
  return {{{1.0, 0.0, 0.0}, {0.0, c, -s}, {0.0, s, c}}};
}
state::Matrix3 rot_y(double a) {
  const double c = std::cos(a * kDegToRad), s = std::sin(a * kDegToRad);
  return {{{c, 0.0, s}, {0.0, 1.0, 0.0}, {-s, 0.0, c}}};
}
state::Matrix3 rot_z(double a) {
  const double c = std::cos(a * kDegToRad), s = std::sin(a * kDegToRad);
  return {{{c, -s, 0.0}, {s, c, 0.0}, {0.0, 0.0, 1.0}}};
}

// After ROT/AROT with arguments: a rotation that moves an unconfigured
// geometry axis is refused.
Status check_rotation(std::size_t line, std::string_view line_text, State& state) {
  static constexpr std::array<std::string_view, 3> kLetters{"X", "Y", "Z"};
  for (std::size_t i = 0; i < 3; ++i) {
    if (state.geometry_columns[i]) continue;
    bool moved = false;
    for (std::size_t k = 0; k < 3; ++k) {
      const double unit = k == i ? 1.0 : 0.0;
      if (std::fabs(state.rotation[k][i] - unit) > state::kFrameTolerance) moved = true;
    }
    if (moved) {
      return fail(ParsingError::with_context(
          line, line_text, "frame rotation",
          fmt("the rotation moves geometry axis {}, which is not a configured axis ({})",
                      kLetters[i], state.axis_list())));
    }
  }
  return {};
}

ParsingError unsupported_frame(std::string_view keyword, std::size_t line,
                               std::string_view line_text) {
  return errors::UnsupportedStatement{
      std::string(line_text), fmt("The frame instruction {}", keyword),
      "Solid-angle rotation, scaling and mirroring frames are not modeled; interpreting this "
      "program would produce wrong coordinates. Only TRANS, ATRANS, ROT and AROT are supported.",
      line};
}

}  // namespace

Result<std::vector<std::pair<std::string, double>>> frame_assignments(
    std::span<const Pair> arguments, State& state) {
  const auto saved = state.axes;
  std::vector<std::pair<std::string, double>> pairs;
  for (const Pair& arg : arguments) {
    auto r = interpret_assignment(arg, state);
    if (!r) {
      state.axes = saved;
      return fail(r.error());
    }
    if (!r->second) {
      state.axes = saved;
      return fail(annotate_error(
          arg, "frame instruction",
          fmt("frame instruction cannot assign a string to '{}'", r->first), state));
    }
    if (!state.is_axis(r->first)) {
      state.axes = saved;
      const std::size_t line = node_line(arg);
      return fail(
          errors::UnexpectedAxis{r->first, state.axis_list(), line_text_of(state, line), line});
    }
    pairs.emplace_back(std::move(r->first), *r->second);
  }
  state.axes = saved;
  return pairs;
}

Result<RotationMatrix> rotation_assignments(std::span<const Pair> arguments, State& state,
                                            std::size_t line, std::string_view line_text) {
  std::array<double, 3> angles{0.0, 0.0, 0.0};
  bool any_axis = false;
  std::optional<double> rpl;
  for (const Pair& arg : arguments) {
    auto parts = arg.into_inner();
    auto target = parts.next();
    auto raw_value = parts.next();
    if (!target || !raw_value) {
      return fail(errors::InvalidElementCount{2, target ? std::size_t{1} : std::size_t{0}});
    }
    const Pair value = unwrap_lone_operand(*raw_value);
    const std::string name = upper(trim_blanks(target->as_str()));
    double angle = 0.0;
    if (value.as_rule() == Rule::expression) {
      auto v = evaluate_expression(value, state);
      if (!v) return fail(v.error());
      angle = *v;
    } else if (value.as_rule() == Rule::value) {
      auto v = parse_float_literal(value.as_str());
      if (!v) {
        return fail(annotate_error(arg, "frame rotation",
                                   fmt("'{}' is not a valid angle", value.as_str()),
                                   state));
      }
      angle = *v;
    } else {
      return fail(annotate_error(
          arg, "frame rotation", fmt("{}= expects a numeric angle in degrees", name),
          state));
    }
    if (name == "X" || name == "Y" || name == "Z") {
      angles[static_cast<std::size_t>(name[0] - 'X')] = angle;
      any_axis = true;
    } else if (name == "RPL") {
      rpl = angle;
    } else {
      return fail(annotate_error(
          arg, "frame rotation",
          fmt("ROT/AROT angles refer to the geometry axes X, Y, Z only; '{}' cannot be "
                      "rotated about",
                      name),
          state));
    }
  }
  if (rpl && any_axis) {
    return fail(ParsingError::with_context(
        line, line_text, "frame rotation",
        "RPL= cannot be combined with X/Y/Z angles in one block (manual 3.12.2.4 lists them as "
        "alternative syntaxes)"));
  }
  if (rpl) {
    switch (state.active_plane) {
      case 1: return rot_y(*rpl);
      case 2: return rot_x(*rpl);
      default: return rot_z(*rpl);
    }
  }
  return state::mat_mul(state::mat_mul(rot_z(angles[2]), rot_y(angles[1])), rot_x(angles[0]));
}

Status apply_frame_instruction(std::string_view keyword, std::span<const Pair> arguments,
                               std::size_t line, std::string_view line_text, State& state) {
  const bool has_args = !arguments.empty();
  if (keyword == "ROT") {
    if (!has_args) {
      state.reset_frame();
      return {};
    }
    auto m = rotation_assignments(arguments, state, line, line_text);
    if (!m) return fail(m.error());
    state.reset_frame();
    state.set_rotation(*m);
    return check_rotation(line, line_text, state);
  }
  if (keyword == "AROT") {
    if (!has_args) return {};
    auto m = rotation_assignments(arguments, state, line, line_text);
    if (!m) return fail(m.error());
    state.set_rotation(state::mat_mul(state.rotation, *m));
    return check_rotation(line, line_text, state);
  }
  if (keyword == "TRANS") {
    state.reset_frame();
    if (!has_args) return {};
    auto pairs = frame_assignments(arguments, state);
    if (!pairs) return fail(pairs.error());
    for (auto& [name, value] : *pairs) state.translation[name] = value;
    return {};
  }
  if (keyword == "ATRANS") {
    if (!has_args) return {};
    auto pairs = frame_assignments(arguments, state);
    if (!pairs) return fail(pairs.error());
    for (auto& [name, value] : *pairs) {
      const bool geometry = name == "X" || name == "Y" || name == "Z";
      if (geometry && state.rotation_active) {
        const auto i = static_cast<std::size_t>(name[0] - 'X');
        for (std::size_t k = 0; k < 3; ++k) {
          const auto& column = state.geometry_columns[k];
          if (!column) continue;
          const std::string key(*column);
          state.translation[key] = state.translation_of(key) + value * state.rotation[k][i];
        }
      } else {
        state.translation[name] = state.translation_of(name) + value;
      }
    }
    return {};
  }
  const bool absolute = keyword == "SCALE" || keyword == "MIRROR" || keyword == "ROTS" ||
                        keyword == "CROTS";
  const bool additive = keyword == "ASCALE" || keyword == "AMIRROR" || keyword == "AROTS";
  if (absolute || additive) {
    if (has_args) return fail(unsupported_frame(keyword, line, line_text));
    if (absolute) state.reset_frame();
    return {};
  }
  return fail(ParsingError::with_context(line, line_text, "frame instruction",
                                         fmt("Unexpected frame keyword '{}'", keyword)));
}

Status interpret_frame_op(Pair node, State& state) {
  const std::size_t line = node_line(node);
  const std::string line_text = line_text_of(state, line);
  std::vector<Pair> parts = children(node);
  if (parts.empty()) {
    return fail(annotate_error(node, "frame instruction", "missing frame keyword", state));
  }
  const std::string keyword = upper(trim_blanks(parts.front().as_str()));
  const std::span<const Pair> arguments(parts.data() + 1, parts.size() - 1);
  return state.change_frame([&](State& s) {
    return apply_frame_instruction(keyword, arguments, line, line_text, s);
  });
}

// ===========================================================================
// Jumps

std::string label_jump_key(std::string_view label) {
  return "LABEL:" + upper(trim_blanks(label));
}

std::string block_number_jump_key(std::string_view digits) {
  digits = trim_blanks(digits);
  const auto nz = digits.find_first_not_of('0');
  std::string_view rest = nz == std::string_view::npos ? std::string_view("0") : digits.substr(nz);
  return "N:" + std::string(rest);
}

std::string target_jump_key(std::string_view target) {
  const std::string_view t = trim_blanks(target);
  std::string_view s = t;
  if (t.size() > 1 && (t[0] == 'N' || t[0] == 'n')) s = t.substr(1);
  bool digits = !s.empty();
  for (char c : s) {
    if (c < '0' || c > '9') {
      digits = false;
      break;
    }
  }
  if (digits) return block_number_jump_key(s);
  return "LABEL:" + upper(t);
}

JumpTable scan_jump_targets(std::span<const Pair> blocks) {
  JumpTable table;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    for (Pair child : blocks[i].into_inner()) {
      std::string key;
      if (child.as_rule() == Rule::label_def) {
        auto name = child.into_inner().next();
        std::string_view text = name ? name->as_str() : child.as_str();
        if (!name && text.ends_with(':')) text.remove_suffix(1);
        key = label_jump_key(text);
      } else if (child.as_rule() == Rule::block_number) {
        key = block_number_jump_key(child.as_str());
      } else {
        continue;
      }
      table[std::move(key)].push_back(i);
    }
  }
  return table;
}

std::optional<std::size_t> resolve_jump(const JumpTable& table, std::size_t current,
                                        const JumpRequest& request) {
  auto it = table.find(request.key);
  if (it == table.end()) return std::nullopt;
  const std::vector<std::size_t>& at = it->second;
  auto backward = [&]() -> std::optional<std::size_t> {
    std::optional<std::size_t> best;
    for (std::size_t i : at) {
      if (i <= current) best = i;
      else break;
    }
    return best;
  };
  auto forward = [&]() -> std::optional<std::size_t> {
    for (std::size_t i : at) {
      if (i > current) return i;
    }
    return std::nullopt;
  };
  switch (request.direction) {
    case JumpDirection::Backward:
      return backward();
    case JumpDirection::Forward:
      return forward();
    case JumpDirection::Both:
      if (auto f = forward()) return f;
      return backward();
  }
  return std::nullopt;
}

namespace {

std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t sub = prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, sub});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

std::string key_as_written(std::string_view key) {
  if (key.starts_with("LABEL:")) return std::string(key.substr(6));
  if (key.starts_with("N:")) return "N" + std::string(key.substr(2));
  return std::string(key);
}

}  // namespace

ParsingError JumpRequest::into_not_found_error(const State& state) const {
  std::string_view searched;
  std::string_view reason;
  switch (direction) {
    case JumpDirection::Backward:
      searched = "toward the beginning of the program (GOTOB)";
      reason = "GOTOB only searches toward the beginning of the program; use GOTOF or GOTO for a "
               "destination that lies after this block";
      break;
    case JumpDirection::Forward:
      searched = "toward the end of the program (GOTOF)";
      reason = "GOTOF only searches toward the end of the program; use GOTOB or GOTO for a "
               "destination that lies before this block";
      break;
    case JumpDirection::Both:
      searched = "in both directions (GOTO/GOTOC)";
      reason = "a jump cannot enter an IF or loop body from outside";
      break;
  }
  std::string hint;
  if (state.all_jump_targets.empty()) {
    // no hint
  } else if (state.all_jump_targets.find(key) != state.all_jump_targets.end()) {
    hint = fmt("\n'{}' is defined, but not where this jump searches: {}.", target, reason);
  } else {
    std::optional<std::string_view> best;
    std::size_t best_distance = 3;
    for (const std::string& candidate : state.all_jump_targets) {
      // keys differing in length by more than 2 cannot be within distance 2
      const std::size_t diff = candidate.size() > key.size() ? candidate.size() - key.size()
                                                              : key.size() - candidate.size();
      if (diff > 2) continue;
      const std::size_t d = edit_distance(key, candidate);
      if (d >= 1 && d <= 2 && d < best_distance) {
        best = candidate;
        best_distance = d;
      }
    }
    if (best) hint = fmt("\nDid you mean '{}'?", key_as_written(*best));
  }
  return errors::JumpTargetNotFound{line_text, target, std::string(searched), std::move(hint),
                                    line};
}

Result<Flow> interpret_goto(Pair goto_statement, State& state) {
  const std::size_t line = node_line(goto_statement);
  auto parts = goto_statement.into_inner();
  auto kw = parts.next();
  auto target_node = parts.next();
  if (!kw || !target_node) {
    return fail(annotate_error(goto_statement, "jump statement", "missing jump target", state));
  }
  const std::string keyword = upper(trim_blanks(kw->as_str()));
  JumpDirection direction;
  if (keyword == "GOTO" || keyword == "GOTOC") direction = JumpDirection::Both;
  else if (keyword == "GOTOB") direction = JumpDirection::Backward;
  else if (keyword == "GOTOF") direction = JumpDirection::Forward;
  else {
    return fail(annotate_error(goto_statement, "jump statement",
                               fmt("Unexpected jump keyword '{}'", keyword), state));
  }
  std::string target(trim_blanks(target_node->as_str()));
  std::string key = target_jump_key(target);
  if (keyword == "GOTOC" && !state.jump_target_visible(key)) {
    warn(fmt(
        "Warning: GOTOC destination '{}' not found; alarm suppressed, continuing with the next "
        "block (line {})",
        target, line));
    return Flow::cont();
  }
  return Flow::jump(JumpRequest{std::move(key), std::move(target), line_text_of(state, line), line,
                                direction});
}

Result<Flow> interpret_if_goto(Pair if_goto_statement, State& state) {
  auto parts = if_goto_statement.into_inner();
  auto condition = parts.next();
  auto jump = parts.next();
  if (!condition || !jump) {
    return fail(errors::InvalidElementCount{2, condition ? std::size_t{1} : std::size_t{0}});
  }
  auto holds = evaluate_condition(*condition, state);
  if (!holds) return fail(holds.error());
  if (!*holds) return Flow::cont();
  return interpret_goto(*jump, state);
}

Result<Flow> interpret_case(Pair case_statement, State& state) {
  std::optional<double> selector;
  for (Pair child : case_statement.into_inner()) {
    switch (child.as_rule()) {
      case Rule::expression:
        if (!selector) {
          auto v = evaluate_expression(child, state);
          if (!v) return fail(v.error());
          selector = *v;
        }
        break;
      case Rule::case_arm: {
        auto parts = child.into_inner();
        auto constant = parts.next();
        auto jump = parts.next();
        if (!constant || !jump) return fail(errors::InvalidElementCount{2, 0});
        const std::string_view text = trim_blanks(constant->as_str());
        auto c = parse_float_literal(text);
        if (!c) {
          return fail(annotate_error(*constant, "CASE constant",
                                     fmt("'{}' is not a valid number", text), state));
        }
        if (selector && approximately_equal(*selector, *c)) return interpret_goto(*jump, state);
        break;
      }
      case Rule::case_default: {
        for (Pair p : child.into_inner()) {
          if (p.as_rule() == Rule::goto_statement) return interpret_goto(p, state);
        }
        break;
      }
      default:
        break;  // CASE and OF keywords
    }
  }
  return Flow::cont();
}

Flow interpret_gotos(Pair gotos_statement, State& /*state*/) {
  warn(fmt(
      "Warning: GOTOS ignored (line {}): the program restart depends on the PLC signal "
      "enableGoToStart; continuing with the next block",
      node_line(gotos_statement)));
  return Flow::cont();
}

// ===========================================================================
// Block lists and structures

namespace {

// A block list collected once and run any number of times: a loop collects
// its body on entry and runs the same list on every pass.
struct BlockList {
  std::vector<Pair> blocks;
  JumpTable table;
  // the label scope of a run, built once: lent to the scope stack while a
  // run lasts and taken back when it ends
  state::StrSet scope;
};

// Lends a list's scope to the scope stack for one run.
struct LentScope {
  State& state;
  state::StrSet& scope;
  LentScope(State& s, state::StrSet& lent) : state(s), scope(lent) {
    state.label_scopes.emplace_back().swap(scope);
  }
  ~LentScope() {
    state.label_scopes.back().swap(scope);
    state.label_scopes.pop_back();
  }
  LentScope(const LentScope&) = delete;
  LentScope& operator=(const LentScope&) = delete;
};

// Collects a `blocks` node; its targets become known to the jump hints.
Result<BlockList> collect_block_list(const Pair& blocks, State& state) {
  if (blocks.as_rule() != Rule::blocks) {
    return fail(annotate_error(blocks, "blocks interpretation",
                               fmt("Expected blocks, found {}", rule_name(blocks.as_rule())),
                               state));
  }
  BlockList list;
  // one walk over the siblings: a counting pass first would touch every
  // block's first token twice
  for (Pair p : blocks.into_inner()) list.blocks.push_back(std::move(p));
  list.table = scan_jump_targets(list.blocks);
  for (const auto& entry : list.table) {
    state.all_jump_targets.insert(entry.first);
    list.scope.insert(entry.first);
  }
  return list;
}

// One run of a collected list: its own label scope pushed for the run, the
// backward jumps counted from zero. Every loop pass runs a list, so the run
// stops here, and at each backward jump, once nobody receives its rows.
Result<Flow> run_block_list(BlockList& list, OutputRows& rows, State& state) {
  if (rows.consumer_gone()) return fail(errors::StreamClosed{});
  const LentScope lent(state, list.scope);

  const std::vector<Pair>& blocks = list.blocks;
  const std::size_t n = blocks.size();
  std::size_t index = 0;
  std::size_t backward = 0;
  while (index < n) {
    auto flow = interpret_block(blocks[index], rows, state);
    if (!flow) return fail(flow.error());
    if (flow->is_continue()) {
      ++index;
      continue;
    }
    if (flow->is_end()) return Flow::end();
    JumpRequest* request = flow->jump_request();
    auto target = resolve_jump(list.table, index, *request);
    if (!target) return std::move(*flow);
    if (*target <= index) {
      ++backward;
      if (backward >= state.iteration_limit) return fail(loop_limit(state));
      if (rows.consumer_gone()) return fail(errors::StreamClosed{});
    }
    index = *target;
  }
  return Flow::cont();
}

// A loop body, collected on its first pass (a body that never runs is never
// looked at, as before) and reused by every later pass.
struct LoopBody {
  const Pair& node;
  std::optional<BlockList> list;

  Result<Flow> run(OutputRows& rows, State& state) {
    if (!list) {
      auto collected = collect_block_list(node, state);
      if (!collected) return fail(std::move(collected.error()));
      list = std::move(*collected);
    }
    return run_block_list(*list, rows, state);
  }
};

}  // namespace

Result<Flow> interpret_blocks(Pair blocks, OutputRows& rows, State& state) {
  auto list = collect_block_list(blocks, state);
  if (!list) return fail(std::move(list.error()));
  return run_block_list(*list, rows, state);
}

void write_comment_cell(OutputRows& rows, std::string_view text) {
  static const std::string_view column = output::intern_column("comment");
  rows.row.cells.insert(column, types::Value(std::string(text)));
}

Result<IfParts> if_parts(Pair if_statement, OutputRows& rows, const State& state) {
  std::optional<Pair> condition;
  std::optional<Pair> then_body;
  std::optional<Pair> else_body;
  for (Pair child : if_statement.into_inner()) {
    switch (child.as_rule()) {
      case Rule::condition:
        condition = child;
        break;
      case Rule::comment:
        write_comment_cell(rows, child.as_str());
        break;
      case Rule::blocks:
        if (!then_body) then_body = child;
        else if (!else_body) else_body = child;
        else return fail(errors::InvalidElementCount{3, 4});
        break;
      default:
        return fail(unexpected_rule("interpret_statement_if",
                                    "Unexpected rule in interpret_statement_if: ", child, state));
    }
  }
  if (!condition) {
    return fail(annotate_error(if_statement, "interpret_statement_if", "missing condition", state));
  }
  if (!then_body) return fail(errors::InvalidElementCount{1, 0});
  return IfParts{*condition, *then_body, else_body};
}

Result<WhileParts> while_parts(Pair while_statement) {
  auto parts = while_statement.into_inner();
  auto condition = parts.next();
  auto body = parts.next();
  if (!condition || !body) {
    return fail(errors::InvalidElementCount{2, condition ? std::size_t{1} : std::size_t{0}});
  }
  return WhileParts{*condition, *body};
}

Result<RepeatParts> repeat_until_parts(Pair repeat_until_statement, const State& state) {
  std::optional<Pair> body;
  std::optional<Pair> condition;
  for (Pair child : repeat_until_statement.into_inner()) {
    if (child.as_rule() == Rule::blocks && !body) body = child;
    else if (child.as_rule() == Rule::condition && !condition) condition = child;
    else {
      return fail(unexpected_rule("interpret_statement_repeat_until",
                                  "Unexpected rule in interpret_statement_repeat_until: ", child,
                                  state));
    }
  }
  if (!body || !condition) {
    return fail(errors::InvalidElementCount{2, (body ? 1u : 0u) + (condition ? 1u : 0u)});
  }
  return RepeatParts{*body, *condition};
}

Result<ForStart> start_for(Pair for_statement, OutputRows& rows, State& state) {
  auto parts = for_statement.into_inner();
  auto assignment = parts.next();
  auto end_expr = parts.next();
  auto body = parts.next();
  if (!assignment || !end_expr || !body) {
    return fail(errors::InvalidElementCount{3, assignment ? (end_expr ? 2u : 1u) : 0u});
  }
  const std::size_t line = node_line(*assignment);
  auto start = interpret_assignment(*assignment, state);
  if (!start) return fail(std::move(start.error()));
  std::string name = std::move(start->first);
  if (!start->second) {
    return fail(ParsingError::with_context(
        line, line_text_of(state, line), "FOR statement",
        fmt("FOR counter '{}' cannot be initialized with a string", name)));
  }
  rows.record_variable_change(name, *start->second);
  auto end = evaluate_expression(*end_expr, state);
  if (!end) return fail(std::move(end.error()));
  return ForStart{std::move(name), *end, line, *body};
}

ParsingError for_counter_stuck(std::string_view counter, double value, std::size_t line,
                               const State& state) {
  return ParsingError::with_context(
      line, line_text_of(state, line), "FOR statement",
      fmt("FOR counter '{}' stays at {} when 1 is added; the loop would never end", counter,
          errors::float_text(value)));
}

Result<Flow> interpret_statement_if(Pair if_statement, OutputRows& rows, State& state) {
  auto parts = if_parts(if_statement, rows, state);
  if (!parts) return fail(std::move(parts.error()));
  auto holds = evaluate_condition(parts->condition, state);
  if (!holds) return fail(holds.error());
  if (*holds) return interpret_blocks(parts->then_body, rows, state);
  if (parts->else_body) return interpret_blocks(*parts->else_body, rows, state);
  return Flow::cont();
}

Result<Flow> interpret_statement_while(Pair while_statement, OutputRows& rows, State& state) {
  auto parts = while_parts(while_statement);
  if (!parts) return fail(std::move(parts.error()));
  const std::size_t limit = state.iteration_limit;
  std::size_t passes = 0;
  LoopBody body{parts->body, std::nullopt};
  for (;;) {
    auto holds = evaluate_condition(parts->condition, state);
    if (!holds) return fail(holds.error());
    if (*holds && passes < limit) {
      auto flow = body.run(rows, state);
      if (!flow) return flow;
      if (!flow->is_continue()) return flow;
      ++passes;
      continue;
    }
    if (passes >= limit) return fail(loop_limit(state));
    return Flow::cont();
  }
}

Result<Flow> interpret_statement_for(Pair for_statement, OutputRows& rows, State& state) {
  auto started = start_for(for_statement, rows, state);
  if (!started) return fail(std::move(started.error()));
  const std::string& name = started->counter;
  const double end_value = started->end;
  LoopBody body{started->body, std::nullopt};
  for (;;) {
    auto it = state.symbol_table.find(name);
    if (it == state.symbol_table.end()) break;
    const double counter = it->second;
    if (!(counter <= end_value)) break;
    auto flow = body.run(rows, state);
    if (!flow) return flow;
    if (!flow->is_continue()) return flow;
    it = state.symbol_table.find(name);
    if (it == state.symbol_table.end()) break;
    const double before = it->second;
    const double next = before + 1.0;
    it.value() = next;
    rows.record_variable_change(name, next);
    if (next == before && next <= end_value) {
      return fail(for_counter_stuck(name, before, started->line, state));
    }
  }
  return Flow::cont();
}

Result<Flow> interpret_statement_loop(Pair loop_statement, OutputRows& rows, State& state) {
  auto body_node = loop_statement.into_inner().next();
  if (!body_node) return fail(errors::InvalidElementCount{1, 0});
  const std::size_t limit = state.iteration_limit;
  std::size_t passes = 0;
  LoopBody body{*body_node, std::nullopt};
  for (;;) {
    auto flow = body.run(rows, state);
    if (!flow) return flow;
    if (!flow->is_continue()) return flow;
    ++passes;
    if (passes >= limit) return fail(loop_limit(state));
  }
}

Result<Flow> interpret_statement_repeat_until(Pair repeat_until_statement, OutputRows& rows,
                                              State& state) {
  auto parts = repeat_until_parts(repeat_until_statement, state);
  if (!parts) return fail(std::move(parts.error()));
  const std::size_t limit = state.iteration_limit;
  std::size_t passes = 0;
  LoopBody body{parts->body, std::nullopt};
  for (;;) {
    auto flow = body.run(rows, state);
    if (!flow) return flow;
    if (!flow->is_continue()) return flow;
    ++passes;
    if (passes >= limit) return fail(loop_limit(state));
    auto holds = evaluate_condition(parts->condition, state);
    if (!holds) return fail(holds.error());
    if (*holds) return Flow::cont();
  }
}

}  // namespace kelvane::interpret_rules
