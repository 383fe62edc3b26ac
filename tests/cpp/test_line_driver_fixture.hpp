#pragma once
// Helpers of the line driver tests: run a program through the grammar path
// (rule `file`, interpret_blocks) or through interpret_lines, collecting rows,
// the outcome, the warnings and the final state.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "errors.hpp"
#include "interpret_rules.hpp"
#include "parse_explain.hpp"
#include "line_driver.hpp"
#include "output.hpp"
#include "state.hpp"
#include "types.hpp"

namespace kelvane::test {

using output::Row;
using types::Rule;
using types::Value;

// Sets an environment variable for the life of the object (unset = nullopt).
class EnvVar {
 public:
  EnvVar(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
  }
  ~EnvVar() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

struct Config {
  std::optional<std::vector<std::string>> axes;
  std::size_t iteration_limit = 10000;
  bool allow_undefined = false;
  std::string initial_state;  // run first through the grammar path, rows dropped
};

struct Outcome {
  std::vector<Row> rows;
  std::optional<std::string> error;       // the error's display text
  std::optional<std::string> error_kind;
  std::optional<std::size_t> error_line;
  std::string flow;                       // "continue", "end" or "jump"
  std::string warnings;                   // everything written to stderr
  std::optional<state::FinalState> final_state;
  // in batch mode: every batch, column by column, then the variable events
  std::vector<std::string> batches;
};

// How a run hands out its output: rows collected, or batches of `batch_size`
// rows with line numbers and variable events, written on the executor's
// thread or on a writer thread.
struct OutputMode {
  bool batches = false;
  std::size_t batch_size = 2;
  bool forward_fill = true;
  bool writer_thread = false;
};

inline state::State make_state(const Config& c) {
  auto st = state::build_state(c.axes, std::nullopt, c.iteration_limit, std::nullopt,
                               c.allow_undefined);
  EXPECT_TRUE(st.has_value());
  return std::move(*st);
}

inline const char* flow_name(const interpret_rules::Flow& f) {
  return f.is_continue() ? "continue" : f.is_end() ? "end" : "jump";
}

// The grammar path: the whole program parsed with `file` and run by interpret_blocks.
inline errors::Result<interpret_rules::Flow> run_grammar_path(state::State& state,
                                                              output::OutputRows& rows) {
  const std::string_view text = state.source_text();
  auto parsed = types::NCParser::parse(Rule::file, text);
  if (!parsed) {
    // framed like the line driver's parse errors, so that line, column and
    // explanation are compared
    const types::ParseFailure& f = parsed.error();
    return errors::fail(errors::ParseContext{f.column, state.line_text(f.line), "line parsing",
                                             parse_explain::describe_parse_error(f), f.line});
  }
  auto file = parsed->next();
  auto blocks = file->into_inner().next();
  return interpret_rules::interpret_blocks(blocks->with_line_offset(0), rows, state);
}

inline errors::Result<interpret_rules::Flow> run_line_path(state::State& state,
                                                           output::OutputRows& rows) {
  return line_driver::interpret_lines(state.source_text(), rows, state);
}

inline std::string show_table(const output::Table& t) {
  std::string s;
  for (const auto& c : t.columns) s += output::column_text(c) + "\n";
  return s;
}

template <typename Runner>
Outcome run_program(const std::string& program, const Config& config, Runner&& runner,
                    const OutputMode& mode = {}) {
  Outcome out;
  state::State state = make_state(config);
  testing::internal::CaptureStderr();
  if (!config.initial_state.empty()) {
    state.set_input(std::string_view(config.initial_state));
    auto init = output::OutputRows::collecting();
    auto r = run_grammar_path(state, init);
    EXPECT_TRUE(r.has_value());
    (void)init.finish();
  }
  state.set_input(std::string_view(program));
  auto [tables_tx, tables_rx] = output::make_unbounded_channel<output::Table>();
  auto [events_tx, events_rx] = output::make_unbounded_channel<output::VariableEvents>();
  auto rows = mode.batches ? output::OutputRows::batch_stream_with_line_numbers(
                                 std::move(tables_tx), mode.batch_size, !mode.forward_fill,
                                 true, std::move(events_tx), true)
                           : output::OutputRows::collecting();
  rows.track_variables = true;
  rows.batches_on_own_thread = mode.writer_thread;
  auto result = runner(state, rows);
  if (result) {
    if (const auto* jump = result->jump_request()) {
      const errors::ParsingError e = jump->into_not_found_error(state);
      out.error = e.message();
      out.error_kind = std::string(e.kind());
    }
    out.flow = flow_name(*result);
    out.final_state = state.final_state();
  } else {
    out.error = result.error().message();
    out.error_kind = std::string(result.error().kind());
    if (auto loc = result.error().location()) out.error_line = loc->line;
  }
  auto finished = rows.finish();
  out.warnings = testing::internal::GetCapturedStderr();
  if (finished) out.rows = std::move(*finished);
  if (mode.batches) {
    rows = output::OutputRows::collecting();  // closes the channels
    while (auto t = tables_rx.try_recv()) out.batches.push_back(show_table(*t));
    while (auto e = events_rx.try_recv()) out.batches.push_back(show_table(e->to_table()));
  }
  return out;
}

inline Outcome run_grammar(const std::string& program, const Config& config = {}) {
  return run_program(program, config, run_grammar_path);
}
inline Outcome run_lines(const std::string& program, const Config& config = {}) {
  return run_program(program, config, run_line_path);
}
inline Outcome run_grammar(const std::string& program, const Config& config,
                           const OutputMode& mode) {
  return run_program(program, config, run_grammar_path, mode);
}
inline Outcome run_lines(const std::string& program, const Config& config,
                         const OutputMode& mode) {
  return run_program(program, config, run_line_path, mode);
}

inline std::string show(const Value& v) {
  switch (types::value_kind(v)) {
    case types::ValueKind::Str:
      return "\"" + std::get<std::string>(v) + "\"";
    case types::ValueKind::Float:
      return errors::float_text(std::get<double>(v));
    case types::ValueKind::List: {
      std::string s = "[";
      for (const auto& m : std::get<std::vector<std::string>>(v)) s += m + " ";
      return s + "]";
    }
  }
  return "?";
}

// A row as text: line, cells in order and variable changes.
inline std::string show(const Row& row) {
  std::string s = "line " + std::to_string(row.line) + ":";
  for (const auto& cell : row.cells) s += " " + std::string(cell.name) + "=" + show(cell.value);
  for (const auto& [name, value] : row.variables) s += " $" + name + "=" + errors::float_text(value);
  return s;
}

template <typename Map>
std::vector<std::string> sorted_entries(const Map& m) {
  std::vector<std::string> out;
  for (const auto& [k, v] : m) {
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(v)>, double>)
      out.push_back(k + "=" + errors::float_text(v));
    else
      out.push_back(k + "=" + v);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Both paths must agree on everything: the error's whole text (a syntax
// error's explanation included), its kind and line, the outcome, the
// warnings, the rows and the final state.
inline void expect_same_outcome(const Outcome& a, const Outcome& b, const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(a.error, b.error);
  EXPECT_EQ(a.error_line, b.error_line);
  EXPECT_EQ(a.error_kind, b.error_kind);
  EXPECT_EQ(a.flow, b.flow);
  EXPECT_EQ(a.warnings, b.warnings);
  EXPECT_EQ(a.batches, b.batches);
  ASSERT_EQ(a.rows.size(), b.rows.size());
  for (std::size_t i = 0; i < a.rows.size(); ++i) EXPECT_EQ(show(a.rows[i]), show(b.rows[i])) << "row " << i;
  ASSERT_EQ(a.final_state.has_value(), b.final_state.has_value());
  if (a.final_state) {
    const auto& x = *a.final_state;
    const auto& y = *b.final_state;
    EXPECT_EQ(sorted_entries(x.axes), sorted_entries(y.axes));
    EXPECT_EQ(sorted_entries(x.symbol_table), sorted_entries(y.symbol_table));
    EXPECT_EQ(sorted_entries(x.translation), sorted_entries(y.translation));
    EXPECT_EQ(sorted_entries(x.string_table), sorted_entries(y.string_table));
    EXPECT_EQ(x.rotation, y.rotation);
  }
}

}  // namespace kelvane::test
