#include "py_arrow_batch.hpp"

#include <memory>

#include "arrow_export.hpp"

namespace kelvane::lib {

using arrow_export::BatchData;
using output::Table;

namespace {

constexpr char kSchemaCapsule[] = "arrow_schema";
constexpr char kArrayCapsule[] = "arrow_array";

// Frees what the consumer did not take: a structure still holding its
// release callback is released first.
template <typename Exported, const char* Name>
void capsule_destructor(PyObject* capsule) {
  auto* exported = static_cast<Exported*>(PyCapsule_GetPointer(capsule, Name));
  if (exported == nullptr) {
    PyErr_Clear();
    return;
  }
  if (exported->release != nullptr) exported->release(exported);
  delete exported;
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
    PyRef schema_capsule(PyCapsule_New(schema.get(), kSchemaCapsule,
                                       capsule_destructor<ArrowSchema, kSchemaCapsule>));
    if (!schema_capsule) {
      arrow_export::release_schema(schema.get());
      arrow_export::release_array(array.get());
      return nullptr;
    }
    schema.release();
    PyRef array_capsule(PyCapsule_New(array.get(), kArrayCapsule,
                                      capsule_destructor<ArrowArray, kArrayCapsule>));
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

}  // namespace

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

}  // namespace kelvane::lib
