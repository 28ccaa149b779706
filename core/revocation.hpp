// Revocation lists: identifiers a verifier refuses, and their signed form,
// which lets an issuing service publish one list that every gateway of a
// fleet can take from an untrusted channel.
//
// The signed text is unpadded base64url of the compact JSON
//   {"version":N,"identifiers":["a","b",...],"signature":"<64 hex digits>"}
// with the identifiers in ascending byte order and without duplicates, and
// the version an unsigned 64-bit counter. The signature is HMAC-SHA-256
// under a key derived from the root key for lists alone: the list key is the
// HMAC of the root key over a label whose first byte is 0xFF, which no UTF-8
// text contains, so it is the root link of no capability a token can carry;
// receipts are signed under a key that must differ from the root key, and
// proofs under Ed25519. The signing input is
//   "velnor revocation list" 0x00, version (8 bytes big-endian),
//   count (8 bytes big-endian), then per identifier its length (8 bytes
//   big-endian) and its bytes,
// so no two lists share one.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/internal/crypto.hpp"

namespace velnor {

// Identifiers refused by a verifier, kept in ascending byte order, with the
// version and signature of the signed list they came from (0 and empty for
// a list made in the process).
class RevocationList {
 public:
  explicit RevocationList(std::vector<std::string> identifiers);  // sorts, drops duplicates
  bool contains(std::string_view identifier) const;                // binary search
  const std::vector<std::string>& identifiers() const { return ids_; }
  std::uint64_t version() const { return version_; }
  std::span<const std::uint8_t> signature() const { return signature_; }

  // The signed text of `identifiers` (sorted and deduplicated here) at
  // `version`, under `root`. Never fails.
  static std::string sign(const crypto::HmacKey& root, std::vector<std::string> identifiers,
                          std::uint64_t version);

 private:
  friend class RevocationReader;
  RevocationList() = default;
  std::vector<std::string> ids_;
  std::uint64_t version_ = 0;
  std::vector<std::uint8_t> signature_;
};

class RevocationError {
 public:
  enum class Kind : std::uint8_t { Malformed, InvalidSignature, NotNewer };

  static RevocationError malformed(std::string why) { return {Kind::Malformed, std::move(why), 0, 0}; }
  static RevocationError invalid_signature() { return {Kind::InvalidSignature, {}, 0, 0}; }
  static RevocationError not_newer(std::uint64_t version, std::uint64_t held) {
    return {Kind::NotNewer, {}, version, held};
  }

  Kind kind() const { return kind_; }
  // "invalid revocation list: {}", "revocation list: invalid signature",
  // "revocation list version {} is not newer than {}".
  std::string display() const;

 private:
  RevocationError(Kind kind, std::string why, std::uint64_t version, std::uint64_t held)
      : kind_(kind), why_(std::move(why)), version_(version), held_(held) {}
  Kind kind_;
  std::string why_;        // Malformed: what is wrong
  std::uint64_t version_;  // NotNewer: the list's version
  std::uint64_t held_;     // NotNewer: the version already held
};

// Reads and checks a signed list under `root`. Errors, in this order: a
// text that is not the form above (base64url, JSON, members, identifiers
// not strictly ascending), then a signature that does not verify (compared
// in constant time). Memory is of the order of the text.
std::expected<RevocationList, RevocationError> open_revocation_list(std::string_view text,
                                                                    const crypto::HmacKey& root);

}  // namespace velnor
