#pragma once
// Program entry: runs one NC program text on an interpreter state into a row
// collector.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "types.hpp"

namespace kelvane::state { struct State; struct SourceText; }
namespace kelvane::output { struct OutputRows; }

namespace kelvane::interpreter {

// Runs a whole program: stores the text in the state, pre-scans its
// structures, and runs it through the line driver (no structure blocks and
// NC_STAGE1 not off) or parses it with the rule `file` and runs its blocks,
// on the frame-stack executor when NC_VM is "1". A jump left unresolved
// becomes JumpTargetNotFound. The last row is not flushed (that is
// OutputRows::finish).
errors::Status interpret_file(std::string_view source, state::State& state,
                              output::OutputRows& rows);
// The same for a text the state may share: it is not copied.
errors::Status interpret_file(state::SourceText source, state::State& state,
                              output::OutputRows& rows);

// Runs the initial-state program: as interpret_file, with every jump target
// it defines recorded for the hints of the main program's jumps, and its last
// row closed.
errors::Status interpret_initial_state(std::string_view source, state::State& state,
                                       output::OutputRows& rows);

// Installs the path flattener into `rows` when a tolerance is given.
errors::Status install_flattener(output::OutputRows& rows, const state::State& state,
                                 std::optional<double> tolerance);

// Whether the per-line fast path may be used (line_driver::stage1_enabled).
bool stage1_enabled();
// Whether NC_VM is exactly "1": the programs that take the grammar path then
// run on the frame-stack executor (vm.hpp) instead of the recursive block
// interpreter.
bool vm_requested();

}  // namespace kelvane::interpreter
