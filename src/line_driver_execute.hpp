#pragma once
// The executor of decoded lines: writes a decoded line's cells and updates
// the interpreter state as the grammar path would for the same line.
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "errors.hpp"
#include "interpret_rules.hpp"
#include "line_driver_decode.hpp"
#include "output.hpp"
#include "state.hpp"

namespace kelvane::line_driver {

using interpret_rules::Flow;

// Runs one decoded line: closes the previous row (unless the line has no
// content), writes this line's cells and updates the state. Continue or End.
errors::Result<Flow> execute_decoded(const DecodeResult::Decoded& line,
                                     std::span<const Word> chunk_words, output::OutputRows& rows,
                                     state::State& state);

// Whether a decoded line is the grammar's to run after all: the variable of
// one of its lone-variable expressions, or the name that expression is
// assigned to, is a STRING variable, so that a text would be read or
// assigned where the decoded line handles numbers.
bool lone_variable_is_text(const DecodeResult::Decoded& line, std::span<const Word> chunk_words,
                           const state::State& state);
inline bool needs_grammar_to_run(const DecodeResult::Decoded& line,
                                 std::span<const Word> chunk_words, const state::State& state) {
  return line.has_lone_variable && lone_variable_is_text(line, chunk_words, state);
}

// Runs line `index` (0-based) of the state's source, `text` without its line
// end, as the grammar parses it on its own.
errors::Result<Flow> run_line_by_grammar(std::string_view text, std::size_t index,
                                         output::OutputRows& rows, state::State& state);

// A block of a parsed program run as the decoded line it is, when the
// decoder takes its text (one line, no control); nothing otherwise. The
// whole-program executors use it as their block shortcut, with the caches
// of fresh_decoded_blocks as its context.
std::optional<errors::Result<Flow>> run_decodable_block(void* caches, const types::Pair& block,
                                                        output::OutputRows& rows,
                                                        state::State& state);

// Whether a line of a parsed program may stand as a block without the nodes
// of its words: run_decodable_block runs it from its text (it has content
// and no label, which a jump table would read from its node).
bool skimmable_line(std::string_view line);

// A condition of a parsed program evaluated from steps compiled once (see
// compile_condition_text), when the decoder takes its text and the table
// holds its variables; nothing otherwise. The whole-program executors use it
// as their condition shortcut.
std::optional<errors::Result<bool>> run_compiled_condition(void* caches,
                                                           const types::Pair& condition,
                                                           state::State& state);

// This thread's caches of the blocks run_decodable_block decoded and the
// conditions run_compiled_condition compiled, emptied (they were kept by the
// nodes of a run that is over): the context of the two shortcuts for a run.
void* fresh_decoded_blocks();

// Refuses a number assigned to a STRING variable (`name` upper-cased).
errors::Status reject_string_variable(std::string_view name, const state::State& state,
                                      std::size_t line);

}  // namespace kelvane::line_driver
