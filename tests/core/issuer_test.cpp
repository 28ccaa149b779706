#include "core/issuer.hpp"

#include <gtest/gtest.h>
#include <openssl/hmac.h>

namespace velnor {
namespace {

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(Issuer, IssueIsTheRootStep) {
  for (const Bytes& key : {Bytes{}, bytes("k"), Bytes(64, 1), Bytes(65, 1)}) {
    const Issuer issuer = Issuer::from_key(key);
    const Issuer copy = issuer;
    const std::string id = "cap-\xc3\xa9";
    unsigned char want[32];
    unsigned int len = 0;
    static const std::uint8_t zero = 0;
    HMAC(EVP_sha256(), key.empty() ? &zero : key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(id.data()), id.size(), want, &len);
    for (const Issuer* i : {&issuer, &copy}) {
      const auto b = i->issue(id);
      EXPECT_EQ(b.fields().identifier, id);
      EXPECT_FALSE(b.fields().holder_of_key.has_value());
      EXPECT_TRUE(b.fields().caveats.empty());
      EXPECT_EQ(b.fields().signature, Bytes(want, want + 32));
    }
  }
}

TEST(Builder, HolderKeyRefusals) {
  const Issuer issuer = Issuer::from_key(bytes("root"));
  const Bytes k32(32, 9);
  const struct {
    const char* name;
    bool caveat_first;
    bool holder_first;
    std::size_t len;
    BuilderError::Kind kind;
    const char* text;
  } cases[] = {
      {"31", false, false, 31, BuilderError::Kind::WrongKeyLength,
       "ed25519 public keys are exactly 32 bytes; got 31"},
      {"33", false, false, 33, BuilderError::Kind::WrongKeyLength,
       "ed25519 public keys are exactly 32 bytes; got 33"},
      {"0", false, false, 0, BuilderError::Kind::WrongKeyLength,
       "ed25519 public keys are exactly 32 bytes; got 0"},
      {"length before state", true, false, 31, BuilderError::Kind::WrongKeyLength,
       "ed25519 public keys are exactly 32 bytes; got 31"},
      {"after caveat", true, false, 32, BuilderError::Kind::AfterCaveat,
       "holder_of_key must be set before any .caveat() calls"},
      {"second key", false, true, 32, BuilderError::Kind::HolderAlreadySet,
       "holder_of_key already set; a capability is bound to at most one holder key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CapabilityBuilder b = issuer.issue("id");
    if (c.holder_first) b = std::move(b).holder_of_key(k32).value();
    if (c.caveat_first) b = std::move(b).caveat("a");
    const Capability before = b.fields();
    const Bytes key(c.len, 7);
    auto r = std::move(b).holder_of_key(key);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, c.kind);
    EXPECT_EQ(r.error().display(), c.text);
    EXPECT_EQ(b.fields(), before);  // a refusal leaves the builder as it was
    if (c.kind == BuilderError::Kind::WrongKeyLength) {
      EXPECT_EQ(CapabilityBuilder::check_holder_key(key).error().display(), c.text);
    }
    // ... and usable: what it goes on to build chains exactly like a builder
    // that was never refused.
    CapabilityBuilder fresh = issuer.issue("id");
    if (c.holder_first) fresh = std::move(fresh).holder_of_key(k32).value();
    if (c.caveat_first) fresh = std::move(fresh).caveat("a");
    EXPECT_EQ(std::move(b).caveat("z").build(), std::move(fresh).caveat("z").build());
  }
}

TEST(Builder, RefusedBuilderTakesAKeyAfterwards) {
  const Issuer issuer = Issuer::from_key(bytes("root"));
  const Bytes k32(32, 3);
  CapabilityBuilder b = issuer.issue("id");
  ASSERT_FALSE(std::move(b).holder_of_key(Bytes(31, 3)).has_value());
  auto bound = std::move(b).holder_of_key(k32);
  ASSERT_TRUE(bound.has_value());
  EXPECT_EQ(std::move(*bound).caveat("a").build(),
            std::move(issuer.issue("id")).holder_of_key(k32).value().caveat("a").build());
  EXPECT_TRUE(CapabilityBuilder::check_holder_key(k32).has_value());
}

TEST(Builder, HolderThenCaveatsAndBuild) {
  const Issuer issuer = Issuer::from_key(bytes("root"));
  const Bytes k32(32, 0xee);
  auto b = std::move(issuer.issue("id")).holder_of_key(k32);
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->fields().holder_of_key, k32);
  const Bytes after_holder = b->fields().signature;
  const auto link = chain_holder_of_key(issuer.issue("id").fields().signature, k32);
  EXPECT_EQ(after_holder, Bytes(link.bytes.begin(), link.bytes.end()));

  const Capability cap = std::move(*b).caveat(" a ").build();
  EXPECT_EQ(cap.holder_of_key, k32);
  ASSERT_EQ(cap.caveats.size(), 1u);
  EXPECT_EQ(cap.caveats[0].predicate, " a ");
  const auto last = chain_caveat(after_holder, Caveat{" a "});
  EXPECT_EQ(cap.signature, Bytes(last.bytes.begin(), last.bytes.end()));
}

}  // namespace
}  // namespace velnor
