// Signed receipts of verification decisions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/capability.hpp"
#include "core/context.hpp"
#include "core/internal/crypto.hpp"
#include "core/proof.hpp"

namespace velnor {

inline constexpr std::uint8_t RECEIPT_SCHEMA_VERSION = 1;
// Receipts of proof checks: version 1 plus the member `proof`.
inline constexpr std::uint8_t RECEIPT_PROOF_VERSION = 2;
inline constexpr std::size_t MIN_AUDIT_KEY_LEN = 16;
inline constexpr std::uint8_t kSigningInputTag = 0x76;  // 'v'

struct ContextSummary {
  std::string caller;
  std::string tool;
  std::string args_hash;
  bool operator==(const ContextSummary&) const = default;
};

struct Outcome {
  enum class Kind : std::uint8_t { Allowed, Denied };
  Kind kind = Kind::Allowed;
  std::string reason;  // Denied only

  static Outcome allowed() { return {}; }
  static Outcome denied(std::string reason) { return {Kind::Denied, std::move(reason)}; }
  bool operator==(const Outcome&) const = default;
};

struct Receipt {
  std::uint8_t version = RECEIPT_SCHEMA_VERSION;
  std::string capability_identifier;
  std::vector<Caveat> caveats;
  ContextSummary context_summary;
  std::optional<ProofRecord> proof;  // present exactly in version 2
  Outcome outcome;
  std::uint64_t timestamp_ms = 0;
  Bytes signature;

  // Compact JSON, members in declaration order, outcome as kind then reason.
  void write_json(std::string& out) const;
  std::string to_json() const;

  // Reads one receipt JSON document; no version or signature check. Errors
  // are the reader's description followed by " at line L column C".
  static std::expected<Receipt, std::string> from_json(std::string_view text);

  bool operator==(const Receipt&) const = default;
};

namespace json {
// One receipt JSON document, read with the rules of
// core/internal/json_reader.hpp. Outcome: an object carrying "kind"
// ("allowed" or "denied", anywhere among its members) and, for "denied",
// "reason"; faults of "reason" count only for a denied outcome and are then
// reported at the closing brace; "unknown variant `x`, expected `allowed` or
// `denied`". Its array form is ["allowed"] or ["denied", reason].
std::expected<Receipt, std::string> read_receipt(std::string_view text);
}  // namespace json

struct AuditError {
  enum class Kind : std::uint8_t { InvalidSignature, UnsupportedVersion, Json };
  Kind kind = Kind::InvalidSignature;
  std::uint8_t got = 0, expected = 0;  // UnsupportedVersion
  std::string json;                    // Json: the writer's error

  // "invalid signature", "unsupported receipt schema version: got {},
  // expected {}", "json: {}".
  std::string display() const;
};

// 0x76, the version byte, then compact JSON of the receipt with members
// sorted at every level and the top-level "signature" left out. Writing a
// receipt record cannot fail; the error side exists for the interface.
std::expected<std::string, std::string> signing_input(const Receipt& receipt);

crypto::Digest hmac_sign(crypto::ByteView key, crypto::ByteView data);

// The part of a receipt's text that depends on the capability alone, its
// identifier and caveats, exactly as sign_json writes them (escaped, with
// the member names around them). Never empty.
void write_receipt_head(const Capability& cap, std::string& out);
// The same from a token's parts as written (Capability::parse), which are
// already the JSON of the identifier and the caveats.
void write_receipt_head(const WrittenParts& parts, std::string& out);

class Auditor {
 public:
  // Refuses keys shorter than MIN_AUDIT_KEY_LEN with
  // "Auditor: key length {} < MIN_AUDIT_KEY_LEN (16); see audit".
  static std::expected<Auditor, std::string> create(crypto::ByteView key);

  Receipt sign(const Capability& cap, const Context& context, Outcome outcome) const;
  // A version-2 receipt: the decision on a call that came with a proof.
  Receipt sign_with_proof(const Capability& cap, const Context& context, Outcome outcome,
                          ProofRecord proof) const;
  // Appends to `out` exactly sign(cap, context, outcome).to_json(), without
  // building the Receipt record in between. `head`, when not empty, is
  // write_receipt_head(cap) made earlier: a caller that keeps an unchanging
  // capability can write that part once rather than on every receipt.
  void sign_json(const Capability& cap, const Context& context, const Outcome& outcome,
                 std::string& out, std::string_view head = {}) const;
  // Versions 1 and 2. An unknown version is refused before the signature is
  // looked at, naming the nearest known version as expected.
  std::expected<void, AuditError> verify(const Receipt& receipt) const;
  // Whether this auditor's key signs exactly like `key` (constant time,
  // from fingerprints made when each key was set).
  bool signs_with(const crypto::HmacKey& key) const { return key_.same_key(key); }

 private:
  explicit Auditor(crypto::ByteView key) : key_(key) {}
  Receipt signed_receipt(std::uint8_t version, const Capability& cap, const Context& context, Outcome outcome,
                         std::optional<ProofRecord> proof) const;
  crypto::HmacKey key_;  // pad states computed once per auditor
};

}  // namespace velnor
