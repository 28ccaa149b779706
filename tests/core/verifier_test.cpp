#include "core/verifier.hpp"


#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/caveat_dsl.hpp"
#include "tests/core/openssl_oracle.hpp"

namespace velnor {
namespace {

using oracle::openssl_hmac;

constexpr std::string_view kRoot = "root-key-of-the-issuing-service";
constexpr std::string_view kAuditKey = "audit-key-0123456789";
constexpr std::string_view kChainError = "capability chain integrity: invalid signature";

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }


Capability make_cap(std::string_view root, std::string identifier, std::vector<std::string> predicates,
                    std::optional<Bytes> holder = std::nullopt) {
  Capability cap;
  cap.identifier = std::move(identifier);
  Bytes link = openssl_hmac(crypto::as_bytes(root), crypto::as_bytes(cap.identifier));
  if (holder) {
    Bytes msg = bytes_of("__hok:");
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

const std::vector<std::string> kTypical = {"now <= @2030-01-01T00:00:00Z", R"(tool == "search")",
                                           "arg.limit <= 50"};

Context make_context(std::string tool = "search") {
  Context ctx;
  ctx.caller = "agent-1";
  ctx.tool = std::move(tool);
  ctx.now = Instant{1700000000, 0};  // 2023-11-14
  ctx.args = JsonValue::object({{"query", JsonValue::string("weather in Paris")},
                                {"limit", JsonValue::number("10")}});
  return ctx;
}

Auditor make_auditor() { return std::move(*Auditor::create(crypto::as_bytes(kAuditKey))); }

TEST(VerifierChain, AcceptsGenuineChains) {
  const std::string long_root(65, 'r');
  const struct {
    const char* name;
    std::string root;
    Capability cap;
  } cases[] = {
      {"typical", std::string(kRoot), make_cap(kRoot, "cap-1", kTypical)},
      {"empty identifier", std::string(kRoot), make_cap(kRoot, "", {"tool == \"x\""})},
      {"empty root key", "", make_cap("", "cap-1", {"tool == \"x\""})},
      {"root key over one block", long_root, make_cap(long_root, "cap-1", kTypical)},
      {"no caveats", std::string(kRoot), make_cap(kRoot, "cap-1", {})},
      {"holder bound", std::string(kRoot), make_cap(kRoot, "cap-1", kTypical, Bytes(32, 0))},
      {"short holder key", std::string(kRoot), make_cap(kRoot, "cap-1", {}, Bytes{})},
      {"spaces kept", std::string(kRoot), make_cap(kRoot, "cap-1", {" tool == \"x\" "})},
  };
  for (const auto& c : cases) {
    const Verifier v = Verifier::create(crypto::as_bytes(c.root));
    auto ok = v.verify(c.cap);
    ASSERT_TRUE(ok.has_value()) << c.name;
    // Borrowed, not copied.
    EXPECT_EQ(ok->identifier.data(), c.cap.identifier.data()) << c.name;
    EXPECT_EQ(ok->caveats.data(), c.cap.caveats.data()) << c.name;
    EXPECT_EQ(ok->caveats.size(), c.cap.caveats.size()) << c.name;
  }
}

TEST(VerifierChain, RejectsEveryAlteration) {
  const Verifier v = Verifier::create(crypto::as_bytes(kRoot));
  const Capability good = make_cap(kRoot, "cap-1", kTypical);
  const Capability bound = make_cap(kRoot, "cap-1", kTypical, Bytes(32, 7));
  auto altered = [](Capability c, auto&& change) {
    change(c);
    return c;
  };
  const struct {
    const char* name;
    Capability cap;
  } cases[] = {
      {"identifier", altered(good, [](Capability& c) { c.identifier = "cap-2"; })},
      {"holder key added", altered(good, [](Capability& c) { c.holder_of_key = Bytes(32, 7); })},
      {"holder key removed", altered(bound, [](Capability& c) { c.holder_of_key.reset(); })},
      {"holder key changed", altered(bound, [](Capability& c) { (*c.holder_of_key)[31] ^= 1; })},
      {"predicate byte", altered(good, [](Capability& c) { c.caveats[2].predicate[14] = '9'; })},
      {"trailing space", altered(good, [](Capability& c) { c.caveats[1].predicate += ' '; })},
      {"swapped caveats", altered(good, [](Capability& c) { std::swap(c.caveats[0], c.caveats[1]); })},
      {"last caveat removed", altered(good, [](Capability& c) { c.caveats.pop_back(); })},
      {"caveat appended", altered(good, [](Capability& c) { c.caveats.push_back({"tool == \"x\""}); })},
      {"empty signature", altered(good, [](Capability& c) { c.signature.clear(); })},
      {"signature 31 bytes", altered(good, [](Capability& c) { c.signature.pop_back(); })},
      {"signature 33 bytes", altered(good, [](Capability& c) { c.signature.push_back(0); })},
      {"signature 64 bytes", altered(good, [](Capability& c) {
         c.signature.insert(c.signature.end(), c.signature.begin(), c.signature.end());
       })},
      {"other root", make_cap("another-root-key", "cap-1", kTypical)},
      {"root plus a byte", make_cap(std::string(kRoot) + "x", "cap-1", kTypical)},
  };
  for (const auto& c : cases) {
    auto r = v.verify(c.cap);
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error().display(), kChainError) << c.name;
    EXPECT_EQ(r.error().inner().kind(), Error::Kind::InvalidSignature) << c.name;
  }

  // Every proper prefix of the root key, the empty key included.
  for (std::size_t n = 0; n < kRoot.size(); ++n) {
    const Verifier prefix = Verifier::create(crypto::as_bytes(kRoot.substr(0, n)));
    EXPECT_FALSE(prefix.verify(good).has_value()) << n;
  }
}

TEST(VerifierChain, OneBitFlipAnywhereInTheSignatureFails) {
  const Verifier v = Verifier::create(crypto::as_bytes(kRoot));
  const Capability good = make_cap(kRoot, "cap-1", kTypical);
  ASSERT_TRUE(v.verify(good).has_value());
  for (std::size_t bit = 0; bit < good.signature.size() * 8; ++bit) {
    Capability c = good;
    c.signature[bit / 8] = static_cast<std::uint8_t>(c.signature[bit / 8] ^ (1u << (bit % 8)));
    EXPECT_FALSE(v.verify(c).has_value()) << "bit " << bit;
  }
}

TEST(VerifierDecision, OutcomesAndTheirPrecedence) {
  const Auditor auditor = make_auditor();
  // Raw tab between tokens, a quote, a backslash escape, a raw line feed and
  // U+0001 inside the string: all must come out escaped in the reason.
  const std::string special = "arg.missing\t== \"x\\\"y\n\x01\xc3\xa9\"";
  const std::string special_quoted = R"("arg.missing\t== \"x\\\"y\n\u{1})" "\xc3\xa9" R"(\"")";

  const struct {
    const char* name;
    std::vector<std::string> caveats;
    std::string tool = "search";
    bool holder = false;
    std::optional<std::vector<std::string>> revoked = std::nullopt;
    std::optional<std::string> reason = std::nullopt;  // nullopt: allowed
  } cases[] = {
      {.name = "all pass", .caveats = kTypical},
      {.name = "no caveats", .caveats = {}},
      {.name = "tool false", .caveats = kTypical, .tool = "delete",
       .reason = R"(caveat failed: tool == "search")"},
      {.name = "first false wins",
       .caveats = {"now <= @2020-01-01T00:00:00Z", R"(tool == "search")"}, .tool = "delete",
       .reason = "caveat failed: now <= @2020-01-01T00:00:00Z"},
      {.name = "eval error before false",
       .caveats = {"arg.missing <= 10", R"(tool == "search")"}, .tool = "delete",
       .reason = R"(caveat eval error in "arg.missing <= 10": unknown identifier: arg.missing)"},
      {.name = "later caveats never parsed",
       .caveats = {R"(tool == "search")", "now <="}, .tool = "delete",
       .reason = R"(caveat failed: tool == "search")"},
      {.name = "eval error quoting", .caveats = {special},
       .reason = "caveat eval error in " + special_quoted + ": unknown identifier: arg.missing"},
      {.name = "holder bound", .caveats = kTypical, .holder = true,
       .reason = "capability is bound to a holder key; use verify_with_proof"},
      {.name = "holder before revocation", .caveats = {"now <="}, .holder = true,
       .revoked = std::vector<std::string>{"cap-1"},
       .reason = "capability is bound to a holder key; use verify_with_proof"},
      {.name = "revoked before caveats", .caveats = {"now <="},
       .revoked = std::vector<std::string>{"zzz", "cap-1", "a"}, .reason = "capability revoked: cap-1"},
      {.name = "other identifiers revoked", .caveats = kTypical,
       .revoked = std::vector<std::string>{"cap-0", "cap-10", "CAP-1", "cap-1 "}},
      {.name = "empty revocation list", .caveats = kTypical, .revoked = std::vector<std::string>{}},
  };
  for (const auto& c : cases) {
    const Capability cap = make_cap(kRoot, "cap-1", c.caveats,
                                    c.holder ? std::optional<Bytes>(Bytes(32, 1)) : std::nullopt);
    Verifier v = Verifier::create(crypto::as_bytes(kRoot));
    if (c.revoked) v = std::move(v).with_revocations(RevocationList(*c.revoked));
    const Context ctx = make_context(c.tool);

    auto r = v.verify_with_context(cap, ctx, auditor);
    ASSERT_TRUE(r.has_value()) << c.name;
    if (c.reason) {
      EXPECT_EQ(r->outcome, Outcome::denied(*c.reason)) << c.name;
    } else {
      EXPECT_EQ(r->outcome, Outcome::allowed()) << c.name << ": " << r->outcome.reason;
    }
    EXPECT_EQ(r->capability_identifier, cap.identifier) << c.name;
    EXPECT_EQ(r->caveats, cap.caveats) << c.name;
    EXPECT_EQ(r->context_summary, (ContextSummary{"agent-1", c.tool, ctx.args_hash()})) << c.name;
    EXPECT_EQ(r->timestamp_ms, 1700000000000u) << c.name;
    EXPECT_TRUE(auditor.verify(*r).has_value()) << c.name;

    // The text form appends exactly the record's JSON.
    std::string text = "prefix";
    ASSERT_TRUE(v.verify_with_context_json(cap, ctx, auditor, text).has_value()) << c.name;
    EXPECT_EQ(text, "prefix" + r->to_json()) << c.name;
  }
}

TEST(VerifierDecision, ParseErrorReasonCarriesTheParserMessage) {
  const std::string bad = "now <=";
  const auto parsed = parse(bad);
  ASSERT_FALSE(parsed.has_value());
  auto reason = evaluate_all(std::vector<Caveat>{{bad}, {"arg.missing <= 1"}}, make_context());
  ASSERT_FALSE(reason.has_value());
  EXPECT_TRUE(reason.error().starts_with(R"(caveat parse error in "now <=": parse error: )"))
      << reason.error();
  EXPECT_EQ(reason.error(), R"(caveat parse error in "now <=": )" + parsed.error().display());
}

TEST(VerifierDecision, ChainErrorComesFirstAndMakesNoReceipt) {
  const Auditor auditor = make_auditor();
  const Verifier v = Verifier::create(crypto::as_bytes(kRoot))
                         .with_revocations(RevocationList({"cap-1"}));
  Capability bound = make_cap(kRoot, "cap-1", {"now <="}, Bytes(32, 1));
  bound.caveats[0].predicate = "now <= ";
  auto r = v.verify_with_context(bound, make_context(), auditor);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), kChainError);
  std::string text = "kept";
  auto written = v.verify_with_context_json(bound, make_context(), auditor, text);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().display(), kChainError);
  EXPECT_EQ(text, "kept");

  EXPECT_FALSE(Verifier::create(crypto::as_bytes("other"))
                   .verify_with_context(make_cap(kRoot, "cap-1", kTypical), make_context(), auditor)
                   .has_value());
}

TEST(RevocationList, SortedByBytesAndSearchedExactly) {
  const RevocationList list({"b", "\xc3\xa9", "B", "a", "", "ab", "a", "\x7f"});
  const std::vector<std::string> sorted = {"", "B", "a", "ab", "b", "\x7f", "\xc3\xa9"};
  EXPECT_EQ(list.identifiers(), sorted);
  for (const auto& id : sorted) EXPECT_TRUE(list.contains(id)) << id;
  for (std::string_view id : {"A", "c", "a ", "\xc3", "aa", "\xff"}) {
    EXPECT_FALSE(list.contains(id)) << id;
  }
  EXPECT_FALSE(RevocationList(std::vector<std::string>{}).contains(""));
}

struct CountingStore : NonceStore {
  int calls = 0;
  NonceClaim claim(const NonceKey&, std::uint64_t, std::uint64_t) noexcept override {
    ++calls;
    return NonceClaim::fresh();
  }
};

TEST(VerifierNonceStore, HeldButNeverConsulted) {
  auto store = std::make_shared<CountingStore>();
  {
    const Verifier v = Verifier::create(crypto::as_bytes(kRoot)).with_nonce_store(store);
    EXPECT_EQ(store.use_count(), 2);
    const Verifier copy = v;
    EXPECT_EQ(store.use_count(), 3);
    ASSERT_TRUE(v.verify_with_context(make_cap(kRoot, "cap-1", kTypical), make_context(),
                                      make_auditor())
                    .has_value());
  }
  EXPECT_EQ(store.use_count(), 1);
  EXPECT_EQ(store->calls, 0);
}

}  // namespace
}  // namespace velnor

namespace velnor {
namespace {

// A receipt signature under the root key is the root link of a capability
// whose identifier is the receipt's signing input; with no caveats that
// capability would be allowed everywhere. So every key that HMAC treats as
// the root key is refused as an audit key, and other keys are not.
TEST(VerifierAuditKey, RefusesAnAuditorThatSignsWithTheRootKey) {
  const std::string root = "root-key-of-the-issuing-service";
  const std::string long_root(100, 'L');
  const crypto::Digest long_root_hash = crypto::sha256(crypto::as_bytes(long_root));
  const std::string hashed(reinterpret_cast<const char*>(long_root_hash.data()), long_root_hash.size());
  const struct {
    const char* name;
    std::string root;
    std::string audit;
    bool refused;
  } cases[] = {
      {"same bytes", root, root, true},
      {"zero padded to the block", root, root + std::string(64 - root.size(), '\0'), true},
      {"one trailing zero", root, root + std::string(1, '\0'), true},
      {"key over a block and its hash", long_root, hashed, true},
      {"differs in the last byte", root, root.substr(0, root.size() - 1) + "x", false},
      {"root is a prefix", root, root + "x", false},
      {"64 bytes differing only in the last", std::string(64, 'k'), std::string(63, 'k') + "j", false},
  };
  const std::vector<std::string> preds = {R"(tool == "search")"};
  for (const auto& c : cases) {
    const Verifier v = Verifier::create(crypto::as_bytes(c.root));
    auto auditor = Auditor::create(crypto::as_bytes(c.audit));
    ASSERT_TRUE(auditor.has_value()) << c.name;
    const Capability cap = make_cap(c.root, "cap-1", preds);
    auto receipt = v.verify_with_context(cap, make_context(), *auditor);
    std::string out;
    auto json = v.verify_with_context_json(cap, make_context(), *auditor, out);
    if (c.refused) {
      ASSERT_FALSE(receipt.has_value()) << c.name;
      EXPECT_EQ(receipt.error().display(), "the audit key must differ from the root key") << c.name;
      ASSERT_FALSE(json.has_value()) << c.name;
      EXPECT_EQ(json.error().display(), "the audit key must differ from the root key") << c.name;
      EXPECT_TRUE(out.empty()) << c.name;
    } else {
      EXPECT_TRUE(receipt.has_value()) << c.name;
      EXPECT_TRUE(json.has_value()) << c.name;
    }
  }
}

// The refusal comes before the chain check: a misconfigured verifier is
// reported as such also for a token it would reject anyway.
TEST(VerifierAuditKey, RefusalComesBeforeTheChainCheck) {
  const std::string root = "root-key-of-the-issuing-service";
  const Verifier v = Verifier::create(crypto::as_bytes(root));
  auto auditor = Auditor::create(crypto::as_bytes(root));
  ASSERT_TRUE(auditor.has_value());
  const Capability foreign = make_cap("another-root-key", "cap-1", {R"(tool == "search")"});
  auto r = v.verify_with_context(foreign, make_context(), *auditor);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), VerifyError::Kind::AuditKeyIsRootKey);
}

}  // namespace
}  // namespace velnor
