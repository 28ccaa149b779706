// The extension module velnor._holder: the agent's key and the gateway's
// replay store, kept apart from _native, whose set of classes is fixed.
#include "binding/holder.hpp"

namespace velnor::py {

PyTypeObject* make_holder_key_type(PyObject* module);
PyTypeObject* make_nonce_store_type(PyObject* module);
PyTypeObject* make_redis_store_type(PyObject* module);

namespace {

int add_holder_type(PyObject* module, PyTypeObject* (*make)(PyObject*)) {
  PyTypeObject* tp = make(module);
  if (tp == nullptr) return -1;
  const int rc = PyModule_AddType(module, tp);
  Py_DECREF(tp);  // the module holds it now
  return rc;
}

HolderState* module_state(PyObject* module) { return static_cast<HolderState*>(PyModule_GetState(module)); }

int holder_exec(PyObject* module) {
  HolderState* st = module_state(module);
  st->capability_type = import_type("velnor._native", "Capability");
  if (st->capability_type == nullptr || load_error_types(st->errors) < 0) return -1;
  if (add_holder_type(module, make_holder_key_type) < 0) return -1;
  if (add_holder_type(module, make_nonce_store_type) < 0) return -1;
  return add_holder_type(module, make_redis_store_type);
}

int holder_traverse(PyObject* module, visitproc visit, void* arg) {
  HolderState* st = module_state(module);
  if (st == nullptr) return 0;
  Py_VISIT(st->capability_type);
  return visit_error_types(st->errors, visit, arg);
}

int holder_clear(PyObject* module) {
  HolderState* st = module_state(module);
  if (st == nullptr) return 0;
  Py_CLEAR(st->capability_type);
  clear_error_types(st->errors);
  return 0;
}

void holder_free(void* module) { holder_clear(static_cast<PyObject*>(module)); }

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
    static_cast<Py_ssize_t>(sizeof(HolderState)),
    nullptr,
    holder_slots,
    holder_traverse,
    holder_clear,
    holder_free,
};

}  // namespace

}  // namespace velnor::py

PyMODINIT_FUNC PyInit__holder(void) { return PyModuleDef_Init(&velnor::py::holder_def); }
