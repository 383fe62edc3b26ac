#pragma once
// The rules of the block interpreter: blocks and statements; expressions,
// variables, strings and the built-in functions of the NC language;
// assignments, IC and DEF; frame instructions; jumps and CASE; block lists,
// IF/ELSE, WHILE, FOR, LOOP and REPEAT under the iteration limit.
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
#include "limits.hpp"
#include "output.hpp"
#include "state.hpp"
#include "types.hpp"

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

// The same, holding only the keys in `named`.
JumpTable scan_jump_targets(std::span<const Pair> blocks, const state::StrSet& named);

// The keys the jump statements of a parse tree name (their `goto_target` nodes).
state::StrSet named_jump_keys(const types::ParseTree& tree);

// The jump keys of the tree that `node` belongs to. A tree other than the
// one held before replaces it, the keys of the lists started in the old one
// written into all_jump_targets first.
state::State::TreeJumpKeys& tree_jump_keys(const Pair& node, const State& state);

// Writes the keys of every list started and not yet counted into
// all_jump_targets, in the order the lists started; before anything reads it.
void settle_jump_targets(const State& state);
// At the end of a program's run: settles the keys of a tree over a text the
// state does not hold (it may not outlive the run), and lets that tree go.
void settle_borrowed_jump_targets(const State& state);

// Where a request from the block at index `current` lands in this list, if anywhere.
std::optional<std::size_t> resolve_jump(const JumpTable& table, std::size_t current,
                                        const JumpRequest& request);

// GOTO, GOTOB, GOTOF, GOTOC (a `goto_statement` node). A GOTOC whose key is
// visible in no running list warns and continues.
Result<Flow> interpret_goto(const Pair& goto_statement, State& state);
// IF condition GOTO... (an `if_goto_statement` node).
Result<Flow> interpret_if_goto(const Pair& if_goto_statement, State& state);
// CASE expr OF c1 GOTO.. c2 GOTO.. DEFAULT GOTO.. (a `case_statement` node).
Result<Flow> interpret_case(const Pair& case_statement, State& state);
// GOTOS (a `gotos_statement` node): warns and continues.
Flow interpret_gotos(const Pair& gotos_statement, State& state);

// ---------------------------------------------------------------------------
// Block lists and structures

// Runs one `blocks` node with its own jump table and label scope; counts the
// backward jumps placed in it against the iteration limit.
Result<Flow> interpret_blocks(const Pair& blocks, OutputRows& rows, State& state);

Result<Flow> interpret_statement_if(const Pair& if_statement, OutputRows& rows, State& state);
Result<Flow> interpret_statement_while(const Pair& while_statement, OutputRows& rows, State& state);
Result<Flow> interpret_statement_for(const Pair& for_statement, OutputRows& rows, State& state);
Result<Flow> interpret_statement_loop(const Pair& loop_statement, OutputRows& rows, State& state);
Result<Flow> interpret_statement_repeat_until(const Pair& repeat_until_statement, OutputRows& rows,
                                              State& state);

// The parts of block lists and structures shared by the recursive rules
// above and the frame-stack executor (vm), so that both run them alike.

// The loop-limit error, naming the iteration limit.
ParsingError loop_limit(const State& state);
// Writes a comment's text into the current row's "comment" cell.
void write_comment_cell(OutputRows& rows, std::string_view text);
// An UnexpectedRule error for a node: the details are the prefix followed by
// the node's rule name.
ParsingError unexpected_rule(std::string_view context, std::string_view details_prefix,
                             const Pair& node, const State& state);

// A `blocks` node is refused for a node of any other rule.
Status expect_blocks(const Pair& node, const State& state);
// The `block` children of a `blocks` node, in source order.
std::vector<Pair> block_nodes(const Pair& blocks);
// The jump table of a block list (the `blocks` node `list`, its `block`
// children `blocks`): the keys the program's jumps name, which are also put
// into `scope`, the list's label scope. The list is noted as started, its
// keys known to the jump hints.
JumpTable register_jump_targets(const Pair& list, std::span<const Pair> blocks,
                                state::StrSet& scope, State& state);
// Where a jump request from the block at `current` lands in one list, or
// nothing when the list does not hold its destination. A landing at or
// before the jumping block counts in `backward_jumps` against the iteration
// limit, and the run stops there once nobody receives its rows.
Result<std::optional<std::size_t>> place_jump_in_list(const JumpTable& table,
                                                      std::size_t current,
                                                      const JumpRequest& request,
                                                      std::size_t& backward_jumps,
                                                      const OutputRows& rows, const State& state);

// Whether a child of a `control` node is a jump statement (GOTO..., IF ...
// GOTO, CASE, GOTOS), which both executors run alike.
bool is_jump_statement(Rule rule);
// Runs one jump statement.
Result<Flow> interpret_jump_statement(const Pair& statement, State& state);

struct IfParts {
  Pair condition;
  Pair then_body;
  std::optional<Pair> else_body;
};
// The children of an `if_statement` node; a comment among them is written
// into the current row.
Result<IfParts> if_parts(const Pair& if_statement, OutputRows& rows, const State& state);

struct WhileParts {
  Pair condition;
  Pair body;
};
// The children of a `while_statement` node.
Result<WhileParts> while_parts(const Pair& while_statement);
// Whether a WHILE runs another pass after `passes` finished ones: its
// condition holds and the limit is not reached. At the limit the loop fails,
// whatever the condition.
Result<bool> while_pass_due(const Pair& condition, std::size_t passes, State& state);

struct RepeatParts {
  Pair body;
  Pair condition;
};
// The children of a `repeat_until_statement` node.
Result<RepeatParts> repeat_until_parts(const Pair& repeat_until_statement, const State& state);
// Whether a LOOP runs another pass after one finished: always, the pass
// counted, until the iteration limit fails it.
Result<bool> loop_pass_due(std::size_t& passes, const State& state);
// Whether a REPEAT runs another pass after one finished: the pass is
// counted, then the UNTIL condition is read.
Result<bool> repeat_pass_due(const Pair& condition, std::size_t& passes, State& state);

// A FOR under way: its counter variable and end value.
struct ForLoop {
  std::string counter;
  double end = 0.0;
  std::size_t line = 0;  // line of the FOR's assignment, for its errors
};
// A started FOR: its counter holds the start value (recorded as a variable
// change) and the end value is evaluated.
struct ForStart {
  ForLoop loop;
  Pair body;
};
Result<ForStart> start_for(const Pair& for_statement, OutputRows& rows, State& state);
// Whether a started FOR runs its first pass: its counter is a variable (not
// an axis or a block address) within the end value.
bool for_first_pass_due(const ForLoop& loop, const State& state);
// After a FOR pass: the counter steps by 1 (recorded as a variable change);
// whether another pass runs. A counter that adding 1 no longer changes
// (2^53 and beyond, an infinity) would repeat the same pass forever: refused.
Result<bool> for_next_pass_due(const ForLoop& loop, OutputRows& rows, State& state);

// ---------------------------------------------------------------------------
// Blocks and statements

// One block being run: what both executors do alike to every block. The
// row is opened, every child but a `control` node is applied, and the block
// is finished.
struct BlockRun {
  std::size_t line = 0;
  bool ran_statement = false;

  // Flushes the previous row and opens the block's own.
  static Result<BlockRun> open(const Pair& block, OutputRows& rows);
  // Applies a child that is not a `control` node (block number, label,
  // statement, DEF, frame instruction, comment): its flow, End after an
  // end-of-program M word; nothing for a child of any other rule.
  Result<std::optional<Flow>> apply(const Pair& child, OutputRows& rows, State& state);
  // The block's last step once a statement ran: arc centres are rotated
  // with the frame.
  Status close(OutputRows& rows, const State& state) const;
};

// Runs one `block` node: flushes the previous row, opens this block's row and
// applies the block's parts in source order.
errors::Result<Flow> interpret_block(const types::Pair& block, output::OutputRows& rows,
                                     state::State& state);

// A quicker way to run a block that needs no walk of its tree (a line the
// per-line decoder takes): the block's flow, as interpret_block would give
// it, or nothing for a block it does not take. `context` is the scope's.
using BlockShortcut = std::optional<errors::Result<Flow>> (*)(void* context,
                                                               const types::Pair& block,
                                                               output::OutputRows& rows,
                                                               state::State& state);
// A quicker way to evaluate a `condition` node: what evaluate_condition
// gives, or nothing for a condition it does not take.
using ConditionShortcut = std::optional<errors::Result<bool>> (*)(void* context,
                                                                  const types::Pair& condition,
                                                                  state::State& state);
// The shortcuts of the blocks and conditions run on this thread while the
// scope lasts (none outside every scope), and what they are handed (the
// caches of the run).
class BlockShortcutScope {
 public:
  explicit BlockShortcutScope(BlockShortcut shortcut, ConditionShortcut condition = nullptr,
                              void* context = nullptr);
  ~BlockShortcutScope();
  BlockShortcutScope(const BlockShortcutScope&) = delete;
  BlockShortcutScope& operator=(const BlockShortcutScope&) = delete;

  struct InForce {
    BlockShortcut block = nullptr;
    ConditionShortcut condition = nullptr;
    void* context = nullptr;
  };

 private:
  InForce saved_;
};
// The condition evaluated by the shortcut in force, if there is one and it
// takes the condition.
std::optional<errors::Result<bool>> try_condition_shortcut(const types::Pair& condition,
                                                           state::State& state);
// The block run by the shortcut in force, if there is one and it takes the block.
std::optional<errors::Result<Flow>> try_block_shortcut(const types::Pair& block,
                                                       output::OutputRows& rows,
                                                       state::State& state);

// Runs one `statement` node; never returns a jump.
errors::Result<Flow> interpret_statement(const types::Pair& statement, output::OutputRows& rows,
                                         state::State& state);

// Runs the children of one `control` node in order (structures, jumps,
// IF ... GOTO runs, CASE, GOTOS).
errors::Result<Flow> interpret_control(const types::Pair& control, output::OutputRows& rows,
                                       state::State& state);

// A classified G word: its group column (an interned, process-lifetime name)
// and its upper-case text.
struct GCommand {
  std::string_view column;
  std::string text;
};

// Classifies one `g_command` node and applies the working-plane side effect
// of G17/G18/G19.
errors::Result<GCommand> interpret_g_command(const types::Pair& node, state::State& state);

// Writes the "N" cell of one `block_number` node.
void interpret_block_number(const types::Pair& node, output::OutputRows& rows);

// Appends one M word (upper-cased here) to the "M" cell; at most five per block.
errors::Status insert_m_key(output::CellMap& cells, std::string_view text, std::size_t line,
                            std::string_view line_text);

// Whether an M word ends the program (M2, M17, M30 with any leading zeros).
bool is_end_of_program_m_code(std::string_view text);

// Whether a call name looks like axis words written without a blank (X10Y20).
bool looks_like_axis_word_typo(std::string_view name);

// The 1-based line of a node (parser line plus the node's line offset).
std::size_t node_line(const types::Pair& node);

// The text of a line, or "(could not retrieve line)".
std::string line_text_of(const state::State& state, std::size_t line);

// A located ParseContext error (no column) for a node.
errors::ParsingError annotate_error(const types::Pair& node, std::string_view context,
                                    std::string_view message, const state::State& state);

// The node's line and that line's text.
std::pair<std::size_t, std::string> get_error_context(const types::Pair& node,
                                                      const state::State& state);

// ---------------------------------------------------------------------------
// Expressions

// The value of an `expression` node. The state is written only by an
// undefined read under allow_undefined_variables.
errors::Result<double> evaluate_expression(const types::Pair& expression, state::State& state);

// The truth of a `condition` node (NaN is true, -0.0 false).
errors::Result<bool> evaluate_condition(const types::Pair& condition, state::State& state);

// Equality with a relative tolerance of 1e-12 of the larger magnitude.
bool approximately_equal(double a, double b);
// Whether the relation `op` ("==", "<>", "<=", ">=", "<", ">") holds between
// a and b, equality read as approximately_equal; nothing for another text.
std::optional<bool> relation_holds(std::string_view op, double a, double b);

// A bit-operator operand as a signed 64-bit integer, or the bit-operator error.
errors::Result<std::int64_t> bit_operand(double value, const types::Pair& op,
                                         const state::State& state);

// ---------------------------------------------------------------------------
// Variables and arrays

// Upper-cased name of a `variable` node's child.
errors::Result<std::string> interpret_variable(const types::Pair& node, const state::State& state);

// Upper-cased text of an `identifier` or `nc_variable` node itself.
errors::Result<std::string> interpret_identifier(const types::Pair& node);

// Upper-cased when the name is an axis or a block address, else unchanged.
std::string normalize_reserved_case(std::string name, const state::State& state);

// The index values of an `indices` node (axis names mapped through
// axis_index_map). Values of 2147483647 and more are refused.
errors::Result<std::vector<double>> interpret_indices(const types::Pair& indices,
                                                      state::State& state);

// Every element key from the origin up to the addressed element, row-major,
// the addressed element's key last. Refused with a clear error when the list
// would exceed kMaxArrayElements keys. (DEF stores the elements of an array
// in the symbol table's dense blocks without building this list.)
errors::Result<std::vector<std::string>> interpret_variable_array(const types::Pair& node,
                                                                  state::State& state);

// Only the addressed element's key, e.g. "A[1,2]" (reads and assignments:
// the same key interpret_variable_array would put last, without building
// the whole list).
errors::Result<std::string> interpret_variable_array_key(const types::Pair& node,
                                                         state::State& state);

inline constexpr std::size_t kMaxArrayElements = limits::kMaxArrayElementKeys;

// "$AA_IW" or "$AA_IM" when the `variable_array` node names one of them.
std::optional<std::string_view> actual_position_sysvar_name(const types::Pair& node);

// Operand readers of expressions.
errors::Result<double> read_scalar_variable(const std::string& name, std::size_t line,
                                            std::string_view line_text, state::State& state);
errors::Result<double> read_array_element(const std::string& key, std::size_t line,
                                          std::string_view line_text, state::State& state);

// ---------------------------------------------------------------------------
// Strings

// The text of a string_value, string_expression, concat_operand, expression,
// arith_fun or string node.
errors::Result<std::string> evaluate_string(const types::Pair& node, state::State& state);

// The text of a SPRINT or SUBSTR call (`arith_fun` node).
errors::Result<std::string> evaluate_string_function(const types::Pair& node, state::State& state);

// Whether an `expression` node is text-valued (a lone STRING variable,
// SPRINT/SUBSTR call, or a parenthesised such expression).
bool expression_is_string(const types::Pair& expression, const state::State& state);

// A lone operand of a one-operand string_expression (its string_value or
// expression), else the node itself.
types::Pair unwrap_lone_operand(const types::Pair& node);

// A number where text is wanted: integers below 2^53 as integers, else ten
// decimals with trailing zeros and point removed.
std::string number_to_text(double value);

// ---------------------------------------------------------------------------
// Built-in functions

// The numeric value of a function argument (text arguments refused).
errors::Result<double> eval_number_arg(const types::Pair& argument, state::State& state,
                                       std::size_t line, std::string_view line_text);

// A function argument as a non-negative integer index (saturating).
errors::Result<std::uint64_t> eval_index_arg(const types::Pair& argument, state::State& state,
                                             std::size_t line, std::string_view line_text);

// A number in NC text form (blanks around, EX exponents, INF/NAN), or nothing.
std::optional<double> parse_nc_number(std::string_view text);

// ---------------------------------------------------------------------------
// Assignments, IC and DEF

// Target name (upper case) and the numeric value, or no value for a text assignment.
using AssignmentResult = std::pair<std::string, std::optional<double>>;

// One `assignment` or `axis_word` node: stores the value in the state (axis
// position, numeric variable, STRING variable or one character of it).
Result<AssignmentResult> interpret_assignment(const Pair& node, State& state);
// IC(e) (an `axis_increment` node) for the axis or variable `name`.
Result<double> interpret_axis_increment(const Pair& node, State& state, std::string name);
// One `definition` node (DEF ...). Writes no cell; records numeric values.
Status interpret_definition(const Pair& node, OutputRows& rows, State& state);

// ---------------------------------------------------------------------------
// Frame instructions

using RotationMatrix = state::Matrix3;

// One `frame_op` node: TRANS, ATRANS, ROT, AROT, and the unsupported frame
// keywords. Keeps the machine position of every positioned axis.
Status interpret_frame_op(const Pair& node, State& state);

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
