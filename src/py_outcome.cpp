#include "py_outcome.hpp"

#include <string>
#include <variant>

namespace kelvane::lib {

using output::Receiver;
using output::VariableEvents;
using state::FinalState;
using worker::ErrInfo;
using worker::Outcome;
using worker::WorkerFailure;
using worker::WorkerHandle;

namespace {

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

}  // namespace

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

void join_without_gil(WorkerHandle& w) {
  Py_BEGIN_ALLOW_THREADS
  w.join();
  Py_END_ALLOW_THREADS
}

bool take_outcome(const ModuleState* ms, std::optional<Receiver<Outcome>>& result_rx,
                  std::optional<WorkerHandle>& worker, std::optional<FinalState>& final_state,
                  std::optional<Receiver<VariableEvents>>* events_rx,
                  std::optional<VariableEvents>* events) {
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


}  // namespace kelvane::lib
