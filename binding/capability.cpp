// Python class Capability: an immutable capability record.
#include "binding/binding.hpp"

#include "core/caveat_dsl.hpp"

namespace velnor::py {

namespace {

const Capability& cap_of(PyObject* self) {
  return reinterpret_cast<CapabilityObject*>(self)->value;
}

PyObject* capability_parse(PyObject* /*null for a static method*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"token"};
    PyObject* argv[1];
    if (!bind_fast("parse", names, args, nargs, kwnames, argv)) return nullptr;
    auto token = arg_str("parse", "token", argv[0]);
    if (!token) return nullptr;
    ModuleState* st = static_state();
    if (st == nullptr) return nullptr;
    // A token as this library writes it already holds the receipt text of
    // its identifier and caveats; it is kept rather than written again on
    // the first verification.
    std::string head;
    auto cap = Capability::parse(*token, [&head](const WrittenParts& parts) { write_receipt_head(parts, head); });
    if (!cap) return fail(st->errors, cap.error());
    return new_capability(st, std::move(*cap), std::move(head));
  });
}

PyObject* capability_serialize(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return to_str(cap_of(self).serialize()); });
}

PyObject* capability_attenuate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"predicate"};
    PyObject* argv[1];
    if (!bind_fast("attenuate", names, args, nargs, kwnames, argv)) return nullptr;
    auto predicate = arg_str("attenuate", "predicate", argv[0]);
    if (!predicate) return nullptr;
    if (auto tree = velnor::parse(*predicate); !tree) {
      return fail(state_of(Py_TYPE(self))->errors, Fault::Attenuation, tree.error().display());
    }
    // The receiver stays as it was: attenuation works on a copy.
    Capability copy = cap_of(self);
    return new_capability(state_of(Py_TYPE(self)),
                          std::move(copy).attenuate(std::string(*predicate)));
  });
}

PyObject* capability_identifier(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return to_str(cap_of(self).identifier); });
}

PyObject* capability_holder_of_key(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& key = cap_of(self).holder_of_key;
    if (!key) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(key->data()),
                                     static_cast<Py_ssize_t>(key->size()));
  });
}

// A new tuple each time: the capability is immutable, so nothing is gained
// by caching one, and a tuple of str cannot be used to change it.
PyObject* capability_caveats(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& caveats = cap_of(self).caveats;
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(caveats.size()));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < caveats.size(); ++i) {
      PyObject* text = to_str(caveats[i].predicate);
      if (text == nullptr || PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), text) < 0) {
        Py_DECREF(tuple);
        return nullptr;
      }
    }
    return tuple;
  });
}

void capability_dealloc(PyObject* self) {
  std::destroy_at(&reinterpret_cast<CapabilityObject*>(self)->receipt_head);
  destroy_object(self, &CapabilityObject::value);
}

PyMethodDef capability_methods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capability_parse)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "parse(token)\n--\n\n"
     "Decode a previously-serialised token. Raises `ValueError` on\n"
     "malformed input."},
    {"serialize", capability_serialize, METH_NOARGS,
     "serialize($self)\n--\n\n"
     "Encode the capability as a URL-safe, unpadded base64 string."},
    {"attenuate",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capability_attenuate)),
     METH_FASTCALL | METH_KEYWORDS,
     "attenuate($self, predicate)\n--\n\n"
     "Append a caveat, producing a strictly narrower capability.\n"
     "Raises `ValueError` if the predicate doesn't parse."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef capability_getset[] = {
    {"identifier", capability_identifier, nullptr, "", nullptr},
    {"holder_of_key", capability_holder_of_key, nullptr, "", nullptr},
    {"caveats", capability_caveats, nullptr,
     "The caveats' predicate texts, in chain order: each one narrows what\n"
     "the ones before it allow.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot capability_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(capability_dealloc)},
    {Py_tp_methods, capability_methods},
    {Py_tp_getset, capability_getset},
    {0, nullptr},
};

PyType_Spec capability_spec = {
    "velnor._native.Capability",
    static_cast<int>(sizeof(CapabilityObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    capability_slots,
};

}  // namespace

PyTypeObject* make_capability_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(
      PyType_FromModuleAndSpec(module, &capability_spec, nullptr));
}

PyObject* new_capability(ModuleState* st, Capability&& cap, std::string receipt_head) {
  PyObject* self = make_object(st->capability_type, &CapabilityObject::value, std::move(cap));
  if (self != nullptr) {
    std::construct_at(&reinterpret_cast<CapabilityObject*>(self)->receipt_head, std::move(receipt_head));
  }
  return self;
}

}  // namespace velnor::py
