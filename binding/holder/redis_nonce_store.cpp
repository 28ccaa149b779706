// Python class RedisNonceStore: the replay store a fleet of gateways shares.
#include "binding/holder.hpp"
#include "core/redis_nonce_store.hpp"

namespace velnor::py {

namespace {

constexpr std::string_view kBadTimeout = "timeout_ms must be between 1 and 3600000";

const RedisNonceStore& redis_store(PyObject* self) {
  return static_cast<const RedisNonceStore&>(*reinterpret_cast<NonceStoreObject*>(self)->value);
}

PyObject* redis_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"url", "prefix", "timeout_ms", nullptr};
    PyObject* url_obj = nullptr;
    PyObject* prefix_obj = nullptr;
    PyObject* timeout_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:RedisNonceStore", const_cast<char**>(names),
                                     &url_obj, &prefix_obj, &timeout_obj)) {
      return nullptr;
    }
    auto url = arg_str("RedisNonceStore", "url", url_obj);
    if (!url) return nullptr;
    std::string prefix(RedisNonceStore::kDefaultPrefix);
    if (prefix_obj != nullptr) {
      auto p = arg_str("RedisNonceStore", "prefix", prefix_obj);
      if (!p) return nullptr;
      prefix = std::string(*p);
    }
    std::uint32_t timeout_ms = RedisNonceStore::kDefaultTimeoutMs;
    if (timeout_obj != nullptr) {
      if (!PyLong_Check(timeout_obj) || PyBool_Check(timeout_obj)) {
        wrong_type("RedisNonceStore", "timeout_ms", "int", timeout_obj);
        return nullptr;
      }
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(timeout_obj, &overflow);
      if (v == -1 && PyErr_Occurred()) return nullptr;
      if (overflow != 0 || v < 1 || v > RedisNonceStore::kMaxTimeoutMs) return fail(holder_state_of(tp)->errors, Fault::Refused, kBadTimeout);
      timeout_ms = static_cast<std::uint32_t>(v);
    }
    auto store = RedisNonceStore::create(*url, std::move(prefix), timeout_ms);
    if (!store) return fail(holder_state_of(tp)->errors, Fault::Refused, store.error());
    return make_object(tp, &NonceStoreObject::value, std::shared_ptr<NonceStore>(std::move(*store)));
  });
}

PyObject* redis_prefix(PyObject* self, void*) { return to_str(redis_store(self).prefix()); }

PyObject* redis_timeout(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(redis_store(self).timeout_ms());
}

void redis_dealloc(PyObject* self) {
  // Closing the pooled connections is a few close() calls; no round trip.
  destroy_object(self, &NonceStoreObject::value);
}

PyGetSetDef redis_getset[] = {
    {"prefix", redis_prefix, nullptr, "The text every nonce key starts with.", nullptr},
    {"timeout_ms", redis_timeout, nullptr, "The longest a claim waits for Redis.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot redis_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "RedisNonceStore(url, *, prefix='velnor:nonce:', timeout_ms=50)\n--\n\n"
                    "Remembers the nonces of accepted proofs in Redis, so that gateways\n"
                    "sharing the server accept each proof once between them. `url` is\n"
                    "redis://[:password@]host[:port][/db] or unix:///path/to.sock[?db=N].\n"
                    "Each proof costs one round trip; if Redis cannot answer within\n"
                    "`timeout_ms` (or answers anything unexpected) the proof is denied\n"
                    "with \"nonce store unavailable: ...\". Nothing connects until the\n"
                    "first proof; a lost connection is reopened by the next one.\n"
                    "Thread-safe; one store may serve many verifiers.")},
    {Py_tp_new, reinterpret_cast<void*>(redis_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(redis_dealloc)},
    {Py_tp_getset, redis_getset},
    {0, nullptr},
};

PyType_Spec redis_spec = {
    "velnor._holder.RedisNonceStore",
    static_cast<int>(sizeof(NonceStoreObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    redis_slots,
};

}  // namespace

PyTypeObject* make_redis_store_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &redis_spec, nullptr));
}

}  // namespace velnor::py
