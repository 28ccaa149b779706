#include "core/internal/crypto.hpp"

#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <string>
#include <thread>
#include <vector>

#include "core/hex.hpp"
#include "tests/core/openssl_oracle.hpp"

namespace velnor::crypto {
namespace {

using oracle::openssl_hmac;

Bytes unhex(std::string_view s) { return hex_decode(s).value(); }
Bytes repeat(std::uint8_t b, std::size_t n) { return Bytes(n, b); }
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes bytes_of(const Digest& d) { return Bytes(d.bytes.begin(), d.bytes.end()); }

struct HmacVector {
  const char* name;
  Bytes key;
  Bytes data;
  const char* mac;  // a prefix for the truncated case
};

// RFC 4231 section 4, HMAC-SHA-256.
const std::vector<HmacVector>& rfc4231() {
  static const std::vector<HmacVector> v = {
      {"case1", repeat(0x0b, 20), text("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"case2", text("Jefe"), text("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"case3", repeat(0xaa, 20), repeat(0xdd, 50),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"case4", unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"), repeat(0xcd, 50),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {"case5_truncated", repeat(0x0c, 20), text("Test With Truncation"),
       "a3b6167473100ee06e0c796c2955552b"},
      {"case6", repeat(0xaa, 131), text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"case7", repeat(0xaa, 131),
       text("This is a test using a larger than block-size key and a larger than block-size "
            "data. The key needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  return v;
}

TEST(Hmac, Rfc4231EveryPath) {
  for (const auto& v : rfc4231()) {
    SCOPED_TRACE(v.name);
    const std::string want = v.mac;
    const HmacKey key(v.key);
    const HmacKey copied = key;
    HmacKey source(v.key);
    HmacKey moved(std::move(source));
    HmacKey assigned(Bytes{});
    assigned = std::move(moved);
    EXPECT_TRUE(hex_encode(hmac_sha256(v.key, v.data).span()).starts_with(want));
    EXPECT_TRUE(hex_encode(key.sign(v.data).span()).starts_with(want));
    EXPECT_TRUE(hex_encode(copied.sign(v.data).span()).starts_with(want));
    EXPECT_TRUE(hex_encode(assigned.sign(v.data).span()).starts_with(want));
    // A moved-from key keeps its own key rather than some other one.
    EXPECT_TRUE(hex_encode(source.sign(v.data).span()).starts_with(want));  // NOLINT
    // Every split of the message into two parts signs the same bytes.
    for (std::size_t cut = 0; cut <= v.data.size(); ++cut) {
      const ByteView d(v.data);
      EXPECT_TRUE(hex_encode(hmac_sha256(v.key, d.first(cut), d.subspan(cut)).span())
                      .starts_with(want));
      EXPECT_TRUE(hex_encode(key.sign(d.first(cut), d.subspan(cut)).span()).starts_with(want));
    }
  }
}

// Key lengths across the block size and message lengths across the
// padding boundaries of SHA-256, against OpenSSL's HMAC().
TEST(Hmac, SweepAgainstOpenSslOneShot) {
  for (std::size_t klen : {0, 1, 31, 32, 33, 55, 56, 63, 64, 65, 100, 128, 129, 200}) {
    Bytes key(klen);
    for (std::size_t i = 0; i < klen; ++i) key[i] = static_cast<std::uint8_t>(i * 7 + klen);
    const HmacKey prepared(key);
    for (std::size_t mlen = 0; mlen <= 200; ++mlen) {
      Bytes msg(mlen, static_cast<std::uint8_t>(mlen));
      const Bytes want = openssl_hmac(key, msg);
      ASSERT_EQ(bytes_of(hmac_sha256(key, msg)), want) << klen << "/" << mlen;
      ASSERT_EQ(bytes_of(prepared.sign(msg)), want) << klen << "/" << mlen;
    }
  }
}

TEST(Hmac, LongKeyActsAsItsDigest) {
  for (std::size_t klen : {65, 131, 1000}) {
    const Bytes key(klen, 0x42);
    const Digest hashed = sha256(key);
    EXPECT_EQ(bytes_of(hmac_sha256(key, text("m"))), bytes_of(hmac_sha256(hashed.span(), text("m"))));
  }
  // A 64-byte key is used as is, not hashed.
  const Bytes key64(64, 0x42);
  EXPECT_NE(bytes_of(hmac_sha256(key64, text("m"))),
            bytes_of(hmac_sha256(sha256(key64).span(), text("m"))));
}

TEST(Hmac, ThreadsShareNoScratchState) {
  const Bytes key = repeat(0x0b, 20);
  const Bytes want = openssl_hmac(key, text("Hi There"));
  const HmacKey prepared(key);
  std::vector<int> bad(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const Bytes mine(static_cast<std::size_t>(t) * 37, static_cast<std::uint8_t>(t));
      const Bytes mine_want = openssl_hmac(key, mine);
      for (int i = 0; i < 2000; ++i) {
        if (bytes_of(prepared.sign(text("Hi There"))) != want) ++bad[t];
        if (bytes_of(hmac_sha256(key, mine)) != mine_want) ++bad[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, std::vector<int>(4, 0));
}

// FIPS 180-4 example messages.
TEST(Sha256, KnownVectors) {
  const struct {
    std::string msg;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) EXPECT_EQ(hex_encode(sha256(as_bytes(c.msg)).span()), c.digest);
}

TEST(ConstantTimeEqual, LengthThenEveryByte) {
  EXPECT_TRUE(constant_time_equal({}, {}));
  // Lengths around the eight-byte steps, so a flip in the whole words and
  // in the tail is caught alike.
  for (std::size_t n : {1, 7, 8, 9, 16, 31, 32, 33, 64}) {
    Bytes a(n);
    for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<std::uint8_t>(i * 37 + 11);
    EXPECT_TRUE(constant_time_equal(a, Bytes(a))) << n;
    EXPECT_FALSE(constant_time_equal(a, ByteView(a).first(n - 1))) << n;
    EXPECT_FALSE(constant_time_equal({}, a)) << n;
    for (std::size_t i = 0; i < n; ++i) {
      for (int bit = 0; bit < 8; ++bit) {
        Bytes b = a;
        b[i] ^= static_cast<std::uint8_t>(1 << bit);
        EXPECT_FALSE(constant_time_equal(a, b)) << n << ":" << i << ":" << bit;
      }
    }
  }
}

}  // namespace
}  // namespace velnor::crypto
