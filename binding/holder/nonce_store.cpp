// Python class MemoryNonceStore: the embedded replay store for one process.
#include "binding/holder.hpp"

namespace velnor::py {

namespace {

constexpr std::string_view kBadCapacity = "nonce store capacity must be at least 1";

PyObject* store_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"capacity", nullptr};
    PyObject* arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:MemoryNonceStore", const_cast<char**>(names),
                                     &arg)) {
      return nullptr;
    }
    std::size_t capacity = MemoryNonceStore::kDefaultCapacity;
    if (arg != nullptr) {
      if (!PyLong_Check(arg) || PyBool_Check(arg)) {
        wrong_type("MemoryNonceStore", "capacity", "int", arg);
        return nullptr;
      }
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(arg, &overflow);
      if (v == -1 && PyErr_Occurred()) return nullptr;
      if (overflow < 0 || (overflow == 0 && v < 1)) {
        return fail(holder_state_of(tp)->errors, Fault::Refused, kBadCapacity);
      }
      capacity = PyLong_AsSize_t(arg);  // OverflowError past the address space
      if (capacity == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
    }
    auto store = MemoryNonceStore::create(capacity);
    if (!store) return fail(holder_state_of(tp)->errors, Fault::Refused, store.error());
    return make_object(tp, &NonceStoreObject::value, std::shared_ptr<NonceStore>(std::move(*store)));
  });
}

const MemoryNonceStore& memory_store(PyObject* self) {
  return static_cast<const MemoryNonceStore&>(*reinterpret_cast<NonceStoreObject*>(self)->value);
}

PyObject* store_capacity(PyObject* self, void*) { return PyLong_FromSize_t(memory_store(self).capacity()); }

Py_ssize_t store_len(PyObject* self) { return static_cast<Py_ssize_t>(memory_store(self).size()); }

void store_dealloc(PyObject* self) { destroy_object(self, &NonceStoreObject::value); }

PyGetSetDef store_getset[] = {
    {"capacity", store_capacity, nullptr, "The most nonces held at once.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "MemoryNonceStore(capacity=1000000)\n--\n\n"
                    "Remembers the nonces of accepted proofs in this process, each until\n"
                    "its proof could no longer be accepted, so that no proof is used\n"
                    "twice. Thread-safe; one store may serve many verifiers. When\n"
                    "`capacity` nonces are live it refuses further proofs (they are\n"
                    "denied) rather than forget one. `len(store)` is the number held.")},
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_getset, store_getset},
    {Py_sq_length, reinterpret_cast<void*>(store_len)},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "velnor._holder.MemoryNonceStore",
    static_cast<int>(sizeof(NonceStoreObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    store_slots,
};

}  // namespace

PyTypeObject* make_nonce_store_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &store_spec, nullptr));
}

}  // namespace velnor::py
