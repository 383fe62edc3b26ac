#pragma once
// What the parts of the block interpreter share among themselves: node
// access, message building, literals, array references and the interned
// columns a block writes. Not for the other modules.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "errors.hpp"
#include "interpret_rules.hpp"
#include "output.hpp"
#include "state.hpp"
#include "types.hpp"

namespace kelvane::interpret_rules {

// ---------------------------------------------------------------------------
// Nodes

// The first child of a node, if it has children.
std::optional<Pair> first_child(const Pair& node);
// The children of a node, collected.
std::vector<Pair> children(const Pair& node);
// An UnexpectedRule error for a node with details of any form.
ParsingError unexpected_rule_error(const Pair& node, std::string_view context,
                                   std::string details, const State& state);

// Interned column names written by blocks.
struct Columns {
  std::string_view n = output::intern_column("N");
  std::string_view comment = output::intern_column("comment");
  std::string_view m = output::intern_column("M");
  std::string_view t = output::intern_column("T");
  std::string_view call = output::intern_column("non_returning_function_call");
};
const Columns& columns();

// ---------------------------------------------------------------------------
// Messages

// The parts joined, with one allocation.
std::string cat(std::initializer_list<std::string_view> parts);

// Text of one placeholder argument.
template <typename T>
std::string to_text(const T& v) {
  if constexpr (std::is_integral_v<T>) {
    return std::to_string(v);
  } else {
    return std::string(std::string_view(v));
  }
}

// Fills the "{}" placeholders of `pattern` in order.
template <typename... A>
std::string fmt(std::string_view pattern, const A&... args) {
  const std::array<std::string, sizeof...(A)> texts{to_text(args)...};
  std::string out;
  out.reserve(pattern.size() + 16);
  std::size_t next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' &&
        next < texts.size()) {
      out += texts[next++];
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

// Appends the decimal form of an integer.
void append_int(std::string& out, std::int64_t v);

// The blanks around names, keywords and jump targets of a node's text.
inline constexpr std::string_view kBlanks = " \t\r\n";

// ---------------------------------------------------------------------------
// Numbers

// Saturating conversion of a float to an unsigned 64-bit integer (fraction
// dropped, negatives and NaN give 0).
std::uint64_t saturating_u64(double v);

// A decimal literal (the whole text, blanks around allowed, an optional sign),
// or nothing; overflow reads as an infinity, underflow as zero.
std::optional<double> parse_literal(std::string_view text);

inline constexpr double kDegToRad = 0.017453292519943295;
inline constexpr double kRadToDeg = 57.29577951308232;

// ---------------------------------------------------------------------------
// Arrays

// A `variable_array` node read: the name and the index values.
struct ArrayRef {
  std::string name;
  std::vector<std::int32_t> bounds;
};
Result<ArrayRef> array_ref(const Pair& node, State& state);

// DEF of an array: every element from the origin to the bounds becomes 0.0.
Status declare_array(const Pair& node, OutputRows& rows, State& state);

// The first `count` element keys of an array reference (SET and REP lists),
// or InvalidElementCount when the array has fewer elements than `count`.
Result<std::vector<std::string>> leading_element_keys(const ArrayRef& ref, std::size_t count);

// $AA_IW[axis] and $AA_IM[axis]; `handled` stays false when the reference is
// an ordinary array element instead.
Result<double> read_actual_position(const Pair& node, std::string_view sysvar, State& state,
                                    bool& handled);

// ---------------------------------------------------------------------------
// Function calls

// The numeric value of an `arith_fun` call.
Result<double> evaluate_function(const Pair& call, State& state);
// The arguments of a call, each a lone operand unwrapped.
std::vector<Pair> call_arguments(const Pair& call);
// The function name as written, or empty.
std::string_view function_name_text(const Pair& call);
// SPRINT(format, ...) with the arguments of the call.
Result<std::string> evaluate_sprint(const std::vector<Pair>& args, std::size_t line,
                                    const std::string& line_text, State& state);

// ---------------------------------------------------------------------------
// Block lists

// A block list collected once and run any number of times: a loop collects
// its body on entry and runs the same list on every pass.
struct BlockList {
  std::optional<Pair> node;  // the `blocks` node
  // its `block` children, listed only when the program has jumps (a list
  // without them runs its blocks in order from the node)
  std::vector<Pair> blocks;
  bool indexed = false;
  JumpTable table;
  // the label scope of a run, built once: lent to the scope stack while a
  // run lasts and taken back when it ends
  state::StrSet scope;
};
// Collects a `blocks` node; its targets become known to the jump hints.
Result<BlockList> collect_block_list(const Pair& blocks, State& state);
// One run of a collected list: its own label scope pushed for the run, the
// backward jumps counted from zero.
Result<Flow> run_block_list(BlockList& list, OutputRows& rows, State& state);

// A loop body, collected on its first pass (a body that never runs is never
// looked at) and reused by every later pass.
struct LoopBody {
  const Pair& node;
  std::optional<BlockList> list;

  Result<Flow> run(OutputRows& rows, State& state);
};

// The two children of a node, or InvalidElementCount for fewer.
Result<std::array<Pair, 2>> two_children(const Pair& node);

}  // namespace kelvane::interpret_rules
