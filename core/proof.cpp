#include "core/proof.hpp"

#include <algorithm>
#include <limits>
#include <tuple>
#include <utility>

#include "core/internal/base64url.hpp"
#include "core/internal/json_reader.hpp"
#include "core/internal/json_write.hpp"
#include "core/internal/try.hpp"
#include "core/proof_json.hpp"

namespace velnor {
namespace {

constexpr std::string_view kNotBound = "capability is not bound to this holder key";
constexpr std::string_view kBadSeed = "holder key seed must be 32 bytes";

std::uint8_t* put(std::uint8_t* at, const crypto::Digest& d) {
  return std::copy(d.bytes.begin(), d.bytes.end(), at);
}

struct ProofSchema : json::RecordRules {
  using Record = Proof;
  static constexpr std::string_view kName = "struct Proof";
  static constexpr auto kFields = signed_fields<Proof>();
};

// The members a proof and the record of it share, in the order both write.
void write_signed_tail(std::string& out, std::uint64_t issued_at_ms, const Bytes& nonce, const Bytes& signature) {
  out.append(R"(,"issued_at_ms":)");
  json::append_uint(out, issued_at_ms);
  out.append(R"(,"nonce":)");
  json::append_hex(out, nonce);
  out.append(R"(,"signature":)");
  json::append_hex(out, signature);
  out.push_back('}');
}

}  // namespace

std::uint64_t unix_ms(const Instant& t) {
  if (t.secs < 0) return 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const auto secs = static_cast<std::uint64_t>(t.secs);
  const std::uint64_t sub_ms = t.nanos / 1'000'000u;
  if (secs > (kMax - sub_ms) / 1000u) return kMax;
  return secs * 1000u + sub_ms;
}

ProofMessage proof_message(const Capability& cap, std::string_view audience,
                           const Context& context, std::uint64_t issued_at_ms,
                           crypto::ByteView nonce) {
  ProofMessage m{};
  std::uint8_t* at = std::copy(kProofDomain.begin(), kProofDomain.end(), m.begin());
  at = put(at, crypto::sha256(cap.signature));
  at = put(at, crypto::sha256(crypto::as_bytes(audience)));
  at = put(at, crypto::sha256(crypto::as_bytes(context.caller)));
  at = put(at, crypto::sha256(crypto::as_bytes(context.tool)));
  at = put(at, context.args_digest());
  for (int shift = 56; shift >= 0; shift -= 8) {
    *at++ = static_cast<std::uint8_t>(issued_at_ms >> shift);
  }
  // A nonce of another length cannot come from a read proof; keep the
  // message its fixed size whatever a caller passes.
  const std::size_t n = std::min(nonce.size(), kNonceLen);
  std::copy_n(nonce.begin(), n, at);
  return m;
}

void write_proof_json(std::string& out, const Proof& proof) {
  out.append(R"({"audience":)");
  json::append_string(out, proof.audience);
  write_signed_tail(out, proof.issued_at_ms, proof.nonce, proof.signature);
}

void write_proof_record_json(std::string& out, const ProofRecord& record) {
  out.append(R"({"audience":)");
  json::append_string(out, record.audience);
  out.append(R"(,"holder_key":)");
  json::append_hex(out, record.holder_key);
  write_signed_tail(out, record.issued_at_ms, record.nonce, record.signature);
}

namespace json {

std::expected<Proof, std::string> read_proof(std::string_view text) { return read<Record<ProofSchema>>(text); }

}  // namespace json

std::string encode_proof(const Proof& proof) {
  std::string json;
  write_proof_json(json, proof);
  return base64url::encode(crypto::as_bytes(json));
}

std::expected<Proof, std::string> decode_proof(std::string_view text) {
  auto raw = base64url::decode(text);
  if (!raw) return std::unexpected("base64 decode failed: " + raw.error().display());
  const std::string_view json(reinterpret_cast<const char*>(raw->data()), raw->size());
  return json::read_proof(json);
}

HolderKey::HolderKey(crypto::ByteView seed)
    : key_(std::make_shared<const ed25519::SecretKey>(seed)) {}

std::expected<HolderKey, std::string> HolderKey::from_seed(crypto::ByteView seed) {
  if (seed.size() != ed25519::kSeedLen) return std::unexpected(std::string(kBadSeed));
  return HolderKey(seed);
}

std::expected<Proof, std::string> HolderKey::prove_with_nonce(const Capability& cap,
                                                              const Context& context,
                                                              std::string_view audience,
                                                              crypto::ByteView nonce) const {
  const ed25519::PublicKey& pk = public_key();
  if (!cap.holder_of_key || !std::ranges::equal(*cap.holder_of_key, pk)) {
    return std::unexpected(std::string(kNotBound));
  }
  Proof proof;
  proof.audience.assign(audience);
  proof.issued_at_ms = unix_ms(context.now);
  proof.nonce.assign(nonce.begin(), nonce.end());
  const ProofMessage m = proof_message(cap, audience, context, proof.issued_at_ms, nonce);
  const ed25519::Signature sig = key_->sign(m);
  proof.signature.assign(sig.begin(), sig.end());
  return proof;
}

std::expected<std::string, std::string> HolderKey::prove(const Capability& cap,
                                                         const Context& context,
                                                         std::string_view audience) const {
  std::array<std::uint8_t, kNonceLen> nonce{};
  ed25519::random_bytes(nonce);
  VELNOR_TRY_ASSIGN(proof, prove_with_nonce(cap, context, audience, nonce));
  return encode_proof(proof);
}

}  // namespace velnor
