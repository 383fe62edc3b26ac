#include "interpret_rules_flow.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>
#include <type_traits>
#include <algorithm>
#include <cstdlib>

#include "interpret_rules.hpp"
#include "output.hpp"
#include "state.hpp"

namespace kelvane::interpret_rules {

namespace {

using errors::fail;
using types::rule_name;

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

std::string_view trim(std::string_view s) {
  const auto b = s.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return {};
  const auto e = s.find_last_not_of(kBlanks);
  return s.substr(b, e - b + 1);
}

std::string upper(std::string_view s) { return state::to_upper(s); }

void warn(std::string line) { state::write_warning_line(std::move(line)); }

// The children of a node, collected.
std::vector<Pair> children(const Pair& node) {
  std::vector<Pair> out;
  for (Pair p : node.into_inner()) out.push_back(std::move(p));
  return out;
}

// A decimal float literal (the whole text), or nothing.
std::optional<double> parse_float_literal(std::string_view text) {
  text = trim(text);
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

// Pops the label scope a block list pushed, on every way out.
struct ScopeGuard {
  State& state;
  ~ScopeGuard() { state.label_scopes.pop_back(); }
};

}  // namespace

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
                    upper(trim(name_node->as_str()))),
        state));
  }
  auto ident = interpret_identifier(*name_node);
  if (!ident) return fail(ident.error());
  std::string name = normalize_reserved_case(std::move(*ident), state);
  auto it = state.string_table.find(name);
  if (it == state.string_table.end()) {
    return fail(annotate_error(
        target, ctx,
        fmt("'{}' is not a STRING variable; only strings support single-character "
                    "(STRING[i] = \"c\") writes",
                    name),
        state));
  }
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
  if (it == state.string_table.end()) {
    return fail(annotate_error(
        target, ctx,
        fmt("'{}' is not a STRING variable; only strings support single-character "
                    "(STRING[i] = \"c\") writes",
                    name),
        state));
  }
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
      name = upper(trim(target->as_str()));
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
    name = upper(trim(target->as_str()));
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
      return upper(trim(target->as_str()));
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
  auto keys = interpret_variable_array(*target, state);
  if (!keys) return fail(keys.error());
  auto values = interpret_value_array(*list, state);
  if (!values) return fail(values.error());
  if (values->size() > keys->size()) {
    return fail(errors::InvalidElementCount{keys->size(), values->size()});
  }
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
      case Rule::variable_array: {
        auto keys = interpret_variable_array(item, state);
        if (!keys) return fail(keys.error());
        for (const std::string& key : *keys) {
          state.symbol_table[key] = 0.0;
          rows.record_variable_change(key, 0.0);
        }
        break;
      }
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

constexpr double kDegToRad = 0.017453292519943295;

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
    const std::string name = upper(trim(target->as_str()));
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
  const std::string keyword = upper(trim(parts.front().as_str()));
  const std::span<const Pair> arguments(parts.data() + 1, parts.size() - 1);
  return state.change_frame([&](State& s) {
    return apply_frame_instruction(keyword, arguments, line, line_text, s);
  });
}

// ===========================================================================
// Jumps

std::string label_jump_key(std::string_view label) {
  return "LABEL:" + upper(trim(label));
}

std::string block_number_jump_key(std::string_view digits) {
  digits = trim(digits);
  const auto nz = digits.find_first_not_of('0');
  std::string_view rest = nz == std::string_view::npos ? std::string_view("0") : digits.substr(nz);
  return "N:" + std::string(rest);
}

std::string target_jump_key(std::string_view target) {
  const std::string_view t = trim(target);
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
  const std::string keyword = upper(trim(kw->as_str()));
  JumpDirection direction;
  if (keyword == "GOTO" || keyword == "GOTOC") direction = JumpDirection::Both;
  else if (keyword == "GOTOB") direction = JumpDirection::Backward;
  else if (keyword == "GOTOF") direction = JumpDirection::Forward;
  else {
    return fail(annotate_error(goto_statement, "jump statement",
                               fmt("Unexpected jump keyword '{}'", keyword), state));
  }
  std::string target(trim(target_node->as_str()));
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
        const std::string_view text = trim(constant->as_str());
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

Result<Flow> interpret_blocks(Pair blocks, OutputRows& rows, State& state) {
  if (blocks.as_rule() != Rule::blocks) {
    return fail(annotate_error(blocks, "blocks interpretation",
                               fmt("Expected blocks, found {}", rule_name(blocks.as_rule())),
                               state));
  }
  const std::vector<Pair> list = children(blocks);
  const JumpTable table = scan_jump_targets(list);
  state::StrSet& scope = state.label_scopes.emplace_back();
  for (const auto& entry : table) {
    state.all_jump_targets.insert(entry.first);
    scope.insert(entry.first);
  }
  ScopeGuard guard{state};

  const std::size_t n = list.size();
  std::size_t index = 0;
  std::size_t backward = 0;
  while (index < n) {
    auto flow = interpret_block(list[index], rows, state);
    if (!flow) return fail(flow.error());
    if (flow->is_continue()) {
      ++index;
      continue;
    }
    if (flow->is_end()) return Flow::end();
    JumpRequest* request = flow->jump_request();
    auto target = resolve_jump(table, index, *request);
    if (!target) return std::move(*flow);
    if (*target <= index) {
      ++backward;
      if (backward >= state.iteration_limit) return fail(loop_limit(state));
    }
    index = *target;
  }
  return Flow::cont();
}

namespace {

void write_comment_cell(OutputRows& rows, std::string_view text) {
  static const std::string_view column = output::intern_column("comment");
  rows.row.cells.insert(column, types::Value(std::string(text)));
}

}  // namespace

Result<Flow> interpret_statement_if(Pair if_statement, OutputRows& rows, State& state) {
  std::optional<Pair> condition;
  std::optional<Pair> then_body;
  std::optional<Pair> else_body;
  std::size_t count = 0;
  for (Pair child : if_statement.into_inner()) {
    switch (child.as_rule()) {
      case Rule::condition:
        condition = child;
        ++count;
        break;
      case Rule::comment:
        write_comment_cell(rows, child.as_str());
        break;
      case Rule::blocks:
        if (!then_body) then_body = child;
        else if (!else_body) else_body = child;
        else return fail(errors::InvalidElementCount{3, 4});
        ++count;
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
  auto holds = evaluate_condition(*condition, state);
  if (!holds) return fail(holds.error());
  if (*holds) return interpret_blocks(*then_body, rows, state);
  if (else_body) return interpret_blocks(*else_body, rows, state);
  return Flow::cont();
}

Result<Flow> interpret_statement_while(Pair while_statement, OutputRows& rows, State& state) {
  auto parts = while_statement.into_inner();
  auto condition = parts.next();
  auto body = parts.next();
  if (!condition || !body) {
    return fail(errors::InvalidElementCount{2, condition ? std::size_t{1} : std::size_t{0}});
  }
  const std::size_t limit = state.iteration_limit;
  std::size_t passes = 0;
  for (;;) {
    auto holds = evaluate_condition(*condition, state);
    if (!holds) return fail(holds.error());
    if (*holds && passes < limit) {
      auto flow = interpret_blocks(*body, rows, state);
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
  auto parts = for_statement.into_inner();
  auto assignment = parts.next();
  auto end_expr = parts.next();
  auto body = parts.next();
  if (!assignment || !end_expr || !body) {
    return fail(errors::InvalidElementCount{3, assignment ? (end_expr ? 2u : 1u) : 0u});
  }
  const std::size_t line = node_line(*assignment);
  auto start = interpret_assignment(*assignment, state);
  if (!start) return fail(start.error());
  const std::string name = std::move(start->first);
  if (!start->second) {
    return fail(ParsingError::with_context(
        line, line_text_of(state, line), "FOR statement",
        fmt("FOR counter '{}' cannot be initialized with a string", name)));
  }
  rows.record_variable_change(name, *start->second);
  auto end = evaluate_expression(*end_expr, state);
  if (!end) return fail(end.error());
  const double end_value = *end;
  for (;;) {
    auto it = state.symbol_table.find(name);
    if (it == state.symbol_table.end()) break;
    const double counter = it->second;
    if (!(counter <= end_value)) break;
    // FOR passes are not counted against the iteration limit; a body that
    // sends nothing must still end the run once the consumer is gone.
    if (rows.consumer_gone()) return fail(errors::StreamClosed{});
    auto flow = interpret_blocks(*body, rows, state);
    if (!flow) return flow;
    if (!flow->is_continue()) return flow;
    it = state.symbol_table.find(name);
    if (it == state.symbol_table.end()) break;
    const double before = it->second;
    const double next = before + 1.0;
    it.value() = next;
    rows.record_variable_change(name, next);
    // A counter that adding 1 no longer changes (2^53 and beyond, or an
    // infinity) would repeat the same pass forever.
    if (next == before && next <= end_value) {
      return fail(ParsingError::with_context(
          line, line_text_of(state, line), "FOR statement",
          fmt("FOR counter '{}' stays at {} when 1 is added; the loop would never end",
                      name, errors::float_text(before))));
    }
  }
  return Flow::cont();
}

Result<Flow> interpret_statement_loop(Pair loop_statement, OutputRows& rows, State& state) {
  auto body = loop_statement.into_inner().next();
  if (!body) return fail(errors::InvalidElementCount{1, 0});
  const std::size_t limit = state.iteration_limit;
  std::size_t passes = 0;
  for (;;) {
    auto flow = interpret_blocks(*body, rows, state);
    if (!flow) return flow;
    if (!flow->is_continue()) return flow;
    ++passes;
    if (passes >= limit) return fail(loop_limit(state));
  }
}

Result<Flow> interpret_statement_repeat_until(Pair repeat_until_statement, OutputRows& rows,
                                              State& state) {
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
  const std::size_t limit = state.iteration_limit;
  std::size_t passes = 0;
  for (;;) {
    auto flow = interpret_blocks(*body, rows, state);
    if (!flow) return flow;
    if (!flow->is_continue()) return flow;
    ++passes;
    if (passes >= limit) return fail(loop_limit(state));
    auto holds = evaluate_condition(*condition, state);
    if (!holds) return fail(holds.error());
    if (*holds) return Flow::cont();
  }
}

}  // namespace kelvane::interpret_rules
