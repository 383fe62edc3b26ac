#pragma once
// What the fuzz targets share: the input's option byte, runs of a program on
// one execution path with its rows, warnings, error and final state written
// down as text, and the capture of standard error where warnings go.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output.hpp"
#include "state.hpp"

namespace kelvane::fuzz {

// A fuzz input: an optional leading option byte (a control character other
// than a line end or tab), an optional initial-state program ending at the
// first NUL byte, then the program. Seeds are plain programs.
struct Input {
  std::uint8_t options = 0;
  std::optional<std::string_view> initial_state;
  std::string_view program;
};
Input split_input(const std::uint8_t* data, std::size_t size);

// The execution paths of one program.
enum class Path : std::uint8_t {
  LineDriver,           // the per-line fast path, in memory
  LineDriverStreaming,  // the per-line fast path, line by line
  Grammar,              // the whole-program parse, recursive executor
  FrameStack,           // the whole-program parse, frame-stack executor
};
const char* path_name(Path p);

struct RunSettings {
  Path path = Path::LineDriver;
  std::size_t iteration_limit = 50;
  std::optional<double> flatten_tolerance;
  bool allow_undefined_variables = false;
};

// Everything a run hands out, as comparable text.
struct Outcome {
  std::vector<output::Row> rows;
  std::string warnings;    // what the run wrote to standard error
  std::string error_kind;  // empty after a successful run
  std::size_t error_line = 0;
  std::string error_message;
  std::optional<state::FinalState> final_state;  // after a successful run
  // The final state's entries folded in any order, so that paths are
  // compared without sorting what may be millions of array elements.
  std::uint64_t final_state_digest = 0;
  std::size_t row_count = 0;
  bool ended_at_row_cap = false;  // the consumer hung up
};

// Runs the initial-state program (when given) and the program on one path,
// as the worker does, collecting at most `row_cap` rows (then the consumer
// hangs up and the run ends with the stream closed).
Outcome run(const Input& input, const RunSettings& settings, std::size_t row_cap);

// The batches of a run on one path, as text: every batch column by column
// (entries and nulls, `batch_size` rows a batch, line numbers and variable
// events included), then the variable events, then the error's kind and
// line when the run failed.
std::string batches_text(const Input& input, const RunSettings& settings, std::size_t batch_size);

// A row as one line of text: source line, cells in row order, variables.
std::string row_text(const output::Row& row);

// Whether two rows hold the same: source line, the same cells in the same
// order (values as their text shows them, so NaN equals NaN), and the same
// variable changes in the same order.
bool same_row(const output::Row& a, const output::Row& b);

// The two outcomes side by side, for a crash report.
std::string describe_difference(const Outcome& a, const char* a_name, const Outcome& b,
                                const char* b_name);

}  // namespace kelvane::fuzz
