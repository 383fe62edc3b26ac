#include "line_driver_execute.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include "interpret_rules.hpp"
#include "modal_groups.hpp"
#include "text.hpp"

namespace kelvane::line_driver {

using errors::fail;
using errors::ParsingError;
using output::OutputRows;
using state::State;
using types::Value;

namespace {

struct Columns {
  std::string_view n = output::intern_column("N");
  std::string_view comment = output::intern_column("comment");
  std::string_view call = output::intern_column("non_returning_function_call");
};
const Columns& columns() {
  static const Columns c;
  return c;
}

std::string_view line_view(const State& state, std::size_t line) {
  auto v = state.get_line(line);
  return v ? *v : std::string_view();
}

void set_symbol(State& state, std::string_view name, double value) {
  if (double* v = state.symbol_table.find_value(name)) *v = value;
  else state.symbol_table.emplace(std::string(name), value);
}

// Where a decoded line's cells go: the row's cells, or a staged row that is
// written straight into the batch when the line is done.
struct MapCells {
  output::CellMap& cells;
  void number(std::string_view name, double v) { cells.insert(name, Value(v)); }
  // a text that outlives the line (a slice of the program)
  void text(std::string_view name, std::string_view t) { cells.insert(name, Value(std::string(t))); }
  void text_copy(std::string_view name, std::string_view t) { text(name, t); }
};
struct StagedCells {
  output::StagedRow& cells;
  void number(std::string_view name, double v) { cells.put_number(name, v); }
  void text(std::string_view name, std::string_view t) { cells.put_text(name, t); }
  void text_copy(std::string_view name, std::string_view t) { cells.put_text_copy(name, t); }
};

// The cell of an axis: machine X, Y, Z under a rotation, else the programmed
// value moved by the translation. A staged line never runs under a rotation.
template <typename Cells>
void write_axis_cell(std::string_view column, double value, Cells& cells, State& state) {
  if constexpr (std::is_same_v<Cells, MapCells>) {
    if (state.rotation_active && column.size() == 1 &&
        (column[0] == 'X' || column[0] == 'Y' || column[0] == 'Z')) {
      state.insert_rotated_geometry(cells.cells);
      return;
    }
  }
  cells.number(column, value + state.translation_of(column));
}

// An IC(...) increment added to the position of `name`; without a position
// the increment itself, with a warning.
double incremented(std::string_view name, double increment, const State& state) {
  if (auto it = state.axes.find(name); it != state.axes.end()) return it->second + increment;
  text::write_warning_line(
      "Warning: axis '" + std::string(name) +
      "' is incremented with IC() before any absolute position was set; assuming it starts at 0 "
      "(a real control would start from the actual axis position).");
  return increment;
}

// A decoded value assigned to `name` (as written), in the order of the
// grammar path: the increment, the store (axis position or variable), then the
// cell, or the address warning and the variable change.
template <typename Cells>
errors::Status assign(std::string_view name, double value, bool incremental, std::size_t line,
                      OutputRows& rows, Cells& cells, State& state) {
  const auto key = state.resolve_output_key(name);
  if (!key) {
    const text::UpperBuf upper(name);
    const std::string_view u = upper.view();
    if (incremental) value = incremented(u, value, state);
    if (auto st = reject_string_variable(u, state, line); !st) return st;
    set_symbol(state, u, value);
    state.warn_unsupported_address(u, line);
    rows.record_variable_change(u, value);
    return {};
  }
  const std::string_view column = key->column;
  if (incremental) value = incremented(column, value, state);
  if (key->kind == state::ColKind::BlockAddress) {
    cells.number(column, value);
    return {};
  }
  if (key->is_axis) {
    state.update_axis(column, value);
  } else if (!State::is_block_address(column)) {
    // an axis configured in lower case is not positioned by its name: the
    // value is stored as a variable, and the axis cell is written all the same
    if (auto st = reject_string_variable(column, state, line); !st) return st;
    set_symbol(state, column, value);
  }
  write_axis_cell(column, value, cells, state);
  return {};
}

// A variable (as written) read as in the grammar's expressions: a defined
// one directly, any other through the variable rules (an error, or the value
// an undefined variable is allowed to have).
errors::Result<double> read_variable(std::string_view name, std::size_t line, State& state) {
  const text::UpperBuf upper(name);
  const std::string_view v = upper.view();
  if (const double* value = state.symbol_table.find_value(v)) return *value;
  return interpret_rules::read_scalar_variable(std::string(v), line, state.line_text(line), state);
}

// The value of a product; its variable is read as in an expression.
errors::Result<double> product_value(const Word::Product& w, std::size_t line, State& state) {
  if (!w.var) return w.factor;
  auto value = read_variable(*w.var, line, state);
  if (!value) return fail(std::move(value.error()));
  return *value * w.factor;
}

// The variables of an expression, read by read_variable; the first error stops it.
struct ExprContext {
  State& state;
  std::size_t line;
  std::optional<ParsingError> error;
};

std::optional<double> read_expr_variable(void* context, std::string_view name) {
  ExprContext& c = *static_cast<ExprContext*>(context);
  auto value = read_variable(name, c.line, c.state);
  if (!value) {
    c.error = std::move(value.error());
    return std::nullopt;
  }
  return *value;
}

// The value of compiled steps, the variables read in their order: a
// variable the table does not hold is given by `missing(name)` (a value, an
// error that stops the evaluation, or nothing to give it up).
template <typename Missing>
std::optional<errors::Result<double>> run_steps(const ExprProgram& program, State& state,
                                                Missing&& missing) {
  double stack[16];
  std::vector<double> more;  // a longer expression's values
  double* values = stack;
  if (program.steps.size() > std::size(stack)) {
    more.resize(program.steps.size());
    values = more.data();
  }
  std::size_t top = 0;
  for (const ExprStep& step : program.steps) {
    switch (step.op) {
      case ExprStep::Op::Number: values[top++] = step.number; break;
      case ExprStep::Op::Variable: {
        const double* value = step.name_hash != 0
                                  ? state.symbol_table.find_value(step.name, step.name_hash)
                                  : state.symbol_table.find_value(step.name);
        if (value != nullptr) {
          values[top++] = *value;
          break;
        }
        std::optional<errors::Result<double>> v = missing(step.name);
        if (!v) return std::nullopt;
        if (!*v) return std::move(*v);
        values[top++] = **v;
        break;
      }
      case ExprStep::Op::Negate: values[top - 1] = -values[top - 1]; break;
      case ExprStep::Op::Add: --top; values[top - 1] = values[top - 1] + values[top]; break;
      case ExprStep::Op::Sub: --top; values[top - 1] = values[top - 1] - values[top]; break;
      case ExprStep::Op::Mul: --top; values[top - 1] = values[top - 1] * values[top]; break;
      case ExprStep::Op::Div: --top; values[top - 1] = values[top - 1] / values[top]; break;
    }
  }
  return values[0];
}

errors::Result<double> expr_value(const Word::Expr& w, std::size_t line, State& state) {
  if (w.program != nullptr && !w.program->steps.empty()) {
    // a variable the table does not hold is read as the grammar reads it
    return *run_steps(*w.program, state, [&](const std::string& name) {
      return std::optional<errors::Result<double>>(
          interpret_rules::read_scalar_variable(name, line, state.line_text(line), state));
    });
  }
  ExprContext context{state, line, std::nullopt};
  if (auto v = evaluate_expr_text(w.text, &read_expr_variable, &context)) return *v;
  if (context.error) return fail(std::move(*context.error));
  return fail(errors::ParseError{"the expression '" + std::string(w.text) + "' could not be read"});
}

}  // namespace

errors::Status reject_string_variable(std::string_view name, const State& state, std::size_t line) {
  if (state.string_table.empty() || state.string_table.find(name) == state.string_table.end())
    return {};
  return fail(ParsingError::with_context(
      line, line_view(state, line), "assignment",
      "'" + std::string(name) + "' is a STRING variable; it cannot be assigned a number"));
}

bool lone_variable_is_text(const DecodeResult::Decoded& line, std::span<const Word> chunk_words,
                           const State& state) {
  if (state.string_table.empty()) return false;
  auto is_text = [&](std::string_view name) {
    const text::UpperBuf upper(name);
    return state.string_table.find(upper.view()) != state.string_table.end();
  };
  for (std::size_t i = line.words.begin; i < line.words.end; ++i) {
    const auto* e = std::get_if<Word::Expr>(&chunk_words[i].v);
    if (e != nullptr && !e->lone.empty() && (is_text(e->lone) || is_text(e->name))) return true;
  }
  return false;
}

namespace {

// Whether the line's cells may be staged: nothing in it that closing its row
// rewrites or warns about (a dwell, the first G91), no M word (its list
// cell), no rotation.
bool can_stage_line(const DecodeResult::Decoded& line, std::span<const Word> chunk_words,
               const OutputRows& rows, const State& state) {
  if (state.rotation_active) return false;
  for (std::size_t i = line.words.begin; i < line.words.end; ++i) {
    const Word& word = chunk_words[i];
    if (std::holds_alternative<Word::MCode>(word.v)) return false;
    if (const auto* g = std::get_if<Word::GCommand>(&word.v)) {
      if (g->group == modal_groups::kWaitColumn) return false;
      if (g->group == modal_groups::kMeasureModeColumn && !rows.warned_g91) return false;
    }
  }
  return true;
}

template <typename Cells>
errors::Result<Flow> write_line(const DecodeResult::Decoded& line, std::span<const Word> chunk_words,
                                OutputRows& rows, Cells& cells, State& state) {
  const std::size_t line_no = line.line_no;
  Flow flow = Flow::cont();
  // the block number first: no word of a decoded line with one writes N
  if (line.block_number) cells.text(columns().n, *line.block_number);
  for (std::size_t i = line.words.begin; i < line.words.end; ++i) {
    const Word& word = chunk_words[i];
    errors::Status st = std::visit(
        [&](const auto& w) -> errors::Status {
          using W = std::remove_cvref_t<decltype(w)>;
          if constexpr (std::is_same_v<W, Word::Number>) {
            return assign(w.name, w.value, false, line_no, rows, cells, state);
          } else if constexpr (std::is_same_v<W, Word::Product>) {
            auto value = product_value(w, line_no, state);
            if (!value) return fail(std::move(value.error()));
            return assign(w.name, *value, w.incremental, line_no, rows, cells, state);
          } else if constexpr (std::is_same_v<W, Word::Expr>) {
            auto value = expr_value(w, line_no, state);
            if (!value) return fail(std::move(value.error()));
            return assign(w.name, *value, false, line_no, rows, cells, state);
          } else if constexpr (std::is_same_v<W, Word::Call>) {
            // the call as written, blanks after a bare name included
            cells.text(columns().call, w.text);
            return {};
          } else if constexpr (std::is_same_v<W, Word::GCommand>) {
            const text::UpperBuf upper(w.text);
            const std::string_view u = upper.view();
            if (w.group == modal_groups::kPlaneColumn) {
              if (u == "G17") state.active_plane = 0;
              else if (u == "G18") state.active_plane = 1;
              else if (u == "G19") state.active_plane = 2;
            }
            if (u == w.text) cells.text(w.group, w.text);
            else cells.text_copy(w.group, u);
            return {};
          } else {
            static_assert(std::is_same_v<W, Word::MCode>);
            if constexpr (std::is_same_v<Cells, MapCells>) {
              if (auto st = interpret_rules::insert_m_key(cells.cells, w.text, line_no,
                                                          line_view(state, line_no));
                  !st)
                return st;
              if (interpret_rules::is_end_of_program_m_code(w.text)) flow = Flow::end();
            }
            return {};  // a staged line holds no M word (can_stage)
          }
        },
        word.v);
    if (!st) return fail(std::move(st.error()));
  }

  // the comment last of what the line writes, then the frame's arc centres,
  // as the grammar path writes them
  if (line.comment) cells.text(columns().comment, *line.comment);
  if constexpr (std::is_same_v<Cells, MapCells>) {
    if (auto st = state.finish_block_frame(cells.cells, line_no); !st) return fail(std::move(st.error()));
  }
  return flow;
}

}  // namespace

errors::Result<Flow> execute_decoded(const DecodeResult::Decoded& line,
                                     std::span<const Word> chunk_words, OutputRows& rows,
                                     State& state) {
  if (!line.has_content) return Flow::cont();
  if (auto st = rows.flush(); !st) return fail(std::move(st.error()));
  rows.row.line = line.line_no;
  if (rows.can_stage() && can_stage_line(line, chunk_words, rows, state)) {
    StagedCells cells{rows.staged};
    return write_line(line, chunk_words, rows, cells, state);
  }
  MapCells cells{rows.row.cells};
  return write_line(line, chunk_words, rows, cells, state);
}

namespace {

// The blocks of this thread's run as the decoder took them, by their node:
// a loop's body runs its blocks again on every pass, decoded once. A block
// the decoder refuses is remembered as refused. The words borrow the tree's
// text, so the blocks are forgotten when a run starts.
struct DecodedBlock {
  const types::ParseTree* tree = nullptr;
  std::uint32_t token = 0;
  bool taken = false;
  std::uint32_t runs = 0;  // up to 2: the block runs again, its expressions are compiled
  DecodeResult::Decoded line;
  std::vector<Word> words;
  std::vector<ExprProgram> programs;  // the steps of its expressions, once compiled
};

// The symbol table's hashes of the variables the steps read.
void hash_variables(ExprProgram& program) {
  for (ExprStep& step : program.steps)
    if (step.op == ExprStep::Op::Variable) step.name_hash = state::SymbolTable::key_hash(step.name);
}

// Writes down the steps of a block's expressions, which the words then run.
void compile_expressions(DecodedBlock& slot) {
  std::size_t n = 0;
  for (const Word& w : slot.words) n += std::holds_alternative<Word::Expr>(w.v);
  slot.programs.clear();
  slot.programs.reserve(n);  // the words point into it: it never grows
  for (Word& w : slot.words) {
    if (auto* e = std::get_if<Word::Expr>(&w.v)) {
      slot.programs.push_back(compile_expr_text(e->text));
      hash_variables(slot.programs.back());
      e->program = &slot.programs.back();
    }
  }
}
constexpr std::size_t kDecodedBlocks = 1024;  // a power of two

// The conditions of a parsed program compiled on their first evaluation,
// kept by node as the decoded blocks are: a loop's condition is read once
// for all its passes.
struct CompiledConditionSlot {
  const types::ParseTree* tree = nullptr;
  std::uint32_t token = 0;
  std::optional<CompiledCondition> condition;  // nothing: the tree's to evaluate
};
constexpr std::size_t kCompiledConditions = 256;  // a power of two

// The two caches of a thread's runs, the context of the shortcuts.
struct DecodedCaches {
  std::vector<DecodedBlock> blocks;
  std::vector<CompiledConditionSlot> conditions;
};
thread_local DecodedCaches decoded_caches;

}  // namespace

bool skimmable_line(std::string_view line) {
  const DecodeResult r = classify_line(line, 0);
  const DecodeResult::Decoded* d = r.decoded();
  return d != nullptr && d->has_content && !d->label;
}

void* fresh_decoded_blocks() {
  DecodedCaches& caches = decoded_caches;
  for (DecodedBlock& b : caches.blocks) b.tree = nullptr;
  for (CompiledConditionSlot& c : caches.conditions) c.tree = nullptr;
  if (caches.blocks.empty()) caches.blocks.resize(kDecodedBlocks);
  if (caches.conditions.empty()) caches.conditions.resize(kCompiledConditions);
  return &caches;
}

std::optional<errors::Result<bool>> run_compiled_condition(void* caches,
                                                           const types::Pair& condition,
                                                           State& state) {
  std::vector<CompiledConditionSlot>& conditions = static_cast<DecodedCaches*>(caches)->conditions;
  const types::ParseTree* tree = condition.tree().get();
  const std::uint32_t token = condition.token_index();
  CompiledConditionSlot& slot =
      conditions[(token * 0x9E3779B1u) >> 24 & (kCompiledConditions - 1)];
  if (slot.tree != tree || slot.token != token) {
    slot.condition = compile_condition_text(condition.as_str());
    if (slot.condition)
      for (ExprProgram& side : slot.condition->sides) hash_variables(side);
    slot.tree = tree;
    slot.token = token;
  }
  if (!slot.condition) return std::nullopt;
  // a variable the table does not hold (undefined, a text) is the tree's to read
  auto give_up = [](const std::string&) { return std::optional<errors::Result<double>>(); };
  const CompiledCondition& c = *slot.condition;
  std::optional<errors::Result<double>> left = run_steps(c.sides[0], state, give_up);
  if (!left) return std::nullopt;
  double l = **left;
  for (std::size_t i = 0; i < c.relations.size(); ++i) {
    std::optional<errors::Result<double>> right = run_steps(c.sides[i + 1], state, give_up);
    if (!right) return std::nullopt;
    const std::optional<bool> holds = interpret_rules::relation_holds(c.relations[i], l, **right);
    if (!holds) return std::nullopt;
    l = *holds ? 1.0 : 0.0;
  }
  return errors::Result<bool>(l != 0.0);
}

std::optional<errors::Result<Flow>> run_decodable_block(void* caches, const types::Pair& block,
                                                        OutputRows& rows, State& state) {
  std::vector<DecodedBlock>& blocks = static_cast<DecodedCaches*>(caches)->blocks;
  const types::ParseTree* tree = block.tree().get();
  const std::uint32_t token = block.token_index();
  DecodedBlock& slot = blocks[(token * 0x9E3779B1u) >> 22 & (kDecodedBlocks - 1)];
  if (slot.tree != tree || slot.token != token) {
    slot.tree = nullptr;  // until the block is decoded
    slot.words.clear();
    slot.programs.clear();
    slot.runs = 0;
    const std::string_view text = block.as_str();
    // a block over several lines (a structure with its body) is the tree's
    const bool one_line = std::memchr(text.data(), '\n', text.size()) == nullptr &&
                          std::memchr(text.data(), '\r', text.size()) == nullptr;
    const DecodeResult r = one_line
                               ? decode_line(text, interpret_rules::node_line(block), slot.words)
                               : DecodeResult{DecodeResult::NeedsGrammar{}};
    const DecodeResult::Decoded* d = r.decoded();
    // a blank block still closes the row before it: the tree's to run
    slot.taken = d != nullptr && d->has_content;
    if (slot.taken) slot.line = *d;
    slot.tree = tree;
    slot.token = token;
  }
  if (!slot.taken) return std::nullopt;
  if (needs_grammar_to_run(slot.line, slot.words, state))
    return run_line_by_grammar(block.as_str(), interpret_rules::node_line(block) - 1, rows, state);
  if (slot.runs < 2 && ++slot.runs == 2) compile_expressions(slot);
  return execute_decoded(slot.line, slot.words, rows, state);
}

}  // namespace kelvane::line_driver
