// The verifier: chain check, then the decision, then a signed receipt.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/audit.hpp"
#include "core/capability.hpp"
#include "core/context.hpp"
#include "core/error.hpp"
#include "core/internal/crypto.hpp"
#include "core/nonce_store.hpp"
#include "core/proof.hpp"
#include "core/revocation.hpp"

namespace velnor {

class VerifyError {
 public:
  enum class Kind : std::uint8_t { ChainIntegrity, AuditKeyIsRootKey };

  static VerifyError chain_integrity(Error inner) { return VerifyError(Kind::ChainIntegrity, std::move(inner)); }
  // The auditor signs with the verifier's own root key.
  static VerifyError audit_key_is_root_key() { return VerifyError(Kind::AuditKeyIsRootKey, Error()); }
  Kind kind() const { return kind_; }
  const Error& inner() const { return inner_; }  // ChainIntegrity
  // "capability chain integrity: {}", "the audit key must differ from the
  // root key".
  std::string display() const;

 private:
  VerifyError(Kind kind, Error inner) : kind_(kind), inner_(std::move(inner)) {}
  Kind kind_;
  Error inner_;
};

// Why verify_with_proof gave no receipt: the call is refused as input that
// cannot be trusted, not decided.
class ProofError {
 public:
  enum class Kind : std::uint8_t { Unconfigured, AuditKeyIsRootKey, InvalidProof, ChainIntegrity, InvalidSignature };

  static ProofError unconfigured() { return ProofError(Kind::Unconfigured, {}); }
  static ProofError audit_key_is_root_key() { return ProofError(Kind::AuditKeyIsRootKey, {}); }
  static ProofError invalid_proof(std::string why) { return ProofError(Kind::InvalidProof, std::move(why)); }
  static ProofError chain_integrity() { return ProofError(Kind::ChainIntegrity, {}); }
  static ProofError invalid_signature() { return ProofError(Kind::InvalidSignature, {}); }

  Kind kind() const { return kind_; }
  // "verify_with_proof needs an audience and a nonce store (with_audience,
  // with_nonce_store)", "invalid proof: {}", "capability chain integrity:
  // invalid signature", "proof of possession: invalid signature".
  std::string display() const;

 private:
  ProofError(Kind kind, std::string why) : kind_(kind), why_(std::move(why)) {}
  Kind kind_;
  std::string why_;  // InvalidProof: the proof reader's description
};

// A capability whose chain checked out; borrows from it.
struct Verified {
  std::string_view identifier;
  std::span<const Caveat> caveats;
};

// First failing caveat's reason, or success when all pass (or none exist).
std::expected<void, std::string> evaluate_all(std::span<const Caveat> caveats,
                                              const Context& context);

class Verifier {
 public:
  // Copies the key; every length is accepted, zero included.
  static Verifier create(crypto::ByteView root_key);
  // A verifier that also refuses the given identifiers.
  Verifier with_revocations(RevocationList revoked) &&;
  // A copy that also refuses the identifiers of a signed list (see
  // core/revocation.hpp), checked under this verifier's root key. Refuses a
  // malformed list, a bad signature, and a version not newer than that of
  // the list already held (any version, 0 included, when none is held), so
  // a stale or replayed list can never undo a revocation.
  std::expected<Verifier, RevocationError> with_revocation_list(std::string_view signed_list) const;
  // The revocation list held, if any.
  const RevocationList* revocations() const { return revoked_ ? &*revoked_ : nullptr; }
  Verifier with_nonce_store(std::shared_ptr<NonceStore> store) &&;
  // The name this gateway answers to; proofs addressed elsewhere are denied.
  Verifier with_audience(std::string audience) &&;
  // Whether verify_with_proof can run: an audience and a nonce store are set.
  bool accepts_proofs() const { return audience_.has_value() && nonce_store_ != nullptr; }

  std::expected<Verified, VerifyError> verify(const Capability& cap) const;
  // Both refuse an auditor whose key signs like the root key, before
  // anything else: a receipt signature under the root key is the root link
  // of a capability whose identifier is the receipt's signing input, so
  // every denial would hand out a caveat-free capability.
  std::expected<Receipt, VerifyError> verify_with_context(const Capability& cap,
                                                          const Context& context,
                                                          const Auditor& auditor) const;
  // The same check, decision and receipt, appended to `out` as the text
  // verify_with_context(...)->to_json() would give; on an error `out` is
  // left as it was. `head` is as for Auditor::sign_json.
  std::expected<void, VerifyError> verify_with_context_json(const Capability& cap,
                                                            const Context& context,
                                                            const Auditor& auditor,
                                                            std::string& out,
                                                            std::string_view head = {}) const;

  // A call on a holder-bound capability, with the holder's proof text.
  // Errors, in this order: not configured for proofs, a malformed proof, a
  // broken chain, a proof signature that does not verify. Otherwise a
  // receipt: version 1 when the capability has no usable holder key,
  // version 2 (recording the proof) for every other decision. Once the
  // proof's signature, audience and time have passed, its nonce is claimed
  // and stays spent whatever the caveats decide.
  std::expected<Receipt, ProofError> verify_with_proof(const Capability& cap,
                                                       const Context& context,
                                                       std::string_view proof_text,
                                                       const Auditor& auditor) const;

  // The window on both sides of the context's time within which a proof's
  // issued_at_ms is accepted, and for which its nonce is remembered.
  std::uint64_t max_clock_skew_ms() const { return max_clock_skew_ms_; }

 private:
  explicit Verifier(crypto::ByteView key) : root_(key) {}
  // The refusal above, for every method that takes an auditor.
  std::expected<void, VerifyError> check_auditor(const Auditor& auditor) const;
  // The chain check and the decision, shared by both receipt forms.
  std::expected<Outcome, VerifyError> decide(const Capability& cap, const Context& context) const;
  // check_auditor, then decide.
  std::expected<Outcome, VerifyError> decide_for(const Capability& cap, const Context& context,
                                                 const Auditor& auditor) const;
  crypto::HmacKey root_;
  std::optional<RevocationList> revoked_;
  // The revocation list and the caveats, as both pipelines apply them.
  Outcome decide_caveats(const Capability& cap, const Context& context) const;
  std::shared_ptr<NonceStore> nonce_store_;
  std::optional<std::string> audience_;
  std::uint64_t max_clock_skew_ms_ = 300000;
};

}  // namespace velnor
