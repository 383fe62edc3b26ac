#pragma once
// Assignments, IC and DEF; frame instructions; jumps and CASE; block lists,
// IF/ELSE, WHILE, FOR, LOOP and REPEAT under the iteration limit.
//
// This header is included at the top of interpret_rules.hpp; it must not
// include that header itself.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "errors.hpp"
#include "state.hpp"
#include "types.hpp"

namespace kelvane::output {
struct OutputRows;
}

namespace kelvane::interpret_rules {

using errors::ParsingError;
using errors::Result;
using errors::Status;
using output::OutputRows;
using state::State;
using types::Pair;
using types::Rule;

// ---------------------------------------------------------------------------
// Jumps

// Where a jump destination is searched within one block list.
enum class JumpDirection : std::uint8_t {
  Backward = 0,  // GOTOB: the last block carrying the key at or before the jumping block
  Forward = 1,   // GOTOF: the first block carrying the key after the jumping block
  Both = 2,      // GOTO, GOTOC: forward first, then backward
};

// A pending jump, travelling outward until a block list places it.
struct JumpRequest {
  std::string key;        // jump key of the destination ("N:10", "LABEL:LOOP1")
  std::string target;     // the destination as written, trimmed
  std::string line_text;  // text of the jump statement's line
  std::size_t line = 0;   // 1-based line of the jump statement
  JumpDirection direction = JumpDirection::Both;

  // The jump-not-found error (alarm 14080), with the hint built from the
  // program-wide set of known targets.
  ParsingError into_not_found_error(const State& state) const;
};

// The outcome of a statement, a block or a block list.
struct Flow {
  struct Continue {};
  struct Jump {
    JumpRequest request;
  };
  struct End {};
  std::variant<Continue, Jump, End> v;

  Flow() : v(Continue{}) {}
  Flow(Continue c) : v(c) {}           // implicit by design
  Flow(Jump j) : v(std::move(j)) {}    // implicit by design
  Flow(End e) : v(e) {}                // implicit by design
  Flow(JumpRequest r) : v(Jump{std::move(r)}) {}  // implicit by design

  static Flow cont() { return Flow(Continue{}); }
  static Flow end() { return Flow(End{}); }
  static Flow jump(JumpRequest r) { return Flow(Jump{std::move(r)}); }

  bool is_continue() const { return std::holds_alternative<Continue>(v); }
  bool is_jump() const { return std::holds_alternative<Jump>(v); }
  bool is_end() const { return std::holds_alternative<End>(v); }
  // The request of a Flow::Jump, else null.
  JumpRequest* jump_request() {
    auto* j = std::get_if<Jump>(&v);
    return j ? &j->request : nullptr;
  }
  const JumpRequest* jump_request() const {
    auto* j = std::get_if<Jump>(&v);
    return j ? &j->request : nullptr;
  }
};

// Jump table of one block list: key -> ascending indices of the blocks carrying it.
using JumpTable = std::unordered_map<std::string, std::vector<std::size_t>>;

// "LABEL:" + the label upper-cased.
std::string label_jump_key(std::string_view label);
// "N:" + the digits (trimmed) without leading zeros, "N:0" when all are zeros.
std::string block_number_jump_key(std::string_view digits);
// The key a jump statement's target names: N10, 10, N0010 and n10 give "N:10";
// anything else "LABEL:" + the target upper-cased.
std::string target_jump_key(std::string_view target);

// The jump table of a sequence of `block` nodes (labels and block numbers that
// are direct children of each block; bodies of structures are not looked into).
JumpTable scan_jump_targets(std::span<const Pair> blocks);
inline JumpTable scan_jump_targets(const std::vector<Pair>& blocks) {
  return scan_jump_targets(std::span<const Pair>(blocks.data(), blocks.size()));
}

// Where a request from the block at index `current` lands in this list, if anywhere.
std::optional<std::size_t> resolve_jump(const JumpTable& table, std::size_t current,
                                        const JumpRequest& request);

// GOTO, GOTOB, GOTOF, GOTOC (a `goto_statement` node). A GOTOC whose key is
// visible in no running list warns and continues.
Result<Flow> interpret_goto(Pair goto_statement, State& state);
// IF condition GOTO... (an `if_goto_statement` node).
Result<Flow> interpret_if_goto(Pair if_goto_statement, State& state);
// CASE expr OF c1 GOTO.. c2 GOTO.. DEFAULT GOTO.. (a `case_statement` node).
Result<Flow> interpret_case(Pair case_statement, State& state);
// GOTOS (a `gotos_statement` node): warns and continues.
Flow interpret_gotos(Pair gotos_statement, State& state);

// ---------------------------------------------------------------------------
// Block lists and structures

// Runs one `blocks` node with its own jump table and label scope; counts the
// backward jumps placed in it against the iteration limit.
Result<Flow> interpret_blocks(Pair blocks, OutputRows& rows, State& state);

Result<Flow> interpret_statement_if(Pair if_statement, OutputRows& rows, State& state);
Result<Flow> interpret_statement_while(Pair while_statement, OutputRows& rows, State& state);
Result<Flow> interpret_statement_for(Pair for_statement, OutputRows& rows, State& state);
Result<Flow> interpret_statement_loop(Pair loop_statement, OutputRows& rows, State& state);
Result<Flow> interpret_statement_repeat_until(Pair repeat_until_statement, OutputRows& rows,
                                              State& state);

// ---------------------------------------------------------------------------
// Assignments, IC and DEF

// Target name (upper case) and the numeric value, or no value for a text assignment.
using AssignmentResult = std::pair<std::string, std::optional<double>>;

// One `assignment` or `axis_word` node: stores the value in the state (axis
// position, numeric variable, STRING variable or one character of it).
Result<AssignmentResult> interpret_assignment(Pair node, State& state);
// IC(e) (an `axis_increment` node) for the axis or variable `name`.
Result<double> interpret_axis_increment(Pair node, State& state, std::string name);
// One `definition` node (DEF ...). Writes no cell; records numeric values.
Status interpret_definition(Pair node, OutputRows& rows, State& state);

// ---------------------------------------------------------------------------
// Frame instructions

using RotationMatrix = state::Matrix3;

// One `frame_op` node: TRANS, ATRANS, ROT, AROT, and the unsupported frame
// keywords. Keeps the machine position of every positioned axis.
Status interpret_frame_op(Pair node, State& state);

// What a frame instruction does to the translation and the rotation (the
// middle step of the frame change: positions are re-derived by the caller).
// `keyword` is upper case; `arguments` are the `assignment` children.
Status apply_frame_instruction(std::string_view keyword, std::span<const Pair> arguments,
                               std::size_t line, std::string_view line_text, State& state);

// TRANS/ATRANS arguments as (axis name, value), without moving any axis.
Result<std::vector<std::pair<std::string, double>>> frame_assignments(
    std::span<const Pair> arguments, State& state);
// ROT/AROT arguments as a rotation matrix.
Result<RotationMatrix> rotation_assignments(std::span<const Pair> arguments, State& state,
                                            std::size_t line, std::string_view line_text);

}  // namespace kelvane::interpret_rules
