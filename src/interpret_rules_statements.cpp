#include <array>
#include <string>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"
#include "modal_groups.hpp"
#include "text.hpp"

// Blocks and their statements: block numbers, G and M words, tool
// selections, assignments written as cells, and named calls.
namespace kelvane::interpret_rules {

using errors::fail;
using output::CellMap;
using types::Value;

bool is_end_of_program_m_code(std::string_view text) {
  while (!text.empty() && (text.front() == 'M' || text.front() == 'm')) text.remove_prefix(1);
  while (!text.empty() && text.front() == '0') text.remove_prefix(1);
  return text == "2" || text == "17" || text == "30";
}

bool looks_like_axis_word_typo(std::string_view name) {
  // counted in characters: the first two must be ASCII, the rest decoded
  std::size_t i = 0, n = 0;
  bool first_letter = false, second_digit = false, later_letter = false;
  while (i < name.size()) {
    const text::Utf8Char c = text::decode_utf8(name, i);
    const bool letter = (c.code >= 'a' && c.code <= 'z') || (c.code >= 'A' && c.code <= 'Z');
    const bool digit = c.code >= '0' && c.code <= '9';
    if (n == 0) first_letter = letter;
    else if (n == 1) second_digit = digit;
    else if (letter) later_letter = true;
    ++n;
    i += c.len;
  }
  return n >= 3 && first_letter && second_digit && later_letter;
}

errors::Status insert_m_key(CellMap& cells, std::string_view text, std::size_t line,
                            std::string_view line_text) {
  const text::UpperBuf word(text);
  const std::string_view m_col = columns().m;
  Value* cell = cells.get(m_col);
  if (!cell) {
    cells.insert(m_col, Value(std::vector<std::string>{std::string(word.view())}));
    return {};
  }
  auto* list = std::get_if<std::vector<std::string>>(cell);
  if (!list) return fail(errors::ParseError{"M command key 'M' is not a list"});
  if (list->size() >= 5) {
    return fail(errors::TooManyMCommands{std::string(line_text),
                                         "Too many M commands in a single block", line});
  }
  list->emplace_back(word.view());
  return {};
}

errors::Result<GCommand> interpret_g_command(const types::Pair& node, state::State& state) {
  const text::UpperBuf text(text::trim(node.as_str()));
  const std::string_view t = text.view();
  auto group = modal_groups::classify_g_command(t);
  if (!group) {
    const std::size_t line = node_line(node);
    return fail(errors::UnknownGCommand{state.line_text(line), std::string(t), line});
  }
  if (group->column == modal_groups::kPlaneColumn) {
    if (t == "G17") state.active_plane = 0;
    else if (t == "G18") state.active_plane = 1;
    else if (t == "G19") state.active_plane = 2;
  }
  return GCommand{group->column, std::string(t)};
}

void interpret_block_number(const types::Pair& node, output::OutputRows& rows) {
  auto digits = first_child(node);
  const std::string_view text = digits ? digits->as_str() : text::trim(node.as_str());
  rows.row.cells.insert(columns().n, Value(std::string(text)));
}

namespace {

constexpr std::array<std::string_view, 11> kFrameKeywords{
    "AMIRROR", "AROTS", "AROT", "ASCALE", "ATRANS", "CROTS", "MIRROR", "ROTS", "ROT", "SCALE",
    "TRANS"};

errors::Status write_assignment(const AssignmentResult& result, std::size_t line,
                                output::OutputRows& rows, state::State& state) {
  if (!result.second) return {};  // a text value writes no cell
  const double value = *result.second;
  const std::string& name = result.first;
  if (auto key = state.resolve_output_key(name)) {
    if (key->kind == state::ColKind::Axis) {
      const std::string_view col = key->column;
      if (state.rotation_active && (col == "X" || col == "Y" || col == "Z")) {
        state.insert_rotated_geometry(rows.row.cells);
      } else {
        rows.row.cells.insert(col, Value(value + state.translation_of(col)));
      }
    } else {
      rows.row.cells.insert(key->column, Value(value));
    }
    return {};
  }
  state.warn_unsupported_address(name, line);
  rows.record_variable_change(name, value);
  return {};
}

errors::Status interpret_named_call(const types::Pair& call, output::OutputRows& rows,
                                    state::State& state) {
  // the cell shows the call as written, blanks after a bare name included
  const std::string_view text = call.as_str();
  const std::size_t paren = text.find('(');
  if (paren != std::string_view::npos) {
    rows.row.cells.insert(columns().call, Value(std::string(text)));
    return {};
  }
  const std::string_view name = text::trim(text);
  for (std::string_view kw : kFrameKeywords) {
    if (text::iequals(name, kw)) {
      const std::size_t line = node_line(call);
      return fail(errors::UnsupportedStatement{
          state.line_text(line),
          cat({"The frame instruction ", name, " after another statement"}),
          "Frame instructions must be programmed in a separate NC block (manual 3.12.2.1).",
          line});
    }
  }
  const text::UpperBuf upper_name(name);
  if (auto group = modal_groups::classify_g_command(upper_name.view())) {
    rows.row.cells.insert(group->column, Value(std::string(upper_name.view())));
    return {};
  }
  if (looks_like_axis_word_typo(name)) {
    std::string msg = cat({"Warning: '", name, "' (line "});
    append_int(msg, static_cast<std::int64_t>(node_line(call)));
    msg += ") is interpreted as a subprogram call; did you mean one or more axis words (e.g. Y20)?";
    text::write_warning_line(std::move(msg));
  }
  rows.row.cells.insert(columns().call, Value(std::string(text)));
  return {};
}

// A G word, plain or after a block number of its own: its group's cell.
errors::Status write_g_command(const types::Pair& node, output::OutputRows& rows,
                               state::State& state) {
  types::Pair g = node;
  if (node.as_rule() == types::Rule::g_command_numbered) {
    auto inner = first_child(node);
    if (!inner) {
      return fail(unexpected_rule_error(
          node, "interpret_statement",
          "Unexpected rule in interpret_statement: g_command_numbered", state));
    }
    g = *inner;
  }
  auto cmd = interpret_g_command(g, state);
  if (!cmd) return fail(std::move(cmd.error()));
  rows.row.cells.insert(cmd->column, Value(std::move(cmd->text)));
  return {};
}

// An M word into the "M" cell; End for an end-of-program word.
errors::Result<Flow> write_m_command(const types::Pair& node, output::OutputRows& rows,
                                     const state::State& state) {
  const text::UpperBuf text(text::trim_end(node.as_str()));
  const std::size_t line = node_line(node);
  auto line_view = state.get_line(line);
  auto st = insert_m_key(rows.row.cells, text.view(), line,
                         line_view ? *line_view : state::kNoLineText);
  if (!st) return fail(std::move(st.error()));
  return is_end_of_program_m_code(text.view()) ? Flow::end() : Flow::cont();
}

// T="name": the tool's text into the "T" cell.
errors::Status write_tool_selection(const types::Pair& node, output::OutputRows& rows) {
  std::string tool;
  for (const types::Pair& part : node.into_inner()) {
    if (part.as_rule() == types::Rule::string_value) {
      if (auto s = first_child(part)) tool += s->as_str();
    } else if (part.as_rule() == types::Rule::string) {
      tool += part.as_str();
    } else {
      return fail(errors::UnexpectedRule{
          "interpret_tool_selection", "(state not available)",
          cat({"Unexpected rule in interpret_tool_selection: ", types::rule_name(part.as_rule())}),
          node_line(part), part.as_rule()});
    }
  }
  rows.row.cells.insert(columns().t, Value(std::move(tool)));
  return {};
}

// A statement that ends nothing: Continue once it is applied.
errors::Result<Flow> continued(errors::Status st) {
  if (!st) return fail(std::move(st.error()));
  return Flow::cont();
}

// A block part that ends nothing, once it is applied.
errors::Result<std::optional<Flow>> applied(errors::Status st) {
  if (!st) return fail(std::move(st.error()));
  return Flow::cont();
}

}  // namespace

errors::Result<Flow> interpret_statement(const types::Pair& statement, output::OutputRows& rows,
                                         state::State& state) {
  auto child = first_child(statement);
  if (!child) {
    return fail(unexpected_rule_error(statement, "interpret_statement",
                                      "Unexpected rule in interpret_statement: statement", state));
  }
  switch (child->as_rule()) {
    case types::Rule::axis_word:
    case types::Rule::assignment: {
      auto result = interpret_assignment(*child, state);
      if (!result) return fail(std::move(result.error()));
      return continued(write_assignment(*result, node_line(*child), rows, state));
    }
    case types::Rule::g_command_numbered:
    case types::Rule::g_command:
      return continued(write_g_command(*child, rows, state));
    case types::Rule::m_command:
      return write_m_command(*child, rows, state);
    case types::Rule::tool_selection:
      return continued(write_tool_selection(*child, rows));
    case types::Rule::non_returning_function_call:
      return continued(interpret_named_call(*child, rows, state));
    default:
      return fail(unexpected_rule_error(
          *child, "interpret_statement",
          cat({"Unexpected rule in interpret_statement: ", types::rule_name(child->as_rule())}),
          state));
  }
}

// ---------------------------------------------------------------------------
// Blocks

errors::Result<BlockRun> BlockRun::open(const types::Pair& block, output::OutputRows& rows) {
  const std::size_t line = node_line(block);
  if (auto st = rows.flush(); !st) return fail(std::move(st.error()));
  rows.row.line = line;
  return BlockRun{line, false};
}

errors::Result<std::optional<Flow>> BlockRun::apply(const types::Pair& child,
                                                    output::OutputRows& rows,
                                                    state::State& state) {
  switch (child.as_rule()) {
    case types::Rule::block_number:
      interpret_block_number(child, rows);
      return Flow::cont();
    case types::Rule::label_def:
      return Flow::cont();
    case types::Rule::statement: {
      auto f = interpret_statement(child, rows, state);
      if (!f) return fail(std::move(f.error()));
      ran_statement = true;
      return std::move(*f);
    }
    case types::Rule::definition:
      return applied(interpret_definition(child, rows, state));
    case types::Rule::frame_op:
      return applied(interpret_frame_op(child, state));
    case types::Rule::comment:
      write_comment_cell(rows, child.as_str());
      return Flow::cont();
    default:
      return std::optional<Flow>();
  }
}

errors::Status BlockRun::close(output::OutputRows& rows, const state::State& state) const {
  if (!ran_statement) return {};
  return state.finish_block_frame(rows.row.cells, line);
}

namespace {
// one thread-local for all three: a block reads it once
thread_local BlockShortcutScope::InForce current_shortcuts;
}  // namespace

BlockShortcutScope::BlockShortcutScope(BlockShortcut shortcut, ConditionShortcut condition,
                                       void* context)
    : saved_(current_shortcuts) {
  current_shortcuts = InForce{shortcut, condition, context};
}
BlockShortcutScope::~BlockShortcutScope() { current_shortcuts = saved_; }

std::optional<errors::Result<bool>> try_condition_shortcut(const types::Pair& condition,
                                                           state::State& state) {
  const BlockShortcutScope::InForce& in_force = current_shortcuts;
  if (in_force.condition == nullptr) return std::nullopt;
  return in_force.condition(in_force.context, condition, state);
}

std::optional<errors::Result<Flow>> try_block_shortcut(const types::Pair& block,
                                                       output::OutputRows& rows,
                                                       state::State& state) {
  const BlockShortcutScope::InForce& in_force = current_shortcuts;
  if (in_force.block == nullptr) return std::nullopt;
  return in_force.block(in_force.context, block, rows, state);
}

errors::Result<Flow> interpret_block(const types::Pair& block, output::OutputRows& rows,
                                     state::State& state) {
  if (auto quick = try_block_shortcut(block, rows, state)) return std::move(*quick);
  auto run = BlockRun::open(block, rows);
  if (!run) return fail(std::move(run.error()));
  Flow flow = Flow::cont();
  for (const types::Pair& child : block.into_inner()) {
    if (child.as_rule() == types::Rule::control) {
      auto f = interpret_control(child, rows, state);
      if (!f) return f;
      flow = std::move(*f);
      continue;
    }
    auto part = run->apply(child, rows, state);
    if (!part) return fail(std::move(part.error()));
    if (!*part) {
      return fail(annotate_error(
          child, "block interpretation",
          cat({"Unexpected rule: ", types::rule_name(child.as_rule())}), state));
    }
    if ((*part)->is_end()) flow = Flow::end();
  }
  if (auto st = run->close(rows, state); !st) return fail(std::move(st.error()));
  return flow;
}

}  // namespace kelvane::interpret_rules
