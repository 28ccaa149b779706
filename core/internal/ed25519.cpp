#include "core/internal/ed25519.hpp"

#include <cstdlib>

#include <sodium.h>

namespace velnor::ed25519 {
namespace {

// sodium_init is idempotent and thread-safe; doing it once here means no
// caller has to remember. It fails only when the OS offers no randomness,
// and then nothing here may proceed.
void ensure_init() {
  static const bool ok = sodium_init() >= 0;
  if (!ok) std::abort();
}

// libsodium reads a null pointer only with a zero length, but says nothing
// about it; give it a real address.
const unsigned char* ptr(crypto::ByteView v) {
  static const unsigned char kEmpty = 0;
  return v.empty() ? &kEmpty : v.data();
}

}  // namespace

SecretKey::SecretKey(crypto::ByteView seed) {
  ensure_init();
  if (seed.size() != kSeedLen) std::abort();  // a caller's bug, never input
  crypto_sign_seed_keypair(public_.data(), secret_.data(), seed.data());
}

SecretKey::~SecretKey() { sodium_memzero(secret_.data(), secret_.size()); }

Signature SecretKey::sign(crypto::ByteView message) const {
  Signature sig{};
  crypto_sign_detached(sig.data(), nullptr, ptr(message), message.size(), secret_.data());
  return sig;
}

bool is_valid_public_key(crypto::ByteView key) {
  ensure_init();
  return key.size() == kPublicKeyLen && crypto_core_ed25519_is_valid_point(key.data()) == 1;
}

bool verify(crypto::ByteView public_key, crypto::ByteView message, crypto::ByteView signature) {
  ensure_init();
  if (public_key.size() != kPublicKeyLen || signature.size() != kSignatureLen) return false;
  return crypto_sign_verify_detached(signature.data(), ptr(message), message.size(),
                                     public_key.data()) == 0;
}

void random_bytes(std::span<std::uint8_t> out) {
  ensure_init();
  randombytes_buf(out.data(), out.size());
}

}  // namespace velnor::ed25519
