// The one place a failure becomes a Python exception: which class, which
// prefix before the core's text, and for a refused receipt which kind.
//
// The typed classes live in the pure-Python module velnor._errors (the
// native module's own set of classes is fixed). Each extension module holds
// them in its state from the moment it is made and raises them directly, so
// the hot path gains neither an import nor a Python-level wrapper.
#include <array>
#include <string>

#include "binding/binding.hpp"

namespace velnor::py {

namespace {

// Which class a fault raises: one of Python's own or a velnor._errors class.
enum class Class : std::uint8_t { Value, Runtime, Typed };

struct Rule {
  Class cls;
  ErrorTypes::Index typed;       // Typed only
  std::string_view prefix;       // put before the detail
  const char* receipt_kind;      // InvalidReceiptError's `kind`, or nullptr
};

constexpr Rule rule(Class cls, std::string_view prefix = {}) {
  return {cls, ErrorTypes::kCount, prefix, nullptr};
}
constexpr Rule typed(ErrorTypes::Index index, std::string_view prefix = {},
                     const char* receipt_kind = nullptr) {
  return {Class::Typed, index, prefix, receipt_kind};
}

// Indexed by Fault, in its declaration order (checked below).
constexpr std::array kRules = {
    rule(Class::Runtime),                                           // Internal
    rule(Class::Runtime, "CapabilityBuilder already consumed"),     // Consumed
    rule(Class::Runtime, "receipt serialization failed: "),         // ReceiptText
    rule(Class::Value),                                             // Refused
    rule(Class::Value, "invalid caveat predicate: "),               // Predicate
    rule(Class::Value, "invalid attenuation predicate: "),          // Attenuation
    typed(ErrorTypes::Token),                                       // Token
    typed(ErrorTypes::Chain),                                       // Chain
    typed(ErrorTypes::Proof),                                       // Proof
    typed(ErrorTypes::Context, "invalid context JSON: "),           // Context
    typed(ErrorTypes::Receipt, "invalid receipt JSON: ", "malformed"),  // ReceiptJson
    typed(ErrorTypes::Receipt, {}, "malformed"),                    // ReceiptMalformed
    typed(ErrorTypes::Receipt, {}, "version"),                      // ReceiptVersion
    typed(ErrorTypes::Receipt, {}, "signature"),                    // ReceiptSignature
    typed(ErrorTypes::RevocationList),                              // RevocationList
};
static_assert(kRules.size() == static_cast<std::size_t>(Fault::RevocationList) + 1,
              "one rule per fault");

// Names in velnor._errors, indexed by ErrorTypes::Index.
constexpr std::array<const char*, ErrorTypes::kCount> kClassNames = {
    "InvalidChainError",   "InvalidProofError",   "MalformedTokenError",
    "InvalidContextError", "InvalidReceiptError", "InvalidRevocationListError",
};

// The class a rule raises. A typed class can only be missing from a module
// whose state was already cleared; ValueError then keeps the fault a
// ValueError, as every typed class is.
PyObject* class_of(const ErrorTypes& types, const Rule& r) {
  switch (r.cls) {
    case Class::Runtime:
      return PyExc_RuntimeError;
    case Class::Typed:
      if (PyObject* cls = types.classes[r.typed]) return cls;
      return PyExc_ValueError;
    case Class::Value:
      break;
  }
  return PyExc_ValueError;
}

PyObject* decode(std::string_view message) {
  return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                              "backslashreplace");
}

// An InvalidReceiptError with its kind, made without running the class's
// Python __init__: that frame alone doubled the cost of refusing a forged
// receipt. The exception's own tp_new stores the args as __init__ would,
// and the kind goes into the instance dictionary where __init__ puts it.
PyObject* receipt_error(PyObject* cls, PyObject* text, const char* receipt_kind) {
  auto make = reinterpret_cast<newfunc>(
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(cls), Py_tp_new));
  PyObject* args = PyTuple_Pack(1, text);
  if (args == nullptr) return nullptr;
  PyObject* exc = make(reinterpret_cast<PyTypeObject*>(cls), args, nullptr);
  Py_DECREF(args);
  if (exc == nullptr) return nullptr;
  PyObject* kind = PyUnicode_InternFromString(receipt_kind);
  if (kind == nullptr || PyObject_SetAttrString(exc, "kind", kind) < 0) {
    Py_XDECREF(kind);
    Py_DECREF(exc);
    return nullptr;
  }
  Py_DECREF(kind);
  return exc;
}

std::nullptr_t set(PyObject* cls, std::string_view message, const char* receipt_kind) {
  PyObject* text = decode(message);
  if (text == nullptr) return nullptr;  // MemoryError already set
  if (receipt_kind == nullptr || cls == PyExc_ValueError) {
    PyErr_SetObject(cls, text);
    Py_DECREF(text);
    return nullptr;
  }
  PyObject* exc = receipt_error(cls, text, receipt_kind);
  Py_DECREF(text);
  if (exc == nullptr) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  Py_DECREF(exc);
  return nullptr;
}

Fault fault_of(const Error& e) {
  // Only a chain check produces InvalidSignature; parsing produces the rest.
  return e.kind() == Error::Kind::InvalidSignature ? Fault::Chain : Fault::Token;
}

Fault fault_of(const VerifyError& e) {
  return e.kind() == VerifyError::Kind::ChainIntegrity ? Fault::Chain : Fault::Refused;
}

Fault fault_of(const ProofError& e) {
  switch (e.kind()) {
    case ProofError::Kind::InvalidProof:
    case ProofError::Kind::InvalidSignature:
      return Fault::Proof;
    case ProofError::Kind::ChainIntegrity:
      return Fault::Chain;
    case ProofError::Kind::Unconfigured:
    case ProofError::Kind::AuditKeyIsRootKey:
      break;
  }
  // The verifier or the auditor is set up wrongly: nothing the caller was
  // handed is at fault.
  return Fault::Refused;
}

Fault fault_of(const AuditError& e) {
  switch (e.kind) {
    case AuditError::Kind::InvalidSignature:
      return Fault::ReceiptSignature;
    case AuditError::Kind::UnsupportedVersion:
      return Fault::ReceiptVersion;
    case AuditError::Kind::Json:
      break;
  }
  return Fault::ReceiptMalformed;
}

}  // namespace

std::nullptr_t fail(const ErrorTypes& types, Fault fault, std::string_view detail) {
  const Rule& r = kRules[static_cast<std::size_t>(fault)];
  PyObject* cls = class_of(types, r);
  if (r.prefix.empty()) return set(cls, detail, r.receipt_kind);
  std::string message;
  message.reserve(r.prefix.size() + detail.size());
  message.append(r.prefix).append(detail);
  return set(cls, message, r.receipt_kind);
}

std::nullptr_t fail(const ErrorTypes& types, const Error& e) {
  return fail(types, fault_of(e), e.display());
}
std::nullptr_t fail(const ErrorTypes& types, const VerifyError& e) {
  return fail(types, fault_of(e), e.display());
}
std::nullptr_t fail(const ErrorTypes& types, const ProofError& e) {
  return fail(types, fault_of(e), e.display());
}
std::nullptr_t fail(const ErrorTypes& types, const AuditError& e) {
  return fail(types, fault_of(e), e.display());
}
std::nullptr_t fail(const ErrorTypes& types, const BuilderError& e) {
  return fail(types, Fault::Refused, e.display());
}

std::nullptr_t fail_internal(std::string_view message) {
  return set(PyExc_RuntimeError, message, nullptr);
}

int load_error_types(ErrorTypes& types) {
  PyObject* module = PyImport_ImportModule("velnor._errors");
  if (module == nullptr) return -1;
  int rc = 0;
  for (std::size_t i = 0; i < kClassNames.size() && rc == 0; ++i) {
    PyObject* cls = PyObject_GetAttrString(module, kClassNames[i]);
    if (cls == nullptr) {
      rc = -1;
    } else if (!PyType_Check(cls) || PyObject_IsSubclass(cls, PyExc_ValueError) != 1) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "velnor._errors.%s is not a ValueError subclass",
                     kClassNames[i]);
      }
      Py_DECREF(cls);
      rc = -1;
    } else {
      Py_XDECREF(types.classes[i]);
      types.classes[i] = cls;
    }
  }
  Py_DECREF(module);
  if (rc < 0) clear_error_types(types);
  return rc;
}

int visit_error_types(const ErrorTypes& types, visitproc visit, void* arg) {
  for (PyObject* cls : types.classes) Py_VISIT(cls);
  return 0;
}

void clear_error_types(ErrorTypes& types) {
  for (PyObject*& cls : types.classes) Py_CLEAR(cls);
}

}  // namespace velnor::py
