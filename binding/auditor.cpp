// Python class Auditor: holds the audit key, checks received receipts.
#include "binding/binding.hpp"

namespace velnor::py {

namespace {

constexpr std::string_view kEmptyKey =
    "Auditor key must be non-empty (angle B.3: zero-byte key produces forgeable receipts)";

// All the work happens here rather than in __init__, so an Auditor is
// complete the moment it exists and calling __init__ again changes nothing.
PyObject* auditor_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"key"};
    PyObject* argv[1];
    if (!bind_tuple("Auditor", names, args, kwargs, argv)) return nullptr;
    auto key = arg_bytes("Auditor", "key", argv[0]);
    if (!key) return nullptr;
    const ErrorTypes& errors = state_of(tp)->errors;
    if (key->empty()) return fail(errors, Fault::Refused, kEmptyKey);
    auto auditor = Auditor::create(*key);
    if (!auditor) return fail(errors, Fault::Refused, auditor.error());
    return make_object(tp, &AuditorObject::value, std::move(*auditor));
  });
}

PyObject* auditor_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"receipt_json"};
    PyObject* argv[1];
    if (!bind_fast("verify", names, args, nargs, kwnames, argv)) return nullptr;
    auto text = arg_str("verify", "receipt_json", argv[0]);
    if (!text) return nullptr;
    const ErrorTypes& errors = state_of(Py_TYPE(self))->errors;
    auto receipt = Receipt::from_json(*text);
    if (!receipt) return fail(errors, Fault::ReceiptJson, receipt.error());
    auto checked = reinterpret_cast<AuditorObject*>(self)->value.verify(*receipt);
    if (!checked) return fail(errors, checked.error());
    Py_RETURN_NONE;
  });
}

void auditor_dealloc(PyObject* self) { destroy_object(self, &AuditorObject::value); }

PyMethodDef auditor_methods[] = {
    {"verify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(auditor_verify)),
     METH_FASTCALL | METH_KEYWORDS,
     "verify($self, receipt_json)\n--\n\n"
     "Verify a receipt's audit signature.\n"
     "\n"
     "v0.7.1: verification decodes the receipt through the core's\n"
     "`Receipt::from_json` before checking it, so every way a received\n"
     "receipt can be wrong is reported the same way:\n"
     "\n"
     "- Malformed JSON / missing required fields → `ValueError`\n"
     "- HMAC signature mismatch (forged or tampered receipt) → `ValueError`\n"
     "- Unsupported schema version → `ValueError`\n"
     "- Returns silently on success.\n"
     "\n"
     "This is the load-bearing check for *externally-received*\n"
     "receipts (e.g. a receipt that arrived over the wire from\n"
     "another service that holds the same audit key). For\n"
     "receipts you just produced via `verifier.verify_with_context`,\n"
     "the signature is already valid by construction."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot auditor_slots[] = {
    {Py_tp_doc, const_cast<char*>("Auditor(key)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(auditor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(auditor_dealloc)},
    {Py_tp_methods, auditor_methods},
    {0, nullptr},
};

PyType_Spec auditor_spec = {
    "velnor._native.Auditor",
    static_cast<int>(sizeof(AuditorObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    auditor_slots,
};

}  // namespace

PyTypeObject* make_auditor_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(
      PyType_FromModuleAndSpec(module, &auditor_spec, nullptr));
}

}  // namespace velnor::py
