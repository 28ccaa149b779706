// Python class CapabilityBuilder: one core builder in a slot that the first
// step empties. Every step hands its result to a new object, so a builder
// object serves exactly one step and an old object can never fork a chain.
//
// The steps take the builder out of the slot (or, for a holder key, let the
// core work on it in place and empty the slot once it succeeded) and never
// run Python code in between; with the interpreter lock held throughout, no
// other thread can observe or reuse a half-taken slot, so the exclusive
// access these methods need comes for free.
#include "binding/binding.hpp"

#include "core/caveat_dsl.hpp"

namespace velnor::py {

namespace {

constexpr std::string_view kZeroCaveats =
    "Capability has zero caveats — a no-caveat token is god-mode authorization. Attach at least "
    "one caveat (e.g. `now <= @<expiry>`) before calling build(). See angle C.5.";

BuilderObject* as_builder(PyObject* self) { return reinterpret_cast<BuilderObject*>(self); }

const ErrorTypes& errors_of(PyObject* self) { return state_of(Py_TYPE(self))->errors; }

// Empties the receiver's slot. From here on the receiver is consumed,
// whatever the step does next.
std::optional<CapabilityBuilder> take(PyObject* self) {
  auto& slot = as_builder(self)->slot;
  if (!slot) {
    fail(errors_of(self), Fault::Consumed);
    return std::nullopt;
  }
  std::optional<CapabilityBuilder> taken(std::move(slot));
  slot.reset();
  return taken;
}

PyObject* wrap_builder(PyObject* self, CapabilityBuilder&& b) {
  ModuleState* st = state_of(Py_TYPE(self));
  return make_object(st->builder_type, &BuilderObject::slot,
                     std::optional<CapabilityBuilder>(std::move(b)));
}

PyObject* builder_caveat(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"predicate"};
    PyObject* argv[1];
    if (!bind_fast("caveat", names, args, nargs, kwnames, argv)) return nullptr;
    auto predicate = arg_str("caveat", "predicate", argv[0]);
    if (!predicate) return nullptr;
    // A predicate that cannot parse is refused before the slot is touched,
    // so the caller may retry on the same object.
    if (auto tree = velnor::parse(*predicate); !tree) {
      return fail(errors_of(self), Fault::Predicate, tree.error().display());
    }
    auto b = take(self);
    if (!b) return nullptr;
    return wrap_builder(self, std::move(*b).caveat(std::string(*predicate)));
  });
}

PyObject* builder_holder_of_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"pubkey"};
    PyObject* argv[1];
    if (!bind_fast("holder_of_key", names, args, nargs, kwnames, argv)) return nullptr;
    auto pubkey = arg_bytes("holder_of_key", "pubkey", argv[0]);
    if (!pubkey) return nullptr;
    const ErrorTypes& errors = errors_of(self);
    auto& slot = as_builder(self)->slot;
    if (!slot) {
      // A wrong length is reported before the state of the receiver.
      if (auto ok = CapabilityBuilder::check_holder_key(*pubkey); !ok) return fail(errors, ok.error());
      return fail(errors, Fault::Consumed);
    }
    // The core leaves the builder in the slot when it refuses, so a key of
    // the wrong length or a second holder key (which would mint a token that
    // never verifies) can be retried on the same object. A key after a
    // caveat is a misuse of the chain order: that receiver is consumed.
    auto bound = std::move(*slot).holder_of_key(*pubkey);
    if (!bound) {
      if (bound.error().kind == BuilderError::Kind::AfterCaveat) slot.reset();
      return fail(errors, bound.error());
    }
    slot.reset();
    return wrap_builder(self, std::move(*bound));
  });
}

PyObject* builder_build(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto b = take(self);
    if (!b) return nullptr;
    // A capability without caveats authorizes everything; a holder key
    // alone restricts nothing that a verifier checks.
    if (b->fields().caveats.empty()) return fail(errors_of(self), Fault::Refused, kZeroCaveats);
    return new_capability(state_of(Py_TYPE(self)), std::move(*b).build());
  });
}

void builder_dealloc(PyObject* self) { destroy_object(self, &BuilderObject::slot); }

PyMethodDef builder_methods[] = {
    {"caveat", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(builder_caveat)),
     METH_FASTCALL | METH_KEYWORDS,
     "caveat($self, predicate)\n--\n\n"
     "Attach a caveat. Returns the builder for chaining.\n"
     "Raises `ValueError` if the predicate doesn't parse as caveat DSL."},
    {"holder_of_key",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(builder_holder_of_key)),
     METH_FASTCALL | METH_KEYWORDS,
     "holder_of_key($self, pubkey)\n--\n\n"
     "Bind this capability to an ed25519 public key (32 bytes). Must\n"
     "be called BEFORE any `.caveat()` — see `docs/DESIGN.md` §11."},
    {"build", builder_build, METH_NOARGS,
     "build($self)\n--\n\n"
     "Finalise. Raises `ValueError` if no caveats were attached (a\n"
     "no-caveat token is god-mode authorization — see angle C.5)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot builder_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(builder_dealloc)},
    {Py_tp_methods, builder_methods},
    {0, nullptr},
};

PyType_Spec builder_spec = {
    "velnor._native.CapabilityBuilder",
    static_cast<int>(sizeof(BuilderObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    builder_slots,
};

}  // namespace

PyTypeObject* make_builder_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(
      PyType_FromModuleAndSpec(module, &builder_spec, nullptr));
}

}  // namespace velnor::py
