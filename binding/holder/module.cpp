// The extension module velnor._holder: the agent's key and the gateway's
// replay store, kept apart from _native, whose set of classes is fixed.
#include "binding/holder.hpp"

namespace velnor::py {

PyTypeObject* make_holder_key_type(PyObject* module);
PyTypeObject* make_nonce_store_type(PyObject* module);

namespace {

int add_holder_type(PyObject* module, PyTypeObject* (*make)(PyObject*)) {
  PyTypeObject* tp = make(module);
  if (tp == nullptr) return -1;
  const int rc = PyModule_AddType(module, tp);
  Py_DECREF(tp);  // the module holds it now
  return rc;
}

int holder_exec(PyObject* module) {
  if (add_holder_type(module, make_holder_key_type) < 0) return -1;
  return add_holder_type(module, make_nonce_store_type);
}

PyModuleDef_Slot holder_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(holder_exec)},
    {0, nullptr},
};

PyModuleDef holder_def = {
    PyModuleDef_HEAD_INIT,
    "_holder",
    "Proof of possession for holder-bound capabilities.\n"
    "Re-exported under the public `velnor` import name by the pure-Python shim in "
    "python/velnor/__init__.py.",
    0,
    nullptr,
    holder_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace velnor::py

PyMODINIT_FUNC PyInit__holder(void) { return PyModuleDef_Init(&velnor::py::holder_def); }
