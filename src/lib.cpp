// The Python module `_internal`: the entry functions nc_to_rows and
// nc_to_batches, their worker thread, the row and batch iterators, the
// exception NcError and the ArrowBatch handing batches out as capsules.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <expected>
#include <functional>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include <tsl/robin_map.h>

#include "arrow_export.hpp"
#include "errors.hpp"
#include "interpreter.hpp"
#include "limits.hpp"
#include "number_text.hpp"
#include "output.hpp"
#include "state.hpp"
#include "worker.hpp"

namespace kelvane::lib {
namespace {

using errors::ErrorLocation;
using errors::ParsingError;
using output::Receiver;
using output::Row;
using output::Sender;
using output::Table;
using output::VariableEvents;
using state::FinalState;
using types::Value;
using worker::BatchConfig;
using worker::ErrInfo;
using worker::Outcome;
using worker::RunConfig;
using worker::WorkerFailure;
using worker::WorkerHandle;

// ---------------------------------------------------------------------------
// An owned reference to a Python object.

class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* p) noexcept : p_(p) {}  // takes over a new reference
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Module state

struct ModuleState {
  PyObject* row_iter_type = nullptr;
  PyObject* batch_iter_type = nullptr;
  PyObject* arrow_batch_type = nullptr;  // made on first use
  PyObject* nc_error = nullptr;
};

ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// Raises a C++ exception caught at the Python boundary as a Python one.
void raise_from_cpp(const std::exception& e) {
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) {
    PyErr_NoMemory();
  } else {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
  }
}

// The text of an operating-system error as it is reported to the user.
std::string os_error_text(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

// ---------------------------------------------------------------------------
// Errors and final state

PyObject* opt_size_to_py(const std::optional<std::size_t>& v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromSize_t(*v);
}
PyObject* opt_text_to_py(const std::optional<std::string>& v) {
  if (!v) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(v->data(), static_cast<Py_ssize_t>(v->size()), "replace");
}

// Sets the exception of an ErrInfo: NcError(message) with its attributes.
void raise_err_info(const ModuleState* ms, const ErrInfo& info) {
  if (ms == nullptr || ms->nc_error == nullptr) {
    // the module was torn down while the iterator lived on
    PyErr_Format(PyExc_RuntimeError, "%s", info.message.c_str());
    return;
  }
  PyRef msg(PyUnicode_DecodeUTF8(info.message.data(),
                                 static_cast<Py_ssize_t>(info.message.size()), "replace"));
  if (!msg) return;
  PyRef exc(PyObject_CallOneArg(ms->nc_error, msg.get()));
  if (!exc) return;
  auto set = [&](const char* name, PyObject* value) {
    if (value == nullptr || PyObject_SetAttrString(exc.get(), name, value) < 0) PyErr_Clear();
    Py_XDECREF(value);
  };
  set("kind", PyUnicode_FromStringAndSize(info.kind.data(),
                                          static_cast<Py_ssize_t>(info.kind.size())));
  const auto& loc = info.location;
  set("line", loc ? PyLong_FromSize_t(loc->line) : Py_NewRef(Py_None));
  set("column", loc ? opt_size_to_py(loc->column) : Py_NewRef(Py_None));
  set("context", loc ? opt_text_to_py(loc->context) : Py_NewRef(Py_None));
  set("line_text", loc ? opt_text_to_py(loc->line_text) : Py_NewRef(Py_None));
  PyErr_SetObject(ms->nc_error, exc.get());
}

void raise_worker_failure(const WorkerFailure& f) {
  if (f.out_of_memory) {
    PyErr_NoMemory();
  } else {
    PyErr_Format(PyExc_RuntimeError, "interpreter thread failed: %s", f.what.c_str());
  }
}

PyObject* text_to_py(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

template <typename Map, typename Conv>
PyObject* map_to_dict(const Map& map, Conv conv) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [k, v] : map) {
    PyRef key(text_to_py(k));
    if (!key) return nullptr;
    PyRef value(conv(v));
    if (!value) return nullptr;
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* final_state_to_py(const FinalState& fs) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  auto put = [&](const char* key, PyObject* value) {
    PyRef v(value);
    return v && PyDict_SetItemString(dict.get(), key, v.get()) == 0;
  };
  auto f = [](double x) { return PyFloat_FromDouble(x); };
  if (!put("axes", map_to_dict(fs.axes, f))) return nullptr;
  if (!put("symbol_table", map_to_dict(fs.symbol_table, f))) return nullptr;
  if (!put("translation", map_to_dict(fs.translation, f))) return nullptr;
  PyRef rotation(PyList_New(3));
  if (!rotation) return nullptr;
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyObject* row = PyList_New(3);
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(rotation.get(), i, row);
    for (Py_ssize_t j = 0; j < 3; ++j) {
      PyObject* x = PyFloat_FromDouble(fs.rotation[i][j]);
      if (x == nullptr) return nullptr;
      PyList_SET_ITEM(row, j, x);
    }
  }
  if (!put("rotation", rotation.release())) return nullptr;
  if (!put("string_table", map_to_dict(fs.string_table, [](const std::string& s) {
             return text_to_py(s);
           })))
    return nullptr;
  return dict.release();
}

// ---------------------------------------------------------------------------
// Cell conversion

enum class CellClass : std::uint8_t { M, N, Text, Number };

CellClass classify_column(std::string_view name) {
  if (name == "M") return CellClass::M;
  if (name == "N") return CellClass::N;
  if (output::is_string_column(name)) return CellClass::Text;
  return CellClass::Number;
}

PyObject* str_list_to_py(const std::vector<std::string>& v) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* s = text_to_py(v[i]);
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

PyObject* cell_to_py(CellClass cls, const Value& value) {
  if (const auto* list = std::get_if<std::vector<std::string>>(&value))
    return str_list_to_py(*list);
  if (const auto* s = std::get_if<std::string>(&value)) {
    switch (cls) {
      case CellClass::M: {
        PyRef item(text_to_py(*s));
        if (!item) return nullptr;
        PyObject* list = PyList_New(1);
        if (list != nullptr) PyList_SET_ITEM(list, 0, item.release());
        return list;
      }
      case CellClass::N: {
        if (auto i = output::parse_int_or_truncated(*s)) return PyLong_FromLongLong(*i);
        Py_RETURN_NONE;
      }
      case CellClass::Text:
        return text_to_py(*s);
      case CellClass::Number: {
        if (auto f = output::parse_float(*s)) return PyFloat_FromDouble(*f);
        Py_RETURN_NONE;
      }
    }
  }
  double x = std::get<double>(value);
  switch (cls) {
    case CellClass::M: {
      PyRef item(text_to_py(errors::float_text(x)));
      if (!item) return nullptr;
      PyObject* list = PyList_New(1);
      if (list != nullptr) PyList_SET_ITEM(list, 0, item.release());
      return list;
    }
    case CellClass::N:
      return PyLong_FromLongLong(output::truncate_to_int(x));
    case CellClass::Text:
      return text_to_py(errors::float_text(x));
    case CellClass::Number:
      break;
  }
  return PyFloat_FromDouble(x);
}

// ---------------------------------------------------------------------------
// Column keys of row dicts, made once per column name and iterator

struct ColumnKey {
  std::string name;
  PyObject* key = nullptr;  // owned
  CellClass cls = CellClass::Number;
  bool forward_filled = true;
};

struct PtrLen {
  const char* p;
  std::size_t n;
  bool operator==(const PtrLen& o) const { return p == o.p && n == o.n; }
};
struct PtrLenHash {
  std::size_t operator()(const PtrLen& k) const noexcept {
    return std::hash<const void*>{}(k.p) ^ (k.n * 0x9E3779B97F4A7C15ULL);
  }
};

// One key per column text: rows may carry different copies of the same name
// (an interned one, a literal), and they are one column. The address of the
// name only serves as a shortcut to the key of its text.
class KeyCache {
 public:
  ~KeyCache() {
    for (auto& [k, v] : by_text_) Py_XDECREF(v->key);
  }
  // The key of a column name; nullptr with an exception set on failure.
  const ColumnKey* get(std::string_view name) {
    PtrLen address{name.data(), name.size()};
    auto seen = by_address_.find(address);
    if (seen != by_address_.end() && seen->second->name == name) return seen->second;
    const ColumnKey* out;
    if (auto it = by_text_.find(name); it != by_text_.end()) {
      out = it->second.get();
    } else {
      auto entry = std::make_unique<ColumnKey>();
      entry->name = std::string(name);
      entry->key = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
      if (entry->key == nullptr) return nullptr;
      PyUnicode_InternInPlace(&entry->key);
      entry->cls = classify_column(name);
      entry->forward_filled = output::is_forward_filled_column(name);
      out = entry.get();
      by_text_.emplace(std::string_view(out->name), std::move(entry));  // views the entry's own text
    }
    if (seen != by_address_.end()) seen.value() = out;
    else by_address_.emplace(address, out);
    return out;
  }

 private:
  output::FxMap<std::unique_ptr<ColumnKey>> by_text_;
  tsl::robin_map<PtrLen, const ColumnKey*, PtrLenHash> by_address_;
};

// The Python side of a carried value: its column's key, and its Python form
// once made.
struct CarriedObject {
  const ColumnKey* column;
  PyObject* obj = nullptr;  // owned; kept only for immutable objects
};

// ---------------------------------------------------------------------------
// NcRowIterator

struct RowIterCore {
  std::optional<Receiver<Row>> row_rx;
  std::optional<Receiver<Outcome>> result_rx;
  std::optional<WorkerHandle> worker;
  output::Carried<Value> carried;
  std::vector<CarriedObject> carried_objects;  // one per carried value, at its position
  std::optional<FinalState> final_state;
  bool forward_fill = true;
  bool include_variables = false;
  KeyCache keys;

  ~RowIterCore() {
    for (auto& c : carried_objects) Py_XDECREF(c.obj);
  }
};

struct RowIterObject {
  PyObject_HEAD
  RowIterCore* core;
  bool busy;
};

const char* const kBorrowed = "Already borrowed";
const char* const kMutablyBorrowed = "Already mutably borrowed";

// tp_dealloc of both iterator types.
template <typename IterObject>
void iter_dealloc(PyObject* self) {
  auto* it = reinterpret_cast<IterObject*>(self);
  PyTypeObject* tp = Py_TYPE(self);
  delete it->core;  // closes the receivers; the worker is detached
  it->core = nullptr;
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* iter_self(PyObject* self) {
  // both iterator objects start with the same header and busy flag layout
  auto* it = reinterpret_cast<RowIterObject*>(self);
  if (it->busy) {
    PyErr_SetString(PyExc_RuntimeError, kBorrowed);
    return nullptr;
  }
  return Py_NewRef(self);
}

// tp_iternext of both iterator types: `Impl(self, core)` runs while the
// iterator is marked borrowed; a C++ exception becomes a Python error.
template <typename IterObject, auto Impl>
PyObject* iter_next(PyObject* obj) {
  auto* self = reinterpret_cast<IterObject*>(obj);
  if (self->busy) {
    PyErr_SetString(PyExc_RuntimeError, kBorrowed);
    return nullptr;
  }
  self->busy = true;
  PyObject* out = nullptr;
  try {
    out = Impl(self, *self->core);
  } catch (const std::exception& e) {
    raise_from_cpp(e);
  }
  self->busy = false;
  return out;
}

// Whether a getter may read the iterator (not inside its own `next()`);
// false with the error set.
template <typename IterObject>
bool iter_check(IterObject* self) {
  if (self->busy) {
    PyErr_SetString(PyExc_RuntimeError, kMutablyBorrowed);
    return false;
  }
  return true;
}

// The `state` getter of both iterator types.
template <typename IterObject>
PyObject* iter_state(PyObject* obj, void*) {
  auto* self = reinterpret_cast<IterObject*>(obj);
  if (!iter_check(self)) return nullptr;
  if (!self->core->final_state) Py_RETURN_NONE;
  return final_state_to_py(*self->core->final_state);
}

// What a wait for the worker brought.
enum class Wait : std::uint8_t { Value, Closed, Interrupted };

// Waits for the next value of a channel with the GIL released, waking
// regularly to run Python's signal handlers (on the main thread); Interrupted,
// with the handler's exception set (KeyboardInterrupt for Ctrl-C), when one
// raises. A value already waiting is taken without releasing the GIL.
template <typename T>
Wait recv_without_gil(Receiver<T>& rx, std::optional<T>& out) {
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

void join_without_gil(WorkerHandle& w) {
  Py_BEGIN_ALLOW_THREADS
  w.join();
  Py_END_ALLOW_THREADS
}

// The end of the stream: takes the outcome at the end of the data channel,
// then the variable events where there is a channel for them, then joins the
// worker; false with the run's error set. Interrupted by a signal handler
// that raises, it closes the receivers and lets the worker go (the caller has
// closed the data channel), so that later calls end the iteration.
bool take_outcome(const ModuleState* ms, std::optional<Receiver<Outcome>>& result_rx,
                  std::optional<WorkerHandle>& worker, std::optional<FinalState>& final_state,
                  std::optional<Receiver<VariableEvents>>* events_rx = nullptr,
                  std::optional<VariableEvents>* events = nullptr) {
  auto abandon = [&] {
    result_rx.reset();
    if (events_rx) events_rx->reset();
    worker.reset();  // detached
    return false;
  };
  if (result_rx) {
    std::optional<Outcome> outcome;
    if (recv_without_gil(*result_rx, outcome) == Wait::Interrupted) return abandon();
    result_rx.reset();
    if (outcome) {
      if (auto* fs = std::get_if<FinalState>(&*outcome)) {
        final_state = std::move(*fs);
      } else {
        if (events_rx) events_rx->reset();
        if (worker) {
          join_without_gil(*worker);
          worker.reset();
        }
        if (auto* info = std::get_if<ErrInfo>(&*outcome))
          raise_err_info(ms, *info);
        else
          raise_worker_failure(std::get<WorkerFailure>(*outcome));
        return false;
      }
    }
  }
  if (events_rx && *events_rx) {
    std::optional<VariableEvents> received;
    if (recv_without_gil(**events_rx, received) == Wait::Interrupted) return abandon();
    events_rx->reset();
    if (received) *events = std::move(*received);
  }
  if (worker) {
    join_without_gil(*worker);
    worker.reset();
  }
  return true;
}

PyObject* build_row_dict(RowIterCore& core, Row& row) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  if (row.cells.empty()) return dict.release();
  if (core.forward_fill) {
    for (auto& cell : row.cells) {
      const ColumnKey* key = core.keys.get(cell.name);
      if (key == nullptr) return nullptr;
      if (!key->forward_filled) continue;
      // room first, so that the two lists stay in step when memory runs out
      core.carried_objects.reserve(core.carried.entries().size() + 1);
      const auto [at, changed] = core.carried.carry(cell.name, cell.value);
      if (at == core.carried_objects.size())
        core.carried_objects.push_back(CarriedObject{key, nullptr});
      else if (changed)
        Py_CLEAR(core.carried_objects[at].obj);
    }
    const auto& carried = core.carried.entries();
    for (std::size_t i = 0; i < carried.size(); ++i) {
      CarriedObject& c = core.carried_objects[i];
      PyObject* value = c.obj;
      PyRef fresh;
      if (value == nullptr) {
        fresh = PyRef(cell_to_py(c.column->cls, carried[i].value));
        if (!fresh) return nullptr;
        if (PyList_Check(fresh.get())) {
          value = fresh.get();
        } else {
          c.obj = fresh.release();
          value = c.obj;
        }
      }
      if (PyDict_SetItem(dict.get(), c.column->key, value) < 0) return nullptr;
    }
    for (auto& cell : row.cells) {
      const ColumnKey* key = core.keys.get(cell.name);
      if (key == nullptr) return nullptr;
      if (key->forward_filled) continue;
      PyRef value(cell_to_py(key->cls, cell.value));
      if (!value || PyDict_SetItem(dict.get(), key->key, value.get()) < 0) return nullptr;
    }
  } else {
    for (auto& cell : row.cells) {
      const ColumnKey* key = core.keys.get(cell.name);
      if (key == nullptr) return nullptr;
      PyRef value(cell_to_py(key->cls, cell.value));
      if (!value || PyDict_SetItem(dict.get(), key->key, value.get()) < 0) return nullptr;
    }
  }
  return dict.release();
}

PyObject* row_to_item(RowIterCore& core, Row& row) {
  PyRef line(PyLong_FromSize_t(row.line));
  if (!line) return nullptr;
  PyRef dict(build_row_dict(core, row));
  if (!dict) return nullptr;
  if (!core.include_variables) return PyTuple_Pack(2, line.get(), dict.get());
  PyRef vars(PyDict_New());
  if (!vars) return nullptr;
  for (const auto& [name, value] : row.variables) {
    PyRef k(text_to_py(name));
    PyRef v(PyFloat_FromDouble(value));
    if (!k || !v || PyDict_SetItem(vars.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return PyTuple_Pack(3, line.get(), dict.get(), vars.get());
}

PyObject* row_iter_next_impl(RowIterObject* self, RowIterCore& core) {
  const ModuleState* ms = static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
  // Interrupted by a signal handler that raises (Ctrl-C): the receivers
  // close, the worker is let go and stops, later calls end the iteration.
  auto abandon = [&core] {
    core.row_rx.reset();
    core.result_rx.reset();
    core.worker.reset();  // detached
    return nullptr;
  };
  while (core.row_rx) {
    std::optional<Row> row;
    const Wait got = recv_without_gil(*core.row_rx, row);
    if (got == Wait::Interrupted) return abandon();
    if (got == Wait::Closed) {
      core.row_rx.reset();
      break;
    }
    if (row->cells.empty() && !core.include_variables) {
      // rows that are skipped may keep coming for long without a wait
      if (PyErr_CheckSignals() < 0) return abandon();
      continue;
    }
    return row_to_item(core, *row);
  }
  if (!take_outcome(ms, core.result_rx, core.worker, core.final_state)) return nullptr;
  return nullptr;  // end of iteration
}


const char kStateDoc[] =
    "The final interpreter state\n"
    "(`{axes, symbol_table, translation, rotation, string_table}`), available once\n"
    "the iterator is exhausted.";

PyGetSetDef row_iter_getset[] = {
    {"state", iter_state<RowIterObject>, nullptr, kStateDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kRowIterDoc[] =
    "Iterator over interpreted rows: `next()` yields\n"
    "`(line_no, {column: value})` while the interpreter runs on a worker\n"
    "thread behind a bounded channel. Dropping the iterator hangs up the\n"
    "channel and aborts interpretation; note that in Python, breaking out\n"
    "of a loop only drops it when no other reference keeps it alive.";

PyType_Slot row_iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc<RowIterObject>)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next<RowIterObject, row_iter_next_impl>)},
    {Py_tp_getset, row_iter_getset},
    {Py_tp_doc, const_cast<char*>(kRowIterDoc)},
    {0, nullptr},
};

PyType_Spec row_iter_spec = {
    "_internal.NcRowIterator", sizeof(RowIterObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    row_iter_slots,
};

// ---------------------------------------------------------------------------
// Arrow capsules

using arrow_export::BatchData;

void schema_capsule_destructor(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (schema == nullptr) {
    PyErr_Clear();
    return;
  }
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

void array_capsule_destructor(PyObject* capsule) {
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
  if (array == nullptr) {
    PyErr_Clear();
    return;
  }
  if (array->release != nullptr) array->release(array);
  delete array;
}

// ---------------------------------------------------------------------------
// ArrowBatch

struct ArrowBatchObject {
  PyObject_HEAD
  std::shared_ptr<const BatchData>* data;
};

void arrow_batch_dealloc(PyObject* self) {
  auto* b = reinterpret_cast<ArrowBatchObject*>(self);
  PyTypeObject* tp = Py_TYPE(self);
  delete b->data;
  b->data = nullptr;
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* arrow_batch_export(PyObject* obj, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_array__",
                                   const_cast<char**>(kwlist), &requested))
    return nullptr;
  auto* self = reinterpret_cast<ArrowBatchObject*>(obj);
  try {
    auto schema = std::make_unique<ArrowSchema>();
    auto array = std::make_unique<ArrowArray>();
    arrow_export::export_batch(*self->data, schema.get(), array.get());
    PyRef schema_capsule(PyCapsule_New(schema.get(), "arrow_schema", schema_capsule_destructor));
    if (!schema_capsule) {
      arrow_export::release_schema(schema.get());
      arrow_export::release_array(array.get());
      return nullptr;
    }
    schema.release();
    PyRef array_capsule(PyCapsule_New(array.get(), "arrow_array", array_capsule_destructor));
    if (!array_capsule) {
      arrow_export::release_array(array.get());
      return nullptr;  // the schema capsule is dropped with its structure
    }
    array.release();
    return PyTuple_Pack(2, schema_capsule.get(), array_capsule.get());
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_ValueError, "Arrow FFI export failed: %s", e.what());
    return nullptr;
  }
}

PyMethodDef arrow_batch_methods[] = {
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_batch_export)),
     METH_VARARGS | METH_KEYWORDS, "__arrow_c_array__($self, requested_schema=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const char kArrowBatchDoc[] =
    "One output batch as an Arrow struct array, exported to Python through the\n"
    "Arrow PyCapsule interface. A dataframe library that reads `__arrow_c_array__`\n"
    "capsules (polars 1.3 or later) takes it without copying and without any other\n"
    "Arrow package. The struct array's fields are the table's columns; the export\n"
    "produces the two C structures (ArrowSchema and ArrowArray), which the capsule\n"
    "destructors free if the consumer did not take them.";

PyType_Slot arrow_batch_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(arrow_batch_dealloc)},
    {Py_tp_methods, arrow_batch_methods},
    {Py_tp_doc, const_cast<char*>(kArrowBatchDoc)},
    {0, nullptr},
};

PyType_Spec arrow_batch_spec = {
    "_internal.ArrowBatch", sizeof(ArrowBatchObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    arrow_batch_slots,
};

// The ArrowBatch type of the module, made when the first batch is.
PyObject* arrow_batch_type(PyObject* owner_type) {
  auto* ms = static_cast<ModuleState*>(PyType_GetModuleState(reinterpret_cast<PyTypeObject*>(owner_type)));
  if (ms == nullptr) return nullptr;
  if (ms->row_iter_type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the kelvane module has been unloaded");
    return nullptr;
  }
  if (ms->arrow_batch_type == nullptr) {
    PyObject* module = PyType_GetModule(reinterpret_cast<PyTypeObject*>(owner_type));
    if (module == nullptr) return nullptr;
    ms->arrow_batch_type = PyType_FromModuleAndSpec(module, &arrow_batch_spec, nullptr);
  }
  return ms->arrow_batch_type;
}

// A new ArrowBatch of a table (consumed); ValueError when it cannot be made.
PyObject* table_to_arrow_batch(PyObject* owner_type, Table&& table) {
  auto data = arrow_export::table_to_batch_data(std::move(table));
  if (!data) {
    PyErr_Format(PyExc_ValueError, "failed to build RecordBatch: %s", data.error().text.c_str());
    return nullptr;
  }
  PyObject* tp = arrow_batch_type(owner_type);
  if (tp == nullptr) return nullptr;
  auto* obj = PyObject_New(ArrowBatchObject, reinterpret_cast<PyTypeObject*>(tp));
  if (obj == nullptr) return nullptr;
  obj->data = new std::shared_ptr<const BatchData>(std::move(*data));
  return reinterpret_cast<PyObject*>(obj);
}

// ---------------------------------------------------------------------------
// NcBatchIterator

struct BatchIterCore {
  std::optional<Receiver<Table>> batch_rx;
  std::optional<Receiver<Outcome>> result_rx;
  std::optional<Receiver<VariableEvents>> events_rx;
  std::optional<WorkerHandle> worker;
  std::optional<FinalState> final_state;
  std::optional<VariableEvents> variable_events;
};

struct BatchIterObject {
  PyObject_HEAD
  BatchIterCore* core;
  bool busy;
};
static_assert(offsetof(BatchIterObject, busy) == offsetof(RowIterObject, busy));

PyObject* batch_iter_next_impl(BatchIterObject* self, BatchIterCore& core) {
  const ModuleState* ms = static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
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

PyType_Spec batch_iter_spec = {
    "_internal.NcBatchIterator", sizeof(BatchIterObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    batch_iter_slots,
};

// ---------------------------------------------------------------------------
// Argument conversion. Every failure names the parameter.

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// Prefixes the pending TypeError or OverflowError with the parameter name.
void name_argument_error(const char* param) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  // only the plain conversion errors are renamed; a UnicodeEncodeError (a
  // str holding lone surrogates) stays as it is
  if (type != PyExc_TypeError && type != PyExc_OverflowError && type != PyExc_ValueError) {
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef text(value != nullptr ? PyObject_Str(value) : nullptr);
  if (text) {
    PyErr_Format(type, "argument '%s': %U", param, text.get());
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  } else {
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
  }
}

bool is_absent(PyObject* o) { return o == nullptr || o == Py_None; }

bool to_text(PyObject* o, const char* param, std::string& out) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got '%s'", param, type_name(o));
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (s == nullptr) {
    name_argument_error(param);
    return false;
  }
  out.assign(s, static_cast<std::size_t>(n));
  return true;
}

bool to_opt_text(PyObject* o, const char* param, std::optional<std::string>& out) {
  if (is_absent(o)) return true;
  std::string s;
  if (!to_text(o, param, s)) return false;
  out = std::move(s);
  return true;
}

bool to_opt_text_list(PyObject* o, const char* param, std::optional<std::vector<std::string>>& out) {
  if (is_absent(o)) return true;
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a str is not accepted as a sequence of str",
                 param);
    return false;
  }
  if (!PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of str, got '%s'", param,
                 type_name(o));
    return false;
  }
  PyRef seq(PySequence_Fast(o, ""));
  if (!seq) {
    name_argument_error(param);
    return false;
  }
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<std::string> v;
  v.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': item %zd: expected str, got '%s'", param, i,
                   type_name(item));
      return false;
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(item, &len);
    if (s == nullptr) {
      name_argument_error(param);
      return false;
    }
    v.emplace_back(s, static_cast<std::size_t>(len));
  }
  out = std::move(v);
  return true;
}

bool to_unsigned(PyObject* o, const char* param, std::size_t& out) {
  if (is_absent(o)) return true;
  if (PyFloat_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected int, got '%s'", param, type_name(o));
    return false;
  }
  PyRef index(PyNumber_Index(o));
  if (!index) {
    name_argument_error(param);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_argument_error(param);
    return false;
  }
  out = static_cast<std::size_t>(v);
  return true;
}

bool to_bool(PyObject* o, const char* param, bool& out) {
  if (is_absent(o)) return true;
  if (!PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got '%s'", param, type_name(o));
    return false;
  }
  out = o == Py_True;
  return true;
}

bool to_opt_float(PyObject* o, const char* param, std::optional<double>& out) {
  if (is_absent(o)) return true;
  if (PyUnicode_Check(o) || PyBytes_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected float, got '%s'", param, type_name(o));
    return false;
  }
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    name_argument_error(param);
    return false;
  }
  out = v;
  return true;
}

bool to_opt_index_map(PyObject* o, const char* param,
                      std::optional<std::vector<std::pair<std::string, std::size_t>>>& out) {
  if (is_absent(o)) return true;
  if (!PyDict_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected dict, got '%s'", param, type_name(o));
    return false;
  }
  std::vector<std::pair<std::string, std::size_t>> v;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(o, &pos, &key, &value)) {
    std::string k;
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': key expected str, got '%s'", param,
                   type_name(key));
      return false;
    }
    if (!to_text(key, param, k)) return false;
    if (value == Py_None) {
      PyErr_Format(PyExc_TypeError, "argument '%s': value expected int, got 'NoneType'", param);
      return false;
    }
    std::size_t index = 0;
    if (!to_unsigned(value, param, index)) return false;
    v.emplace_back(std::move(k), index);
  }
  out = std::move(v);
  return true;
}

// Checks that a text is well-formed UTF-8.
bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    // fast path over ASCII, 8 bytes at a time
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p >= end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t need;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= need) return false;
    for (std::size_t i = 1; i <= need; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((need == 2 && cp < 0x800) || (need == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    p += need + 1;
  }
  return true;
}

// Reads a whole program file; the error text on failure.
std::expected<std::string, std::string> read_program_file(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return std::unexpected(std::string("file name contained an unexpected NUL byte"));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(os_error_text(errno));
  std::string text;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    text.reserve(static_cast<std::size_t>(st.st_size));
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return std::unexpected(os_error_text(err));
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!valid_utf8(text)) return std::unexpected(std::string("stream did not contain valid UTF-8"));
  return text;
}

// The program text of `input`: the text itself, or the file it names.
bool load_program(PyObject* input, bool input_is_path, std::string& out) {
  if (!input_is_path) return to_text(input, "input", out);
  std::string path;
  PyRef encoded(PyUnicode_EncodeFSDefault(input));
  if (!encoded) return false;
  path.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  std::expected<std::string, std::string> text;
  Py_BEGIN_ALLOW_THREADS
  text = read_program_file(path);
  Py_END_ALLOW_THREADS
  if (!text) {
    PyErr_Format(PyExc_ValueError, "Error reading input file '%U': %s", input, text.error().c_str());
    return false;
  }
  out = std::move(*text);
  return true;
}

// The arguments both functions share.
struct CommonArgs {
  PyObject* input = nullptr;
  PyObject* initial_state = nullptr;
  PyObject* axis_identifiers = nullptr;
  PyObject* extra_axes = nullptr;
  PyObject* iteration_limit = nullptr;
  PyObject* axis_index_map = nullptr;
  PyObject* allow_undefined_variables = nullptr;
  PyObject* input_is_path = nullptr;
  PyObject* flatten_tolerance = nullptr;
};

PyObject* make_spawn_error(int code) {
  std::string text = os_error_text(code);
  PyErr_Format(PyExc_ValueError, "failed to spawn interpreter thread: %s", text.c_str());
  return nullptr;
}

// ---------------------------------------------------------------------------
// nc_to_rows

PyObject* nc_to_rows(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"input", "initial_state", "axis_identifiers", "extra_axes",
                                 "iteration_limit", "forward_fill", "include_variables",
                                 "axis_index_map", "allow_undefined_variables", "input_is_path",
                                 "flatten_tolerance", nullptr};
  CommonArgs a;
  PyObject* forward_fill_obj = nullptr;
  PyObject* include_variables_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOOOO:nc_to_rows",
                                   const_cast<char**>(kwlist), &a.input, &a.initial_state,
                                   &a.axis_identifiers, &a.extra_axes, &a.iteration_limit,
                                   &forward_fill_obj, &include_variables_obj, &a.axis_index_map,
                                   &a.allow_undefined_variables, &a.input_is_path,
                                   &a.flatten_tolerance))
    return nullptr;
  ModuleState* ms = module_state(module);
  try {
    RunConfig cfg;
    bool forward_fill = true, include_variables = false, input_is_path = false;
    if (!PyUnicode_Check(a.input)) {
      PyErr_Format(PyExc_TypeError, "argument 'input': expected str, got '%s'", type_name(a.input));
      return nullptr;
    }
    if (!to_opt_text(a.initial_state, "initial_state", cfg.initial_state) ||
        !to_opt_text_list(a.axis_identifiers, "axis_identifiers", cfg.axis_identifiers) ||
        !to_opt_text_list(a.extra_axes, "extra_axes", cfg.extra_axes) ||
        !to_unsigned(a.iteration_limit, "iteration_limit", cfg.iteration_limit) ||
        !to_bool(forward_fill_obj, "forward_fill", forward_fill) ||
        !to_bool(include_variables_obj, "include_variables", include_variables) ||
        !to_opt_index_map(a.axis_index_map, "axis_index_map", cfg.axis_index_map) ||
        !to_bool(a.allow_undefined_variables, "allow_undefined_variables",
                 cfg.allow_undefined_variables) ||
        !to_bool(a.input_is_path, "input_is_path", input_is_path) ||
        !to_opt_float(a.flatten_tolerance, "flatten_tolerance", cfg.flatten_tolerance))
      return nullptr;
    if (!load_program(a.input, input_is_path, cfg.program)) return nullptr;

    auto run = worker::start_row_run(std::move(cfg), include_variables);
    if (!run) return make_spawn_error(run.error());

    auto* obj = PyObject_New(RowIterObject, reinterpret_cast<PyTypeObject*>(ms->row_iter_type));
    if (obj == nullptr) return nullptr;  // the worker stops at its first send
    obj->busy = false;
    obj->core = new RowIterCore();
    obj->core->row_rx.emplace(std::move(run->rows));
    obj->core->result_rx.emplace(std::move(run->outcome));
    obj->core->worker.emplace(std::move(run->worker));
    obj->core->forward_fill = forward_fill;
    obj->core->include_variables = include_variables;
    return reinterpret_cast<PyObject*>(obj);
  } catch (const std::exception& e) {
    raise_from_cpp(e);
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// nc_to_batches

PyObject* nc_to_batches(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"input", "batch_size", "initial_state", "axis_identifiers",
                                 "extra_axes", "iteration_limit", "disable_forward_fill",
                                 "axis_index_map", "allow_undefined_variables", "input_is_path",
                                 "flatten_tolerance", "include_line_numbers", "include_variables",
                                 nullptr};
  CommonArgs a;
  PyObject* batch_size_obj = nullptr;
  PyObject* disable_ff_obj = nullptr;
  PyObject* line_numbers_obj = nullptr;
  PyObject* include_variables_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOOOOOO:nc_to_batches",
                                   const_cast<char**>(kwlist), &a.input, &batch_size_obj,
                                   &a.initial_state, &a.axis_identifiers, &a.extra_axes,
                                   &a.iteration_limit, &disable_ff_obj, &a.axis_index_map,
                                   &a.allow_undefined_variables, &a.input_is_path,
                                   &a.flatten_tolerance, &line_numbers_obj,
                                   &include_variables_obj))
    return nullptr;
  ModuleState* ms = module_state(module);
  try {
    RunConfig cfg;
    BatchConfig bc;
    bool input_is_path = false;
    if (!PyUnicode_Check(a.input)) {
      PyErr_Format(PyExc_TypeError, "argument 'input': expected str, got '%s'", type_name(a.input));
      return nullptr;
    }
    if (!to_unsigned(batch_size_obj, "batch_size", bc.batch_size) ||
        !to_opt_text(a.initial_state, "initial_state", cfg.initial_state) ||
        !to_opt_text_list(a.axis_identifiers, "axis_identifiers", cfg.axis_identifiers) ||
        !to_opt_text_list(a.extra_axes, "extra_axes", cfg.extra_axes) ||
        !to_unsigned(a.iteration_limit, "iteration_limit", cfg.iteration_limit) ||
        !to_bool(disable_ff_obj, "disable_forward_fill", bc.disable_forward_fill) ||
        !to_opt_index_map(a.axis_index_map, "axis_index_map", cfg.axis_index_map) ||
        !to_bool(a.allow_undefined_variables, "allow_undefined_variables",
                 cfg.allow_undefined_variables) ||
        !to_bool(a.input_is_path, "input_is_path", input_is_path) ||
        !to_opt_float(a.flatten_tolerance, "flatten_tolerance", cfg.flatten_tolerance) ||
        !to_bool(line_numbers_obj, "include_line_numbers", bc.include_line_numbers) ||
        !to_bool(include_variables_obj, "include_variables", bc.include_variables))
      return nullptr;
    if (bc.batch_size == 0) {
      PyErr_SetString(PyExc_ValueError, "batch_size must be greater than 0");
      return nullptr;
    }
    if (!load_program(a.input, input_is_path, cfg.program)) return nullptr;

    auto run = worker::start_batch_run(std::move(cfg), bc);
    if (!run) return make_spawn_error(run.error());

    auto* obj = PyObject_New(BatchIterObject, reinterpret_cast<PyTypeObject*>(ms->batch_iter_type));
    if (obj == nullptr) return nullptr;
    obj->busy = false;
    obj->core = new BatchIterCore();
    obj->core->batch_rx.emplace(std::move(run->tables));
    obj->core->result_rx.emplace(std::move(run->outcome));
    if (bc.include_variables) obj->core->events_rx.emplace(std::move(run->events));
    obj->core->worker.emplace(std::move(run->worker));
    return reinterpret_cast<PyObject*>(obj);
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
