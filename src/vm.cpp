#include "vm.hpp"

#include <optional>
#include <string_view>
#include <utility>

namespace kelvane::interpret_rules::vm {

namespace {

using errors::fail;
using types::Pair;
using types::Rule;

ExecOutcome cont() { return ExecOutcome{ExecOutcome::Continue{}}; }

ExecOutcome push(FrameKind kind, const Pair& body, state::State& state) {
  return ExecOutcome{
      ExecOutcome::Push{std::make_unique<Frame>(new_frame(std::move(kind), collect_blocks(body),
                                                          state))}};
}

ExecOutcome from_flow(Flow flow) {
  if (flow.is_end()) return ExecOutcome{ExecOutcome::End{}};
  if (JumpRequest* request = flow.jump_request())
    return ExecOutcome{ExecOutcome::Jump{std::move(*request)}};
  return cont();
}

errors::Result<ExecOutcome> exec_if(const Pair& node, output::OutputRows& rows,
                                    state::State& state) {
  auto parts = if_parts(node, rows, state);
  if (!parts) return fail(std::move(parts.error()));
  auto holds = evaluate_condition(parts->condition, state);
  if (!holds) return fail(std::move(holds.error()));
  if (*holds) return push(FrameKind{FrameKind::Body{}}, parts->then_body, state);
  if (parts->else_body) return push(FrameKind{FrameKind::Body{}}, *parts->else_body, state);
  return cont();
}

errors::Result<ExecOutcome> exec_while(const Pair& node, state::State& state) {
  auto parts = while_parts(node);
  if (!parts) return fail(std::move(parts.error()));
  auto holds = evaluate_condition(parts->condition, state);
  if (!holds) return fail(std::move(holds.error()));
  if (*holds && state.iteration_limit != 0)
    return push(FrameKind{FrameKind::While{1, parts->condition}}, parts->body, state);
  return cont();
}

errors::Result<ExecOutcome> exec_loop(const Pair& node, state::State& state) {
  auto body = node.into_inner().next();
  if (!body) return fail(errors::InvalidElementCount{1, 0});
  return push(FrameKind{FrameKind::Loop{0}}, *body, state);
}

errors::Result<ExecOutcome> exec_repeat(const Pair& node, state::State& state) {
  auto parts = repeat_until_parts(node, state);
  if (!parts) return fail(std::move(parts.error()));
  return push(FrameKind{FrameKind::Repeat{0, parts->condition}}, parts->body, state);
}

errors::Result<ExecOutcome> exec_for(const Pair& node, output::OutputRows& rows,
                                     state::State& state) {
  auto started = start_for(node, rows, state);
  if (!started) return fail(std::move(started.error()));
  auto it = state.symbol_table.find(started->counter);
  // no entry: the counter is an axis or a block address, no pass runs
  if (it == state.symbol_table.end() || !(it->second <= started->end)) return cont();
  return push(
      FrameKind{FrameKind::For{started->end, std::move(started->counter), started->line}},
      started->body, state);
}

errors::Result<ExecOutcome> exec_control(const Pair& control, output::OutputRows& rows,
                                         state::State& state) {
  for (const Pair& child : control.into_inner()) {
    errors::Result<ExecOutcome> outcome = cont();
    switch (child.as_rule()) {
      case Rule::gotos_statement:
        (void)interpret_gotos(child, state);
        break;
      case Rule::goto_statement:
      case Rule::if_goto_statement:
      case Rule::case_statement: {
        auto flow = child.as_rule() == Rule::goto_statement ? interpret_goto(child, state)
                    : child.as_rule() == Rule::if_goto_statement
                        ? interpret_if_goto(child, state)
                        : interpret_case(child, state);
        if (!flow) return fail(std::move(flow.error()));
        outcome = from_flow(std::move(*flow));
        break;
      }
      case Rule::if_statement:
        outcome = exec_if(child, rows, state);
        break;
      case Rule::loop_statement:
        outcome = exec_loop(child, state);
        break;
      case Rule::for_statement:
        outcome = exec_for(child, rows, state);
        break;
      case Rule::while_statement:
        outcome = exec_while(child, state);
        break;
      case Rule::repeat_until_statement:
        outcome = exec_repeat(child, state);
        break;
      default:
        return fail(unexpected_rule("vm::exec_control", "Unexpected control rule: ", child, state));
    }
    if (!outcome) return outcome;
    if (!std::holds_alternative<ExecOutcome::Continue>(outcome->v)) return outcome;
  }
  return cont();
}

// The frames of one run. Whatever way the run ends, every frame still on the
// stack pops the label scope its creation pushed.
struct Stack {
  state::State& state;
  output::OutputRows& rows;
  std::vector<Frame> frames;

  ~Stack() {
    while (!frames.empty()) drop();
  }
  // Removes the top frame without finishing its holding block (an error).
  void drop() {
    frames.pop_back();
    state.label_scopes.pop_back();
  }
  // Removes the top frame; the block that holds its structure finishes: the
  // comment after the closing keyword goes into the current row.
  void pop() {
    std::optional<Pair> comment = std::move(frames.back().closing_comment);
    drop();
    if (comment) write_comment_cell(rows, comment->as_str());
  }
  // Removes the top frame after its list finished; the frame below moves on
  // past the block that holds the structure.
  void leave() {
    pop();
    if (!frames.empty()) ++frames.back().pc;
  }
};

// Places a jump from the top frame, leaving every frame that cannot.
errors::Status place_jump(Stack& stack, const JumpRequest& request) {
  while (!stack.frames.empty()) {
    Frame& g = stack.frames.back();
    if (auto t = resolve_jump(g.targets, g.pc, request)) {
      if (*t <= g.pc) {
        ++g.back_jumps;
        if (g.back_jumps >= stack.state.iteration_limit) return fail(loop_limit(stack.state));
        if (stack.rows.consumer_gone()) return fail(errors::StreamClosed{});
      }
      g.pc = *t;
      return {};
    }
    stack.pop();  // a loop frame is left for good
  }
  return fail(request.into_not_found_error(stack.state));
}

// The top frame's list has finished: another pass, or the frame is left.
// Every loop pass ends here, so the run stops here once nobody receives its
// rows.
errors::Status finish_list(Stack& stack) {
  output::OutputRows& rows = stack.rows;
  if (rows.consumer_gone()) return fail(errors::StreamClosed{});
  state::State& state = stack.state;
  const std::size_t limit = state.iteration_limit;
  Frame& f = stack.frames.back();
  return std::visit(
      [&](auto& kind) -> errors::Status {
        using K = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<K, FrameKind::Body>) {
          stack.leave();
        } else if constexpr (std::is_same_v<K, FrameKind::While>) {
          auto holds = evaluate_condition(kind.cond, state);
          if (!holds) return fail(std::move(holds.error()));
          if (*holds && kind.iterations < limit) {
            ++kind.iterations;
            f.pc = 0;
          } else {
            if (kind.iterations >= limit) return fail(loop_limit(state));
            stack.leave();
          }
        } else if constexpr (std::is_same_v<K, FrameKind::Loop>) {
          ++kind.iterations;
          if (kind.iterations >= limit) return fail(loop_limit(state));
          f.pc = 0;
        } else if constexpr (std::is_same_v<K, FrameKind::Repeat>) {
          ++kind.iterations;
          if (kind.iterations >= limit) return fail(loop_limit(state));
          auto holds = evaluate_condition(kind.cond, state);
          if (!holds) return fail(std::move(holds.error()));
          if (*holds) stack.leave();
          else f.pc = 0;
        } else {
          static_assert(std::is_same_v<K, FrameKind::For>);
          auto it = state.symbol_table.find(kind.counter);
          if (it == state.symbol_table.end()) {
            stack.leave();
            return {};
          }
          const double before = it->second;
          const double next = before + 1.0;
          it.value() = next;
          rows.record_variable_change(kind.counter, next);
          if (!(next <= kind.end)) {
            stack.leave();
            return {};
          }
          if (next == before) return fail(for_counter_stuck(kind.counter, before, kind.line, state));
          f.pc = 0;
        }
        return {};
      },
      f.kind.v);
}

}  // namespace

std::vector<Pair> collect_blocks(const Pair& blocks) {
  std::vector<Pair> list;
  for (const Pair& block : blocks.into_inner()) list.push_back(block);
  return list;
}

Frame new_frame(FrameKind kind, std::vector<Pair> blocks, state::State& state) {
  JumpTable targets = scan_jump_targets(blocks);
  state::StrSet& scope = state.label_scopes.emplace_back();
  for (const auto& entry : targets) {
    state.all_jump_targets.insert(entry.first);
    scope.insert(entry.first);
  }
  return Frame{std::move(kind), std::move(blocks), std::move(targets), 0, 0, std::nullopt};
}

errors::Result<ExecOutcome> exec_block(const Pair& block, output::OutputRows& rows,
                                       state::State& state) {
  if (block.as_rule() != Rule::block) {
    return fail(unexpected_rule("vm::exec_block", "Expected a block, found ", block, state));
  }
  const std::size_t line = node_line(block);
  if (auto st = rows.flush(); !st) return fail(std::move(st.error()));
  rows.row.line = line;
  ExecOutcome outcome = cont();
  bool ran_statement = false;
  for (const Pair& child : block.into_inner()) {
    switch (child.as_rule()) {
      case Rule::block_number:
        interpret_block_number(child, rows);
        break;
      case Rule::label_def:
        break;
      case Rule::statement: {
        auto f = interpret_statement(child, rows, state);
        if (!f) return fail(std::move(f.error()));
        if (f->is_end()) outcome = ExecOutcome{ExecOutcome::End{}};
        ran_statement = true;
        break;
      }
      case Rule::definition: {
        auto st = interpret_definition(child, rows, state);
        if (!st) return fail(std::move(st.error()));
        break;
      }
      case Rule::frame_op: {
        auto st = interpret_frame_op(child, state);
        if (!st) return fail(std::move(st.error()));
        break;
      }
      case Rule::control: {
        auto r = exec_control(child, rows, state);
        if (!r) return r;
        // the structure's body runs next: the rest of this block (a comment
        // after the closing keyword) is applied when its frame is left
        if (auto* p = std::get_if<ExecOutcome::Push>(&r->v)) {
          for (const Pair& rest : block.into_inner()) {
            if (rest.as_rule() == Rule::comment && rest.start_pos() > child.start_pos())
              p->frame->closing_comment = rest;
          }
          return r;
        }
        outcome = std::move(*r);
        break;
      }
      case Rule::comment:
        write_comment_cell(rows, child.as_str());
        break;
      default:
        return fail(unexpected_rule("vm::exec_block", "Unexpected rule in block: ", child, state));
    }
  }
  if (ran_statement) {
    if (auto st = state.finish_block_frame(rows.row.cells, line); !st)
      return fail(std::move(st.error()));
  }
  return outcome;
}

errors::Result<Flow> run(const Pair& blocks, output::OutputRows& rows, state::State& state) {
  if (blocks.as_rule() != Rule::blocks) {
    std::string message = "Expected blocks, found ";
    message += types::rule_name(blocks.as_rule());
    return fail(annotate_error(blocks, "blocks interpretation", message, state));
  }
  Stack stack{state, rows, {}};
  stack.frames.push_back(new_frame(FrameKind{FrameKind::Body{}}, collect_blocks(blocks), state));
  while (!stack.frames.empty()) {
    Frame& f = stack.frames.back();
    if (f.pc >= f.blocks.size()) {
      if (auto st = finish_list(stack); !st) return fail(std::move(st.error()));
      continue;
    }
    auto outcome = exec_block(f.blocks[f.pc], rows, state);
    if (!outcome) return fail(std::move(outcome.error()));
    // `f` may not survive the stack changes below
    auto step = std::visit(
        [&](auto& o) -> errors::Result<bool> {
          using O = std::decay_t<decltype(o)>;
          if constexpr (std::is_same_v<O, ExecOutcome::Continue>) {
            ++stack.frames.back().pc;
          } else if constexpr (std::is_same_v<O, ExecOutcome::End>) {
            return true;
          } else if constexpr (std::is_same_v<O, ExecOutcome::Jump>) {
            if (auto st = place_jump(stack, o.request); !st) return fail(std::move(st.error()));
          } else {
            static_assert(std::is_same_v<O, ExecOutcome::Push>);
            stack.frames.push_back(std::move(*o.frame));
          }
          return false;
        },
        outcome->v);
    if (!step) return fail(std::move(step.error()));
    if (*step) {
      while (!stack.frames.empty()) stack.pop();
      return Flow::end();
    }
  }
  return Flow::cont();
}

}  // namespace kelvane::interpret_rules::vm
