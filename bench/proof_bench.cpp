// A call on a holder-bound capability costs one proof check on top of a
// bearer verification. These run side by side in one process so that
// verify_with_proof can be read against the sum of its two big parts, a bare
// Ed25519 verification and verify_with_context, and libsodium's Ed25519
// against OpenSSL's EVP one on the same 199-byte message.
//
// Threads(2) next to Threads(1) shows the scaling of the proof path with one
// shared nonce store (items_per_second is per run, over all threads).
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "core/audit.hpp"
#include "core/context.hpp"
#include "core/internal/ed25519.hpp"
#include "core/issuer.hpp"
#include "core/nonce_store.hpp"
#include "core/proof.hpp"
#include "core/verifier.hpp"

namespace velnor {
namespace {

constexpr std::string_view kRoot = "root-key-of-the-issuing-service";
constexpr std::string_view kAuditKey = "audit-key-of-the-verifier";
constexpr std::string_view kAudience = "gateway-eu-1";
constexpr std::string_view kCaveats[] = {"now <= @2030-01-01T00:00:00Z", R"(tool == "search")",
                                         "arg.limit <= 50"};
constexpr std::string_view kContextJson =
    R"({"nowMs":1700000000000,"caller":"agent-1","tool":"search",)"
    R"("args":{"query":"weather in Paris","limit":10}})";

Capability issue(const std::optional<ed25519::PublicKey>& holder) {
  CapabilityBuilder b = Issuer::from_key(crypto::as_bytes(kRoot)).issue("cap-7f3a9c");
  if (holder) b = *std::move(b).holder_of_key(*holder);
  for (auto c : kCaveats) b = std::move(b).caveat(std::string(c));
  return std::move(b).build();
}

struct Fixture {
  std::array<std::uint8_t, 32> seed{7, 1, 2, 3};
  HolderKey holder = *HolderKey::from_seed(seed);
  Capability bearer = issue(std::nullopt);
  Capability bound = issue(holder.public_key());
  Context ctx = into_context(std::move(*read_ctx_in(kContextJson)));
  Auditor auditor = *Auditor::create(crypto::as_bytes(kAuditKey));
  Verifier plain = Verifier::create(crypto::as_bytes(kRoot));
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

// One shared store per benchmark run, as a gateway would have.
std::shared_ptr<MemoryNonceStore>& shared_store() {
  static std::shared_ptr<MemoryNonceStore> s;
  return s;
}

struct Signed {
  ProofMessage message;
  ed25519::Signature signature;
};

Signed signed_message() {
  const Fixture& f = fixture();
  const Proof p = *f.holder.prove_with_nonce(f.bound, f.ctx, kAudience, std::array<std::uint8_t, 16>{});
  Signed s{proof_message(f.bound, kAudience, f.ctx, p.issued_at_ms, p.nonce), {}};
  std::copy(p.signature.begin(), p.signature.end(), s.signature.begin());
  return s;
}

void BM_Ed25519Verify_libsodium(benchmark::State& state) {
  const Signed s = signed_message();
  const auto& pk = fixture().holder.public_key();
  for (auto _ : state) {
    if (!ed25519::verify(pk, s.message, s.signature)) {
      state.SkipWithError("signature did not verify");
      break;
    }
  }
}
BENCHMARK(BM_Ed25519Verify_libsodium);

void BM_Ed25519Verify_openssl(benchmark::State& state) {
  const Signed s = signed_message();
  const auto& pk = fixture().holder.public_key();
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pk.data(), pk.size());
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  for (auto _ : state) {
    // One-shot Ed25519 needs a fresh init per message in OpenSSL 3.
    const bool ok = EVP_DigestVerifyInit_ex(md, nullptr, nullptr, nullptr, nullptr, key, nullptr) == 1 &&
                    EVP_DigestVerify(md, s.signature.data(), s.signature.size(), s.message.data(),
                                     s.message.size()) == 1;
    if (!ok) {
      state.SkipWithError("OpenSSL refused the signature");
      break;
    }
  }
  EVP_MD_CTX_free(md);
  EVP_PKEY_free(key);
}
BENCHMARK(BM_Ed25519Verify_openssl);

void BM_VerifyWithContext(benchmark::State& state) {
  const Fixture& f = fixture();
  std::string out;
  for (auto _ : state) {
    out.clear();
    if (!f.plain.verify_with_context_json(f.bearer, f.ctx, f.auditor, out)) {
      state.SkipWithError("chain refused");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_VerifyWithContext);

void BM_Sign(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) {
    auto p = f.holder.prove(f.bound, f.ctx, kAudience);
    benchmark::DoNotOptimize(p);
  }
}
BENCHMARK(BM_Sign);

// Every iteration checks a proof it has not seen, so each one claims a new
// nonce; proofs are made in batches outside the timed region.
void BM_VerifyWithProof(benchmark::State& state) {
  const Fixture& f = fixture();
  if (state.thread_index() == 0) shared_store() = *MemoryNonceStore::create(16'000'000);
  // The other threads wait at the first iteration until thread 0 is here.
  constexpr std::size_t kBatch = 2048;
  std::vector<std::string> proofs;
  std::size_t next = kBatch;
  std::optional<Verifier> gateway;
  std::string out;
  for (auto _ : state) {
    if (next == kBatch) {
      state.PauseTiming();
      if (!gateway) {
        gateway = Verifier::create(crypto::as_bytes(kRoot))
                      .with_audience(std::string(kAudience))
                      .with_nonce_store(shared_store());
      }
      proofs.clear();
      for (std::size_t i = 0; i < kBatch; ++i) proofs.push_back(*f.holder.prove(f.bound, f.ctx, kAudience));
      next = 0;
      state.ResumeTiming();
    }
    auto r = gateway->verify_with_proof(f.bound, f.ctx, proofs[next++], f.auditor);
    if (!r || r->outcome.kind != Outcome::Kind::Allowed) {
      state.SkipWithError("proof was not accepted");
      break;
    }
    out.clear();
    r->write_json(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_VerifyWithProof)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace velnor
