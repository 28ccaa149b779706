#include "core/internal/crypto.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "core/internal/per_thread.hpp"
#include "core/internal/secret.hpp"

namespace velnor::crypto {
namespace {

struct MdDeleter {
  void operator()(EVP_MD* p) const noexcept { EVP_MD_free(p); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
};
using MdPtr = std::unique_ptr<EVP_MD, MdDeleter>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

// Returning a wrong digest would be worse than stopping: a verifier could
// accept a forged chain. These calls only fail without memory or without a
// working default provider.
[[noreturn]] void die() { std::abort(); }

void check(int ok) {
  if (ok != 1) die();
}

// Fetching once matters: the implicit lookup behind EVP_sha256() and the
// one-shot HMAC() costs several hundred nanoseconds per call in OpenSSL 3.
const EVP_MD* sha256_md() {
  static const MdPtr md{EVP_MD_fetch(nullptr, "SHA256", nullptr)};
  if (!md) die();
  return md.get();
}

// A SHA-256 context already initialised. Copying it is cheaper than
// initialising a context from the algorithm, and the copy is the only way
// an HmacKey's saved states are resumed. Shared read-only across threads:
// copying never writes to the source.
const EVP_MD_CTX* sha256_template() {
  static const MdCtxPtr tmpl = [] {
    MdCtxPtr c{EVP_MD_CTX_new()};
    if (!c) die();
    check(EVP_DigestInit_ex2(c.get(), sha256_md(), nullptr));
    return c;
  }();
  return tmpl.get();
}

MdCtxPtr new_ctx() {
  MdCtxPtr c{EVP_MD_CTX_new()};
  if (!c) die();
  return c;
}

// One scratch context per thread, so concurrent callers share no mutable
// state and nothing is allocated per call beyond what the copy needs.
struct Scratch {
  MdCtxPtr ctx = new_ctx();
};

EVP_MD_CTX* scratch() { return detail::PerThread<Scratch, Scratch>::get().ctx.get(); }

// An empty span may carry a null pointer, which OpenSSL does not accept.
void update(EVP_MD_CTX* ctx, ByteView data) {
  if (data.empty()) return;
  check(EVP_DigestUpdate(ctx, data.data(), data.size()));
}

void finish(EVP_MD_CTX* ctx, Digest& out) {
  unsigned int len = 0;
  check(EVP_DigestFinal_ex(ctx, out.bytes.data(), &len));
  if (len != kDigestLen) die();
}

void resume(EVP_MD_CTX* ctx, const EVP_MD_CTX* from) { check(EVP_MD_CTX_copy_ex(ctx, from)); }

// The key XORed into the ipad and opad blocks; wiped however the scope is
// left. A key longer than a block is hashed once and the digest used for
// both, so the fresh-key path stays at four compressions for short keys.
struct Pads {
  SecretArray<kBlockLen> inner;
  SecretArray<kBlockLen> outer;

  explicit Pads(ByteView key) {
    std::memset(inner.data(), 0x36, kBlockLen);
    std::memset(outer.data(), 0x5c, kBlockLen);
    if (key.size() > kBlockLen) {
      const Digest hashed = sha256(key);
      mix(hashed.span());
    } else {
      mix(key);
    }
  }

  ByteView inner_view() const { return inner.view(); }
  ByteView outer_view() const { return outer.view(); }

 private:
  void mix(ByteView k) {
    for (std::size_t i = 0; i < k.size(); ++i) {
      inner[i] ^= k[i];
      outer[i] ^= k[i];
    }
  }
};

Digest hmac_parts(ByteView key, ByteView part1, ByteView part2) {
  EVP_MD_CTX* ctx = scratch();
  Digest inner;
  {
    const Pads pads(key);
    resume(ctx, sha256_template());
    update(ctx, pads.inner_view());
    update(ctx, part1);
    update(ctx, part2);
    finish(ctx, inner);
    resume(ctx, sha256_template());
    update(ctx, pads.outer_view());
  }
  update(ctx, inner.span());
  Digest out;
  finish(ctx, out);
  return out;
}

}  // namespace

Digest sha256(ByteView data) {
  EVP_MD_CTX* ctx = scratch();
  resume(ctx, sha256_template());
  update(ctx, data);
  Digest out;
  finish(ctx, out);
  return out;
}

struct Sha256::Ctx {
  MdCtxPtr ctx = new_ctx();
};

Sha256::Sha256() : ctx_(std::make_unique<Ctx>()) { resume(ctx_->ctx.get(), sha256_template()); }

Sha256::~Sha256() = default;

void Sha256::update(ByteView data) { crypto::update(ctx_->ctx.get(), data); }

Digest Sha256::finish() {
  Digest out;
  crypto::finish(ctx_->ctx.get(), out);
  return out;
}

Digest hmac_sha256(ByteView key, ByteView message) { return hmac_parts(key, message, {}); }

Digest hmac_sha256(ByteView key, ByteView part1, ByteView part2) {
  return hmac_parts(key, part1, part2);
}

struct HmacKey::State {
  State(MdCtxPtr i, MdCtxPtr o, const Digest& f = {}) : inner(std::move(i)), outer(std::move(o)), fingerprint(f) {}
  MdCtxPtr inner;  // SHA-256 having absorbed key ^ ipad
  MdCtxPtr outer;  // SHA-256 having absorbed key ^ opad
  // A plain hash of the padded key under a tag of its own. Not an HMAC
  // under the key: that would be a valid signature of the tag, which is
  // exactly what must never exist for a root or audit key.
  Digest fingerprint;
};

namespace {
constexpr std::string_view kFingerprintTag = "velnor hmac key fingerprint";
}  // namespace

HmacKey::HmacKey(ByteView key) : state_(std::make_unique<State>(new_ctx(), new_ctx())) {
  const Pads pads(key);
  resume(state_->inner.get(), sha256_template());
  update(state_->inner.get(), pads.inner_view());
  resume(state_->outer.get(), sha256_template());
  update(state_->outer.get(), pads.outer_view());
  EVP_MD_CTX* ctx = scratch();
  resume(ctx, sha256_template());
  update(ctx, as_bytes(kFingerprintTag));
  update(ctx, pads.inner_view());
  finish(ctx, state_->fingerprint);
}

bool HmacKey::same_key(const HmacKey& other) const {
  return constant_time_equal(state_->fingerprint.span(), other.state_->fingerprint.span());
}

// EVP_MD_CTX_free cleanses the provider's hash state before freeing it, so
// the saved pad states do not outlive the key.
HmacKey::~HmacKey() = default;

HmacKey::HmacKey(const HmacKey& other)
    : state_(std::make_unique<State>(new_ctx(), new_ctx(), other.state_->fingerprint)) {
  resume(state_->inner.get(), other.state_->inner.get());
  resume(state_->outer.get(), other.state_->outer.get());
}

HmacKey& HmacKey::operator=(const HmacKey& other) {
  if (this != &other) {
    HmacKey copy(other);
    std::swap(state_, copy.state_);
  }
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
  EVP_MD_CTX* ctx = scratch();
  Digest inner;
  resume(ctx, state_->inner.get());
  update(ctx, part1);
  update(ctx, part2);
  finish(ctx, inner);
  resume(ctx, state_->outer.get());
  update(ctx, inner.span());
  Digest out;
  finish(ctx, out);
  return out;
}

void wipe(void* p, std::size_t n) noexcept {
  if (n != 0) OPENSSL_cleanse(p, n);
}

bool constant_time_equal(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace velnor::crypto
