// The issuer, which holds a root key and starts capabilities, and the
// builder that binds a holder key and chains caveats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "core/capability.hpp"
#include "core/internal/crypto.hpp"

namespace velnor {

struct BuilderError {
  enum class Kind : std::uint8_t {
    WrongKeyLength,   // "ed25519 public keys are exactly 32 bytes; got {}"
    AfterCaveat,      // "holder_of_key must be set before any .caveat() calls"
    HolderAlreadySet, // a second holder step would make a capability that
                      // can never verify
  };
  Kind kind = Kind::WrongKeyLength;
  std::size_t length = 0;  // WrongKeyLength: the length given

  std::string display() const;
};

inline constexpr std::size_t kHolderKeyLen = 32;

class CapabilityBuilder {
 public:
  // Refuses a key that is not 32 bytes (WrongKeyLength), a builder that
  // already carries a caveat (AfterCaveat) and a second holder key
  // (HolderAlreadySet), in that order. A refusal leaves *this untouched, so
  // the caller may go on with the builder it moved from: whether a refused
  // step consumes it is the caller's decision.
  std::expected<CapabilityBuilder, BuilderError> holder_of_key(crypto::ByteView key) &&;
  // The first of those checks, which needs no builder: a caller whose
  // builder is already gone still reports a key of the wrong length first.
  static std::expected<void, BuilderError> check_holder_key(crypto::ByteView key);
  // Chains and stores the predicate unchanged. Never fails; does not parse.
  CapabilityBuilder caveat(std::string predicate) &&;
  // Moves the four fields into a Capability; no check of its own (the
  // public build refuses a builder without caveats).
  Capability build() &&;

  const Capability& fields() const { return cap_; }

 private:
  friend class Issuer;
  Capability cap_;  // signature is always the running chain value
};

class Issuer {
 public:
  // Copies the key. Every length is accepted, zero included.
  static Issuer from_key(crypto::ByteView key);
  // Root step over the identifier. Never fails.
  CapabilityBuilder issue(std::string identifier) const;
  // The signed revocation list of `identifiers` at `version` (see
  // core/revocation.hpp): sorted, without duplicates. Never fails.
  std::string revocation_list(std::vector<std::string> identifiers, std::uint64_t version) const;

 private:
  explicit Issuer(crypto::ByteView key) : root_(key) {}
  crypto::HmacKey root_;  // the key survives only as its HMAC pad states
};

}  // namespace velnor
