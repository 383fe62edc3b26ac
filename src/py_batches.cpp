#include "py_batches.hpp"

#include <optional>

#include "output.hpp"
#include "py_arrow_batch.hpp"
#include "py_iterator.hpp"
#include "py_outcome.hpp"

namespace kelvane::lib {

using output::Receiver;
using output::Table;
using output::VariableEvents;
using state::FinalState;
using worker::Outcome;
using worker::WorkerHandle;

namespace {

struct BatchIterCore {
  std::optional<Receiver<Table>> batch_rx;
  std::optional<Receiver<Outcome>> result_rx;
  std::optional<Receiver<VariableEvents>> events_rx;
  std::optional<WorkerHandle> worker;
  std::optional<FinalState> final_state;
  std::optional<VariableEvents> variable_events;
};

using BatchIterObject = IterObject<BatchIterCore>;

PyObject* batch_iter_next_impl(BatchIterObject* self, BatchIterCore& core) {
  const ModuleState* ms = type_module_state(reinterpret_cast<PyObject*>(self));
  if (core.batch_rx) {
    std::optional<Table> table;
    const Wait got = recv_without_gil(*core.batch_rx, table);
    if (got == Wait::Value)
      return table_to_arrow_batch(reinterpret_cast<PyObject*>(Py_TYPE(self)), std::move(*table));
    core.batch_rx.reset();
    if (got == Wait::Interrupted) {
      // Ctrl-C: the receivers close, the worker is let go and stops, later
      // calls end the iteration
      core.result_rx.reset();
      core.events_rx.reset();
      core.worker.reset();  // detached
      return nullptr;
    }
  }
  take_outcome(ms, core.result_rx, core.worker, core.final_state, &core.events_rx,
               &core.variable_events);
  return nullptr;
}

PyObject* batch_iter_variable_names(PyObject* obj, void*) {
  auto* self = reinterpret_cast<BatchIterObject*>(obj);
  if (!iter_check(self)) return nullptr;
  if (!self->core->variable_events) Py_RETURN_NONE;
  return str_list_to_py(self->core->variable_events->names);
}

PyObject* batch_iter_variable_events(PyObject* obj, void*) {
  auto* self = reinterpret_cast<BatchIterObject*>(obj);
  if (!iter_check(self)) return nullptr;
  if (!self->core->variable_events) Py_RETURN_NONE;
  try {
    return table_to_arrow_batch(reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                self->core->variable_events->to_table());
  } catch (const std::exception& e) {
    raise_from_cpp(e);
    return nullptr;
  }
}

const char kVariableNamesDoc[] =
    "The variable names `name_id` indexes into (in first-seen order).\n"
    "`None` unless `include_variables` was set; available once exhausted.";

const char kVariableEventsDoc[] =
    "The sparse variable-change events (`include_variables=True`) as an\n"
    "Arrow record batch with columns `row_idx` (Int64, the output-row\n"
    "index the change is seen at), `name_id` (Int64, index into\n"
    "`variable_names`) and `value` (Float64). `None` when the iterator was\n"
    "created without `include_variables`. Available once exhausted.\n"
    "A polars DataFrame wraps it without copying: `pl.DataFrame(it.variable_events)`.";

PyGetSetDef batch_iter_getset[] = {
    {"state", iter_state<BatchIterObject>, nullptr, kStateDoc, nullptr},
    {"variable_names", batch_iter_variable_names, nullptr, kVariableNamesDoc, nullptr},
    {"variable_events", batch_iter_variable_events, nullptr, kVariableEventsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kBatchIterDoc[] =
    "Iterator over columnar batches: `next()` returns an Arrow record batch\n"
    "(an `ArrowBatch`) for up to `batch_size` output rows, built column by\n"
    "column while the interpreter runs on a worker thread behind a bounded\n"
    "channel, so memory stays bounded by the batch size. The batch builder\n"
    "carries the forward-fill state and the growing canonical column set\n"
    "across batches, so concatenating the batches reconstructs the table of\n"
    "the whole program.";

PyType_Slot batch_iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc<BatchIterObject>)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next<BatchIterObject, batch_iter_next_impl>)},
    {Py_tp_getset, batch_iter_getset},
    {Py_tp_doc, const_cast<char*>(kBatchIterDoc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec batch_iter_spec = {
    "_internal.NcBatchIterator", sizeof(BatchIterObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    batch_iter_slots,
};


PyObject* new_batch_iterator(const ModuleState* ms, worker::BatchRun&& run,
                             bool include_variables) {
  auto* obj = PyObject_New(BatchIterObject, reinterpret_cast<PyTypeObject*>(ms->batch_iter_type));
  if (obj == nullptr) return nullptr;
  obj->busy = false;
  obj->core = new BatchIterCore();
  obj->core->batch_rx.emplace(std::move(run.tables));
  obj->core->result_rx.emplace(std::move(run.outcome));
  if (include_variables) obj->core->events_rx.emplace(std::move(run.events));
  obj->core->worker.emplace(std::move(run.worker));
  return reinterpret_cast<PyObject*>(obj);
}

}  // namespace kelvane::lib
