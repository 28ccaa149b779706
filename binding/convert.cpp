// Argument binding and conversion: the TypeErrors a caller sees for
// arguments of the wrong number, name or type. Every other failure goes
// through errors.cpp.
#include "binding/binding.hpp"

namespace velnor::py {

namespace {

const char* plural(Py_ssize_t n) { return n == 1 ? "" : "s"; }

// Index of keyword `key` in `names`, or -1.
Py_ssize_t keyword_index(std::span<const char* const> names, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

bool too_many(const char* fname, std::size_t expected, Py_ssize_t given) {
  const auto n = static_cast<Py_ssize_t>(expected);
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional argument%s (%zd given)", fname,
               n, plural(n), given);
  return false;
}

// Keyword binding shared by both calling conventions: `key` names slot
// `out[i]` unless a positional argument already filled it.
bool bind_keyword(const char* fname, std::span<const char* const> names, PyObject* key,
                  PyObject* value, PyObject** out) {
  const Py_ssize_t i = keyword_index(names, key);
  if (i < 0) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fname);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
    }
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, names[i]);
    return false;
  }
  out[i] = value;
  return true;
}

bool check_missing(const char* fname, std::span<const char* const> names, PyObject** out) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname,
                   names[i], i + 1);
      return false;
    }
  }
  return true;
}

// The name of `tp`, read without running any code of the caller's. The
// attribute protocol would consult the metaclass, which may define
// `__name__` as anything, including a property that returns a non-string or
// raises; the getter of `type` itself returns what the type was created
// with. Its layout is opaque under the stable ABI, so the getter is found
// in `type`'s own dictionary, which Python code cannot change. New
// reference; nullptr with an exception set only when memory runs out.
PyObject* type_name(PyTypeObject* tp) {
  PyObject* dict = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__");
  if (dict == nullptr) return nullptr;
  PyObject* getter = PyMapping_GetItemString(dict, "__name__");
  Py_DECREF(dict);
  PyObject* name = nullptr;
  if (getter != nullptr) {
    auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(getter), Py_tp_descr_get));
    if (get != nullptr) name = get(getter, reinterpret_cast<PyObject*>(tp), reinterpret_cast<PyObject*>(Py_TYPE(tp)));
    Py_DECREF(getter);
  }
  if (name != nullptr && PyUnicode_CheckExact(name)) return name;
  Py_XDECREF(name);
  if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
  PyErr_Clear();
  return PyUnicode_FromString("?");
}

}  // namespace

// "argument 'key' must be bytes, not bytearray".
void wrong_type(const char* fname, const char* param, const char* expected, PyObject* obj) {
  PyObject* name = type_name(Py_TYPE(obj));
  if (name == nullptr) return;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", fname, param, expected,
               name);
  Py_DECREF(name);
}

PyObject* refuse_new(PyTypeObject* tp, PyObject*, PyObject*) {
  PyObject* name = type_name(tp);
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
  Py_DECREF(name);
  return nullptr;
}

bool bind_fast(const char* fname, std::span<const char* const> names, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const auto total = static_cast<Py_ssize_t>(names.size());
  if (nargs > total) return too_many(fname, names.size(), nargs);
  for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);  // borrowed
      if (key == nullptr) return false;
      if (!bind_keyword(fname, names, key, args[nargs + k], out)) return false;
    }
  }
  return check_missing(fname, names, out);
}

bool bind_tuple(const char* fname, std::span<const char* const> names, PyObject* args,
                PyObject* kwargs, PyObject** out) {
  const auto total = static_cast<Py_ssize_t>(names.size());
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (nargs > total) return too_many(fname, names.size(), nargs);
  for (Py_ssize_t i = 0; i < total; ++i) {
    out[i] = i < nargs ? PyTuple_GetItem(args, i) : nullptr;  // borrowed
  }
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(fname, names, key, value, out)) return false;
    }
  }
  return check_missing(fname, names, out);
}

std::optional<std::string_view> arg_str(const char* fname, const char* param, PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    wrong_type(fname, param, "str", obj);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return std::nullopt;  // UnicodeEncodeError
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<crypto::ByteView> arg_bytes(const char* fname, const char* param, PyObject* obj) {
  if (!PyBytes_Check(obj)) {
    wrong_type(fname, param, "bytes", obj);
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return std::nullopt;
  return crypto::ByteView(reinterpret_cast<const std::uint8_t*>(data),
                          static_cast<std::size_t>(size));
}

PyObject* arg_instance(const char* fname, const char* param, PyObject* obj, PyTypeObject* tp,
                       const char* tp_name) {
  if (Py_TYPE(obj) != tp) {
    wrong_type(fname, param, tp_name, obj);
    return nullptr;
  }
  return obj;
}

PyObject* to_str(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

}  // namespace velnor::py
