#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef velnor_module = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native core of velnor.\nRe-exported under the public `velnor` import name by python/velnor/__init__.py.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&velnor_module); }
