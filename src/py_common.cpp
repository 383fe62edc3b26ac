#include "py_common.hpp"

#include <cstring>
#include <mutex>
#include <new>

namespace kelvane::lib {

void raise_from_cpp(const std::exception& e) {
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) {
    PyErr_NoMemory();
  } else {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
  }
}

std::string os_error_text(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

PyObject* text_to_py(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
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

namespace {

// Objects whose last keeper went away, possibly on a thread without the GIL
// or after the interpreter finished: never destroyed, as workers may end
// after the module and the interpreter.
struct KeptObjects {
  std::mutex mutex;
  std::vector<PyObject*> released;
};
KeptObjects& kept_objects() {
  static auto* kept = new KeptObjects();
  return *kept;
}

}  // namespace

std::shared_ptr<const void> keep_alive(PyObject* o) {
  Py_INCREF(o);
  return std::shared_ptr<const void>(static_cast<const void*>(o), [](const void* p) {
    KeptObjects& kept = kept_objects();
    std::lock_guard lock(kept.mutex);
    kept.released.push_back(static_cast<PyObject*>(const_cast<void*>(p)));
  });
}

void release_kept() {
  std::vector<PyObject*> done;
  {
    KeptObjects& kept = kept_objects();
    std::lock_guard lock(kept.mutex);
    if (kept.released.empty()) return;
    done.swap(kept.released);
  }
  for (PyObject* o : done) Py_DECREF(o);
}

}  // namespace kelvane::lib
