// Ed25519 (RFC 8032) on libsodium. Verification refuses what libsodium
// refuses: non-canonical signatures (S not below the group order) and
// public keys of small order or not canonically encoded, so one message has
// exactly one accepted signature per key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/internal/crypto.hpp"
#include "core/internal/secret.hpp"

namespace velnor::ed25519 {

inline constexpr std::size_t kSeedLen = 32;
inline constexpr std::size_t kPublicKeyLen = 32;
inline constexpr std::size_t kSignatureLen = 64;

using PublicKey = std::array<std::uint8_t, kPublicKeyLen>;
using Signature = std::array<std::uint8_t, kSignatureLen>;

// The expanded secret key (seed and public key, as libsodium keeps it).
// Wiped when it goes away; never copied.
class SecretKey {
 public:
  // `seed` must be kSeedLen bytes; the caller checks.
  explicit SecretKey(crypto::ByteView seed);

  const PublicKey& public_key() const { return public_; }
  Signature sign(crypto::ByteView message) const;

 private:
  SecretArray<64> secret_;  // wipes itself; not copyable, so neither is the key
  PublicKey public_{};
};

// A point that can be a holder's key: canonical, on the curve, in the prime
// order subgroup, not of small order. Every key derived from a seed is.
bool is_valid_public_key(crypto::ByteView key);

// The detached signature check. Keys or signatures of the wrong length fail.
bool verify(crypto::ByteView public_key, crypto::ByteView message, crypto::ByteView signature);

// Fills `out` from the operating system's CSPRNG.
void random_bytes(std::span<std::uint8_t> out);

}  // namespace velnor::ed25519
