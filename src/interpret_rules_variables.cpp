#include <cmath>
#include <string>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"
#include "limits.hpp"
#include "text.hpp"

// Variables: names as the program writes them, array subscripts, and the
// reads of variables, array elements and the actual-position system
// variables.
namespace kelvane::interpret_rules {

using errors::fail;

errors::Result<std::string> interpret_variable(const types::Pair& node, const state::State& state) {
  auto child = first_child(node);
  if (!child) {
    return fail(annotate_error(node, "variable parsing", "Expected inner pair, found none", state));
  }
  const types::Rule r = child->as_rule();
  if (r == types::Rule::identifier || r == types::Rule::nc_variable) return text::to_upper(child->as_str());
  return fail(annotate_error(node, "variable parsing",
                             cat({"Expected identifier, found '", types::rule_name(r), "'"}),
                             state));
}

errors::Result<std::string> interpret_identifier(const types::Pair& node) {
  const types::Rule r = node.as_rule();
  if (r == types::Rule::identifier || r == types::Rule::nc_variable) return text::to_upper(node.as_str());
  return fail(errors::ParsingError::with_context(
      node_line(node), node.as_str(), "identifier parsing",
      cat({"Found '", types::rule_name(r), "' but expected an identifier"})));
}

std::string normalize_reserved_case(std::string name, const state::State& state) {
  std::string u = text::to_upper(name);
  for (const std::string& axis : state.axis_identifiers)
    if (axis == u) return u;
  if (state::State::is_block_address(name)) return u;
  return name;
}

errors::Result<std::vector<double>> interpret_indices(const types::Pair& indices,
                                                      state::State& state) {
  std::vector<double> out;
  for (const types::Pair& child : indices.into_inner()) {
    if (child.as_rule() != types::Rule::expression) {
      return fail(unexpected_rule_error(child, "array index expression",
                                        "Expected a valid array index expression", state));
    }
    const std::string_view t = text::trim(child.as_str());
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
    if (value < 0.0 || value != std::trunc(value) || value > limits::kMaxArrayIndex) {
      const std::size_t line = node_line(indices);
      return fail(errors::InvalidAxisIndex{state.line_text(line), std::string(t), line,
                                           static_cast<std::size_t>(saturating_u64(value))});
    }
    out.push_back(value);
  }
  return out;
}

std::optional<std::string_view> actual_position_sysvar_name(const types::Pair& node) {
  auto child = first_child(node);
  if (!child || child->as_rule() != types::Rule::nc_variable) return std::nullopt;
  const std::string_view t = child->as_str();
  if (text::iequals(t, "$AA_IW")) return std::string_view("$AA_IW");
  if (text::iequals(t, "$AA_IM")) return std::string_view("$AA_IM");
  return std::nullopt;
}

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
  const std::string axis = text::to_upper(text::trim(only->as_str()));
  if (!state.is_axis(axis)) return 0.0;
  handled = true;
  const std::optional<double> pos =
      sysvar == "$AA_IW" ? state.get_axis_local(axis) : state.get_axis_machine(axis);
  if (pos) return *pos;
  const std::size_t line = node_line(node);
  if (state.allow_undefined_variables) {
    text::write_warning_line(cat({text::warning_prefix(line), sysvar, "[", axis,
                                  "] read before axis ", axis, " was positioned; returning 0.0"}));
    return 0.0;
  }
  return fail(annotate_error(
      node, "actual-position system variable",
      cat({sysvar, "[", axis, "] is read before axis ", axis,
           " has a position; set a start position (e.g. via an initial-state file) or pass "
           "allow_undefined_variables"}),
      state));
}

errors::Result<double> read_scalar_variable(const std::string& name, std::size_t line,
                                            std::string_view line_text, state::State& state) {
  if (const double* value = state.symbol_table.find_value(name)) return *value;
  if (state.string_table.find(std::string_view(name)) != state.string_table.end()) {
    return fail(errors::ParsingError::with_context(
        line, line_text, "expression evaluation",
        cat({"'", name,
             "' is a STRING variable; string values cannot be used in numeric expressions "
             "(string expressions are not supported)"})));
  }
  if (state.allow_undefined_variables) {
    text::write_warning_line(
        cat({"Warning: Variable '", name, "' is undefined, initializing to 0.0"}));
    state.symbol_table.insert_or_assign(name, 0.0);
    return 0.0;
  }
  return fail(errors::UndefinedVariable{std::string(line_text), name, line});
}

errors::Result<double> read_array_element(const std::string& key, std::size_t line,
                                          std::string_view line_text, state::State& state) {
  if (const double* value = state.symbol_table.find_value(key)) return *value;
  if (!state.allow_undefined_variables) {
    return fail(errors::UnknownVariable{std::string(line_text), key, line});
  }
  text::write_warning_line(
      cat({"Warning: Variable array element '", key, "' is undefined, initializing to 0.0"}));
  state.symbol_table.insert_or_assign(key, 0.0);
  return 0.0;
}

}  // namespace kelvane::interpret_rules
