#pragma once
// Helpers shared by the interpret_rules tests: run program text block by block
// through interpret_block on the real parse tree, or evaluate one expression.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "interpret_rules.hpp"
#include "output.hpp"
#include "state.hpp"
#include "types.hpp"

namespace kelvane::test {

using errors::ParsingError;
using output::Row;
using types::Pair;
using types::Rule;
using types::Value;

struct Options {
  std::optional<std::vector<std::string>> axes;
  std::optional<std::vector<std::pair<std::string, std::size_t>>> axis_index_map;
  bool allow_undefined = false;
  bool track_variables = true;
};

inline state::State make_state(const Options& o = {}) {
  auto st = state::build_state(o.axes, std::nullopt, 10000, o.axis_index_map, o.allow_undefined);
  EXPECT_TRUE(st.has_value());
  return std::move(*st);
}

struct RunResult {
  std::vector<Row> rows;
  std::optional<ParsingError> error;
  bool ended = false;  // an end-of-program M code ran
  std::string warnings;
};

// Depth-first search for the first node of a rule.
inline std::optional<Pair> find_rule(const Pair& node, Rule rule) {
  if (node.as_rule() == rule) return node;
  for (const Pair& c : node.into_inner())
    if (auto f = find_rule(c, rule)) return f;
  return std::nullopt;
}

// Runs the top-level blocks of a program one by one through interpret_block
// (structures run inside their own block). The program text must outlive
// nothing: it is copied into the state.
inline RunResult run_on(state::State& state, const std::string& text, bool track = true) {
  RunResult out;
  auto src = std::make_shared<const std::string>(text);
  state.set_input(src);
  auto parsed = types::NCParser::parse(Rule::file, *src);
  if (!parsed) {
    ADD_FAILURE() << "parse failed: " << parsed.error().display;
    return out;
  }
  Pair file = *parsed->next();
  Pair blocks = *file.into_inner().next();
  auto rows = output::OutputRows::collecting();
  rows.track_variables = track;
  testing::internal::CaptureStderr();
  for (const Pair& block : blocks.into_inner()) {
    auto flow = interpret_rules::interpret_block(block, rows, state);
    if (!flow) {
      out.error = std::move(flow.error());
      break;
    }
    if (flow->is_end()) {
      out.ended = true;
      break;
    }
  }
  auto fin = rows.finish();
  out.warnings = testing::internal::GetCapturedStderr();
  if (fin) out.rows = std::move(*fin);
  return out;
}

inline RunResult run(const std::string& text, const Options& o = {}) {
  state::State st = make_state(o);
  return run_on(st, text, o.track_variables);
}

// Evaluates `expr` as the right-hand side of an assignment line, without
// running the assignment itself.
struct EvalResult {
  errors::Result<double> value;
  std::string warnings;
};
// Parses "R0=<expr>" as the state's program and finds the first node of `rule`
// on its right-hand side; a test failure when there is none.
inline std::optional<Pair> parse_right_side(state::State& state, const std::string& expr,
                                            Rule rule) {
  auto src = std::make_shared<const std::string>("R0=" + expr);
  state.set_input(src);
  auto parsed = types::NCParser::parse(Rule::single_line, *src);
  if (!parsed) {
    ADD_FAILURE() << "parse failed for " << expr << ": " << parsed.error().display;
    return std::nullopt;
  }
  Pair top = *parsed->next();
  auto e = find_rule(top, rule);
  if (!e) ADD_FAILURE() << "no " << types::rule_name(rule) << " in " << expr;
  return e;
}

inline errors::Result<double> eval_on(state::State& state, const std::string& expr,
                                      std::string* warnings = nullptr) {
  auto e = parse_right_side(state, expr, Rule::expression);
  if (!e) return std::unexpected(ParsingError(errors::InvalidCondition{}));
  testing::internal::CaptureStderr();
  auto v = interpret_rules::evaluate_expression(*e, state);
  std::string w = testing::internal::GetCapturedStderr();
  if (warnings) *warnings = w;
  return v;
}
inline errors::Result<double> eval(const std::string& expr, const Options& o = {}) {
  state::State st = make_state(o);
  return eval_on(st, expr);
}

// Evaluates the right-hand side of "R0=<expr>" as text.
inline errors::Result<std::string> eval_text_on(state::State& state, const std::string& expr) {
  auto e = parse_right_side(state, expr, Rule::string_expression);
  if (!e) return std::unexpected(ParsingError(errors::InvalidCondition{}));
  testing::internal::CaptureStderr();
  auto v = interpret_rules::evaluate_string(interpret_rules::unwrap_lone_operand(*e), state);
  testing::internal::GetCapturedStderr();
  return v;
}
inline errors::Result<std::string> eval_text(const std::string& expr, const Options& o = {}) {
  state::State st = make_state(o);
  return eval_text_on(st, expr);
}

// Cell access.
inline const Value* cell(const Row& row, std::string_view name) { return row.cells.get(name); }
inline std::optional<double> fcell(const Row& row, std::string_view name) {
  const Value* v = cell(row, name);
  if (!v || !std::holds_alternative<double>(*v)) return std::nullopt;
  return std::get<double>(*v);
}
inline std::optional<std::string> scell(const Row& row, std::string_view name) {
  const Value* v = cell(row, name);
  if (!v || !std::holds_alternative<std::string>(*v)) return std::nullopt;
  return std::get<std::string>(*v);
}
inline std::vector<std::string> names(const Row& row) {
  std::vector<std::string> out;
  for (const auto& c : row.cells) out.emplace_back(c.name);
  return out;
}

// The parts of a ParseContext error.
inline const errors::ParseContext* as_context(const std::optional<ParsingError>& e) {
  return e ? e->get_if<errors::ParseContext>() : nullptr;
}

}  // namespace kelvane::test
