// Python class Issuer: holds a root key, starts capabilities.
#include "binding/binding.hpp"

namespace velnor::py {

namespace {

PyObject* issuer_from_key(PyObject* /*null for a static method*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"key"};
    PyObject* argv[1];
    if (!bind_fast("from_key", names, args, nargs, kwnames, argv)) return nullptr;
    auto key = arg_bytes("from_key", "key", argv[0]);
    if (!key) return nullptr;
    ModuleState* st = static_state();
    if (st == nullptr) return nullptr;
    return make_object(st->issuer_type, &IssuerObject::value, Issuer::from_key(*key));
  });
}

PyObject* issuer_issue(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"identifier"};
    PyObject* argv[1];
    if (!bind_fast("issue", names, args, nargs, kwnames, argv)) return nullptr;
    auto identifier = arg_str("issue", "identifier", argv[0]);
    if (!identifier) return nullptr;
    const Issuer& issuer = reinterpret_cast<IssuerObject*>(self)->value;
    ModuleState* st = state_of(Py_TYPE(self));
    return make_object(st->builder_type, &BuilderObject::slot,
                       std::optional<CapabilityBuilder>(issuer.issue(std::string(*identifier))));
  });
}

constexpr std::string_view kBadVersion =
    "revocation list version must be between 0 and 18446744073709551615";

PyObject* issuer_revocation_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* fname = "revocation_list";
    static constexpr const char* names[] = {"identifiers", "version"};
    PyObject* argv[2];
    if (!bind_fast(fname, names, args, nargs, kwnames, argv)) return nullptr;
    // A list or a tuple, never a str: a str is a sequence of its letters,
    // and revoking those would be a silent mistake.
    if (!PyList_Check(argv[0]) && !PyTuple_Check(argv[0])) {
      wrong_type("revocation_list", "identifiers", "list", argv[0]);
      return nullptr;
    }
    if (!PyLong_Check(argv[1]) || PyBool_Check(argv[1])) {
      wrong_type("revocation_list", "version", "int", argv[1]);
      return nullptr;
    }
    const unsigned long long version = PyLong_AsUnsignedLongLong(argv[1]);
    if (version == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
      PyErr_Clear();  // negative or past 64 bits
      return fail(state_of(Py_TYPE(self))->errors, Fault::Refused, kBadVersion);
    }
    // Copied out of the sequence before any of it is used: nothing of the
    // caller's runs between the length and the items.
    PyObject* items = PySequence_Tuple(argv[0]);
    if (items == nullptr) return nullptr;
    const Py_ssize_t n = PyTuple_Size(items);
    std::vector<std::string> identifiers;
    identifiers.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      auto id = arg_str(fname, "identifiers", PyTuple_GetItem(items, i));
      if (!id) {
        Py_DECREF(items);
        return nullptr;
      }
      identifiers.emplace_back(*id);
    }
    Py_DECREF(items);
    const Issuer& issuer = reinterpret_cast<IssuerObject*>(self)->value;
    return to_str(issuer.revocation_list(std::move(identifiers), version));
  });
}

void issuer_dealloc(PyObject* self) { destroy_object(self, &IssuerObject::value); }

PyMethodDef issuer_methods[] = {
    {"from_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(issuer_from_key)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_key(key)\n--\n\n"
     "Construct an Issuer from a raw key. Production callers should\n"
     "pass at least 32 bytes from a CSPRNG (e.g. `os.urandom(32)`)."},
    {"issue", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(issuer_issue)),
     METH_FASTCALL | METH_KEYWORDS,
     "issue($self, identifier)\n--\n\n"
     "Begin issuing a capability with the given identifier. Returns\n"
     "a `CapabilityBuilder` for chained caveat-attachment."},
    {"revocation_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(issuer_revocation_list)),
     METH_FASTCALL | METH_KEYWORDS,
     "revocation_list($self, identifiers, version)\n--\n\n"
     "A signed revocation list: the text that `Verifier.with_revocations`\n"
     "accepts under this issuer's root key. The identifiers are stored\n"
     "sorted and without duplicates; `version` (0 to 2**64-1) must grow\n"
     "with every list published, since a verifier refuses a list that is\n"
     "not newer than the one it holds."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot issuer_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(issuer_dealloc)},
    {Py_tp_methods, issuer_methods},
    {0, nullptr},
};

PyType_Spec issuer_spec = {
    "velnor._native.Issuer",
    static_cast<int>(sizeof(IssuerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    issuer_slots,
};

}  // namespace

PyTypeObject* make_issuer_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &issuer_spec, nullptr));
}

}  // namespace velnor::py
