#include "py_common.hpp"

#include <cstring>
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

}  // namespace kelvane::lib
