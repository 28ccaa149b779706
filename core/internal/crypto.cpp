#include "core/internal/crypto.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

// SHA-256 runs on OpenSSL's SHA256_CTX calls where they exist. They are
// deprecated in OpenSSL 3 in favour of EVP, but present throughout 3.x, and
// they are what makes hashing cheap here: a chain step hashes a key under a
// fresh state, and EVP can only resume a saved state through
// EVP_MD_CTX_copy_ex, which frees and reallocates the provider's context on
// every copy. The plain struct is copied in place instead, and one
// verification measured about 30% less hashing time this way. A build of
// OpenSSL without the deprecated calls (or VELNOR_SHA256_EVP, which the
// tests use to keep that path honest) falls back to EVP; both give the same
// digests. The low-level calls bypass providers, so a FIPS-provider setup
// would not see these hashes; nothing here relies on one.
#if defined(VELNOR_SHA256_EVP) || defined(OPENSSL_NO_DEPRECATED_3_0)
#define VELNOR_SHA256_LOW_LEVEL 0
#include <openssl/evp.h>
#else
#define VELNOR_SHA256_LOW_LEVEL 1
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/sha.h>
#endif

#include "core/internal/secret.hpp"

namespace velnor::crypto {
namespace {

// Returning a wrong digest would be worse than stopping: a verifier could
// accept a forged chain. These calls only fail without memory or without a
// working default provider.
[[noreturn]] void die() { std::abort(); }

void check(int ok) {
  if (ok != 1) die();
}

#if VELNOR_SHA256_LOW_LEVEL

// A SHA-256 state by value: copying it is copying 112 bytes. It may hold a
// key's padded state, so it wipes itself when it goes away.
class HashState {
 public:
  HashState() { restart(); }
  HashState(const HashState&) = default;
  HashState& operator=(const HashState&) = default;
  ~HashState() { wipe(&ctx_, sizeof ctx_); }

  void restart() { check(SHA256_Init(&ctx_)); }
  void update(ByteView data) {
    if (!data.empty()) check(SHA256_Update(&ctx_, data.data(), data.size()));
  }
  void finish(Digest& out) { check(SHA256_Final(out.bytes.data(), &ctx_)); }

 private:
  SHA256_CTX ctx_;
};

#else

struct MdDeleter {
  void operator()(EVP_MD* p) const noexcept { EVP_MD_free(p); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
};
using MdPtr = std::unique_ptr<EVP_MD, MdDeleter>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

// Fetching once matters: the implicit lookup behind EVP_sha256() costs
// several hundred nanoseconds per call in OpenSSL 3.
const EVP_MD* sha256_md() {
  static const MdPtr md{EVP_MD_fetch(nullptr, "SHA256", nullptr)};
  if (!md) die();
  return md.get();
}

// The same interface on an EVP context. EVP_MD_CTX_free cleanses the
// provider's state before freeing it.
class HashState {
 public:
  HashState() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_) die();
    restart();
  }
  HashState(const HashState& other) : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_) die();
    *this = other;
  }
  HashState& operator=(const HashState& other) {
    if (this != &other) check(EVP_MD_CTX_copy_ex(ctx_.get(), other.ctx_.get()));
    return *this;
  }
  ~HashState() = default;

  void restart() { check(EVP_DigestInit_ex2(ctx_.get(), sha256_md(), nullptr)); }
  // An empty span may carry a null pointer, which OpenSSL does not accept.
  void update(ByteView data) {
    if (!data.empty()) check(EVP_DigestUpdate(ctx_.get(), data.data(), data.size()));
  }
  void finish(Digest& out) {
    unsigned int len = 0;
    check(EVP_DigestFinal_ex(ctx_.get(), out.bytes.data(), &len));
    if (len != kDigestLen) die();
  }

 private:
  MdCtxPtr ctx_;
};

#endif

// The key XORed into the ipad block; wiped however the scope is left. The
// opad block is the same bytes XORed once more, so one buffer serves both.
// A key longer than a block is hashed once and the digest used, so the
// fresh-key path stays at four compressions for short keys.
class Pad {
 public:
  explicit Pad(ByteView key) {
    std::memset(block_.data(), kInner, kBlockLen);
    if (key.size() > kBlockLen) {
      const Digest hashed = sha256(key);
      mix(hashed.span());
    } else {
      mix(key);
    }
  }

  ByteView view() const { return block_.view(); }
  void to_outer() {
    for (std::size_t i = 0; i < kBlockLen; ++i) block_[i] ^= kInner ^ kOuter;
  }

 private:
  static constexpr std::uint8_t kInner = 0x36, kOuter = 0x5c;

  void mix(ByteView k) {
    for (std::size_t i = 0; i < k.size(); ++i) block_[i] ^= k[i];
  }

  SecretArray<kBlockLen> block_;
};

}  // namespace

Digest sha256(ByteView data) {
  HashState h;
  h.update(data);
  Digest out;
  h.finish(out);
  return out;
}

struct Sha256::Ctx {
  HashState state;
};

Sha256::Sha256() : ctx_(std::make_unique<Ctx>()) {}

Sha256::~Sha256() = default;

void Sha256::update(ByteView data) { ctx_->state.update(data); }

Digest Sha256::finish() {
  Digest out;
  ctx_->state.finish(out);
  return out;
}

Digest hmac_sha256(ByteView key, ByteView message) { return hmac_sha256(key, message, {}); }

Digest hmac_sha256(ByteView key, ByteView part1, ByteView part2) {
  Pad pad(key);
  HashState h;
  h.update(pad.view());
  h.update(part1);
  h.update(part2);
  Digest inner;
  h.finish(inner);
  pad.to_outer();
  h.restart();
  h.update(pad.view());
  h.update(inner.span());
  Digest out;
  h.finish(out);
  return out;
}

struct HmacKey::State {
  HashState inner;  // SHA-256 having absorbed key ^ ipad
  HashState outer;  // SHA-256 having absorbed key ^ opad
  // A plain hash of the padded key under a tag of its own. Not an HMAC
  // under the key: that would be a valid signature of the tag, which is
  // exactly what must never exist for a root or audit key.
  Digest fingerprint;
};

namespace {
constexpr std::string_view kFingerprintTag = "velnor hmac key fingerprint";
}  // namespace

HmacKey::HmacKey(ByteView key) : state_(std::make_unique<State>()) {
  Pad pad(key);
  state_->inner.update(pad.view());
  HashState print;
  print.update(as_bytes(kFingerprintTag));
  print.update(pad.view());
  print.finish(state_->fingerprint);
  pad.to_outer();
  state_->outer.update(pad.view());
}

bool HmacKey::same_key(const HmacKey& other) const {
  return constant_time_equal(state_->fingerprint.span(), other.state_->fingerprint.span());
}

// Each HashState wipes itself, so the saved pad states do not outlive the
// key.
HmacKey::~HmacKey() = default;

HmacKey::HmacKey(const HmacKey& other) : state_(std::make_unique<State>(*other.state_)) {}

HmacKey& HmacKey::operator=(const HmacKey& other) {
  if (this != &other) *state_ = *other.state_;
  return *this;
}

// Moving copies: a moved-from key must neither crash nor fall back to some
// other key (a verifier signing with an empty key would accept forgeries),
// so it keeps its own states. Only allocation can fail here, and that ends
// the process as every other OpenSSL failure in this file does.
HmacKey::HmacKey(HmacKey&& other) noexcept : HmacKey(static_cast<const HmacKey&>(other)) {}

HmacKey& HmacKey::operator=(HmacKey&& other) noexcept {
  return *this = static_cast<const HmacKey&>(other);
}

Digest HmacKey::sign(ByteView message) const { return sign(message, {}); }

Digest HmacKey::sign(ByteView part1, ByteView part2) const {
  HashState h = state_->inner;
  h.update(part1);
  h.update(part2);
  Digest inner;
  h.finish(inner);
  h = state_->outer;
  h.update(inner.span());
  Digest out;
  h.finish(out);
  return out;
}

bool constant_time_equal(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  // Every byte is looked at whatever the differences: the XORs of all words
  // are ORed together and tested once at the end. Eight bytes a step, since
  // signatures are compared on every verification and CRYPTO_memcmp goes a
  // byte at a time through volatile pointers (about 470 instructions for a
  // digest). The barrier keeps the compiler from turning the loop into one
  // that stops at the first difference.
  const std::size_t n = a.size();
  std::uint64_t diff = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a.data() + i, sizeof x);
    std::memcpy(&y, b.data() + i, sizeof y);
    diff |= x ^ y;
    __asm__ __volatile__("" : "+r"(diff));
  }
  for (; i < n; ++i) {
    diff |= static_cast<std::uint64_t>(a[i] ^ b[i]);
    __asm__ __volatile__("" : "+r"(diff));
  }
  return diff == 0;
}

}  // namespace velnor::crypto
