#pragma once
// The worker: one run of a program (state, initial-state program, main
// program, finish) on a thread of its own, feeding the row or batch channel
// its consumer reads, and ending with the run's outcome on a channel of its
// own.
#include <pthread.h>

#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "errors.hpp"
#include "limits.hpp"
#include "output.hpp"
#include "state.hpp"

namespace kelvane::worker {

// What a run takes over from its caller.
struct RunConfig {
  std::string program;
  // A text of the caller's that the run reads in place of `program`; its
  // owner is let go when the run no longer needs it.
  std::optional<state::SourceText> borrowed_program;
  std::optional<std::string> initial_state;
  std::optional<std::vector<std::string>> axis_identifiers;
  std::optional<std::vector<std::string>> extra_axes;
  std::size_t iteration_limit = limits::kDefaultIterationLimit;
  std::optional<std::vector<std::pair<std::string, std::size_t>>> axis_index_map;
  bool allow_undefined_variables = false;
  std::optional<double> flatten_tolerance;
};

// What a batch run adds.
struct BatchConfig {
  std::size_t batch_size = limits::kDefaultBatchSize;
  bool disable_forward_fill = false;
  bool include_line_numbers = false;
  bool include_variables = false;
};

// The steps of every run: state, initial-state program, main program,
// finish. `make_rows` builds the run's collector from the data senders it
// owns; `drop_senders` closes them when the run fails before that; `cancel`
// watches the main run's consumer, so that the initial-state program stops
// too once nobody can receive the rows.
errors::Result<state::FinalState> run_program(RunConfig& cfg, output::CancelProbe cancel,
                                              const std::function<output::OutputRows()>& make_rows,
                                              const std::function<void()>& drop_senders);

// ---------------------------------------------------------------------------
// Outcome of a run

// A self-contained copy of an interpretation error.
struct ErrInfo {
  std::string message;
  std::optional<errors::ErrorLocation> location;
  std::string_view kind;  // static text

  static ErrInfo from_error(const errors::ParsingError& e) {
    return ErrInfo{e.message(), e.location(), e.kind()};
  }
};

// A C++ failure of the worker outside the interpreter's own errors.
struct WorkerFailure {
  std::string what;
  bool out_of_memory = false;
};

using Outcome = std::variant<state::FinalState, ErrInfo, WorkerFailure>;

// ---------------------------------------------------------------------------
// The thread

// A started worker thread: joined once it has ended, detached when abandoned.
class WorkerHandle {
 public:
  explicit WorkerHandle(pthread_t t) : thread_(t) {}
  WorkerHandle(const WorkerHandle&) = delete;
  WorkerHandle& operator=(const WorkerHandle&) = delete;
  WorkerHandle(WorkerHandle&& o) noexcept : thread_(o.thread_), live_(std::exchange(o.live_, false)) {}
  ~WorkerHandle();
  void join();

 private:
  pthread_t thread_;
  bool live_ = true;
};

// Starts `body` on a thread "brandel" with a stack of
// limits::kWorkerStackSize; the error number when it cannot be made.
std::expected<WorkerHandle, int> spawn(std::function<void()> body);

// ---------------------------------------------------------------------------
// Runs on a worker

// A run streaming rows: rows, then the outcome once the rows have ended.
struct RowRun {
  output::Receiver<output::Row> rows;
  // where the consumer hands its rows back, for the worker to fill again
  std::shared_ptr<output::RowReturns> returns;
  output::Receiver<Outcome> outcome;
  WorkerHandle worker;
};
// Variable changes are recorded only when `include_variables`.
std::expected<RowRun, int> start_row_run(RunConfig cfg, bool include_variables);

// A run building batches: tables, then the outcome, then the variable
// events (sent only when the config includes them).
struct BatchRun {
  output::Receiver<output::Table> tables;
  output::Receiver<Outcome> outcome;
  output::Receiver<output::VariableEvents> events;
  WorkerHandle worker;
};
std::expected<BatchRun, int> start_batch_run(RunConfig cfg, BatchConfig bc);

}  // namespace kelvane::worker
