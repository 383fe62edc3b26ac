#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"

// The flow of control: control nodes, block lists with their jump tables
// and label scopes, and where a jump lands among the running lists.
namespace kelvane::interpret_rules {

using errors::fail;
using types::rule_name;

ParsingError loop_limit(const State& state) {
  return errors::LoopLimit{std::to_string(state.iteration_limit)};
}

void write_comment_cell(OutputRows& rows, std::string_view text) {
  static const std::string_view column = output::intern_column("comment");
  rows.row.cells.insert(column, types::Value(std::string(text)));
}

// ---------------------------------------------------------------------------
// Control nodes

bool is_jump_statement(Rule rule) {
  return rule == Rule::gotos_statement || rule == Rule::goto_statement ||
         rule == Rule::if_goto_statement || rule == Rule::case_statement;
}

Result<Flow> interpret_jump_statement(const Pair& statement, State& state) {
  switch (statement.as_rule()) {
    case Rule::gotos_statement:
      return interpret_gotos(statement, state);
    case Rule::goto_statement:
      return interpret_goto(statement, state);
    case Rule::if_goto_statement:
      return interpret_if_goto(statement, state);
    default:
      return interpret_case(statement, state);
  }
}

namespace {

// A structure run by the recursive rules.
Result<Flow> interpret_structure(const Pair& structure, OutputRows& rows, State& state) {
  switch (structure.as_rule()) {
    case Rule::if_statement:
      return interpret_statement_if(structure, rows, state);
    case Rule::loop_statement:
      return interpret_statement_loop(structure, rows, state);
    case Rule::for_statement:
      return interpret_statement_for(structure, rows, state);
    case Rule::while_statement:
      return interpret_statement_while(structure, rows, state);
    case Rule::repeat_until_statement:
      return interpret_statement_repeat_until(structure, rows, state);
    default:
      return fail(annotate_error(
          structure, "control statement",
          cat({"Unexpected rule in interpret_control: ", rule_name(structure.as_rule())}),
          state));
  }
}

}  // namespace

Result<Flow> interpret_control(const Pair& control, OutputRows& rows, State& state) {
  for (const Pair& child : control.into_inner()) {
    auto flow = is_jump_statement(child.as_rule()) ? interpret_jump_statement(child, state)
                                                   : interpret_structure(child, rows, state);
    if (!flow) return flow;
    if (!flow->is_continue()) return flow;
  }
  return Flow::cont();
}

// ---------------------------------------------------------------------------
// Block lists

Status expect_blocks(const Pair& node, const State& state) {
  if (node.as_rule() == Rule::blocks) return {};
  return fail(annotate_error(node, "blocks interpretation",
                             fmt("Expected blocks, found {}", rule_name(node.as_rule())), state));
}

std::vector<Pair> block_nodes(const Pair& blocks) {
  // one walk over the siblings: a counting pass first would touch every
  // block's first token twice
  std::vector<Pair> list;
  for (Pair p : blocks.into_inner()) list.push_back(std::move(p));
  return list;
}

JumpTable register_jump_targets(const Pair& list, std::span<const Pair> blocks,
                                state::StrSet& scope, State& state) {
  state::State::TreeJumpKeys& keys = tree_jump_keys(list, state);
  const std::uint32_t at = list.token_index();
  std::uint64_t& word = keys.seen[at / 64];
  const std::uint64_t bit = std::uint64_t{1} << (at % 64);
  if ((word & bit) == 0) {
    word |= bit;
    keys.started.push_back(at);
  }
  // a program without jumps needs no table
  if (keys.named.empty()) return {};
  JumpTable table = scan_jump_targets(blocks, keys.named);
  for (const auto& entry : table) scope.insert(entry.first);
  return table;
}

Result<std::optional<std::size_t>> place_jump_in_list(const JumpTable& table,
                                                      std::size_t current,
                                                      const JumpRequest& request,
                                                      std::size_t& backward_jumps,
                                                      const OutputRows& rows, const State& state) {
  auto target = resolve_jump(table, current, request);
  if (!target) return std::optional<std::size_t>();
  if (*target <= current) {
    ++backward_jumps;
    if (backward_jumps >= state.iteration_limit) return fail(loop_limit(state));
    if (rows.consumer_gone()) return fail(errors::StreamClosed{});
  }
  return target;
}

namespace {

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

}  // namespace

Result<BlockList> collect_block_list(const Pair& blocks, State& state) {
  if (auto st = expect_blocks(blocks, state); !st) return fail(std::move(st.error()));
  BlockList list;
  list.node = blocks;
  list.indexed = !tree_jump_keys(blocks, state).named.empty();
  if (list.indexed) list.blocks = block_nodes(blocks);
  list.table = register_jump_targets(blocks, list.blocks, list.scope, state);
  return list;
}

// Every loop pass runs a list, so the run stops here, and at each backward
// jump, once nobody receives its rows.
Result<Flow> run_block_list(BlockList& list, OutputRows& rows, State& state) {
  if (rows.consumer_gone()) return fail(errors::StreamClosed{});
  const LentScope lent(state, list.scope);

  if (!list.indexed) {
    // no jump statement anywhere: a jump could land nowhere in this list
    for (const Pair& block : list.node->into_inner()) {
      auto flow = interpret_block(block, rows, state);
      if (!flow) return fail(flow.error());
      if (flow->is_continue()) continue;
      if (flow->is_end()) return Flow::end();
      return std::move(*flow);
    }
    return Flow::cont();
  }
  const std::vector<Pair>& blocks = list.blocks;
  std::size_t index = 0;
  std::size_t backward = 0;
  while (index < blocks.size()) {
    auto flow = interpret_block(blocks[index], rows, state);
    if (!flow) return fail(flow.error());
    if (flow->is_continue()) {
      ++index;
      continue;
    }
    if (flow->is_end()) return Flow::end();
    auto target = place_jump_in_list(list.table, index, *flow->jump_request(), backward, rows,
                                     state);
    if (!target) return fail(std::move(target.error()));
    if (!*target) return std::move(*flow);
    index = **target;
  }
  return Flow::cont();
}

Result<Flow> LoopBody::run(OutputRows& rows, State& state) {
  if (!list) {
    auto collected = collect_block_list(node, state);
    if (!collected) return fail(std::move(collected.error()));
    list = std::move(*collected);
  }
  return run_block_list(*list, rows, state);
}

Result<Flow> interpret_blocks(const Pair& blocks, OutputRows& rows, State& state) {
  // the program's own list: no other list is running
  const bool outermost = state.label_scopes.empty();
  auto list = collect_block_list(blocks, state);
  if (!list) return fail(std::move(list.error()));
  auto flow = run_block_list(*list, rows, state);
  if (outermost) settle_borrowed_jump_targets(state);
  return flow;
}

}  // namespace kelvane::interpret_rules
