// SHA-256 and HMAC-SHA-256 on OpenSSL libcrypto, plus constant-time
// comparison. Nothing here fails on any input: every key length (empty and
// over 64 bytes included) and every message length is accepted. An OpenSSL
// failure here means the process cannot compute hashes at all (out of
// memory, broken provider); it aborts rather than return a wrong digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

namespace velnor::crypto {

inline constexpr std::size_t kDigestLen = 32;
inline constexpr std::size_t kBlockLen = 64;

// Overwrites `n` bytes at `p` with zeros in a way the compiler cannot drop,
// for memory that held key material. The empty asm tells the compiler the
// zeroed bytes may be read, so the memset is never removed as a dead store
// (BoringSSL's OPENSSL_cleanse is the same two lines). Inline because it
// runs on every digest and hash state of a verification: OpenSSL's own
// cleanse is an out-of-line byte loop, which measured as 2% of a call.
inline void wipe(void* p, std::size_t n) noexcept {
  if (n == 0) return;
  std::memset(p, 0, n);
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

// A 32-byte digest. Chain links are digests that act as keys for the next
// link, so a Digest wipes itself when it goes away.
struct Digest {
  std::array<std::uint8_t, kDigestLen> bytes{};

  Digest() = default;
  Digest(const Digest&) = default;
  Digest& operator=(const Digest&) = default;
  ~Digest() { wipe(bytes.data(), bytes.size()); }

  std::span<const std::uint8_t> span() const { return bytes; }
  const std::uint8_t* data() const { return bytes.data(); }
  static constexpr std::size_t size() { return kDigestLen; }
};

using ByteView = std::span<const std::uint8_t>;

inline ByteView as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

Digest sha256(ByteView data);

// SHA-256 of data given in pieces, for texts not worth holding whole.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(ByteView data);
  Digest finish();

 private:
  struct Ctx;
  std::unique_ptr<Ctx> ctx_;  // opaque so OpenSSL types stay out of this header
};

// HMAC-SHA-256 with a key used once (every chain step has a fresh key).
Digest hmac_sha256(ByteView key, ByteView message);
// Same, over the concatenation of two parts, so callers need not build a
// temporary buffer (the holder step signs "__hok:" followed by the key).
Digest hmac_sha256(ByteView key, ByteView part1, ByteView part2);

// An HMAC key whose inner and outer states are computed once, for keys that
// sign many messages (the audit key, a verifier's root key). The padded key
// never outlives the constructor; only the two hash states are kept.
class HmacKey {
 public:
  explicit HmacKey(ByteView key);
  ~HmacKey();
  HmacKey(const HmacKey& other);
  HmacKey& operator=(const HmacKey& other);
  HmacKey(HmacKey&& other) noexcept;
  HmacKey& operator=(HmacKey&& other) noexcept;

  Digest sign(ByteView message) const;
  Digest sign(ByteView part1, ByteView part2) const;

  // Whether both sign exactly as the same key would, also when the bytes
  // given differ: HMAC pads short keys with zeros and hashes long ones, so
  // "k" and "k\0" are one key. Compares two fingerprints made once per key
  // in constant time; the keys themselves are not looked at again.
  bool same_key(const HmacKey& other) const;

 private:
  struct State;
  std::unique_ptr<State> state_;  // opaque so OpenSSL types stay out of this header
};

// Length check, then CRYPTO_memcmp over every byte: the time does not depend
// on where the first difference lies. Only a length mismatch returns early.
bool constant_time_equal(ByteView a, ByteView b);

}  // namespace velnor::crypto
