#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"
#include "text.hpp"

// Strings: text-valued expressions, the text of a number, and the
// string-valued functions SPRINT and SUBSTR.
namespace kelvane::interpret_rules {

using errors::fail;

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
  const std::uint32_t end = node.children_end();
  const std::uint32_t operand = node.children_begin();
  if (operand >= end || node.next_sibling(operand) < end) return node;  // not one operand
  if (node.start_pos_at(operand) != node.start_pos()) return node;      // a leading "<<"
  // the operand's first child, if it has one
  const std::uint32_t lone = operand + 1;
  if (lone >= node.next_sibling(operand)) return node;
  return node.node_at(lone);
}

namespace {

// The child of the lone primary of an expression, if it has exactly one.
std::optional<types::Pair> lone_primary_child(const types::Pair& expression) {
  const std::uint32_t end = expression.children_end();
  const std::uint32_t primary = expression.children_begin();
  if (primary >= end || expression.next_sibling(primary) < end ||
      expression.rule_at(primary) != types::Rule::primary)
    return std::nullopt;
  const std::uint32_t child = primary + 1;
  if (child >= expression.next_sibling(primary)) return std::nullopt;
  return expression.node_at(child);
}

bool is_text_function(std::string_view name) {
  return text::iequals(name, "SPRINT") || text::iequals(name, "SUBSTR");
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

namespace {

// The text of an `expression` node: a text-valued one's text, else its
// number as text.
errors::Result<std::string> expression_text(const types::Pair& expression, state::State& state) {
  if (!expression_is_string(expression, state)) {
    auto v = evaluate_expression(expression, state);
    if (!v) return fail(std::move(v.error()));
    return number_to_text(*v);
  }
  auto child = lone_primary_child(expression);
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

}  // namespace

errors::Result<std::string> evaluate_string(const types::Pair& node, state::State& state) {
  switch (node.as_rule()) {
    case types::Rule::expression:
      return expression_text(node, state);
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
      return fail(unexpected_rule_error(
          node, "evaluate_string",
          cat({"cannot evaluate ", types::rule_name(node.as_rule()), " as a string"}), state));
  }
}

std::string_view function_name_text(const types::Pair& call) {
  auto name = first_child(call);
  if (!name || name->as_rule() != types::Rule::arith_fun_name) return {};
  return name->as_str();
}

std::vector<types::Pair> call_arguments(const types::Pair& call) {
  std::vector<types::Pair> args;
  auto inner = call.into_inner();
  inner.next();  // the name
  if (auto list = inner.next(); list && list->as_rule() == types::Rule::function_arguments) {
    for (const types::Pair& a : list->into_inner()) args.push_back(unwrap_lone_operand(a));
  }
  return args;
}

namespace {

errors::Result<std::string> evaluate_substr(const std::vector<types::Pair>& args,
                                            std::size_t line, const std::string& line_text,
                                            state::State& state) {
  if (args.size() < 2 || args.size() > 3) {
    return fail(errors::InvalidFunctionArity{line_text, "SUBSTR", line, 2, args.size()});
  }
  auto text = evaluate_string(args[0], state);
  if (!text) return text;
  const std::size_t len = text::char_count(*text);
  auto start = eval_index_arg(args[1], state, line, line_text);
  if (!start) return fail(std::move(start.error()));
  const std::uint64_t s = std::min<std::uint64_t>(*start, len);
  std::uint64_t e = len;
  if (args.size() == 3) {
    auto count = eval_index_arg(args[2], state, line, line_text);
    if (!count) return fail(std::move(count.error()));
    e = (*count >= len - s) ? len : s + *count;
  }
  const std::size_t b0 = text::byte_offset_of_char(*text, static_cast<std::size_t>(s));
  const std::size_t b1 = b0 + text::byte_offset_of_char(std::string_view(*text).substr(b0),
                                                  static_cast<std::size_t>(e - s));
  return text->substr(b0, b1 - b0);
}

}  // namespace

errors::Result<std::string> evaluate_string_function(const types::Pair& node, state::State& state) {
  const std::size_t line = node_line(node);
  const std::string line_text = state.line_text(line);
  const std::string name = text::to_upper(function_name_text(node));
  const std::vector<types::Pair> args = call_arguments(node);
  if (name == "SPRINT") return evaluate_sprint(args, line, line_text, state);
  if (name == "SUBSTR") return evaluate_substr(args, line, line_text, state);
  return fail(errors::ParsingError::with_context(
      line, line_text, "string function", cat({"'", name, "' is not a string-valued function"})));
}

}  // namespace kelvane::interpret_rules
