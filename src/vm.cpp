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
      ExecOutcome::Push{std::make_unique<Frame>(new_frame(std::move(kind), body, state))}};
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

// Unlike the recursive rule, a WHILE under an iteration limit of 0 is
// skipped without an error (its condition is still read).
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
  if (!for_first_pass_due(started->loop, state)) return cont();
  return push(FrameKind{FrameKind::For{std::move(started->loop)}}, started->body, state);
}

// A structure hands back the frame of the body it runs (Push), or Continue.
errors::Result<ExecOutcome> exec_structure(const Pair& node, output::OutputRows& rows,
                                           state::State& state) {
  switch (node.as_rule()) {
    case Rule::if_statement:
      return exec_if(node, rows, state);
    case Rule::loop_statement:
      return exec_loop(node, state);
    case Rule::for_statement:
      return exec_for(node, rows, state);
    case Rule::while_statement:
      return exec_while(node, state);
    case Rule::repeat_until_statement:
      return exec_repeat(node, state);
    default:
      return fail(unexpected_rule("vm::exec_control", "Unexpected control rule: ", node, state));
  }
}

errors::Result<ExecOutcome> exec_control(const Pair& control, output::OutputRows& rows,
                                         state::State& state) {
  for (const Pair& child : control.into_inner()) {
    errors::Result<ExecOutcome> outcome = cont();
    if (is_jump_statement(child.as_rule())) {
      auto flow = interpret_jump_statement(child, state);
      if (!flow) return fail(std::move(flow.error()));
      outcome = from_flow(std::move(*flow));
    } else {
      outcome = exec_structure(child, rows, state);
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
    if (!frames.empty()) frames.back().advance();
  }
  // Another pass of the top frame's list, or the frame is left.
  void repeat_or_leave(bool again) {
    if (again) frames.back().restart();
    else leave();
  }
};

// Places a jump from the top frame, leaving every frame that cannot.
errors::Status place_jump(Stack& stack, const JumpRequest& request) {
  while (!stack.frames.empty()) {
    Frame& g = stack.frames.back();
    auto target =
        place_jump_in_list(g.targets, g.pc, request, g.back_jumps, stack.rows, stack.state);
    if (!target) return fail(std::move(target.error()));
    if (*target) {
      g.pc = **target;
      return {};
    }
    stack.pop();  // a loop frame is left for good
  }
  return fail(request.into_not_found_error(stack.state));
}

// Whether the top frame's list runs another pass, by the kind of its loop.
errors::Result<bool> another_pass(FrameKind& kind, Stack& stack) {
  state::State& state = stack.state;
  return std::visit(
      [&](auto& k) -> errors::Result<bool> {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, FrameKind::Body>) {
          return false;
        } else if constexpr (std::is_same_v<K, FrameKind::While>) {
          auto due = while_pass_due(k.cond, k.iterations, state);
          if (due && *due) ++k.iterations;
          return due;
        } else if constexpr (std::is_same_v<K, FrameKind::Loop>) {
          return loop_pass_due(k.iterations, state);
        } else if constexpr (std::is_same_v<K, FrameKind::Repeat>) {
          return repeat_pass_due(k.cond, k.iterations, state);
        } else {
          static_assert(std::is_same_v<K, FrameKind::For>);
          return for_next_pass_due(k.loop, stack.rows, state);
        }
      },
      kind.v);
}

// The top frame's list has finished: another pass, or the frame is left.
// Every loop pass ends here, so the run stops here once nobody receives its
// rows.
errors::Status finish_list(Stack& stack) {
  if (stack.rows.consumer_gone()) return fail(errors::StreamClosed{});
  auto again = another_pass(stack.frames.back().kind, stack);
  if (!again) return fail(std::move(again.error()));
  stack.repeat_or_leave(*again);
  return {};
}

// Runs one step of the stack on the outcome of a block; true once the
// program has ended.
errors::Result<bool> step(Stack& stack, ExecOutcome& outcome) {
  return std::visit(
      [&](auto& o) -> errors::Result<bool> {
        using O = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<O, ExecOutcome::Continue>) {
          stack.frames.back().advance();
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
      outcome.v);
}

}  // namespace

std::vector<Pair> collect_blocks(const Pair& blocks) { return block_nodes(blocks); }

static errors::Result<Flow> run_frames(const Pair& blocks, output::OutputRows& rows,
                                state::State& state);

Frame new_frame(FrameKind kind, const Pair& list, state::State& state) {
  // a program without jumps reads its lists' blocks in order
  const bool indexed = !tree_jump_keys(list, state).named.empty();
  std::vector<Pair> blocks;
  if (indexed) blocks = collect_blocks(list);
  state::StrSet& scope = state.label_scopes.emplace_back();
  JumpTable targets = register_jump_targets(list, blocks, scope, state);
  Frame frame{std::move(kind), std::move(blocks), std::move(targets), 0, std::nullopt, 0, 0,
              std::nullopt};
  if (!indexed) {
    frame.list = list;
    frame.at = list.token_index() + 1;
  }
  return frame;
}

errors::Result<ExecOutcome> exec_block(const Pair& block, output::OutputRows& rows,
                                       state::State& state) {
  if (block.as_rule() != Rule::block) {
    return fail(unexpected_rule("vm::exec_block", "Expected a block, found ", block, state));
  }
  if (auto quick = try_block_shortcut(block, rows, state)) {
    if (!*quick) return fail(std::move(quick->error()));
    return (*quick)->is_end() ? ExecOutcome{ExecOutcome::End{}} : cont();
  }
  auto run = BlockRun::open(block, rows);
  if (!run) return fail(std::move(run.error()));
  ExecOutcome outcome = cont();
  for (const Pair& child : block.into_inner()) {
    if (child.as_rule() == Rule::control) {
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
      continue;
    }
    auto part = run->apply(child, rows, state);
    if (!part) return fail(std::move(part.error()));
    if (!*part) {
      return fail(unexpected_rule("vm::exec_block", "Unexpected rule in block: ", child, state));
    }
    if ((*part)->is_end()) outcome = ExecOutcome{ExecOutcome::End{}};
  }
  if (auto st = run->close(rows, state); !st) return fail(std::move(st.error()));
  return outcome;
}

static errors::Result<Flow> run_frames(const Pair& blocks, output::OutputRows& rows, state::State& state) {
  Stack stack{state, rows, {}};
  stack.frames.push_back(new_frame(FrameKind{FrameKind::Body{}}, blocks, state));
  while (!stack.frames.empty()) {
    Frame& f = stack.frames.back();
    if (f.finished()) {
      if (auto st = finish_list(stack); !st) return fail(std::move(st.error()));
      continue;
    }
    auto outcome = exec_block(f.current(), rows, state);
    if (!outcome) return fail(std::move(outcome.error()));
    // `f` may not survive the stack changes of the step
    auto ended = step(stack, *outcome);
    if (!ended) return fail(std::move(ended.error()));
    if (*ended) {
      while (!stack.frames.empty()) stack.pop();
      return Flow::end();
    }
  }
  return Flow::cont();
}

errors::Result<Flow> run(const Pair& blocks, output::OutputRows& rows, state::State& state) {
  if (auto st = expect_blocks(blocks, state); !st) return fail(std::move(st.error()));
  auto flow = run_frames(blocks, rows, state);
  settle_borrowed_jump_targets(state);
  return flow;
}

}  // namespace kelvane::interpret_rules::vm
