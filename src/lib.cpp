// Python module entry.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef_Slot kelvane_slots[] = {
    {0, nullptr},
};

static PyModuleDef kelvane_module = {
    PyModuleDef_HEAD_INIT, "_internal", nullptr, 0, nullptr, kelvane_slots, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__internal(void) { return PyModuleDef_Init(&kelvane_module); }
