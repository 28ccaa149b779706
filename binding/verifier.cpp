// Python class Verifier: the full verification pipeline, from context JSON
// to receipt JSON.
#include "binding/binding.hpp"

#include "core/context.hpp"
#include "core/internal/per_thread.hpp"

namespace velnor::py {

namespace {

// A receipt is a few hundred bytes; keeping one buffer per thread saves an
// allocation and its regrowth on every call. A buffer that grew for an
// unusually large receipt is given back, so memory stays bounded.
constexpr std::size_t kReceiptReserve = 512;
constexpr std::size_t kReceiptKeepLimit = 16 * 1024;

struct ReceiptBuffer {
  std::string text;
  ReceiptBuffer() { text.reserve(kReceiptReserve); }
};

std::string& receipt_buffer() { return detail::PerThread<ReceiptBuffer, ReceiptBuffer>::get().text; }

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
    if (!in) return raise(Exc::Value, "invalid context JSON: " + in.error());
    const Context context = into_context(std::move(*in));

    const Verifier& verifier = reinterpret_cast<VerifierObject*>(self)->value;
    std::string& out = receipt_buffer();
    out.clear();
    // Straight to text: the receipt record itself is never needed here.
    auto written = verifier.verify_with_context_json(
        reinterpret_cast<CapabilityObject*>(cap_obj)->value, context,
        reinterpret_cast<AuditorObject*>(auditor_obj)->value, out);
    if (!written) return raise_core(written.error());
    PyObject* result = to_str(out);
    if (out.capacity() > kReceiptKeepLimit) {
      std::string().swap(out);
      out.reserve(kReceiptReserve);
    }
    if (result == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
      // Only text that was never valid UTF-8 can get here (a parsed token's
      // identifier or predicate); the caller gets no receipt rather than a
      // mangled one.
      PyErr_Clear();
      return raise(Exc::Runtime, "receipt serialization failed: receipt text is not valid UTF-8");
    }
    return result;
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
