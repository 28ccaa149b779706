// Python class Verifier: the full verification pipeline, from context JSON
// to receipt JSON.
#include "binding/binding.hpp"
#include "binding/holder.hpp"

#include "core/context.hpp"
#include "core/internal/per_thread.hpp"

namespace velnor::py {

namespace {

// The receipt is written into the thread's scratch text, which saves an
// allocation and its regrowth on every call; one that grew for an unusually
// large receipt is given back, so memory stays bounded.
struct ReceiptText {};

// The receipt as a new str. Only text that was never valid UTF-8 can fail
// here (a parsed token's identifier or predicate); the caller then gets no
// receipt rather than a mangled one.
PyObject* receipt_str(const ErrorTypes& errors, std::string_view receipt) {
  PyObject* result = to_str(receipt);
  if (result == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    return fail(errors, Fault::ReceiptText, "receipt text is not valid UTF-8");
  }
  return result;
}

PyObject* verifier_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"key"};
    PyObject* argv[1];
    if (!bind_tuple("Verifier", names, args, kwargs, argv)) return nullptr;
    auto key = arg_bytes("Verifier", "key", argv[0]);
    if (!key) return nullptr;
    return make_object(tp, &VerifierObject::value, Verifier::create(*key));
  });
}

PyObject* verifier_verify_with_context(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* fname = "verify_with_context";
    static constexpr const char* names[] = {"cap", "ctx_json", "auditor"};
    PyObject* argv[3];
    if (!bind_fast(fname, names, args, nargs, kwnames, argv)) return nullptr;
    ModuleState* st = state_of(Py_TYPE(self));
    PyObject* cap_obj = arg_instance(fname, "cap", argv[0], st->capability_type, "Capability");
    if (cap_obj == nullptr) return nullptr;
    auto ctx_json = arg_str(fname, "ctx_json", argv[1]);
    if (!ctx_json) return nullptr;
    PyObject* auditor_obj = arg_instance(fname, "auditor", argv[2], st->auditor_type, "Auditor");
    if (auditor_obj == nullptr) return nullptr;

    // A malformed context is reported before the clock is read or the
    // capability is looked at.
    auto in = read_ctx_in(*ctx_json);
    if (!in) return fail(st->errors, Fault::Context, in.error());
    const Context context = into_context(std::move(*in));

    const Verifier& verifier = reinterpret_cast<VerifierObject*>(self)->value;
    auto* cap = reinterpret_cast<CapabilityObject*>(cap_obj);
    if (cap->receipt_head.empty()) write_receipt_head(cap->value, cap->receipt_head);
    std::string& out = detail::scratch_text<ReceiptText>();
    // Straight to text: the receipt record itself is never needed here.
    auto written = verifier.verify_with_context_json(
        cap->value, context, reinterpret_cast<AuditorObject*>(auditor_obj)->value, out,
        cap->receipt_head);
    if (!written) return fail(st->errors, written.error());
    PyObject* result = receipt_str(st->errors, out);
    detail::trim_scratch(out);
    return result;
  });
}

const Verifier& verifier_of(PyObject* self) { return reinterpret_cast<VerifierObject*>(self)->value; }

PyObject* verifier_with_audience(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"audience"};
    PyObject* argv[1];
    if (!bind_fast("with_audience", names, args, nargs, kwnames, argv)) return nullptr;
    auto audience = arg_str("with_audience", "audience", argv[0]);
    if (!audience) return nullptr;
    Verifier copy = verifier_of(self);
    return make_object(Py_TYPE(self), &VerifierObject::value,
                       std::move(copy).with_audience(std::string(*audience)));
  });
}

PyObject* verifier_with_nonce_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"store"};
    PyObject* argv[1];
    if (!bind_fast("with_nonce_store", names, args, nargs, kwnames, argv)) return nullptr;
    // Either store class: both hold the core store the same way.
    PyTypeObject* redis_type = import_type("velnor._holder", "RedisNonceStore");
    if (redis_type == nullptr) return nullptr;
    const bool is_redis = Py_TYPE(argv[0]) == redis_type;
    Py_DECREF(redis_type);
    PyObject* store = argv[0];
    if (!is_redis) {
      PyTypeObject* memory_type = import_type("velnor._holder", "MemoryNonceStore");
      if (memory_type == nullptr) return nullptr;
      store = arg_instance("with_nonce_store", "store", argv[0], memory_type,
                           "MemoryNonceStore or RedisNonceStore");
      Py_DECREF(memory_type);
    }
    if (store == nullptr) return nullptr;
    Verifier copy = verifier_of(self);
    return make_object(Py_TYPE(self), &VerifierObject::value,
                       std::move(copy).with_nonce_store(reinterpret_cast<NonceStoreObject*>(store)->value));
  });
}

PyObject* verifier_with_revocations(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"revocation_list"};
    PyObject* argv[1];
    if (!bind_fast("with_revocations", names, args, nargs, kwnames, argv)) return nullptr;
    auto text = arg_str("with_revocations", "revocation_list", argv[0]);
    if (!text) return nullptr;
    auto next = verifier_of(self).with_revocation_list(*text);
    if (!next) return fail(state_of(Py_TYPE(self))->errors, next.error());
    return make_object(Py_TYPE(self), &VerifierObject::value, *std::move(next));
  });
}

PyObject* verifier_verify_with_proof(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* fname = "verify_with_proof";
    static constexpr const char* names[] = {"cap", "ctx_json", "proof", "auditor"};
    PyObject* argv[4];
    if (!bind_fast(fname, names, args, nargs, kwnames, argv)) return nullptr;
    ModuleState* st = state_of(Py_TYPE(self));
    PyObject* cap_obj = arg_instance(fname, "cap", argv[0], st->capability_type, "Capability");
    if (cap_obj == nullptr) return nullptr;
    auto ctx_view = arg_str(fname, "ctx_json", argv[1]);
    if (!ctx_view) return nullptr;
    auto proof_view = arg_str(fname, "proof", argv[2]);
    if (!proof_view) return nullptr;
    PyObject* auditor_obj = arg_instance(fname, "auditor", argv[3], st->auditor_type, "Auditor");
    if (auditor_obj == nullptr) return nullptr;

    // Copies of everything mutable or borrowed from Python; the verifier and
    // the auditor are immutable and the call holds references to both.
    const Verifier& verifier = verifier_of(self);
    const Auditor& auditor = reinterpret_cast<AuditorObject*>(auditor_obj)->value;
    const Capability cap = reinterpret_cast<CapabilityObject*>(cap_obj)->value;
    const std::string ctx_json(*ctx_view);
    const std::string proof(*proof_view);

    // What went wrong, kept until the lock is back: the context reader's
    // text or the core's error.
    std::optional<std::string> bad_context;
    std::optional<ProofError> refused;
    std::string out;
    {
      const Unlocked unlocked;
      if (!verifier.accepts_proofs()) {
        refused = ProofError::unconfigured();
      } else if (auto in = read_ctx_in(ctx_json); !in) {
        bad_context = std::move(in.error());
      } else if (auto receipt = verifier.verify_with_proof(cap, into_context(std::move(*in)), proof, auditor);
                 !receipt) {
        refused = std::move(receipt.error());
      } else {
        receipt->write_json(out);
      }
    }
    if (bad_context) return fail(st->errors, Fault::Context, *bad_context);
    if (refused) return fail(st->errors, *refused);
    return receipt_str(st->errors, out);
  });
}

void verifier_dealloc(PyObject* self) { destroy_object(self, &VerifierObject::value); }

PyMethodDef verifier_methods[] = {
    {"verify_with_context",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verifier_verify_with_context)),
     METH_FASTCALL | METH_KEYWORDS,
     "verify_with_context($self, cap, ctx_json, auditor)\n--\n\n"
     "Full pipeline: chain check, caveat evaluation, audit signing.\n"
     "Returns the receipt as a JSON string. Caveat denials surface\n"
     "as `outcome.kind == \"denied\"` on the receipt — they are NOT\n"
     "raised. Chain / audit failures DO raise `ValueError`.\n"
     "\n"
     "`ctx_json` is the context as a JSON STRING. v0.6.1 design\n"
     "note: passing the raw JSON (rather than dict.dumps(dict.loads(...)))\n"
     "preserves number source text for the v0.6 integer-domain\n"
     "rule that closes A.1. From Python this is the natural shape\n"
     "— `json.dumps(ctx)` does NOT collapse f64 precision the way\n"
     "JavaScript's `JSON.parse` does, so Python callers get full\n"
     "A.1 protection by default."},
    {"with_audience",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verifier_with_audience)),
     METH_FASTCALL | METH_KEYWORDS,
     "with_audience($self, audience)\n--\n\n"
     "A new verifier that accepts proofs addressed to `audience` (this\n"
     "gateway's name). The receiver is unchanged."},
    {"with_nonce_store",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verifier_with_nonce_store)),
     METH_FASTCALL | METH_KEYWORDS,
     "with_nonce_store($self, store)\n--\n\n"
     "A new verifier that records proof nonces in `store` (a\n"
     "`MemoryNonceStore` or a `RedisNonceStore`, which may be shared).\n"
     "The receiver is unchanged."},
    {"with_revocations",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verifier_with_revocations)),
     METH_FASTCALL | METH_KEYWORDS,
     "with_revocations($self, revocation_list)\n--\n\n"
     "A new verifier that also denies every capability whose identifier\n"
     "is on `revocation_list` (the text of `Issuer.revocation_list`),\n"
     "attenuations included. Raises `InvalidRevocationListError` (a\n"
     "`ValueError`) for a malformed list, one not signed under this\n"
     "verifier's root key, or one whose version is not newer than the list\n"
     "this verifier already holds, so a stale list can never undo a\n"
     "revocation. The receiver is unchanged."},
    {"verify_with_proof",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verifier_verify_with_proof)),
     METH_FASTCALL | METH_KEYWORDS,
     "verify_with_proof($self, cap, ctx_json, proof, auditor)\n--\n\n"
     "The pipeline for holder-bound capabilities: chain check, the\n"
     "holder's proof (signature, audience, time window, single use),\n"
     "then revocation and caveats. Returns the receipt JSON, of version 2\n"
     "with the proof recorded. Denials are receipts. A malformed context\n"
     "raises `InvalidContextError`, a broken chain `InvalidChainError`,\n"
     "an unreadable or forged proof `InvalidProofError`: all `ValueError`.\n"
     "\n"
     "The context's time decides the window: leave \"nowMs\" out (the\n"
     "gateway's clock is read) or set it from the gateway's clock, never\n"
     "from the agent."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot verifier_slots[] = {
    {Py_tp_doc, const_cast<char*>("Verifier(key)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(verifier_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(verifier_dealloc)},
    {Py_tp_methods, verifier_methods},
    {0, nullptr},
};

PyType_Spec verifier_spec = {
    "velnor._native.Verifier",
    static_cast<int>(sizeof(VerifierObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    verifier_slots,
};

}  // namespace

PyTypeObject* make_verifier_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(
      PyType_FromModuleAndSpec(module, &verifier_spec, nullptr));
}

}  // namespace velnor::py
