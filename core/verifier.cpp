#include "core/verifier.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>

#include "core/caveat_dsl.hpp"
#include "core/internal/quote.hpp"
#include "core/internal/try.hpp"

namespace velnor {
namespace {

constexpr std::string_view kHolderBoundReason =
    "capability is bound to a holder key; use verify_with_proof";
constexpr std::string_view kNotBoundReason =
    "capability is not bound to a holder key; use verify_with_context";
constexpr std::string_view kBadHolderKeyReason = "holder key is not an Ed25519 public key";

// The nonce's key in the store: per holder, so one agent's nonces can never
// collide with another's.
NonceKey nonce_key(crypto::ByteView holder_key, crypto::ByteView nonce) {
  Bytes joined(holder_key.begin(), holder_key.end());
  joined.insert(joined.end(), nonce.begin(), nonce.end());
  const crypto::Digest d = crypto::sha256(joined);
  NonceKey key{};
  std::ranges::copy(d.bytes, key.begin());
  return key;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

std::uint64_t distance(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; }

std::string caveat_error_reason(std::string_view what, std::string_view predicate,
                                const DslError& e) {
  std::string reason(what);
  text::append_quoted_str(reason, predicate);
  reason.append(": ");
  reason.append(e.display());
  return reason;
}

}  // namespace

std::string ProofError::display() const {
  switch (kind_) {
    case Kind::Unconfigured:
      return "verify_with_proof needs an audience and a nonce store (with_audience, with_nonce_store)";
    case Kind::AuditKeyIsRootKey:
      return "the audit key must differ from the root key";
    case Kind::InvalidProof:
      return "invalid proof: " + why_;
    case Kind::ChainIntegrity:
      return "capability chain integrity: invalid signature";
    case Kind::InvalidSignature:
      return "proof of possession: invalid signature";
  }
  return "proof of possession: invalid signature";
}

std::string VerifyError::display() const {
  if (kind_ == Kind::AuditKeyIsRootKey) return "the audit key must differ from the root key";
  return "capability chain integrity: " + inner_.display();
}

std::expected<void, std::string> evaluate_all(std::span<const Caveat> caveats,
                                              const Context& context) {
  for (const Caveat& c : caveats) {
    // Parsed afresh every time: the stored text is what was signed, and a
    // cached tree could drift from it.
    auto expr = parse(c.predicate);
    if (!expr) {
      return std::unexpected(caveat_error_reason("caveat parse error in ", c.predicate, expr.error()));
    }
    auto result = eval_expr(*expr, context);
    if (!result) {
      return std::unexpected(caveat_error_reason("caveat eval error in ", c.predicate, result.error()));
    }
    if (!*result) return std::unexpected("caveat failed: " + c.predicate);
  }
  return {};
}

Verifier Verifier::create(crypto::ByteView root_key) { return Verifier(root_key); }

Verifier Verifier::with_revocations(RevocationList revoked) && {
  revoked_ = std::move(revoked);
  return std::move(*this);
}

std::expected<Verifier, RevocationError> Verifier::with_revocation_list(std::string_view signed_list) const {
  auto list = open_revocation_list(signed_list, root_);
  if (!list) return std::unexpected(std::move(list.error()));
  if (revoked_ && list->version() <= revoked_->version()) {
    return std::unexpected(RevocationError::not_newer(list->version(), revoked_->version()));
  }
  Verifier copy = *this;
  copy.revoked_ = *std::move(list);
  return copy;
}

Verifier Verifier::with_nonce_store(std::shared_ptr<NonceStore> store) && {
  nonce_store_ = std::move(store);
  return std::move(*this);
}

Verifier Verifier::with_audience(std::string audience) && {
  audience_ = std::move(audience);
  return std::move(*this);
}

std::expected<Verified, VerifyError> Verifier::verify(const Capability& cap) const {
  const crypto::Digest link = chain_signature(root_, cap);
  if (!crypto::constant_time_equal(link.span(), cap.signature)) {
    return std::unexpected(VerifyError::chain_integrity(Error::invalid_signature()));
  }
  return Verified{cap.identifier, cap.caveats};
}

std::expected<void, VerifyError> Verifier::check_auditor(const Auditor& auditor) const {
  if (auditor.signs_with(root_)) return std::unexpected(VerifyError::audit_key_is_root_key());
  return {};
}

std::expected<Outcome, VerifyError> Verifier::decide(const Capability& cap,
                                                     const Context& context) const {
  VELNOR_TRY(verify(cap));

  if (cap.holder_of_key) {
    // Proof of possession is not checked on this path, so a bound
    // capability must never pass on the bearer's word alone.
    return Outcome::denied(std::string(kHolderBoundReason));
  }
  return decide_caveats(cap, context);
}

Outcome Verifier::decide_caveats(const Capability& cap, const Context& context) const {
  if (revoked_ && revoked_->contains(cap.identifier)) {
    return Outcome::denied("capability revoked: " + cap.identifier);
  }
  if (auto passed = evaluate_all(cap.caveats, context); !passed) {
    return Outcome::denied(std::move(passed.error()));
  }
  return Outcome::allowed();
}

std::expected<Receipt, ProofError> Verifier::verify_with_proof(const Capability& cap,
                                                               const Context& context,
                                                               std::string_view proof_text,
                                                               const Auditor& auditor) const {
  if (!accepts_proofs()) return std::unexpected(ProofError::unconfigured());
  if (!check_auditor(auditor)) return std::unexpected(ProofError::audit_key_is_root_key());
  auto proof = decode_proof(proof_text);
  if (!proof) return std::unexpected(ProofError::invalid_proof(std::move(proof.error())));
  if (!verify(cap)) return std::unexpected(ProofError::chain_integrity());

  // Nothing of the proof has been looked at yet, so these receipts record
  // none of it.
  if (!cap.holder_of_key) return auditor.sign(cap, context, Outcome::denied(std::string(kNotBoundReason)));
  const Bytes& holder = *cap.holder_of_key;
  if (!ed25519::is_valid_public_key(holder)) {
    return auditor.sign(cap, context, Outcome::denied(std::string(kBadHolderKeyReason)));
  }

  const ProofMessage message =
      proof_message(cap, proof->audience, context, proof->issued_at_ms, proof->nonce);
  if (!ed25519::verify(holder, message, proof->signature)) {
    return std::unexpected(ProofError::invalid_signature());
  }

  const std::uint64_t now_ms = unix_ms(context.now);
  Outcome outcome;
  if (proof->audience != *audience_) {
    std::string reason = "proof is for another audience: ";
    text::append_quoted_str(reason, proof->audience);
    outcome = Outcome::denied(std::move(reason));
  } else if (distance(now_ms, proof->issued_at_ms) > max_clock_skew_ms_) {
    outcome = Outcome::denied("proof outside the clock window: issued at " +
                              std::to_string(proof->issued_at_ms) + " ms, now " +
                              std::to_string(now_ms) + " ms");
  } else {
    // Claimed before the caveats are looked at: a proof that was refused by
    // them must not be tried again against a moved clock or a changed list.
    const NonceClaim claim =
        nonce_store_->claim(nonce_key(holder, proof->nonce),
                            saturating_add(proof->issued_at_ms, max_clock_skew_ms_), now_ms);
    switch (claim.kind) {
      case NonceClaim::Kind::Fresh:
        outcome = decide_caveats(cap, context);
        break;
      case NonceClaim::Kind::Replay:
        outcome = Outcome::denied("proof already used");
        break;
      case NonceClaim::Kind::Unavailable:
        outcome = Outcome::denied("nonce store unavailable: " + claim.reason);
        break;
    }
  }

  ProofRecord record{std::move(proof->audience), holder, proof->issued_at_ms,
                     std::move(proof->nonce), std::move(proof->signature)};
  return auditor.sign_with_proof(cap, context, std::move(outcome), std::move(record));
}

std::expected<Outcome, VerifyError> Verifier::decide_for(const Capability& cap, const Context& context,
                                                         const Auditor& auditor) const {
  VELNOR_TRY(check_auditor(auditor));
  return decide(cap, context);
}

std::expected<Receipt, VerifyError> Verifier::verify_with_context(const Capability& cap,
                                                                  const Context& context,
                                                                  const Auditor& auditor) const {
  VELNOR_TRY_ASSIGN(outcome, decide_for(cap, context, auditor));
  return auditor.sign(cap, context, std::move(outcome));
}

std::expected<void, VerifyError> Verifier::verify_with_context_json(const Capability& cap,
                                                                    const Context& context,
                                                                    const Auditor& auditor,
                                                                    std::string& out,
                                                                    std::string_view head) const {
  VELNOR_TRY_ASSIGN(outcome, decide_for(cap, context, auditor));
  auditor.sign_json(cap, context, outcome, out, head);
  return {};
}

}  // namespace velnor
