#pragma once
// What every part of the Python module shares: owned references, the module
// state, and the conversions of C++ failures and texts to Python.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvane::lib {

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

struct ModuleState {
  PyObject* row_iter_type = nullptr;
  PyObject* batch_iter_type = nullptr;
  PyObject* arrow_batch_type = nullptr;  // made on first use
  PyObject* nc_error = nullptr;
};

inline ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The module state of an object's type; nullptr once the module is gone.
inline ModuleState* type_module_state(PyObject* obj) {
  return static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(obj)));
}

inline const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// Raises a C++ exception caught at the Python boundary as a Python one.
void raise_from_cpp(const std::exception& e);

// The text of an operating-system error as it is reported to the user.
std::string os_error_text(int code);

// Keeps a Python object alive for a run that reads it without the GIL: a new
// reference, let go by whichever thread drops the last copy. Its drop only
// notes the object; the reference goes the next time release_kept runs.
std::shared_ptr<const void> keep_alive(PyObject* o);
// Drops the references of the objects noted since (the GIL held): called
// wherever the module is entered.
void release_kept();

// A str of UTF-8 text, invalid bytes replaced.
PyObject* text_to_py(std::string_view s);
PyObject* str_list_to_py(const std::vector<std::string>& v);

}  // namespace kelvane::lib
