#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"

// The flow of control: control nodes, block lists with their jump tables
// and label scopes, and the structures IF/ELSE, WHILE, FOR, LOOP and
// REPEAT ... UNTIL under the iteration limit.
namespace kelvane::interpret_rules {

using errors::fail;
using types::rule_name;

ParsingError loop_limit(const State& state) {
  return errors::LoopLimit{std::to_string(state.iteration_limit)};
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
