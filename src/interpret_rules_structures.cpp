#include <optional>
#include <string>
#include <utility>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"

// The structures IF/ELSE, WHILE, FOR, LOOP and REPEAT ... UNTIL: their parts,
// the rules that decide on another pass under the iteration limit (shared
// with the frame-stack executor), and their recursive runs.
namespace kelvane::interpret_rules {

using errors::fail;

namespace {

ParsingError for_counter_stuck(std::string_view counter, double value, std::size_t line,
                               const State& state) {
  return ParsingError::with_context(
      line, line_text_of(state, line), "FOR statement",
      fmt("FOR counter '{}' stays at {} when 1 is added; the loop would never end", counter,
          errors::float_text(value)));
}

}  // namespace

Result<IfParts> if_parts(const Pair& if_statement, OutputRows& rows, const State& state) {
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

Result<WhileParts> while_parts(const Pair& while_statement) {
  auto parts = two_children(while_statement);
  if (!parts) return fail(std::move(parts.error()));
  return WhileParts{(*parts)[0], (*parts)[1]};
}

Result<bool> while_pass_due(const Pair& condition, std::size_t passes, State& state) {
  auto holds = evaluate_condition(condition, state);
  if (!holds) return fail(std::move(holds.error()));
  if (*holds && passes < state.iteration_limit) return true;
  if (passes >= state.iteration_limit) return fail(loop_limit(state));
  return false;
}

Result<RepeatParts> repeat_until_parts(const Pair& repeat_until_statement, const State& state) {
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

Result<bool> loop_pass_due(std::size_t& passes, const State& state) {
  ++passes;
  if (passes >= state.iteration_limit) return fail(loop_limit(state));
  return true;
}

Result<bool> repeat_pass_due(const Pair& condition, std::size_t& passes, State& state) {
  if (auto counted = loop_pass_due(passes, state); !counted) return counted;
  auto holds = evaluate_condition(condition, state);
  if (!holds) return fail(std::move(holds.error()));
  return !*holds;
}

Result<ForStart> start_for(const Pair& for_statement, OutputRows& rows, State& state) {
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
  return ForStart{ForLoop{std::move(name), *end, line}, *body};
}

bool for_first_pass_due(const ForLoop& loop, const State& state) {
  auto it = state.symbol_table.find(loop.counter);
  return it != state.symbol_table.end() && it->second <= loop.end;
}

Result<bool> for_next_pass_due(const ForLoop& loop, OutputRows& rows, State& state) {
  auto it = state.symbol_table.find(loop.counter);
  if (it == state.symbol_table.end()) return false;
  const double before = it->second;
  const double next = before + 1.0;
  it.value() = next;
  rows.record_variable_change(loop.counter, next);
  if (!(next <= loop.end)) return false;
  if (next == before) return fail(for_counter_stuck(loop.counter, before, loop.line, state));
  return true;
}

Result<Flow> interpret_statement_if(const Pair& if_statement, OutputRows& rows, State& state) {
  auto parts = if_parts(if_statement, rows, state);
  if (!parts) return fail(std::move(parts.error()));
  auto holds = evaluate_condition(parts->condition, state);
  if (!holds) return fail(holds.error());
  if (*holds) return interpret_blocks(parts->then_body, rows, state);
  if (parts->else_body) return interpret_blocks(*parts->else_body, rows, state);
  return Flow::cont();
}

namespace {

// Runs a loop body pass after pass while `again`, asked after each pass,
// says so; a jump out of the body or the program's end leaves the loop.
template <typename Again>
Result<Flow> run_passes(LoopBody& body, OutputRows& rows, State& state, Again&& again) {
  for (;;) {
    auto flow = body.run(rows, state);
    if (!flow || !flow->is_continue()) return flow;
    auto more = again();
    if (!more) return fail(std::move(more.error()));
    if (!*more) return Flow::cont();
  }
}

}  // namespace

Result<Flow> interpret_statement_while(const Pair& while_statement, OutputRows& rows, State& state) {
  auto parts = while_parts(while_statement);
  if (!parts) return fail(std::move(parts.error()));
  std::size_t passes = 0;
  auto first = while_pass_due(parts->condition, passes, state);
  if (!first) return fail(std::move(first.error()));
  if (!*first) return Flow::cont();
  LoopBody body{parts->body, std::nullopt};
  return run_passes(body, rows, state,
                    [&] { return while_pass_due(parts->condition, ++passes, state); });
}

Result<Flow> interpret_statement_for(const Pair& for_statement, OutputRows& rows, State& state) {
  auto started = start_for(for_statement, rows, state);
  if (!started) return fail(std::move(started.error()));
  if (!for_first_pass_due(started->loop, state)) return Flow::cont();
  LoopBody body{started->body, std::nullopt};
  return run_passes(body, rows, state,
                    [&] { return for_next_pass_due(started->loop, rows, state); });
}

Result<Flow> interpret_statement_loop(const Pair& loop_statement, OutputRows& rows, State& state) {
  auto body_node = loop_statement.into_inner().next();
  if (!body_node) return fail(errors::InvalidElementCount{1, 0});
  std::size_t passes = 0;
  LoopBody body{*body_node, std::nullopt};
  return run_passes(body, rows, state, [&] { return loop_pass_due(passes, state); });
}

Result<Flow> interpret_statement_repeat_until(const Pair& repeat_until_statement, OutputRows& rows,
                                              State& state) {
  auto parts = repeat_until_parts(repeat_until_statement, state);
  if (!parts) return fail(std::move(parts.error()));
  std::size_t passes = 0;
  LoopBody body{parts->body, std::nullopt};
  return run_passes(body, rows, state,
                    [&] { return repeat_pass_due(parts->condition, passes, state); });
}

}  // namespace kelvane::interpret_rules
