#include "core/revocation.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/internal/base64url.hpp"
#include "core/issuer.hpp"
#include "core/verifier.hpp"
#include "tests/core/openssl_oracle.hpp"

namespace velnor {
namespace {

constexpr std::string_view kRoot = "root-key-of-the-issuing-service";

crypto::HmacKey root() { return crypto::HmacKey(crypto::as_bytes(kRoot)); }

std::string json_of(std::string_view text) {
  auto raw = base64url::decode(text);
  return raw ? std::string(raw->begin(), raw->end()) : std::string();
}

std::string b64(std::string_view json) { return base64url::encode(crypto::as_bytes(json)); }

// The signature rebuilt from the published layout with OpenSSL's HMAC.
std::string oracle_signature(const std::vector<std::string>& ids, std::uint64_t version) {
  const Bytes list_key = oracle::openssl_hmac(kRoot, "\xff" "velnor revocation list key");
  std::string input("velnor revocation list\0", 23);
  auto u64 = [&](std::uint64_t v) {
    for (int s = 56; s >= 0; s -= 8) input.push_back(static_cast<char>((v >> s) & 0xff));
  };
  u64(version);
  u64(ids.size());
  for (const auto& id : ids) {
    u64(id.size());
    input += id;
  }
  return hex_encode(oracle::openssl_hmac(list_key, crypto::as_bytes(input)));
}

TEST(RevocationList, SignedTextLayoutAndSignature) {
  const std::string text = RevocationList::sign(root(), {"b", "a", "b", "\xc3\xa9"}, 7);
  EXPECT_EQ(json_of(text), R"({"version":7,"identifiers":["a","b","é"],"signature":")" +
                               oracle_signature({"a", "b", "\xc3\xa9"}, 7) + "\"}");
  auto list = open_revocation_list(text, root());
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->version(), 7u);
  EXPECT_EQ(list->identifiers(), (std::vector<std::string>{"a", "b", "\xc3\xa9"}));
  EXPECT_EQ(list->signature().size(), 32u);
  EXPECT_TRUE(list->contains("b"));
  EXPECT_FALSE(list->contains("c"));
}

TEST(RevocationList, EveryTruncationAndEveryFlippedSignatureBitFails) {
  const std::string text = RevocationList::sign(root(), {"agent-7"}, 1);
  for (std::size_t n = 0; n < text.size(); ++n) {
    EXPECT_FALSE(open_revocation_list(text.substr(0, n), root()).has_value()) << n;
  }
  const std::string json = json_of(text);
  const std::size_t at = json.find("\"signature\":\"") + 13;
  for (std::size_t i = 0; i < 64; ++i) {
    for (char c : std::string_view("0123456789abcdef")) {
      if (c == json[at + i]) continue;
      std::string bad = json;
      bad[at + i] = c;
      auto r = open_revocation_list(b64(bad), root());
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().display(), "revocation list: invalid signature");
    }
  }
}

TEST(RevocationList, ErrorsComeInOrder) {
  struct Case {
    std::string json;
    std::string display;
  };
  const std::string sig = oracle_signature({"a"}, 1);
  const Case cases[] = {
      {R"({"version":1,"identifiers":["a"],"signature":")" + sig + "\"}", ""},
      {R"({"version":2,"identifiers":["a"],"signature":")" + sig + "\"}", "revocation list: invalid signature"},
      {R"({"version":1,"identifiers":["a","a"],"signature":")" + sig + "\"}",
       "invalid revocation list: identifiers are not sorted and unique"},
      {R"({"version":1,"identifiers":["a"]})", "invalid revocation list: missing field `signature`"},
      {R"({"version":1,"version":1})", "invalid revocation list: duplicate field `version`"},
      {R"({"vers)" "\\u0069" R"(on":1,"version":1})", "invalid revocation list: duplicate field `version`"},
      {R"({"version":1e3,"identifiers":[],"signature":""})",
       "invalid revocation list: `version` must be an unsigned 64-bit integer"},
      {R"({"version":18446744073709551615,"identifiers":[],"signature":"00"})",
       "invalid revocation list: `signature` must be 64 hex digits"},
  };
  for (const Case& c : cases) {
    auto r = open_revocation_list(b64(c.json), root());
    if (c.display.empty()) {
      EXPECT_TRUE(r.has_value()) << c.json;
    } else {
      ASSERT_FALSE(r.has_value()) << c.json;
      EXPECT_EQ(r.error().display(), c.display) << c.json;
    }
  }
}

TEST(RevocationList, VerifierTakesOnlyNewerVersions) {
  const Issuer issuer = Issuer::from_key(crypto::as_bytes(kRoot));
  const Verifier none = Verifier::create(crypto::as_bytes(kRoot));
  auto v5 = none.with_revocation_list(issuer.revocation_list({"x"}, 5));
  ASSERT_TRUE(v5.has_value());
  ASSERT_NE(v5->revocations(), nullptr);
  EXPECT_EQ(v5->revocations()->version(), 5u);
  EXPECT_TRUE(none.with_revocation_list(issuer.revocation_list({}, 0)).has_value());
  for (std::uint64_t older : {0u, 4u, 5u}) {
    auto r = v5->with_revocation_list(issuer.revocation_list({}, older));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "revocation list version " + std::to_string(older) + " is not newer than 5");
  }
  auto v6 = v5->with_revocation_list(issuer.revocation_list({}, 6));
  ASSERT_TRUE(v6.has_value());
  EXPECT_FALSE(v6->revocations()->contains("x"));
  EXPECT_TRUE(v5->revocations()->contains("x"));  // the receiver is unchanged
  // Another root key's list.
  auto foreign = none.with_revocation_list(Issuer::from_key(crypto::as_bytes("k")).revocation_list({}, 1));
  ASSERT_FALSE(foreign.has_value());
  EXPECT_EQ(foreign.error().display(), "revocation list: invalid signature");
}

TEST(RevocationList, ListKeyIsNoCapabilityRootLink) {
  // The capability whose identifier is the label without its 0xFF byte
  // has a root link that signs nothing here.
  const Issuer issuer = Issuer::from_key(crypto::as_bytes(kRoot));
  const Capability cap = issuer.issue("velnor revocation list key").build();
  const std::string forged = b64(R"({"version":1,"identifiers":[],"signature":")" + hex_encode(cap.signature) + "\"}");
  EXPECT_FALSE(open_revocation_list(forged, root()).has_value());
}

}  // namespace
}  // namespace velnor
