#include "binding/holder.hpp"

namespace velnor::py {

PyTypeObject* import_type(const char* module, const char* name) {
  PyObject* mod = PyImport_ImportModule(module);
  if (mod == nullptr) return nullptr;
  PyObject* attr = PyObject_GetAttrString(mod, name);
  Py_DECREF(mod);
  if (attr == nullptr) return nullptr;
  if (!PyType_Check(attr)) {
    Py_DECREF(attr);
    PyErr_Format(PyExc_ImportError, "%s.%s is not a type", module, name);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(attr);
}

}  // namespace velnor::py
