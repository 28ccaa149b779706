#include "core/proof.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "core/internal/base64url.hpp"
#include "core/internal/ed25519.hpp"
#include "core/internal/quote.hpp"
#include "core/nonce_store.hpp"
#include "core/verifier.hpp"
#include "tests/core/openssl_oracle.hpp"

namespace velnor {
namespace {

using oracle::openssl_hmac;

constexpr std::string_view kRoot = "root-key-of-the-issuing-service";
constexpr std::string_view kAuditKey = "audit-key-0123456789";
constexpr std::string_view kAudience = "gateway-eu-1";
constexpr std::uint64_t kNow = 1700000000000;
constexpr std::string_view kBadProofSig = "proof of possession: invalid signature";

Bytes hex(std::string_view h) { return *hex_decode(h); }

// RFC 8032 section 7.1, tests 1 to 3 and SHA(abc).
struct Rfc8032 {
  std::string_view seed, public_key, message, signature;
};
constexpr Rfc8032 kRfc8032[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46b"
     "d25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c"
     "387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc659"
     "4a7c15e9716ed28dc027beceea1ec40a"},
    {"833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
     "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
     "454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e030"
     "3dca179c138ac17ad9bef1177331a704"},
};

TEST(Ed25519, Rfc8032Vectors) {
  for (const auto& v : kRfc8032) {
    const Bytes seed = hex(v.seed), pk = hex(v.public_key), msg = hex(v.message), sig = hex(v.signature);
    const ed25519::SecretKey sk(seed);
    EXPECT_EQ(hex_encode(sk.public_key()), v.public_key);
    EXPECT_EQ(hex_encode(sk.sign(msg)), v.signature);
    EXPECT_TRUE(ed25519::verify(pk, msg, sig));
    EXPECT_TRUE(ed25519::is_valid_public_key(pk));
    auto key = HolderKey::from_seed(seed);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(hex_encode(key->public_key()), v.public_key);
    // Every flipped bit of the signature is refused.
    for (std::size_t bit = 0; bit < sig.size() * 8; ++bit) {
      Bytes bad = sig;
      bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      EXPECT_FALSE(ed25519::verify(pk, msg, bad)) << v.seed << " bit " << bit;
    }
  }
}

TEST(Ed25519, RefusesMalleableSignaturesAndWeakKeys) {
  const auto& v = kRfc8032[1];
  const Bytes pk = hex(v.public_key), msg = hex(v.message);
  // S + L, the same point equation with a non-canonical scalar.
  Bytes sig = hex(v.signature);
  static constexpr std::uint8_t kL[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                          0xa2, 0xde, 0xf9, 0xde, 0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                          0, 0, 0, 0, 0, 0x10};
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    const unsigned sum = sig[32 + i] + kL[i] + carry;
    sig[32 + i] = static_cast<std::uint8_t>(sum);
    carry = sum >> 8;
  }
  EXPECT_FALSE(ed25519::verify(pk, msg, sig));

  const struct {
    const char* why;
    Bytes key;
  } weak[] = {
      {"identity (small order)", hex("0100000000000000000000000000000000000000000000000000000000000000")},
      {"all zero (order 4)", Bytes(32, 0)},
      {"non-canonical y", hex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")},
      {"31 bytes", Bytes(pk.begin(), pk.end() - 1)},
      {"33 bytes", [&] { Bytes b = pk; b.push_back(0); return b; }()},
      {"empty", Bytes{}},
  };
  for (const auto& w : weak) EXPECT_FALSE(ed25519::is_valid_public_key(w.key)) << w.why;
}

TEST(HolderKey, RefusesSeedsOfOtherLengths) {
  for (std::size_t n : {0, 1, 31, 33, 64}) {
    auto key = HolderKey::from_seed(Bytes(n, 7));
    ASSERT_FALSE(key.has_value()) << n;
    EXPECT_EQ(key.error(), "holder key seed must be 32 bytes");
  }
}

// --- the pipeline ----------------------------------------------------------

Capability make_cap(std::string identifier, std::vector<std::string> predicates,
                    std::optional<Bytes> holder, std::string_view root = kRoot) {
  Capability cap;
  cap.identifier = std::move(identifier);
  Bytes link = openssl_hmac(crypto::as_bytes(root), crypto::as_bytes(cap.identifier));
  if (holder) {
    Bytes msg{'_', '_', 'h', 'o', 'k', ':'};
    msg.insert(msg.end(), holder->begin(), holder->end());
    link = openssl_hmac(link, msg);
  }
  for (auto& p : predicates) {
    link = openssl_hmac(link, crypto::as_bytes(p));
    cap.caveats.push_back({std::move(p)});
  }
  cap.holder_of_key = std::move(holder);
  cap.signature = std::move(link);
  return cap;
}

Context context(std::string_view json) { return into_context(std::move(*read_ctx_in(json))); }

std::string ctx_at(std::uint64_t now_ms, std::string_view caller = "agent-1",
                   std::string_view tool = "search", std::string_view args = R"({"q":"paris","limit":10})") {
  return R"({"nowMs":)" + std::to_string(now_ms) + R"(,"caller":")" + std::string(caller) + R"(","tool":")" +
         std::string(tool) + R"(","args":)" + std::string(args) + "}";
}

struct Fixture {
  HolderKey holder = *HolderKey::from_seed(hex(kRfc8032[0].seed));
  Bytes pk = Bytes(holder.public_key().begin(), holder.public_key().end());
  Capability cap = make_cap("agent-cap", {R"(tool == "search")", "arg.limit <= 50"}, pk);
  Auditor auditor = *Auditor::create(crypto::as_bytes(kAuditKey));
  std::shared_ptr<MemoryNonceStore> store = *MemoryNonceStore::create();
  Verifier verifier = gateway(store);

  Verifier gateway(std::shared_ptr<NonceStore> s, std::string_view audience = kAudience) const {
    return Verifier::create(crypto::as_bytes(kRoot)).with_audience(std::string(audience)).with_nonce_store(std::move(s));
  }
  std::string prove(std::string_view ctx_json, std::string_view audience = kAudience) const {
    return *holder.prove(cap, context(ctx_json), audience);
  }
  std::string prove(const Capability& c, std::string_view ctx_json) const {
    return *holder.prove(c, context(ctx_json), kAudience);
  }
};

std::string reason(const Receipt& r) { return r.outcome.kind == Outcome::Kind::Allowed ? "allowed" : r.outcome.reason; }

TEST(VerifyWithProof, AcceptsAndRecordsTheProof) {
  Fixture f;
  const std::string ctx = ctx_at(kNow);
  const std::string text = f.prove(ctx);
  auto r = f.verifier.verify_with_proof(f.cap, context(ctx), text, f.auditor);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(reason(*r), "allowed");
  EXPECT_EQ(r->version, RECEIPT_PROOF_VERSION);
  ASSERT_TRUE(r->proof.has_value());
  const Proof sent = *decode_proof(text);
  EXPECT_EQ(r->proof->audience, kAudience);
  EXPECT_EQ(r->proof->holder_key, f.pk);
  EXPECT_EQ(r->proof->issued_at_ms, kNow);
  EXPECT_EQ(r->proof->nonce, sent.nonce);
  EXPECT_EQ(r->proof->signature, sent.signature);
  EXPECT_TRUE(f.auditor.verify(*r).has_value());
  EXPECT_EQ(f.store->size(), 1u);
}

// The signed bytes, built here from OpenSSL's SHA-256 and the layout alone,
// must be what the holder signed.
TEST(ProofMessage, LayoutOfTheSignedBytes) {
  Fixture f;
  const std::string ctx = ctx_at(kNow);
  const Proof p = *decode_proof(f.prove(ctx));
  auto sha = [](std::string_view s) {
    Bytes d(32);
    SHA256(reinterpret_cast<const unsigned char*>(s.data()), s.size(), d.data());
    return d;
  };
  Bytes m{'v', 'e', 'l', 'n', 'o', 'r', '-', 'p', 'r', 'o', 'o', 'f', '/', '1', 0};
  auto add = [&m](const Bytes& b) { m.insert(m.end(), b.begin(), b.end()); };
  add(sha(std::string_view(reinterpret_cast<const char*>(f.cap.signature.data()), f.cap.signature.size())));
  add(sha(kAudience));
  add(sha("agent-1"));
  add(sha("search"));
  add(sha(R"({"limit":10,"q":"paris"})"));  // the canonical argument text
  for (int shift = 56; shift >= 0; shift -= 8) m.push_back(static_cast<std::uint8_t>(kNow >> shift));
  add(p.nonce);
  ASSERT_EQ(m.size(), kProofMessageLen);
  EXPECT_TRUE(ed25519::verify(f.pk, m, p.signature));
  const ProofMessage built = proof_message(f.cap, kAudience, context(ctx), kNow, p.nonce);
  EXPECT_EQ(Bytes(built.begin(), built.end()), m);
}

TEST(HolderKey, ProvesOnlyForItsOwnCapabilities) {
  Fixture f;
  const HolderKey other = *HolderKey::from_seed(hex(kRfc8032[1].seed));
  const Capability bearer = make_cap("bearer", {R"(tool == "search")"}, std::nullopt);
  for (const Capability* c : {&bearer, static_cast<const Capability*>(&f.cap)}) {
    auto p = other.prove(*c, context(ctx_at(kNow)), kAudience);
    ASSERT_FALSE(p.has_value());
    EXPECT_EQ(p.error(), "capability is not bound to this holder key");
  }
  // Two proofs of one call differ in their nonce.
  EXPECT_NE(f.prove(ctx_at(kNow)), f.prove(ctx_at(kNow)));
}

// A proof binds the call: any other caller, tool, arguments or capability
// makes the signature fail, which is an error, not a receipt.
TEST(VerifyWithProof, ProofForAnotherCallIsRefused) {
  Fixture f;
  const Capability attenuated = Capability(f.cap).attenuate("arg.limit <= 20");
  const Capability sibling = make_cap("agent-cap-2", {R"(tool == "search")"}, f.pk);
  const std::string signed_ctx = ctx_at(kNow);
  const struct {
    const char* what;
    std::string ctx;
    const Capability* presented;
    const Capability* proved;
  } cases[] = {
      {"other args", ctx_at(kNow, "agent-1", "search", R"({"q":"paris","limit":11})"), &f.cap, &f.cap},
      {"args reordered but equal", ctx_at(kNow, "agent-1", "search", R"({"limit":10,"q":"paris"})"), &f.cap, nullptr},
      {"other number text", ctx_at(kNow, "agent-1", "search", R"({"q":"paris","limit":10.0})"), &f.cap, &f.cap},
      {"other tool", ctx_at(kNow, "agent-1", "searc"), &f.cap, &f.cap},
      {"other caller", ctx_at(kNow, "agent-2"), &f.cap, &f.cap},
      {"attenuated capability", signed_ctx, &attenuated, &f.cap},
      {"proof of the attenuated, parent presented", signed_ctx, &f.cap, &attenuated},
      {"another capability of the holder", signed_ctx, &sibling, &f.cap},
  };
  for (const auto& c : cases) {
    const std::string proof = f.prove(c.proved != nullptr ? *c.proved : f.cap, signed_ctx);
    const Verifier v = f.gateway(*MemoryNonceStore::create());
    auto r = v.verify_with_proof(*c.presented, context(c.ctx), proof, f.auditor);
    if (c.proved == nullptr) {
      ASSERT_TRUE(r.has_value()) << c.what;  // the canonical hash ignores member order
      EXPECT_EQ(reason(*r), "allowed") << c.what;
      continue;
    }
    ASSERT_FALSE(r.has_value()) << c.what;
    EXPECT_EQ(r.error().display(), kBadProofSig) << c.what;
  }
}

TEST(VerifyWithProof, EveryFlippedBitIsRefusedOrChangesNothing) {
  Fixture f;
  const std::string ctx = ctx_at(kNow);
  const std::string text = f.prove(ctx);
  const Proof original = *decode_proof(text);
  std::string json;
  write_proof_json(json, original);
  // Flips in the token text and in the JSON under it.
  std::vector<std::string> variants;
  for (std::size_t bit = 0; bit < text.size() * 8; ++bit) {
    std::string t = text;
    t[bit / 8] = static_cast<char>(t[bit / 8] ^ (1 << (bit % 8)));
    variants.push_back(std::move(t));
  }
  for (std::size_t bit = 0; bit < json.size() * 8; ++bit) {
    std::string j = json;
    j[bit / 8] = static_cast<char>(j[bit / 8] ^ (1 << (bit % 8)));
    variants.push_back(base64url::encode(crypto::as_bytes(j)));
  }
  std::size_t refused = 0;
  for (const std::string& v : variants) {
    auto decoded = decode_proof(v);
    const Verifier gw = f.gateway(*MemoryNonceStore::create());
    auto r = gw.verify_with_proof(f.cap, context(ctx), v, f.auditor);
    if (decoded && *decoded == original) {
      // A hex digit's case, for one: the same proof.
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(reason(*r), "allowed");
      continue;
    }
    ASSERT_FALSE(r.has_value()) << v;
    ++refused;
    const std::string msg = r.error().display();
    EXPECT_TRUE(msg.starts_with("invalid proof: ") || msg == kBadProofSig) << msg;
  }
  EXPECT_GT(refused, variants.size() * 9 / 10);
}

TEST(VerifyWithProof, ClockWindowEdges) {
  Fixture f;
  const std::string proof_ctx = ctx_at(kNow);
  const struct {
    std::int64_t offset;
    bool allowed;
  } cases[] = {{0, true}, {300000, true}, {-300000, true}, {300001, false}, {-300001, false},
               {1, true},  {-1, true},     {86400000, false}};
  for (const auto& c : cases) {
    const std::string proof = f.prove(proof_ctx);
    const std::uint64_t now = kNow + static_cast<std::uint64_t>(c.offset);
    auto r = f.verifier.verify_with_proof(f.cap, context(ctx_at(now)), proof, f.auditor);
    ASSERT_TRUE(r.has_value()) << c.offset;
    EXPECT_EQ(r->version, RECEIPT_PROOF_VERSION);
    if (c.allowed) {
      EXPECT_EQ(reason(*r), "allowed") << c.offset;
    } else {
      EXPECT_EQ(reason(*r), "proof outside the clock window: issued at " + std::to_string(kNow) +
                                " ms, now " + std::to_string(now) + " ms");
    }
  }
}

TEST(VerifyWithProof, ReplayIsDeniedOnOneVerifierAndAcrossASharedStore) {
  Fixture f;
  const std::string ctx = ctx_at(kNow);
  const std::string proof = f.prove(ctx);
  const Verifier sharing = f.gateway(f.store);
  const Verifier separate = f.gateway(*MemoryNonceStore::create());
  const struct {
    const Verifier* v;
    const char* want;
  } steps[] = {
      {&f.verifier, "allowed"},
      {&f.verifier, "proof already used"},
      {&sharing, "proof already used"},
      {&separate, "allowed"},  // a store of its own knows nothing of the first
      {&separate, "proof already used"},
  };
  for (const auto& s : steps) {
    auto r = s.v->verify_with_proof(f.cap, context(ctx), proof, f.auditor);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(reason(*r), s.want);
    EXPECT_TRUE(f.auditor.verify(*r).has_value());
  }
  // A fresh proof of the same call is its own.
  auto again = f.verifier.verify_with_proof(f.cap, context(ctx), f.prove(ctx), f.auditor);
  EXPECT_EQ(reason(*again), "allowed");
}

TEST(VerifyWithProof, NonceIsSpentWhenTheCaveatsDeny) {
  Fixture f;
  const std::string ctx = ctx_at(kNow, "agent-1", "search", R"({"limit":99})");
  const std::string proof = f.prove(ctx);
  auto first = f.verifier.verify_with_proof(f.cap, context(ctx), proof, f.auditor);
  EXPECT_EQ(reason(*first), "caveat failed: arg.limit <= 50");
  auto second = f.verifier.verify_with_proof(f.cap, context(ctx), proof, f.auditor);
  EXPECT_EQ(reason(*second), "proof already used");
  // Denials before the claim do not spend it.
  const std::string other = f.prove(ctx_at(kNow));
  auto early = f.verifier.verify_with_proof(f.cap, context(ctx_at(kNow + 300001)), other, f.auditor);
  EXPECT_TRUE(reason(*early).starts_with("proof outside the clock window"));
  auto later = f.verifier.verify_with_proof(f.cap, context(ctx_at(kNow)), other, f.auditor);
  EXPECT_EQ(reason(*later), "allowed");
}

TEST(VerifyWithProof, RevocationAfterTheProof) {
  Fixture f;
  const Verifier v = Verifier::create(crypto::as_bytes(kRoot))
                         .with_revocations(RevocationList({"agent-cap"}))
                         .with_audience(std::string(kAudience))
                         .with_nonce_store(f.store);
  const std::string ctx = ctx_at(kNow);
  auto r = v.verify_with_proof(f.cap, context(ctx), f.prove(ctx), f.auditor);
  EXPECT_EQ(reason(*r), "capability revoked: agent-cap");
  EXPECT_EQ(r->version, RECEIPT_PROOF_VERSION);
}

TEST(VerifyWithProof, AudienceMismatchQuotesTheProofsAudience) {
  Fixture f;
  const std::string ctx = ctx_at(kNow);
  for (std::string_view aud : {"gateway-us-1", "", "a \"quoted\"\tname"}) {
    auto r = f.verifier.verify_with_proof(f.cap, context(ctx), f.prove(ctx, aud), f.auditor);
    ASSERT_TRUE(r.has_value());
    std::string want = "proof is for another audience: ";
    text::append_quoted_str(want, aud);
    EXPECT_EQ(reason(*r), want);
    EXPECT_EQ(r->proof->audience, aud);
  }
  EXPECT_EQ(f.store->size(), 0u);
}

TEST(VerifyWithProof, FullStoreFailsClosedAndReclaimsExpiredNonces) {
  Fixture f;
  auto small = *MemoryNonceStore::create(2);
  const Verifier v = f.gateway(small);
  auto run = [&](std::uint64_t at) {
    const std::string ctx = ctx_at(at);
    return reason(*v.verify_with_proof(f.cap, context(ctx), f.prove(ctx), f.auditor));
  };
  EXPECT_EQ(run(kNow), "allowed");
  EXPECT_EQ(run(kNow + 1000), "allowed");
  EXPECT_EQ(run(kNow + 2000), "nonce store unavailable: memory store is full (2 live nonces)");
  // The first nonce lapses once its proof could no longer be accepted.
  EXPECT_EQ(run(kNow + 300001), "allowed");
  EXPECT_EQ(small->size(), 2u);
  EXPECT_EQ(run(kNow + 300002), "nonce store unavailable: memory store is full (2 live nonces)");
  EXPECT_EQ(run(kNow + 1000000), "allowed");
}

TEST(VerifyWithProof, StepsBeforeTheProofIsLookedAt) {
  Fixture f;
  const std::string ctx = ctx_at(kNow);
  const std::string proof = f.prove(ctx);
  const Verifier bare = Verifier::create(crypto::as_bytes(kRoot));
  const Verifier only_audience = Verifier::create(crypto::as_bytes(kRoot)).with_audience("x");
  const Verifier only_store = Verifier::create(crypto::as_bytes(kRoot)).with_nonce_store(f.store);
  for (const Verifier* v : {&bare, &only_audience, &only_store}) {
    auto r = v->verify_with_proof(f.cap, context(ctx), "not even base64!", f.auditor);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(),
              "verify_with_proof needs an audience and a nonce store (with_audience, with_nonce_store)");
  }
  // The proof is read before the chain is checked.
  const Capability foreign = make_cap("agent-cap", {R"(tool == "search")"}, f.pk, "another root");
  auto bad_proof = f.verifier.verify_with_proof(foreign, context(ctx), "", f.auditor);
  EXPECT_TRUE(bad_proof.error().display().starts_with("invalid proof: "));
  auto chain = f.verifier.verify_with_proof(foreign, context(ctx), proof, f.auditor);
  EXPECT_EQ(chain.error().display(), "capability chain integrity: invalid signature");

  // No holder key, or one that is no Ed25519 point: version-1 denials.
  const struct {
    Capability cap;
    const char* want;
  } unbound[] = {
      {make_cap("bearer", {R"(tool == "search")"}, std::nullopt),
       "capability is not bound to a holder key; use verify_with_context"},
      {make_cap("weak", {R"(tool == "search")"}, Bytes(32, 0)), "holder key is not an Ed25519 public key"},
      {make_cap("short", {R"(tool == "search")"}, Bytes(31, 9)), "holder key is not an Ed25519 public key"},
  };
  for (const auto& u : unbound) {
    auto r = f.verifier.verify_with_proof(u.cap, context(ctx), proof, f.auditor);
    ASSERT_TRUE(r.has_value()) << u.want;
    EXPECT_EQ(reason(*r), u.want);
    EXPECT_EQ(r->version, RECEIPT_SCHEMA_VERSION);
    EXPECT_FALSE(r->proof.has_value());
    EXPECT_TRUE(f.auditor.verify(*r).has_value());
  }
  EXPECT_EQ(f.store->size(), 0u);
  // The bearer path is unchanged.
  auto old = f.verifier.verify_with_context(f.cap, context(ctx), f.auditor);
  EXPECT_EQ(reason(*old), "capability is bound to a holder key; use verify_with_proof");
}

std::string b64(std::string_view json) { return base64url::encode(crypto::as_bytes(json)); }

TEST(DecodeProof, MalformedTexts) {
  const std::string n32(32, 'a'), s128(128, 'b');
  auto doc = [&](std::string_view aud, std::string_view at, std::string_view nonce, std::string_view sig) {
    return std::string(R"({"audience":)") + std::string(aud) + R"(,"issued_at_ms":)" + std::string(at) +
           R"(,"nonce":")" + std::string(nonce) + R"(","signature":")" + std::string(sig) + R"("})";
  };
  const struct {
    std::string text;
    std::string_view error;  // empty: accepted
  } cases[] = {
      {b64(doc(R"("g")", "5", n32, s128)), ""},
      {b64(doc(R"("g")", "5", std::string(32, 'A'), std::string(128, 'F'))), ""},
      {b64(R"({"x":[1,{"y":2}],"signature":")" + s128 + R"(","nonce":")" + n32 +
           R"(","issued_at_ms":5,"audience":"g"})"), ""},
      {b64(R"(["g",5,")" + n32 + R"(",")" + s128 + R"("])"), ""},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"e30=", "base64 decode failed: "},
      {"e30+", "base64 decode failed: "},
      {b64("{}"), "missing field `audience`"},
      {b64(R"({"audience":"g","issued_at_ms":5,"signature":")" + s128 + R"("})"), "missing field `nonce`"},
      {b64(doc(R"("g")", "5", std::string(30, 'a'), s128)), "invalid length 15, expected 16 bytes"},
      {b64(doc(R"("g")", "5", std::string(34, 'a'), s128)), "invalid length 17, expected 16 bytes"},
      {b64(doc(R"("g")", "5", n32, std::string(126, 'b'))), "invalid length 63, expected 64 bytes"},
      {b64(doc(R"("g")", "5", std::string(31, 'a'), s128)), "hex string has odd length"},
      {b64(doc(R"("g")", "5", std::string(31, 'a') + "g", s128)), "invalid digit found in string"},
      {b64(doc("7", "5", n32, s128)), "invalid type: integer `7`, expected a string"},
      {b64(doc(R"("g")", "-1", n32, s128)), "invalid value: integer `-1`, expected u64"},
      {b64(doc(R"("g")", "1.5", n32, s128)), "invalid type: floating point `1.5`, expected u64"},
      {b64(doc(R"("g")", "18446744073709551616", n32, s128)), "invalid value: integer `18446744073709551616`, expected u64"},
      {b64(R"({"audience":"g","audience":"h"})"), "duplicate field `audience`"},
      {b64(R"(["g",5])"), "invalid length 2, expected struct Proof with 4 elements"},
      {b64(R"("proof")"), "invalid type: string \"proof\", expected struct Proof"},
      {b64(doc(R"("g")", "5", n32, s128) + "x"), "trailing characters"},
  };
  for (const auto& c : cases) {
    auto p = decode_proof(c.text);
    if (c.error.empty()) {
      EXPECT_TRUE(p.has_value()) << c.text << ": " << p.error();
      continue;
    }
    ASSERT_FALSE(p.has_value()) << c.text;
    EXPECT_TRUE(p.error().starts_with(c.error)) << p.error();
  }
}

TEST(DecodeProof, RoundTrip) {
  Proof p{"g\u00e9\"\n", UINT64_MAX, Bytes(16, 0xab), Bytes(64, 0x01)};
  EXPECT_EQ(*decode_proof(encode_proof(p)), p);
  std::string json;
  write_proof_json(json, p);
  EXPECT_TRUE(json.starts_with(R"({"audience":"gé\"\n","issued_at_ms":18446744073709551615,"nonce":"abab)"));
}

// --- the store ---------------------------------------------------------------

NonceKey key_of(std::uint8_t b) {
  NonceKey k{};
  k.fill(b);
  return k;
}

TEST(MemoryNonceStore, ClaimsExpiryAndCapacity) {
  auto s = *MemoryNonceStore::create(3);
  using K = NonceClaim::Kind;
  const struct {
    std::uint8_t key;
    std::uint64_t expires, now;
    K want;
  } steps[] = {
      {1, 100, 0, K::Fresh},     {1, 100, 50, K::Replay},   {1, 100, 100, K::Replay},  // live to its end
      {2, 200, 10, K::Fresh},    {3, 300, 10, K::Fresh},    {4, 400, 10, K::Unavailable},
      {1, 500, 101, K::Fresh},   // lapsed, claimable again
      {4, 400, 201, K::Fresh},   // 2 reclaimed to make room
      {2, 600, 201, K::Unavailable},  // 1, 3 and 4 are live
      {3, 300, 250, K::Replay},  {2, 600, 301, K::Fresh},  // 3 lapsed
  };
  for (const auto& st : steps) {
    const NonceClaim c = s->claim(key_of(st.key), st.expires, st.now);
    EXPECT_EQ(c.kind, st.want) << int(st.key) << " at " << st.now;
    if (c.kind == K::Unavailable) {
      EXPECT_EQ(c.reason, "memory store is full (3 live nonces)");
    }
  }
  EXPECT_FALSE(MemoryNonceStore::create(0).has_value());
  EXPECT_EQ(MemoryNonceStore::create(0).error(), "nonce store capacity must be at least 1");
}

TEST(MemoryNonceStore, ReclaimsAsTimePasses) {
  auto s = *MemoryNonceStore::create(1000);
  for (std::uint8_t i = 0; i < 200; ++i) EXPECT_EQ(s->claim(key_of(i), 10, 0).kind, NonceClaim::Kind::Fresh);
  EXPECT_EQ(s->size(), 200u);
  // Each later claim reclaims a few, so the store drains without a sweep.
  for (int i = 0; i < 100; ++i) s->claim(key_of(255), 1000, 11);
  EXPECT_EQ(s->size(), 1u);
}

TEST(MemoryNonceStore, ConcurrentClaimsHaveExactlyOneWinner) {
  auto s = *MemoryNonceStore::create();
  constexpr int kThreads = 8, kKeys = 200;
  std::atomic<int> fresh{0}, replay{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (int k = 0; k < kKeys; ++k) {
        NonceKey key{};
        key[0] = static_cast<std::uint8_t>(k);
        key[1] = static_cast<std::uint8_t>(k >> 8);
        const auto c = s->claim(key, 100, 0);
        (c.kind == NonceClaim::Kind::Fresh ? fresh : replay).fetch_add(1);
      }
    });
  }
  go.store(true);
  for (auto& t : threads) t.join();
  EXPECT_EQ(fresh.load(), kKeys);
  EXPECT_EQ(replay.load(), kKeys * (kThreads - 1));
}

TEST(VerifyWithProof, ConcurrentReplaysOfOneProofHaveOneWinner) {
  Fixture f;
  const std::string ctx = ctx_at(kNow);
  const std::string proof = f.prove(ctx);
  constexpr int kThreads = 6;
  std::vector<std::string> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Verifier v = f.gateway(f.store);  // many verifiers, one store
      outcomes[t] = reason(*v.verify_with_proof(f.cap, context(ctx), proof, f.auditor));
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::ranges::count(outcomes, "allowed"), 1);
  EXPECT_EQ(std::ranges::count(outcomes, "proof already used"), kThreads - 1);
}

}  // namespace
}  // namespace velnor

namespace velnor {
namespace {

// --- receipts of version 2 -------------------------------------------------

Receipt accepted_receipt(const Fixture& f) {
  const std::string ctx = ctx_at(kNow);
  return *f.verifier.verify_with_proof(f.cap, context(ctx), f.prove(ctx), f.auditor);
}

TEST(ReceiptV2, JsonMemberOrderAndSigningInput) {
  Fixture f;
  const Receipt r = accepted_receipt(f);
  const std::string json = r.to_json();
  const std::string proof = R"({"audience":"gateway-eu-1","holder_key":")" + hex_encode(f.pk) +
                            R"(","issued_at_ms":1700000000000,"nonce":")" + hex_encode(r.proof->nonce) +
                            R"(","signature":")" + hex_encode(r.proof->signature) + R"("})";
  EXPECT_TRUE(json.starts_with(R"({"version":2,"capability_identifier":"agent-cap","caveats":[)")) << json;
  EXPECT_NE(json.find(R"(},"proof":)" + proof + R"(,"outcome":{"kind":"allowed"},"timestamp_ms":1700000000000,"signature":")"),
            std::string::npos)
      << json;
  const std::string input = *signing_input(r);
  EXPECT_EQ(input.substr(0, 2), std::string("v\x02"));
  EXPECT_NE(input.find(R"("outcome":{"kind":"allowed"},"proof":)" + proof + R"(,"timestamp_ms":1700000000000,"version":2})"),
            std::string::npos)
      << input;
  EXPECT_EQ(hex_encode(r.signature), hex_encode(openssl_hmac(crypto::as_bytes(kAuditKey), crypto::as_bytes(input))));
  auto back = Receipt::from_json(json);
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(*back, r);
  EXPECT_TRUE(f.auditor.verify(*back).has_value());
  // Anyone with the holder's key can check later that the holder asked.
  const ProofMessage m = proof_message(f.cap, back->proof->audience, context(ctx_at(kNow)),
                                       back->proof->issued_at_ms, back->proof->nonce);
  EXPECT_TRUE(ed25519::verify(back->proof->holder_key, m, back->proof->signature));
}

// Replaces the first occurrence of `from` in `s`.
std::string swap_text(std::string s, std::string_view from, std::string_view to) {
  const auto at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at == std::string::npos) return s;
  return s.substr(0, at) + std::string(to) + s.substr(at + from.size());
}

TEST(ReceiptV2, TamperingWithAnyMemberIsRefused) {
  Fixture f;
  const Receipt r = accepted_receipt(f);
  const std::string json = r.to_json();
  const std::string nonce = hex_encode(r.proof->nonce), psig = hex_encode(r.proof->signature);
  const std::string pk = hex_encode(f.pk);
  auto flip_hex = [](std::string h) {
    h[0] = h[0] == '0' ? '1' : '0';
    return h;
  };
  const struct {
    const char* what;
    std::string json;
    std::string_view error;
  } cases[] = {
      {"version 1", swap_text(json, R"("version":2)", R"("version":1)"), "invalid signature"},
      {"version 3", swap_text(json, R"("version":2)", R"("version":3)"),
       "unsupported receipt schema version: got 3, expected 2"},
      {"identifier", swap_text(json, R"("agent-cap")", R"("agent-cap2")"), "invalid signature"},
      {"caveat", swap_text(json, "arg.limit <= 50", "arg.limit <= 51"), "invalid signature"},
      {"caller", swap_text(json, R"("agent-1")", R"("agent-2")"), "invalid signature"},
      {"tool", swap_text(json, R"("tool":"search")", R"("tool":"delete")"), "invalid signature"},
      {"args_hash", swap_text(json, R"("args_hash":")", R"("args_hash":"0)"), "invalid signature"},
      {"audience", swap_text(json, R"("gateway-eu-1")", R"("gateway-eu-2")"), "invalid signature"},
      {"holder_key", swap_text(json, pk, flip_hex(pk)), "invalid signature"},
      {"issued_at_ms", swap_text(json, R"("issued_at_ms":1700000000000)", R"("issued_at_ms":1700000000001)"),
       "invalid signature"},
      {"nonce", swap_text(json, nonce, flip_hex(nonce)), "invalid signature"},
      {"proof signature", swap_text(json, psig, flip_hex(psig)), "invalid signature"},
      {"outcome", swap_text(json, R"({"kind":"allowed"})", R"({"kind":"denied","reason":"x"})"),
       "invalid signature"},
      {"timestamp", swap_text(json, R"("timestamp_ms":1700000000000)", R"("timestamp_ms":1)"), "invalid signature"},
      {"signature", swap_text(json, R"("signature":")" + hex_encode(r.signature),
                              R"("signature":")" + flip_hex(hex_encode(r.signature))),
       "invalid signature"},
  };
  for (const auto& c : cases) {
    auto read = Receipt::from_json(c.json);
    ASSERT_TRUE(read.has_value()) << c.what << ": " << read.error();
    auto v = f.auditor.verify(*read);
    ASSERT_FALSE(v.has_value()) << c.what;
    EXPECT_EQ(v.error().display(), c.error) << c.what;
  }
}

TEST(ReceiptV2, ReaderRules) {
  Fixture f;
  const Receipt r = accepted_receipt(f);
  const std::string json = r.to_json();
  const std::string pk = hex_encode(f.pk);
  const auto proof_at = json.find(R"(,"proof":)");
  const auto outcome_at = json.find(R"(,"outcome":)");
  const std::string without_proof = json.substr(0, proof_at) + json.substr(outcome_at);
  auto upper = [](std::string h) {
    for (char& c : h) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 32 : c);
    return h;
  };
  const std::string psig = hex_encode(r.proof->signature);
  const struct {
    const char* what;
    std::string json;
    std::string_view error;  // empty: reads and verifies
  } cases[] = {
      {"as written", json, ""},
      {"without proof", without_proof, "missing field `proof`"},
      {"version 1 without proof", swap_text(without_proof, R"("version":2)", R"("version":1)"),
       "invalid signature"},
      {"proof null", swap_text(json, json.substr(proof_at, outcome_at - proof_at), R"(,"proof":null)"),
       "invalid type: null, expected struct ProofRecord"},
      {"proof lacks nonce", swap_text(json, R"(,"nonce":")", R"(,"nonce_":")"), "missing field `nonce`"},
      {"short nonce", swap_text(json, R"("nonce":")", R"("nonce":"00)"), "invalid length 17, expected 16 bytes"},
      {"short holder key", swap_text(json, pk, pk.substr(2)), "invalid length 31, expected 32 bytes"},
      {"unknown members", swap_text(json, R"("audience":)", R"("x":[{}],"audience":)"), ""},
      {"hex in upper case", swap_text(swap_text(json, pk, upper(pk)), psig, upper(psig)), ""},
  };
  for (const auto& c : cases) {
    auto read = Receipt::from_json(c.json);
    if (c.error == "invalid signature" || c.error.empty()) {
      ASSERT_TRUE(read.has_value()) << c.what << ": " << read.error();
      auto v = f.auditor.verify(*read);
      if (c.error.empty()) {
        EXPECT_TRUE(v.has_value()) << c.what << ": " << v.error().display();
      } else {
        ASSERT_FALSE(v.has_value()) << c.what;
        EXPECT_EQ(v.error().display(), c.error) << c.what;
      }
      continue;
    }
    ASSERT_FALSE(read.has_value()) << c.what;
    EXPECT_TRUE(read.error().starts_with(c.error)) << c.what << ": " << read.error();
  }
}

TEST(ReceiptV2, ArrayFormHasEightElements) {
  Fixture f;
  const Receipt r = accepted_receipt(f);
  const std::string sig = hex_encode(r.signature);
  std::string proof = R"(["gateway-eu-1",")";
  proof += hex_encode(f.pk);
  proof += R"(",1700000000000,")";
  proof += hex_encode(r.proof->nonce);
  proof += R"(",")";
  proof += hex_encode(r.proof->signature);
  proof += R"("])";
  const std::string caveats = R"([{"predicate":"tool == \"search\""},{"predicate":"arg.limit <= 50"}])";
  const std::string head = R"([2,"agent-cap",)" + caveats + R"(,["agent-1","search",")" + r.context_summary.args_hash + R"("],)";
  const std::string full = head + proof + R"(,["allowed"],1700000000000,")" + sig + R"("])";
  auto read = Receipt::from_json(full);
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_TRUE(f.auditor.verify(*read).has_value());
  auto seven = Receipt::from_json(head + proof + R"(,["allowed"],1700000000000])");
  ASSERT_FALSE(seven.has_value());
  EXPECT_TRUE(seven.error().starts_with("invalid length 7, expected struct Receipt with 8 elements")) << seven.error();
}

}  // namespace
}  // namespace velnor
