#include <optional>
#include <string>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"
#include "text.hpp"

// DEF: declarations of numeric and STRING variables and of arrays, with
// their initial values (one value, or a SET/REP list for an array).
namespace kelvane::interpret_rules {

using errors::fail;

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
      return text::to_upper(text::trim(target->as_str(), kBlanks));
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
  auto parts = two_children(node);
  if (!parts) return fail(std::move(parts.error()));
  auto ref = array_ref((*parts)[0], state);
  if (!ref) return fail(std::move(ref.error()));
  auto values = interpret_value_array((*parts)[1], state);
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

// A plain variable of a DEF: an empty STRING or a numeric 0.0.
Status define_variable(const Pair& item, bool is_string, OutputRows& rows, State& state) {
  auto n = interpret_variable(item, state);
  if (!n) return fail(n.error());
  if (auto st = test_definable(*n, item, state); !st) return st;
  if (is_string) {
    state.string_table[*n] = std::string();
  } else {
    state.symbol_table[*n] = 0.0;
    rows.record_variable_change(*n, 0.0);
  }
  return {};
}

// A variable of a DEF with its initial value, which must be of the DEF's type.
Status define_initialized(const Pair& item, bool is_string, OutputRows& rows, State& state) {
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
        fmt("numeric variable '{}' initialized with a string (declare it DEF STRING[n])",
            r->first),
        state));
  }
  if (r->second) rows.record_variable_change(r->first, *r->second);
  return {};
}

}  // namespace

Status interpret_definition(const Pair& node, OutputRows& rows, State& state) {
  bool is_string = false;
  for (Pair item : node.into_inner()) {
    switch (item.as_rule()) {
      case Rule::data_type: {
        const std::string t = text::to_upper(item.as_str());
        is_string = t.size() >= 6 && t.starts_with("STRING");
        break;
      }
      case Rule::variable:
        if (auto st = define_variable(item, is_string, rows, state); !st) return st;
        break;
      case Rule::variable_array:
        if (auto st = declare_array(item, rows, state); !st) return st;
        break;
      case Rule::assignment:
        if (auto st = define_initialized(item, is_string, rows, state); !st) return st;
        break;
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

}  // namespace kelvane::interpret_rules
