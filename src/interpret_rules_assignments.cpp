#include <cstdint>
#include <string>
#include <utility>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"
#include "text.hpp"

// Assignments: numbers to axes, variables and array elements, texts to
// STRING variables and to one character of them, and IC().
namespace kelvane::interpret_rules {

using errors::fail;
using types::rule_name;

namespace {

// The length of the sequence a UTF-8 lead byte announces, when its
// continuation bytes follow; the value is not checked, so an overlong or
// surrogate form is one character here. A lone or invalid byte is one.
std::size_t sequence_length(std::string_view s, std::size_t i) {
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

std::size_t sequence_count(std::string_view s) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size(); i += sequence_length(s, i)) ++count;
  return count;
}

constexpr std::string_view kCharacterWrite = "single-character string write";

// The name a single-character write goes to: a user variable, never a
// system variable.
Result<std::string> character_write_name(const Pair& target, const Pair& name_node,
                                         const State& state) {
  if (name_node.as_rule() == Rule::nc_variable) {
    return fail(annotate_error(
        target, kCharacterWrite,
        fmt("'{}' is a system variable; single-character write is only allowed for "
            "user-defined variables",
            text::to_upper(text::trim(name_node.as_str(), kBlanks))),
        state));
  }
  auto ident = interpret_identifier(name_node);
  if (!ident) return fail(ident.error());
  return normalize_reserved_case(std::move(*ident), state);
}

Result<AssignmentResult> single_character_write(const Pair& target, std::string text,
                                                State& state) {
  constexpr std::string_view ctx = kCharacterWrite;
  auto parts = target.into_inner();
  auto name_node = parts.next();
  auto indices_node = parts.next();
  if (!name_node || !indices_node) {
    return fail(annotate_error(target, ctx, "malformed array reference", state));
  }
  auto written_name = character_write_name(target, *name_node, state);
  if (!written_name) return fail(std::move(written_name.error()));
  std::string name = std::move(*written_name);
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
  const std::uint64_t index = saturating_u64((*idx)[0]);
  if (sequence_count(text) != 1) {
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
  const std::size_t length = sequence_count(current);
  if (index >= length) {
    return fail(annotate_error(
        target, ctx,
        fmt("index {} is out of range for '{}' (length {}); valid range is 0..{}", index, name,
            length, length == 0 ? 0 : length - 1),
        state));
  }
  std::size_t pos = 0;
  for (std::uint64_t k = 0; k < index; ++k) pos += sequence_length(current, pos);
  const std::size_t len = sequence_length(current, pos);
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

namespace {

// The name a text assignment writes: a STRING variable, never an axis, a
// block address or a numeric variable.
Result<AssignmentResult> assign_text(const Pair& node, const Pair& target, const Pair& value,
                                     State& state) {
  auto text = evaluate_string(value, state);
  if (!text) return fail(text.error());
  if (target.as_rule() == Rule::variable_array) {
    return single_character_write(target, std::move(*text), state);
  }
  std::string name;
  if (target.as_rule() == Rule::variable_single_char) {
    name = text::to_upper(text::trim(target.as_str(), kBlanks));
  } else {
    auto n = interpret_variable(target, state);
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

// The upper-case name of a `variable` target with the value of `compute(name)`.
template <typename Compute>
Result<std::pair<std::string, double>> named_number(const Pair& target, State& state,
                                                    Compute&& compute) {
  auto n = interpret_variable(target, state);
  if (!n) return fail(n.error());
  auto v = compute(*n);
  if (!v) return fail(v.error());
  return std::pair<std::string, double>{std::move(*n), *v};
}

// The target key and the number of a numeric assignment, read in source
// order (the target's subscripts before the value).
Result<std::pair<std::string, double>> numeric_target_and_value(const Pair& node,
                                                                const Pair& target,
                                                                const Pair& value, State& state) {
  const Rule tr = target.as_rule();
  const Rule vr = value.as_rule();
  if (tr == Rule::variable_array && vr == Rule::expression) {
    if (auto sys = actual_position_sysvar_name(target)) {
      return fail(annotate_error(
          target, "actual-position system variable",
          fmt("{} is a read-only actual position; it cannot be assigned", *sys), state));
    }
    auto key = interpret_variable_array_key(target, state);
    if (!key) return fail(key.error());
    auto v = evaluate_expression(value, state);
    if (!v) return fail(v.error());
    return std::pair<std::string, double>{std::move(*key), *v};
  }
  if (tr == Rule::variable_single_char && vr == Rule::value) {
    std::string name = text::to_upper(text::trim(target.as_str(), kBlanks));
    auto v = parse_literal(value.as_str());
    if (!v) {
      return fail(annotate_error(value, "numeric literal",
                                 fmt("'{}' is not a valid number", value.as_str()), state));
    }
    return std::pair<std::string, double>{std::move(name), *v};
  }
  if (tr == Rule::variable && vr == Rule::expression) {
    return named_number(target, state,
                        [&](const std::string&) { return evaluate_expression(value, state); });
  }
  if (tr == Rule::variable && vr == Rule::axis_increment) {
    return named_number(target, state, [&](const std::string& name) {
      return interpret_axis_increment(value, state, name);
    });
  }
  const std::size_t line = node_line(node);
  return fail(errors::UnexpectedRule{
      "interpret_assignment", line_text_of(state, line),
      fmt("Unexpected rule in interpret_assignment: {}", rule_name(vr)), line, vr});
}

}  // namespace

Result<AssignmentResult> interpret_assignment(const Pair& node, State& state) {
  auto parts = two_children(node);
  if (!parts) return fail(std::move(parts.error()));
  const Pair& target = (*parts)[0];
  const Pair value = unwrap_lone_operand((*parts)[1]);
  const Rule vr = value.as_rule();
  const bool is_text = vr == Rule::string_expression || vr == Rule::string_value ||
                       (vr == Rule::expression && expression_is_string(value, state));
  if (is_text) return assign_text(node, target, value, state);

  auto assigned = numeric_target_and_value(node, target, value, state);
  if (!assigned) return fail(assigned.error());
  auto& [name, number] = *assigned;
  if (auto st = store_number(name, number, node, state); !st) return fail(st.error());
  return AssignmentResult{std::move(name), number};
}

Result<double> interpret_axis_increment(const Pair& node, State& state, std::string name) {
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
  text::write_warning_line(fmt(
      "Warning: axis '{}' is incremented with IC() before any absolute position was set; "
      "assuming it starts at 0 (a real control would start from the actual axis position).",
      name));
  return *e;
}

}  // namespace kelvane::interpret_rules
