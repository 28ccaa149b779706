// Python class HolderKey: the agent's Ed25519 key, which proves each call.
#include "binding/holder.hpp"

#include <string>

#include "core/context.hpp"

namespace velnor::py {

namespace {

HolderKeyObject* holder_of(PyObject* self) { return reinterpret_cast<HolderKeyObject*>(self); }

PyObject* holder_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"seed"};
    PyObject* argv[1];
    if (!bind_tuple("HolderKey", names, args, kwargs, argv)) return nullptr;
    auto seed = arg_bytes("HolderKey", "seed", argv[0]);
    if (!seed) return nullptr;
    auto key = HolderKey::from_seed(*seed);
    if (!key) return fail(holder_state_of(tp)->errors, Fault::Refused, key.error());
    return make_object(tp, &HolderKeyObject::value, std::move(*key));
  });
}

PyObject* holder_public_key(PyObject* self, void*) {
  const auto& pk = holder_of(self)->value.public_key();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(pk.data()),
                                   static_cast<Py_ssize_t>(pk.size()));
}

PyObject* holder_prove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* fname = "prove";
    static constexpr const char* names[] = {"cap", "ctx_json", "audience"};
    PyObject* argv[3];
    if (!bind_fast(fname, names, args, nargs, kwnames, argv)) return nullptr;
    PyTypeObject* cap_type = holder_state_of(Py_TYPE(self))->capability_type;
    PyObject* cap_obj = arg_instance(fname, "cap", argv[0], cap_type, "Capability");
    if (cap_obj == nullptr) return nullptr;
    auto ctx_view = arg_str(fname, "ctx_json", argv[1]);
    if (!ctx_view) return nullptr;
    auto audience_view = arg_str(fname, "audience", argv[2]);
    if (!audience_view) return nullptr;

    // Copies, so that nothing the core reads can change or go away while
    // other threads run.
    const Capability cap = reinterpret_cast<CapabilityObject*>(cap_obj)->value;
    const std::string ctx_json(*ctx_view);
    const std::string audience(*audience_view);
    const HolderKey key = holder_of(self)->value;  // shares the immutable secret

    std::string bad_context;
    std::expected<std::string, std::string> proof;
    {
      const Unlocked unlocked;
      auto in = read_ctx_in(ctx_json);
      if (!in) {
        bad_context = std::move(in.error());
      } else {
        proof = key.prove(cap, into_context(std::move(*in)), audience);
      }
    }
    const ErrorTypes& errors = holder_state_of(Py_TYPE(self))->errors;
    if (!bad_context.empty()) return fail(errors, Fault::Context, bad_context);
    // A capability bound to another key: the caller holds the wrong key.
    if (!proof) return fail(errors, Fault::Refused, proof.error());
    return to_str(*proof);
  });
}

void holder_dealloc(PyObject* self) { destroy_object(self, &HolderKeyObject::value); }

PyGetSetDef holder_getset[] = {
    {"public_key", holder_public_key, nullptr,
     "The 32-byte Ed25519 public key, for `CapabilityBuilder.holder_of_key`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef holder_methods[] = {
    {"prove", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(holder_prove)),
     METH_FASTCALL | METH_KEYWORDS,
     "prove($self, cap, ctx_json, audience)\n--\n\n"
     "Sign a proof of possession for one call: `cap` bound to this key,\n"
     "`ctx_json` the call as `Verifier.verify_with_context` reads it, and\n"
     "`audience` the gateway's name. Returns the proof text. Each proof has\n"
     "a fresh random nonce and is accepted once, within five minutes of its\n"
     "time (the context's \"nowMs\", or the clock when that is absent).\n"
     "Raises `ValueError` for a capability bound to another key."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot holder_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "HolderKey(seed)\n--\n\n"
                    "An agent's Ed25519 key (RFC 8032), made from its 32-byte seed.\n"
                    "The seed is yours to keep: make it with `os.urandom(32)` and store\n"
                    "it as you would any private key. It is never returned and is\n"
                    "wiped when the object goes.")},
    {Py_tp_new, reinterpret_cast<void*>(holder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
    {Py_tp_methods, holder_methods},
    {Py_tp_getset, holder_getset},
    {0, nullptr},
};

PyType_Spec holder_spec = {
    "velnor._holder.HolderKey",
    static_cast<int>(sizeof(HolderKeyObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    holder_slots,
};

}  // namespace

PyTypeObject* make_holder_key_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &holder_spec, nullptr));
}

}  // namespace velnor::py
