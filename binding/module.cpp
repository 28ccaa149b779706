// The extension module: its definition, state and one-time initialisation.
//
// Every method runs to completion with the interpreter lock held, never
// releases it and never calls back into Python code, and the core keeps no
// shared mutable state. So no method can observe another one half done, and
// no lock is needed anywhere in the binding.
#include <atomic>

#include "binding/binding.hpp"

namespace velnor::py {

namespace {

// The module holds process-wide meaning (one set of classes whose instances
// pass between callers), so a second initialisation in the same process,
// from another interpreter or a second load of the shared object, is refused.
std::atomic<bool> g_initialised{false};
ModuleState* g_state = nullptr;

ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

int add_type(PyObject* module, PyTypeObject* (*make)(PyObject*), PyTypeObject** slot) {
  PyTypeObject* tp = make(module);
  if (tp == nullptr) return -1;
  *slot = tp;  // the state owns this reference
  return PyModule_AddType(module, tp);
}

int module_exec(PyObject* module) {
  if (g_initialised.exchange(true)) {
    PyErr_SetString(PyExc_ImportError,
                    "velnor._native cannot be initialised more than once per process");
    return -1;
  }
  ModuleState* st = module_state(module);
  if (load_error_types(st->errors) < 0 ||
      add_type(module, make_issuer_type, &st->issuer_type) < 0 ||
      add_type(module, make_builder_type, &st->builder_type) < 0 ||
      add_type(module, make_capability_type, &st->capability_type) < 0 ||
      add_type(module, make_auditor_type, &st->auditor_type) < 0 ||
      add_type(module, make_verifier_type, &st->verifier_type) < 0) {
    // The failed module is discarded; a later import may try again.
    g_initialised.store(false);
    return -1;
  }
  g_state = st;
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = module_state(module);
  if (st == nullptr) return 0;
  Py_VISIT(st->issuer_type);
  Py_VISIT(st->builder_type);
  Py_VISIT(st->capability_type);
  Py_VISIT(st->auditor_type);
  Py_VISIT(st->verifier_type);
  return visit_error_types(st->errors, visit, arg);
}

int module_clear(PyObject* module) {
  ModuleState* st = module_state(module);
  if (st == nullptr) return 0;
  Py_CLEAR(st->issuer_type);
  Py_CLEAR(st->builder_type);
  Py_CLEAR(st->capability_type);
  Py_CLEAR(st->auditor_type);
  Py_CLEAR(st->verifier_type);
  clear_error_types(st->errors);
  return 0;
}

void module_free(void* module) {
  module_clear(static_cast<PyObject*>(module));
  if (g_state == module_state(static_cast<PyObject*>(module))) g_state = nullptr;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native core of velnor.\n"
    "Re-exported under the public `velnor` import name by the pure-Python shim in "
    "python/velnor/__init__.py.",
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

ModuleState* static_state() {
  if (g_state == nullptr || g_state->issuer_type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "velnor._native has been finalised");
    return nullptr;
  }
  return g_state;
}

}  // namespace velnor::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&velnor::py::module_def); }
