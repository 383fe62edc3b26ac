#pragma once
// The batch iterator NcBatchIterator: a run's output as Arrow batches, and
// its variable events once it has ended.
#include "py_common.hpp"
#include "worker.hpp"

namespace kelvane::lib {

extern PyType_Spec batch_iter_spec;

// A new batch iterator over a started run; nullptr with the error set.
PyObject* new_batch_iterator(const ModuleState* ms, worker::BatchRun&& run,
                             bool include_variables);

}  // namespace kelvane::lib
