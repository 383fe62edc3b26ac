#pragma once
// The end of a run as Python sees it: the waits for the worker with the GIL
// released, the run's outcome taken after its data, its error raised as
// NcError, its final state as a dict.
#include <chrono>
#include <optional>

#include "output.hpp"
#include "py_common.hpp"
#include "state.hpp"
#include "worker.hpp"

namespace kelvane::lib {

// What a wait for the worker brought.
enum class Wait : std::uint8_t { Value, Closed, Interrupted };

// Waits for the next value of a channel with the GIL released, waking
// regularly to run Python's signal handlers (on the main thread); Interrupted,
// with the handler's exception set (KeyboardInterrupt for Ctrl-C), when one
// raises. A value already waiting is taken without releasing the GIL.
template <typename T>
Wait recv_without_gil(output::Receiver<T>& rx, std::optional<T>& out) {
  out = rx.try_recv();
  if (out) return Wait::Value;
  for (;;) {
    output::RecvStatus status;
    Py_BEGIN_ALLOW_THREADS
    status = rx.recv_for(out, limits::kSignalPoll);
    Py_END_ALLOW_THREADS
    if (status == output::RecvStatus::Ok) return Wait::Value;
    if (status == output::RecvStatus::Closed) return Wait::Closed;
    if (PyErr_CheckSignals() < 0) return Wait::Interrupted;
  }
}

void join_without_gil(worker::WorkerHandle& w);

// The end of the stream: takes the outcome at the end of the data channel,
// then the variable events where there is a channel for them, then joins the
// worker; false with the run's error set. Interrupted by a signal handler
// that raises, it closes the receivers and lets the worker go (the caller has
// closed the data channel), so that later calls end the iteration.
bool take_outcome(const ModuleState* ms, std::optional<output::Receiver<worker::Outcome>>& result_rx,
                  std::optional<worker::WorkerHandle>& worker,
                  std::optional<state::FinalState>& final_state,
                  std::optional<output::Receiver<output::VariableEvents>>* events_rx = nullptr,
                  std::optional<output::VariableEvents>* events = nullptr);

// The final state as {axes, symbol_table, translation, rotation, string_table}.
PyObject* final_state_to_py(const state::FinalState& fs);

}  // namespace kelvane::lib
