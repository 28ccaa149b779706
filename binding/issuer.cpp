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
