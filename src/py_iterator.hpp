#pragma once
// What both iterator types share: the object layout with its core and its
// "borrowed" flag, and the slots built on them (dealloc, iter, next, the
// `state` getter).
#include "py_common.hpp"
#include "py_outcome.hpp"

namespace kelvane::lib {

// An iterator object: the C++ core it owns, and whether a `next()` of it is
// running (Python code run meanwhile, a signal handler, must not re-enter it).
template <typename Core>
struct IterObject {
  PyObject_HEAD
  Core* core;
  bool busy;
};

inline constexpr const char* kBorrowed = "Already borrowed";
inline constexpr const char* kMutablyBorrowed = "Already mutably borrowed";

inline constexpr char kStateDoc[] =
    "The final interpreter state\n"
    "(`{axes, symbol_table, translation, rotation, string_table}`), available once\n"
    "the iterator is exhausted.";

// tp_dealloc of both iterator types.
template <typename Iter>
void iter_dealloc(PyObject* self) {
  auto* it = reinterpret_cast<Iter*>(self);
  PyTypeObject* tp = Py_TYPE(self);
  delete it->core;  // closes the receivers; the worker is detached
  it->core = nullptr;
  tp->tp_free(self);
  Py_DECREF(tp);
  release_kept();
}

inline PyObject* iter_self(PyObject* self) {
  // every IterObject has the same layout, whatever its core
  auto* it = reinterpret_cast<IterObject<void>*>(self);
  if (it->busy) {
    PyErr_SetString(PyExc_RuntimeError, kBorrowed);
    return nullptr;
  }
  return Py_NewRef(self);
}

// tp_iternext of both iterator types: `Impl(self, core)` runs while the
// iterator is marked borrowed; a C++ exception becomes a Python error.
template <typename Iter, auto Impl>
PyObject* iter_next(PyObject* obj) {
  auto* self = reinterpret_cast<Iter*>(obj);
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
  release_kept();  // the program texts of runs that have ended
  return out;
}

// Whether a getter may read the iterator (not inside its own `next()`);
// false with the error set.
template <typename Iter>
bool iter_check(Iter* self) {
  if (self->busy) {
    PyErr_SetString(PyExc_RuntimeError, kMutablyBorrowed);
    return false;
  }
  return true;
}

// The `state` getter of both iterator types.
template <typename Iter>
PyObject* iter_state(PyObject* obj, void*) {
  auto* self = reinterpret_cast<Iter*>(obj);
  if (!iter_check(self)) return nullptr;
  if (!self->core->final_state) Py_RETURN_NONE;
  return final_state_to_py(*self->core->final_state);
}

}  // namespace kelvane::lib
