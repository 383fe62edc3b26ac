#pragma once
// The row iterator NcRowIterator: rows of a run as (line, {column: value})
// tuples, forward-filled unless asked not to.
#include "py_common.hpp"
#include "worker.hpp"

namespace kelvane::lib {

extern PyType_Spec row_iter_spec;

// A new row iterator over a started run; nullptr with the error set.
PyObject* new_row_iterator(const ModuleState* ms, worker::RowRun&& run, bool forward_fill,
                           bool include_variables);

}  // namespace kelvane::lib
