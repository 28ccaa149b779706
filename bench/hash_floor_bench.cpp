// The cost floor of one chain step and of the keyed hashes around it:
// OpenSSL's ready-made HMAC entry points and the bare SHA256_CTX calls
// against the HMAC the library uses, and SHA-256 the same way.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/params.h>
#include <openssl/sha.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "core/internal/crypto.hpp"

namespace {

using velnor::crypto::ByteView;

// A chain step: a fresh 32-byte key (the previous link), a short predicate.
const std::vector<std::uint8_t> kKey(32, 0x5a);
const std::vector<std::uint8_t> kStepMsg(32, 'p');
const std::vector<std::uint8_t> kLongMsg(350, 'r');

void BM_Hmac_OneShot(benchmark::State& state) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  for (auto _ : state) {
    HMAC(EVP_sha256(), kKey.data(), static_cast<int>(kKey.size()), kStepMsg.data(),
         kStepMsg.size(), out, &len);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Hmac_OneShot);

void BM_Hmac_EvpMacReinit(benchmark::State& state) {
  std::unique_ptr<EVP_MAC, decltype(&EVP_MAC_free)> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr),
                                                        &EVP_MAC_free);
  std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)> ctx(EVP_MAC_CTX_new(mac.get()),
                                                                &EVP_MAC_CTX_free);
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  unsigned char out[32];
  std::size_t len = 0;
  for (auto _ : state) {
    EVP_MAC_init(ctx.get(), kKey.data(), kKey.size(), params);
    EVP_MAC_update(ctx.get(), kStepMsg.data(), kStepMsg.size());
    EVP_MAC_final(ctx.get(), out, &len, sizeof out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Hmac_EvpMacReinit);

// The other way to avoid the lookup: re-initialise a scratch context from a
// fetched digest each time instead of copying an initialised template.
void BM_Hmac_DigestReinit(benchmark::State& state) {
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, "SHA256", nullptr),
                                                     &EVP_MD_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char ipad[64], opad[64], inner[32], out[32];
  for (auto _ : state) {
    for (int i = 0; i < 64; ++i) {
      const unsigned char k = i < 32 ? kKey[static_cast<std::size_t>(i)] : 0;
      ipad[i] = k ^ 0x36;
      opad[i] = k ^ 0x5c;
    }
    EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr);
    EVP_DigestUpdate(ctx.get(), ipad, 64);
    EVP_DigestUpdate(ctx.get(), kStepMsg.data(), kStepMsg.size());
    EVP_DigestFinal_ex(ctx.get(), inner, nullptr);
    EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr);
    EVP_DigestUpdate(ctx.get(), opad, 64);
    EVP_DigestUpdate(ctx.get(), inner, 32);
    EVP_DigestFinal_ex(ctx.get(), out, nullptr);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Hmac_DigestReinit);

// The fewest calls a fresh-key HMAC can take: both pad states computed,
// then the inner and outer hashes, on stack structs.
void BM_Hmac_LowLevel(benchmark::State& state) {
  unsigned char pad[64], inner[32], out[32];
  for (auto _ : state) {
    SHA256_CTX i, o;
    for (int j = 0; j < 64; ++j) pad[j] = (j < 32 ? kKey[static_cast<std::size_t>(j)] : 0) ^ 0x36;
    SHA256_Init(&i);
    SHA256_Update(&i, pad, 64);
    for (auto& b : pad) b ^= 0x36 ^ 0x5c;
    SHA256_Init(&o);
    SHA256_Update(&o, pad, 64);
    SHA256_Update(&i, kStepMsg.data(), kStepMsg.size());
    SHA256_Final(inner, &i);
    SHA256_Update(&o, inner, 32);
    SHA256_Final(out, &o);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Hmac_LowLevel);

void BM_Hmac_Ours(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(velnor::crypto::hmac_sha256(kKey, kStepMsg));
}
BENCHMARK(BM_Hmac_Ours);

void BM_Hmac_Ours_LongKey(benchmark::State& state) {
  const std::vector<std::uint8_t> key(100, 0x5a);
  for (auto _ : state) benchmark::DoNotOptimize(velnor::crypto::hmac_sha256(key, kStepMsg));
}
BENCHMARK(BM_Hmac_Ours_LongKey);

void BM_HmacKey_Setup(benchmark::State& state) {
  for (auto _ : state) {
    velnor::crypto::HmacKey k(kKey);
    benchmark::DoNotOptimize(&k);
  }
}
BENCHMARK(BM_HmacKey_Setup);

void BM_HmacKey_Sign350(benchmark::State& state) {
  const velnor::crypto::HmacKey k(kKey);
  for (auto _ : state) benchmark::DoNotOptimize(k.sign(kLongMsg));
}
BENCHMARK(BM_HmacKey_Sign350);

void BM_Hmac_OneShot350(benchmark::State& state) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  for (auto _ : state) {
    HMAC(EVP_sha256(), kKey.data(), static_cast<int>(kKey.size()), kLongMsg.data(),
         kLongMsg.size(), out, &len);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Hmac_OneShot350);

void BM_Sha256_EvpDigestOneShot(benchmark::State& state) {
  unsigned char out[32];
  for (auto _ : state) {
    EVP_Digest(kStepMsg.data(), kStepMsg.size(), out, nullptr, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Sha256_EvpDigestOneShot);

void BM_Sha256_Ours(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(velnor::crypto::sha256(kStepMsg));
}
BENCHMARK(BM_Sha256_Ours);

}  // namespace
