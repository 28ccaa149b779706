// The objects of the second extension module, velnor._holder: the agent's
// HolderKey and the gateway's MemoryNonceStore. Their layouts are shared
// with _native, whose Verifier takes a store and whose Capability a
// HolderKey proves for; each module finds the other's types by importing it,
// never through globals.
#pragma once

#include "binding/binding.hpp"
#include "core/nonce_store.hpp"
#include "core/proof.hpp"

namespace velnor::py {

struct HolderKeyObject {
  PyObject_HEAD
  HolderKey value;
};

// Both store classes share this layout, so a verifier takes either alike;
// the class says which implementation `value` points to.
struct NonceStoreObject {
  PyObject_HEAD
  std::shared_ptr<NonceStore> value;
};

// State of velnor._holder: the type it takes from _native and the exception
// classes, found once when the module is made.
struct HolderState {
  PyTypeObject* capability_type = nullptr;
  ErrorTypes errors;
};

inline HolderState* holder_state_of(PyTypeObject* tp) {
  return static_cast<HolderState*>(PyType_GetModuleState(tp));
}

// The attribute `name` of the module `module` when it is a type; nullptr
// with an exception set otherwise. A new reference.
PyTypeObject* import_type(const char* module, const char* name);

// Releases the interpreter lock for its scope. Everything the core reads in
// that scope must be owned by the call or by an immutable object the caller
// holds a reference to.
class Unlocked {
 public:
  Unlocked() : saved_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(saved_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace velnor::py
