// The Python module `_internal`: the entry functions nc_to_rows and
// nc_to_batches and the module's definition. The iterators, the arguments,
// the run's outcome and the Arrow batches are parts of their own (py_*.cpp).
#include "py_arguments.hpp"
#include "py_batches.hpp"
#include "py_common.hpp"
#include "py_rows.hpp"
#include "worker.hpp"

namespace kelvane::lib {
namespace {

PyObject* make_spawn_error(int code) {
  std::string text = os_error_text(code);
  PyErr_Format(PyExc_ValueError, "failed to spawn interpreter thread: %s", text.c_str());
  return nullptr;
}

// The keywords of each function, in their order; the argument table in
// py_arguments.cpp converts them.
constexpr const char* kNcToRowsKeywords[] = {
    "input", "initial_state", "axis_identifiers", "extra_axes", "iteration_limit", "forward_fill",
    "include_variables", "axis_index_map", "allow_undefined_variables", "input_is_path",
    "flatten_tolerance"};
constexpr const char* kNcToBatchesKeywords[] = {
    "input", "batch_size", "initial_state", "axis_identifiers", "extra_axes", "iteration_limit",
    "disable_forward_fill", "axis_index_map", "allow_undefined_variables", "input_is_path",
    "flatten_tolerance", "include_line_numbers", "include_variables"};

PyObject* nc_to_rows(PyObject* module, PyObject* args, PyObject* kwargs) {
  release_kept();
  try {
    CallArgs a;
    if (!parse_arguments("nc_to_rows", kNcToRowsKeywords, args, kwargs, a)) return nullptr;
    if (!load_program(a)) return nullptr;
    auto run = worker::start_row_run(std::move(a.run), a.include_variables);
    if (!run) return make_spawn_error(run.error());
    return new_row_iterator(module_state(module), std::move(*run), a.forward_fill,
                            a.include_variables);
  } catch (const std::exception& e) {
    raise_from_cpp(e);
    return nullptr;
  }
}

PyObject* nc_to_batches(PyObject* module, PyObject* args, PyObject* kwargs) {
  release_kept();
  try {
    CallArgs a;
    if (!parse_arguments("nc_to_batches", kNcToBatchesKeywords, args, kwargs, a)) return nullptr;
    if (a.batch.batch_size == 0) {
      PyErr_SetString(PyExc_ValueError, "batch_size must be greater than 0");
      return nullptr;
    }
    if (!load_program(a)) return nullptr;
    a.batch.include_variables = a.include_variables;
    auto run = worker::start_batch_run(std::move(a.run), a.batch);
    if (!run) return make_spawn_error(run.error());
    return new_batch_iterator(module_state(module), std::move(*run), a.include_variables);
  } catch (const std::exception& e) {
    raise_from_cpp(e);
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Module definition

const char kNcToRowsDoc[] =
    "nc_to_rows(input, initial_state=None, axis_identifiers=None, extra_axes=None, "
    "iteration_limit=10000, forward_fill=True, include_variables=False, axis_index_map=None, "
    "allow_undefined_variables=False, input_is_path=False, flatten_tolerance=None)\n"
    "--\n"
    "\n"
    "Interpret an NC program lazily: returns an iterator of\n"
    "`(line_no, row_dict)` — or `(line_no, row_dict, variables_dict)` when\n"
    "`include_variables` is set — produced by the interpreter running on a\n"
    "worker thread. Rows are forward-filled like the batch DataFrame\n"
    "unless `forward_fill` is false.";

const char kNcToBatchesDoc[] =
    "nc_to_batches(input, batch_size=500000, initial_state=None, axis_identifiers=None, "
    "extra_axes=None, iteration_limit=10000, disable_forward_fill=False, axis_index_map=None, "
    "allow_undefined_variables=False, input_is_path=False, flatten_tolerance=None, "
    "include_line_numbers=False, include_variables=False)\n"
    "--\n"
    "\n"
    "Interpret an NC program lazily into columnar batches: returns an iterator\n"
    "of Arrow record batches, handed over without copying through the Arrow\n"
    "PyCapsule interface, each covering up to `batch_size` output rows and\n"
    "built column by column on a worker thread. Wrapping each batch as a\n"
    "DataFrame and concatenating them reconstructs the table of the whole\n"
    "program.";

PyMethodDef module_functions[] = {
    {"nc_to_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(nc_to_rows)),
     METH_VARARGS | METH_KEYWORDS, kNcToRowsDoc},
    {"nc_to_batches", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(nc_to_batches)),
     METH_VARARGS | METH_KEYWORDS, kNcToBatchesDoc},
    {nullptr, nullptr, 0, nullptr},
};

const char kNcErrorDoc[] =
    "NC parse/interpret error. Subclasses ValueError (so `except ValueError` still catches "
    "it) and carries the error's source location as data: the `line`, `column`, `context`, "
    "and `line_text` attributes (each an int / str, or None when not applicable), plus a "
    "stable `kind` string discriminating the error class (e.g. 'unexpected_axis', "
    "'undefined_variable') for branching without matching the message. `str(err)` is the "
    "full formatted message as before.";

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'",
                 type_name(module));
    return -1;
  }
  ModuleState* ms = module_state(module);
  if (ms == nullptr) return -1;
  if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
  ms->row_iter_type = PyType_FromModuleAndSpec(module, &row_iter_spec, nullptr);
  if (ms->row_iter_type == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "NcRowIterator", ms->row_iter_type) < 0) return -1;
  ms->batch_iter_type = PyType_FromModuleAndSpec(module, &batch_iter_spec, nullptr);
  if (ms->batch_iter_type == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "NcBatchIterator", ms->batch_iter_type) < 0) return -1;
  ms->nc_error = PyErr_NewExceptionWithDoc("_internal.NcError", kNcErrorDoc, PyExc_ValueError,
                                           nullptr);
  if (ms->nc_error == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "NcError", ms->nc_error) < 0) return -1;
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* ms = module_state(module);
  if (ms == nullptr) return 0;
  Py_VISIT(ms->row_iter_type);
  Py_VISIT(ms->batch_iter_type);
  Py_VISIT(ms->arrow_batch_type);
  Py_VISIT(ms->nc_error);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* ms = module_state(module);
  if (ms == nullptr) return 0;
  Py_CLEAR(ms->row_iter_type);
  Py_CLEAR(ms->batch_iter_type);
  Py_CLEAR(ms->arrow_batch_type);
  Py_CLEAR(ms->nc_error);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

const char kModuleDoc[] = "Define the Python module";

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_internal",
    kModuleDoc,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace kelvane::lib

PyMODINIT_FUNC PyInit__internal(void) { return PyModuleDef_Init(&kelvane::lib::module_def); }

#if PY_VERSION_HEX >= 0x030F0000
// The export hook of newer CPython releases: the same module as a slot table.
static PyModuleDef_Slot kelvane_export_slots[] = {
    {Py_mod_name, const_cast<char*>("_internal")},
    {Py_mod_doc, const_cast<char*>(kelvane::lib::kModuleDoc)},
    {Py_mod_state_size, reinterpret_cast<void*>(sizeof(kelvane::lib::ModuleState))},
    {Py_mod_state_traverse, reinterpret_cast<void*>(kelvane::lib::module_traverse)},
    {Py_mod_state_clear, reinterpret_cast<void*>(kelvane::lib::module_clear)},
    {Py_mod_state_free, reinterpret_cast<void*>(kelvane::lib::module_free)},
    {Py_mod_exec, reinterpret_cast<void*>(kelvane::lib::module_exec)},
    {0, nullptr},
};

PyMODEXPORT_FUNC PyModExport__internal(void) { return kelvane_export_slots; }
#endif
