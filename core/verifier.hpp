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

// A capability whose chain checked out; borrows from it.
struct Verified {
  std::string_view identifier;
  std::span<const Caveat> caveats;
};

// Identifiers refused by a verifier, kept in ascending byte order.
class RevocationList {
 public:
  explicit RevocationList(std::vector<std::string> identifiers);  // sorts
  bool contains(std::string_view identifier) const;  // binary search
  const std::vector<std::string>& identifiers() const { return ids_; }

 private:
  std::vector<std::string> ids_;
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
  Verifier with_nonce_store(std::shared_ptr<NonceStore> store) &&;

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
  // left as it was.
  std::expected<void, VerifyError> verify_with_context_json(const Capability& cap,
                                                            const Context& context,
                                                            const Auditor& auditor,
                                                            std::string& out) const;

 private:
  explicit Verifier(crypto::ByteView key) : root_(key) {}
  // The refusal above, for every method that takes an auditor.
  std::expected<void, VerifyError> check_auditor(const Auditor& auditor) const;
  // The chain check and the decision, shared by both receipt forms.
  std::expected<Outcome, VerifyError> decide(const Capability& cap, const Context& context) const;
  crypto::HmacKey root_;
  std::optional<RevocationList> revoked_;
  std::shared_ptr<NonceStore> nonce_store_;
  std::uint64_t max_clock_skew_ms_ = 300000;  // kept for the nonce store
};

}  // namespace velnor
