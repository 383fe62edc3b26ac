#pragma once
// The frame-stack executor: runs a parsed program with the statement rules of
// interpret_rules, but without recursion. Every running block list is a frame
// on an explicit stack; a structure (IF, LOOP, FOR, WHILE, REPEAT) does not
// run its body, it hands back a new frame that the loop of `run` pushes, so
// the depth of nesting does not grow the machine stack.
#include <cstddef>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "errors.hpp"
#include "interpret_rules.hpp"
#include "output.hpp"
#include "state.hpp"
#include "types.hpp"

namespace kelvane::interpret_rules::vm {

// What a frame's block list belongs to, with the loop's state.
struct FrameKind {
  // The whole program, or the chosen body of an IF.
  struct Body {};
  // A WHILE body; `iterations` counts the passes started.
  struct While {
    std::size_t iterations = 0;
    types::Pair cond;  // the WHILE's `condition` node
  };
  // A LOOP body; `iterations` counts the finished passes.
  struct Loop {
    std::size_t iterations = 0;
  };
  // A REPEAT body; `iterations` counts the finished passes.
  struct Repeat {
    std::size_t iterations = 0;
    types::Pair cond;  // the UNTIL `condition` node
  };
  // A FOR body: the counter variable and the end value.
  struct For {
    ForLoop loop;
  };
  std::variant<Body, While, Loop, Repeat, For> v;
};

// One running block list.
struct Frame {
  FrameKind kind;
  // the `block` nodes of the list, in source order; listed only when the
  // program has jumps, else read one after the other from the list's node
  std::vector<types::Pair> blocks;
  JumpTable targets;                // jump key -> ascending block indices
  std::size_t pc = 0;               // index of the block being run
  // the list's node and the token of the block being run, when not listed
  std::optional<types::Pair> list;
  std::uint32_t at = 0;
  std::size_t back_jumps = 0;       // backward jumps placed in this frame
  // The comment after the structure's closing keyword (it belongs to the
  // block that holds the structure): written into the current row when the
  // frame is left, by its end, a jump or the end of the program.
  std::optional<types::Pair> closing_comment;

  // Whether the list has run to its end.
  bool finished() const {
    return list ? at >= list->tree()->tokens[list->token_index()].next : pc >= blocks.size();
  }
  // The block being run.
  types::Pair current() const {
    return list ? types::Pair(list->tree(), at, list->line_offset()) : blocks[pc];
  }
  // On to the next block.
  void advance() {
    ++pc;
    if (list) at = list->tree()->tokens[at].next;
  }
  // Back to the first block, for another pass.
  void restart() {
    pc = 0;
    if (list) at = list->token_index() + 1;
  }
};

// The result of running one block.
struct ExecOutcome {
  struct Continue {};
  struct End {};  // an end-of-program M code ran
  struct Jump {
    JumpRequest request;
  };
  struct Push {
    std::unique_ptr<Frame> frame;  // held until it is moved onto the stack
  };
  std::variant<Continue, End, Jump, Push> v;
};

// Runs a program's `blocks` node. Gives Flow::Continue at the normal end and
// Flow::End after an end-of-program M code; never Flow::Jump: a jump that no
// frame places is reported as JumpTargetNotFound.
errors::Result<Flow> run(const types::Pair& blocks, output::OutputRows& rows, state::State& state);

// Runs one `block` node; a structure in it gives Push of the body's frame.
errors::Result<ExecOutcome> exec_block(const types::Pair& block, output::OutputRows& rows,
                                       state::State& state);

// Builds a frame over the `block` children of the `blocks` node `list` and
// registers its jump keys: the list becomes known to the jump hints and its
// scope is pushed onto the visible scopes (the frame's removal pops it).
Frame new_frame(FrameKind kind, const types::Pair& list, state::State& state);

// The children (block nodes) of a `blocks` node, in order.
std::vector<types::Pair> collect_blocks(const types::Pair& blocks);

}  // namespace kelvane::interpret_rules::vm
