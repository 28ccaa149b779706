// Shared pieces of the extension module: the module state, the object
// layouts, argument conversion and the one place where failures become
// Python exceptions.
//
// Every object owns exactly one core value, constructed in place after the
// object memory is allocated and destroyed in the type's dealloc. The core
// never sees a PyObject: methods make views of their arguments, call the
// core, and turn the result or the error value into Python.
#pragma once

// The wheel is tagged abi3: built without the limited API it would still
// load, but only on the interpreter it was compiled for, and nothing would
// say so until a user on another version tried it.
#ifndef Py_LIMITED_API
#error "the extension must be built against the limited API (Py_LIMITED_API)"
#endif

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/audit.hpp"
#include "core/capability.hpp"
#include "core/issuer.hpp"
#include "core/verifier.hpp"

namespace velnor::py {

// The exception classes of velnor._errors, looked up once when a module is
// made, so raising one costs no import or attribute lookup.
struct ErrorTypes {
  enum Index : std::uint8_t { Chain, Proof, Token, Context, Receipt, RevocationList, kCount };
  PyObject* classes[kCount] = {};
};

// Fills `types` with new references; -1 with ImportError set when a class is
// missing or is not a ValueError subclass.
int load_error_types(ErrorTypes& types);
int visit_error_types(const ErrorTypes& types, visitproc visit, void* arg);
void clear_error_types(ErrorTypes& types);

// Types live in the module state, not in globals, so they are released with
// the module and reachable from any method through its defining type.
struct ModuleState {
  PyTypeObject* issuer_type = nullptr;
  PyTypeObject* builder_type = nullptr;
  PyTypeObject* capability_type = nullptr;
  PyTypeObject* auditor_type = nullptr;
  PyTypeObject* verifier_type = nullptr;
  ErrorTypes errors;
};

// The state of the module that created `tp`. Our types cannot be
// subclassed, so the type of any receiver is one of ours.
inline ModuleState* state_of(PyTypeObject* tp) {
  return static_cast<ModuleState*>(PyType_GetModuleState(tp));
}

// The state for static methods, which CPython calls without a receiver or a
// defining class. Because the module is initialised at most once per
// process there is exactly one such state. Returns nullptr with RuntimeError
// set once the module has been torn down.
ModuleState* static_state();

struct IssuerObject {
  PyObject_HEAD
  Issuer value;
};

// The slot is emptied by the first builder step and never refilled.
struct BuilderObject {
  PyObject_HEAD
  std::optional<CapabilityBuilder> slot;
};

struct CapabilityObject {
  PyObject_HEAD
  Capability value;
  // The receipt text of `value`'s identifier and caveats, written on the
  // first verification. A Python capability never changes, so every later
  // receipt for it reuses the text instead of escaping it again.
  std::string receipt_head;
};

struct AuditorObject {
  PyObject_HEAD
  Auditor value;
};

struct VerifierObject {
  PyObject_HEAD
  Verifier value;
};

// --- objects -----------------------------------------------------------------

// Allocates an instance of `tp` and moves `value` into its `member`.
// Returns nullptr with MemoryError set when allocation fails; `value` is then
// simply destroyed by the caller's scope.
template <class Obj, class T>
PyObject* make_object(PyTypeObject* tp, T Obj::*member, T&& value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return nullptr;
  auto* obj = reinterpret_cast<Obj*>(self);
  new (&(obj->*member)) T(std::move(value));
  return self;
}

// Shared tail of every dealloc: destroy the core value (key holders wipe
// themselves), free the memory, drop the instance's reference to its heap
// type.
template <class Obj, class T>
void destroy_object(PyObject* self, T Obj::*member) {
  PyTypeObject* tp = Py_TYPE(self);
  (reinterpret_cast<Obj*>(self)->*member).~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

// Sets TypeError "{fname}() argument '{param}' must be {expected}, not
// {type}", naming the type without running any code of the caller's.
void wrong_type(const char* fname, const char* param, const char* expected, PyObject* obj);

// tp_new of the classes that are only made by factory methods.
PyObject* refuse_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs);

// --- failures ------------------------------------------------------------------

// Everything the binding can report, named by what went wrong rather than by
// the exception it becomes: errors.cpp alone decides the class and the
// message prefix of each, so that two call sites reporting the same fault
// cannot drift apart.
enum class Fault : std::uint8_t {
  Internal,          // RuntimeError: a C++ exception escaped the core
  Consumed,          // RuntimeError "CapabilityBuilder already consumed"
  ReceiptText,       // RuntimeError "receipt serialization failed: {}"
  Refused,           // ValueError: a key, capacity or builder state refused
  Predicate,         // ValueError "invalid caveat predicate: {}"
  Attenuation,       // ValueError "invalid attenuation predicate: {}"
  Token,             // MalformedTokenError: token text that does not decode
  Chain,             // InvalidChainError: the signature chain does not verify
  Proof,             // InvalidProofError: a proof unreadable or forged
  Context,           // InvalidContextError "invalid context JSON: {}"
  ReceiptJson,       // InvalidReceiptError(kind="malformed") "invalid receipt JSON: {}"
  ReceiptMalformed,  // InvalidReceiptError(kind="malformed"): no signing input
  ReceiptVersion,    // InvalidReceiptError(kind="version")
  ReceiptSignature,  // InvalidReceiptError(kind="signature")
  RevocationList,    // InvalidRevocationListError
};

// Sets the exception for `fault`; `detail` follows the fault's prefix (and
// is the whole message of a fault that has none). The message is UTF-8;
// bytes that do not decode (a hostile token may put them into a parser
// message) are shown escaped rather than replacing the intended exception
// with a UnicodeDecodeError. Always returns nullptr.
std::nullptr_t fail(const ErrorTypes& types, Fault fault, std::string_view detail = {});

// Core error values, each with its display text unchanged as the message.
std::nullptr_t fail(const ErrorTypes& types, const Error& e);
std::nullptr_t fail(const ErrorTypes& types, const VerifyError& e);
std::nullptr_t fail(const ErrorTypes& types, const ProofError& e);
std::nullptr_t fail(const ErrorTypes& types, const AuditError& e);
std::nullptr_t fail(const ErrorTypes& types, const BuilderError& e);
std::nullptr_t fail(const ErrorTypes& types, const RevocationError& e);

// The last-resort RuntimeError of guarded(), which has no module state.
std::nullptr_t fail_internal(std::string_view message);

// Runs a method body, turning a C++ exception escaping the core (only
// allocation failure is possible) into a Python exception instead of
// letting it unwind through the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return fail_internal(e.what());
  } catch (...) {
    return fail_internal("unexpected internal error");
  }
}

// --- arguments -----------------------------------------------------------------

// Binds a vectorcall argument list (positional or keyword, all required) to
// `names`, in order. On failure sets a TypeError worded like CPython's and
// returns false.
bool bind_fast(const char* fname, std::span<const char* const> names, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// Same for a constructor's argument tuple and keyword dictionary.
bool bind_tuple(const char* fname, std::span<const char* const> names, PyObject* args,
                PyObject* kwargs, PyObject** out);

// UTF-8 view of a `str` argument, valid while the argument lives (CPython
// caches the encoding in the object). TypeError naming the parameter for any
// other type; UnicodeEncodeError for a lone surrogate.
std::optional<std::string_view> arg_str(const char* fname, const char* param, PyObject* obj);
// Byte view of a `bytes` argument; bytearray and memoryview are refused.
std::optional<crypto::ByteView> arg_bytes(const char* fname, const char* param, PyObject* obj);
// The object itself when it is an instance of exactly `tp`.
PyObject* arg_instance(const char* fname, const char* param, PyObject* obj, PyTypeObject* tp,
                       const char* tp_name);

PyObject* to_str(std::string_view utf8);

// --- types -----------------------------------------------------------------------

// Each creates one heap type bound to `module`; nullptr with an exception set
// on failure.
PyTypeObject* make_issuer_type(PyObject* module);
PyTypeObject* make_builder_type(PyObject* module);
PyTypeObject* make_capability_type(PyObject* module);
PyTypeObject* make_auditor_type(PyObject* module);
PyTypeObject* make_verifier_type(PyObject* module);

// Wraps a core capability in a new Python object (used by the builder and by
// attenuation).
// `receipt_head`: write_receipt_head of `cap` when it is at hand already;
// empty, it is written on the first verification.
PyObject* new_capability(ModuleState* st, Capability&& cap, std::string receipt_head = {});

}  // namespace velnor::py
