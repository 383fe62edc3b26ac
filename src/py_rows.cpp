#include "py_rows.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tsl/robin_map.h>

#include "errors.hpp"
#include "number_text.hpp"
#include "output.hpp"
#include "py_iterator.hpp"
#include "py_outcome.hpp"

namespace kelvane::lib {

using output::Receiver;
using output::Row;
using state::FinalState;
using types::Value;
using worker::Outcome;
using worker::WorkerHandle;

namespace {

// ---------------------------------------------------------------------------
// Cell conversion

enum class CellClass : std::uint8_t { M, N, Text, Number };

CellClass classify_column(std::string_view name) {
  if (name == "M") return CellClass::M;
  if (name == "N") return CellClass::N;
  if (output::is_string_column(name)) return CellClass::Text;
  return CellClass::Number;
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
  bool in_template = false;  // the template dict holds obj (or a list's place)
  bool is_list = false;      // made anew for every row: a list is mutable
};

// ---------------------------------------------------------------------------
// NcRowIterator

struct RowIterCore {
  std::optional<Receiver<Row>> row_rx;
  // rows taken from the channel in one go, and not yet turned into items
  std::deque<Row> received;
  // rows turned into items, handed back to the worker a few at a time
  std::shared_ptr<output::RowReturns> returns;
  std::vector<Row> done;
  std::optional<Receiver<Outcome>> result_rx;
  std::optional<WorkerHandle> worker;
  output::Carried<Value> carried;
  std::vector<CarriedObject> carried_objects;  // one per carried value, at its position
  std::optional<FinalState> final_state;
  bool forward_fill = true;
  bool include_variables = false;
  KeyCache keys;
  // The carried values as a dict, in their order: every forward-filled row
  // starts as a copy of it, which is cheaper than setting each key anew.
  PyObject* carried_dict = nullptr;  // owned
  std::size_t carried_lists = 0;     // carried values that are lists

  // Keeps a row turned into an item for the worker to fill again.
  void hand_back(Row&& row) {
    if (!returns) return;
    done.push_back(std::move(row));
    if (done.size() >= kHandBackRows) returns->give_back(done);
  }
  static constexpr std::size_t kHandBackRows = 64;

  ~RowIterCore() {
    for (auto& c : carried_objects) Py_XDECREF(c.obj);
    Py_XDECREF(carried_dict);
  }
};

using RowIterObject = IterObject<RowIterCore>;

PyObject* build_row_dict(RowIterCore& core, Row& row) {
  PyRef dict;
  if (row.cells.empty() || !core.forward_fill) {
    dict = PyRef(PyDict_New());
    if (!dict) return nullptr;
  }
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
    if (core.carried_dict == nullptr && (core.carried_dict = PyDict_New()) == nullptr) return nullptr;
    // the template first: changed values replace theirs in place, new ones
    // come last, so that its order stays the carried order
    for (std::size_t i = 0; i < carried.size(); ++i) {
      CarriedObject& c = core.carried_objects[i];
      if (c.obj != nullptr && c.in_template) continue;
      PyRef fresh(cell_to_py(c.column->cls, carried[i].value));
      if (!fresh) return nullptr;
      const bool is_list = PyList_Check(fresh.get());
      if (is_list != c.is_list) {
        if (is_list) ++core.carried_lists;
        else --core.carried_lists;
        c.is_list = is_list;
      }
      if (PyDict_SetItem(core.carried_dict, c.column->key, fresh.get()) < 0) return nullptr;
      c.in_template = true;
      if (!is_list) c.obj = fresh.release();
    }
    dict = PyRef(PyDict_Copy(core.carried_dict));
    if (!dict) return nullptr;
    if (core.carried_lists > 0) {
      for (std::size_t i = 0; i < carried.size(); ++i) {
        const CarriedObject& c = core.carried_objects[i];
        if (!c.is_list) continue;
        PyRef fresh(cell_to_py(c.column->cls, carried[i].value));
        if (!fresh || PyDict_SetItem(dict.get(), c.column->key, fresh.get()) < 0) return nullptr;
      }
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
  const ModuleState* ms = type_module_state(reinterpret_cast<PyObject*>(self));
  // Interrupted by a signal handler that raises (Ctrl-C): the receivers
  // close, the worker is let go and stops, later calls end the iteration.
  auto abandon = [&core] {
    core.received.clear();
    core.row_rx.reset();
    core.result_rx.reset();
    core.worker.reset();  // detached
    return nullptr;
  };
  while (core.row_rx || !core.received.empty()) {
    if (core.received.empty()) {
      // every row waiting at once: one lock for all of them
      if (core.row_rx->try_recv_all(core.received) == 0) {
        std::optional<Row> row;
        const Wait got = recv_without_gil(*core.row_rx, row);
        if (got == Wait::Interrupted) return abandon();
        if (got == Wait::Closed) {
          core.row_rx.reset();
          break;
        }
        core.received.push_back(std::move(*row));
      }
    }
    Row row = std::move(core.received.front());
    core.received.pop_front();
    if (row.cells.empty() && !core.include_variables) {
      core.hand_back(std::move(row));
      // rows that are skipped may keep coming for long without a wait
      if (PyErr_CheckSignals() < 0) return abandon();
      continue;
    }
    PyObject* item = row_to_item(core, row);
    core.hand_back(std::move(row));
    return item;
  }
  if (!take_outcome(ms, core.result_rx, core.worker, core.final_state)) return nullptr;
  return nullptr;  // end of iteration
}


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

}  // namespace

PyType_Spec row_iter_spec = {
    "_internal.NcRowIterator", sizeof(RowIterObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    row_iter_slots,
};


PyObject* new_row_iterator(const ModuleState* ms, worker::RowRun&& run, bool forward_fill,
                           bool include_variables) {
  auto* obj = PyObject_New(RowIterObject, reinterpret_cast<PyTypeObject*>(ms->row_iter_type));
  if (obj == nullptr) return nullptr;  // the worker stops at its first send
  obj->busy = false;
  obj->core = new RowIterCore();
  obj->core->row_rx.emplace(std::move(run.rows));
  obj->core->returns = std::move(run.returns);
  obj->core->result_rx.emplace(std::move(run.outcome));
  obj->core->worker.emplace(std::move(run.worker));
  obj->core->forward_fill = forward_fill;
  obj->core->include_variables = include_variables;
  return reinterpret_cast<PyObject*>(obj);
}

}  // namespace kelvane::lib
