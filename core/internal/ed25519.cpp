#include "core/internal/ed25519.hpp"

#include <algorithm>
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

Signature SecretKey::sign(crypto::ByteView message) const {
  Signature sig{};
  crypto_sign_detached(sig.data(), nullptr, ptr(message), message.size(), secret_.data());
  return sig;
}

// The subgroup test inside crypto_core_ed25519_is_valid_point is a full
// scalar multiplication, as dear as the signature check itself. A gateway
// sees the same few holder keys call after call, so each thread remembers
// the last keys it found valid; a key is a public value, and only a
// successful test is remembered, so a miss just repeats the full test.
class ValidKeys {
 public:
  bool contains(crypto::ByteView key) const {
    for (std::size_t i = 0; i < used_; ++i) {
      if (std::equal(key.begin(), key.end(), keys_[i].begin())) return true;
    }
    return false;
  }
  void add(crypto::ByteView key) {
    std::copy(key.begin(), key.end(), keys_[next_].begin());
    next_ = (next_ + 1) % kSlots;
    if (used_ < kSlots) ++used_;
  }

 private:
  static constexpr std::size_t kSlots = 16;
  std::array<PublicKey, kSlots> keys_{};
  std::size_t used_ = 0, next_ = 0;
};

bool is_valid_public_key(crypto::ByteView key) {
  ensure_init();
  if (key.size() != kPublicKeyLen) return false;
  thread_local ValidKeys recent;
  if (recent.contains(key)) return true;
  if (crypto_core_ed25519_is_valid_point(key.data()) != 1) return false;
  recent.add(key);
  return true;
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
