#include "worker.hpp"

#include <exception>
#include <memory>
#include <new>
#include <tuple>

#include "interpreter.hpp"
#include "line_driver.hpp"

namespace kelvane::worker {

using output::Receiver;
using output::Row;
using output::Sender;
using output::Table;
using output::VariableEvents;

errors::Result<state::FinalState> run_program(RunConfig& cfg, output::CancelProbe cancel,
                                              const std::function<output::OutputRows()>& make_rows,
                                              const std::function<void()>& drop_senders) {
  auto built = state::build_state(std::move(cfg.axis_identifiers), std::move(cfg.extra_axes),
                                  cfg.iteration_limit, std::move(cfg.axis_index_map),
                                  cfg.allow_undefined_variables);
  if (!built) {
    drop_senders();
    return errors::fail(std::move(built.error()));
  }
  state::State& st = *built;
  if (cfg.initial_state) {
    // its rows are never used: they are dropped as they are made
    output::OutputRows collector = output::OutputRows::discarding(std::move(cancel));
    errors::Status r = interpreter::interpret_initial_state(*cfg.initial_state, st, collector);
    if (!r) {
      drop_senders();
      return errors::fail(std::move(r.error()));
    }
    cfg.initial_state.reset();
  }
  output::OutputRows rows = make_rows();
  if (errors::Status r = interpreter::install_flattener(rows, st, cfg.flatten_tolerance); !r)
    return errors::fail(std::move(r.error()));
  // the state shares the program text: one copy for the run, or none
  state::SourceText text;
  if (cfg.borrowed_program) {
    text = std::move(*cfg.borrowed_program);
    cfg.borrowed_program.reset();
  } else {
    auto own = std::make_shared<const std::string>(std::move(cfg.program));
    text = state::SourceText{std::string_view(*own), own};
  }
  if (errors::Status r = interpreter::interpret_file(std::move(text), st, rows); !r)
    return errors::fail(std::move(r.error()));
  {
    auto finished = rows.finish();
    if (!finished) return errors::fail(std::move(finished.error()));
  }
  return st.final_state();
}

namespace {

// The worker's last step: the outcome, unless the consumer is gone. `run`
// owns the data senders, so the data channels are closed before the outcome
// is sent.
template <typename Run>
void send_outcome(Sender<Outcome>& outcome_tx, Run run) {
  std::optional<Outcome> outcome;
  try {
    errors::Result<state::FinalState> result = run();
    if (result) {
      outcome.emplace(std::move(*result));
    } else if (!result.error().is<errors::StreamClosed>()) {
      outcome.emplace(ErrInfo::from_error(result.error()));
    }
  } catch (const std::bad_alloc&) {
    outcome.emplace(WorkerFailure{"out of memory", true});
  } catch (const std::exception& e) {
    outcome.emplace(WorkerFailure{e.what(), false});
  }
  if (outcome) outcome_tx.send(std::move(*outcome));
  outcome_tx.close();
}

}  // namespace

std::expected<RowRun, int> start_row_run(RunConfig cfg, bool include_variables) {
  auto [rows_tx, rows_rx] = output::make_channel<Row>(limits::kRowChannelCapacity, limits::kRowChannelWeight);
  auto [outcome_tx, outcome_rx] = output::make_channel<Outcome>(1);
  auto returns = std::make_shared<output::RowReturns>();
  auto job = std::make_shared<std::tuple<RunConfig, Sender<Row>, Sender<Outcome>>>(
      std::move(cfg), std::move(rows_tx), std::move(outcome_tx));
  auto worker = spawn([job, include_variables, returns]() mutable {
    auto& [cfg, rows_tx, outcome_tx] = *job;
    send_outcome(outcome_tx, [&] {
      Sender<Row> tx = std::move(rows_tx);
      return run_program(
          cfg, tx.cancel_probe(),
          [&] {
            auto rows = output::OutputRows::streaming(std::move(tx), std::move(returns));
            // Variable changes are recorded only for a consumer that shows
            // them: a DEF records one per element, and rows holding nothing
            // else would fill the row channel for nobody.
            rows.track_variables = include_variables;
            return rows;
          },
          [&] { tx.close(); });
    });
    job.reset();  // the program text and the senders go before the thread ends
  });
  if (!worker) return std::unexpected(worker.error());
  return RowRun{std::move(rows_rx), std::move(returns), std::move(outcome_rx), std::move(*worker)};
}

std::expected<BatchRun, int> start_batch_run(RunConfig cfg, BatchConfig bc) {
  auto [tables_tx, tables_rx] = output::make_channel<Table>(limits::kTableChannelCapacity);
  auto [outcome_tx, outcome_rx] = output::make_channel<Outcome>(1);
  auto [events_tx, events_rx] = output::make_unbounded_channel<VariableEvents>();
  auto job = std::make_shared<
      std::tuple<RunConfig, BatchConfig, Sender<Table>, Sender<VariableEvents>, Sender<Outcome>>>(
      std::move(cfg), bc, std::move(tables_tx), std::move(events_tx), std::move(outcome_tx));
  auto worker = spawn([job]() mutable {
    auto& [cfg, bc, tables_tx, events_tx, outcome_tx] = *job;
    send_outcome(outcome_tx, [&] {
      Sender<Table> ttx = std::move(tables_tx);
      Sender<VariableEvents> etx = std::move(events_tx);
      return run_program(
          cfg, ttx.cancel_probe(),
          [&] {
            auto rows = output::OutputRows::batch_stream_with_line_numbers(
                std::move(ttx), bc.batch_size, bc.disable_forward_fill, bc.include_variables,
                std::move(etx), bc.include_line_numbers);
            // a writer thread pays only beside the executor and the parse,
            // each on a core of its own: on two cores it slows the run down.
            // Programs without structures write their rows on the executor's
            // thread whatever the cores (see line_driver::interpret_lines).
            rows.batches_on_own_thread = line_driver::pool_threads() >= 3;
            return rows;
          },
          [&] {
            etx.close();
            ttx.close();
          });
    });
    job.reset();
  });
  if (!worker) return std::unexpected(worker.error());
  return BatchRun{std::move(tables_rx), std::move(outcome_rx), std::move(events_rx),
                  std::move(*worker)};
}

}  // namespace kelvane::worker
