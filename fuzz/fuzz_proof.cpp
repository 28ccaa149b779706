// Proof documents: the input is the JSON under the base64url text, so the
// fuzzer works on structure. Whatever is read must be written back and
// read again unchanged, and a gateway must turn it into an error or a
// receipt that its auditor accepts, never anything else.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/internal/base64url.hpp"
#include "core/issuer.hpp"
#include "core/proof.hpp"
#include "core/verifier.hpp"

namespace {

using namespace velnor;

struct Gateway {
  HolderKey holder = *HolderKey::from_seed(Bytes(32, 7));
  Capability cap;
  Context ctx = into_context(std::move(*read_ctx_in(
      R"({"nowMs":1700000000000,"caller":"agent","tool":"search","args":{"limit":10}})")));
  Auditor auditor = *Auditor::create(crypto::as_bytes("fuzz-audit-key-0123456789"));
  std::shared_ptr<MemoryNonceStore> store = *MemoryNonceStore::create(1024);
  Verifier verifier = Verifier::create(crypto::as_bytes("fuzz-root"))
                          .with_audience("gateway")
                          .with_nonce_store(store);
  Gateway() {
    cap = std::move(*Issuer::from_key(crypto::as_bytes("fuzz-root")).issue("cap").holder_of_key(
                        holder.public_key()))
              .caveat("arg.limit <= 50")
              .build();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 16) return 0;
  static const Gateway g;
  const std::string text = base64url::encode({data, size});
  auto proof = decode_proof(text);
  if (proof) {
    auto again = decode_proof(encode_proof(*proof));
    if (!again || !(*again == *proof)) __builtin_trap();
  }
  auto r = g.verifier.verify_with_proof(g.cap, g.ctx, text, g.auditor);
  if (!r) {
    (void)r.error().display();
    return 0;
  }
  if (!g.auditor.verify(*r) || !Receipt::from_json(r->to_json())) __builtin_trap();
  return 0;
}
