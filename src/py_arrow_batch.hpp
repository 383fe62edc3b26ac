#pragma once
// ArrowBatch: one batch handed to Python through the Arrow PyCapsule
// interface (`__arrow_c_array__`).
#include "output.hpp"
#include "py_common.hpp"

namespace kelvane::lib {

// A new ArrowBatch of a table (consumed), its type made on first use in the
// module of `owner_type`; ValueError when it cannot be made.
PyObject* table_to_arrow_batch(PyObject* owner_type, output::Table&& table);

}  // namespace kelvane::lib
