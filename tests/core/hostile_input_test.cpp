// Input an attacker controls, at sizes and shapes far beyond normal use.
// Each case must end in a clean error or a decision: no crash, no stack
// overflow, no hang. (Time per byte is shown by the benchmarks, not here.)
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/audit.hpp"
#include "core/capability.hpp"
#include "core/caveat_dsl.hpp"
#include "core/context.hpp"
#include "core/internal/base64url.hpp"
#include "core/issuer.hpp"
#include "core/verifier.hpp"

namespace velnor {
namespace {

using namespace std::string_view_literals;

constexpr std::string_view kRoot = "hostile-root-key";
constexpr std::string_view kAudit = "hostile-audit-key-0123";

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string b64(std::string_view json) { return base64url::encode(crypto::as_bytes(json)); }

Capability mint(const std::vector<std::string>& caveats, std::string id = "cap") {
  CapabilityBuilder b = Issuer::from_key(crypto::as_bytes(kRoot)).issue(std::move(id));
  for (const auto& c : caveats) b = std::move(b).caveat(c);
  return std::move(b).build();
}

Context context(std::string_view json) {
  auto in = read_ctx_in(json);
  EXPECT_TRUE(in.has_value()) << (in ? "" : in.error());
  return into_context(std::move(*in));
}

const Context& small_context() {
  static const Context c = context(R"({"nowMs":0,"caller":"a","tool":"search","args":{"limit":10}})");
  return c;
}

// The verdict of the whole pipeline: "allowed", the denial reason, or the
// error text.
std::string decide(const Capability& cap, const Context& ctx) {
  static const Verifier verifier = Verifier::create(crypto::as_bytes(kRoot));
  static const Auditor auditor = *Auditor::create(crypto::as_bytes(kAudit));
  auto r = verifier.verify_with_context(cap, ctx, auditor);
  if (!r) return r.error().display();
  EXPECT_TRUE(auditor.verify(*r).has_value());
  return r->outcome.kind == Outcome::Kind::Allowed ? "allowed" : r->outcome.reason;
}

TEST(HostileTokens, TenMegabyteTokensParseOrFailCleanly) {
  const std::string big_id(10u << 20, 'i');
  const std::string json = R"({"identifier":")" + big_id + R"(","caveats":[],"signature":""})";
  auto cap = Capability::parse(b64(json));
  ASSERT_TRUE(cap.has_value());
  EXPECT_EQ(cap->identifier.size(), big_id.size());
  auto again = Capability::parse(cap->serialize());
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, *cap);

  // Ten megabytes that decode to bytes which are not JSON at all.
  auto junk = Capability::parse(std::string(10u << 20, 'A'));
  ASSERT_FALSE(junk.has_value());
  EXPECT_TRUE(junk.error().display().starts_with("invalid token format: not a valid velnor capability: "));
  // Ten megabytes with one stray symbol at the very end.
  auto stray = Capability::parse(std::string(10u << 20, 'A') + "+");
  ASSERT_FALSE(stray.has_value());
  EXPECT_EQ(stray.error().display(), "base64 decode failed: Invalid symbol 43, offset 10485760.");
}

TEST(HostileTokens, HundredThousandCaveatsRoundTripAndVerify) {
  std::vector<std::string> caveats(100000, R"(tool == "search")");
  const Capability cap = mint(caveats);
  auto back = Capability::parse(cap.serialize());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, cap);
  EXPECT_EQ(decide(*back, small_context()), "allowed");
  // The last of them false: every one is evaluated, the last one reported.
  caveats.back() = R"(tool == "other")";
  EXPECT_EQ(decide(mint(caveats), small_context()), R"(caveat failed: tool == "other")");
}

TEST(HostileTokens, UnknownMembersNestedDeepAreSkipped) {
  for (std::size_t depth : {1000u, 100000u}) {
    const std::string deep = repeat("[", depth) + repeat("]", depth);
    const std::string deep_obj = repeat(R"({"a":)", depth) + "1" + repeat("}", depth);
    const std::string json = R"({"x":)" + deep + R"(,"identifier":"i","caveats":[{"predicate":"a == 1","y":)" +
                             deep_obj + R"(}],"signature":"00"})";
    auto cap = Capability::parse(b64(json));
    ASSERT_TRUE(cap.has_value()) << cap.error().display();
    EXPECT_EQ(cap->caveats.size(), 1u);
    // The same depth left unclosed is refused, not overflowed.
    auto open = Capability::parse(b64(R"({"x":)" + repeat("[", depth)));
    ASSERT_FALSE(open.has_value());
    EXPECT_NE(open.error().display().find("EOF while parsing"), std::string::npos) << open.error().display();
  }
}

TEST(HostileTokens, NulAndInvalidUtf8) {
  // An escaped NUL is ordinary text and survives the round trip.
  auto nul = Capability::parse(b64(R"({"identifier":"a\u0000b","caveats":[],"signature":""})"));
  ASSERT_TRUE(nul.has_value());
  EXPECT_EQ(nul->identifier, std::string("a\0b", 3));
  auto again = Capability::parse(nul->serialize());
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, *nul);
  // Raw control bytes and invalid UTF-8 inside the JSON are refused.
  for (std::string_view bad : {"{\"identifier\":\"a\0b\",\"caveats\":[],\"signature\":\"\"}"sv,
                               std::string_view("{\"identifier\":\"a\xff\",\"caveats\":[],\"signature\":\"\"}"),
                               std::string_view("{\"identifier\":\"\xed\xa0\x80\",\"caveats\":[],\"signature\":\"\"}"),
                               std::string_view("{\"identifier\":\"i\",\"caveats\":[],\"signature\":\"0\xc3\xa9\"}")}) {
    auto r = Capability::parse(b64(bad));
    EXPECT_FALSE(r.has_value()) << bad;
  }
  // A NUL in the token text itself is just a symbol outside the alphabet.
  auto t = Capability::parse("eyJ\0"sv);
  ASSERT_FALSE(t.has_value());
  EXPECT_EQ(t.error().display(), "base64 decode failed: Invalid symbol 0, offset 3.");
}

TEST(HostilePredicates, MegabytePredicatesParseOrFailCleanly) {
  const std::size_t mb = 1u << 20;
  const struct {
    std::string predicate;
    bool parses;
  } cases[] = {
      {R"(tool == ")" + std::string(mb, 'x') + R"(")", true},
      {"arg" + repeat(".a", mb / 2) + " == 1", true},
      {std::string(mb, 'a') + " == 1", true},
      {"a == " + std::string(mb, '9'), true},
      {"a == 1." + std::string(mb, '5'), true},
      {repeat("(", mb) + "a == 1" + repeat(")", mb), false},
      {repeat("a == 1 OR ", mb / 10) + "a == 1", true},
      {R"(tool == ")" + std::string(mb, 'x'), false},
      {"t < @" + std::string(mb, '2'), false},
      {"t < @2030-01-01T00:00:00." + std::string(mb, '1') + "Z", true},
      {std::string(mb, ' '), false},
      {std::string(mb, '\0'), false},
  };
  for (const auto& c : cases) {
    auto e = parse(c.predicate);
    EXPECT_EQ(e.has_value(), c.parses) << c.predicate.substr(0, 40);
    if (!e) {
      // Messages quote at most the offending literal, escaped.
      EXPECT_LT(e.error().display().size(), c.predicate.size() * 10 + 256);
    }
  }
}

TEST(HostilePredicates, GroupsFarBeyondTheBoundAreRefusedAtTheBound) {
  for (std::size_t depth : {65u, 1000u, 1000000u}) {
    auto e = parse(repeat("(", depth) + "a == 1" + repeat(")", depth));
    ASSERT_FALSE(e.has_value());
    EXPECT_EQ(e.error().display(), "parse error: parentheses nested deeper than 64 levels at byte 64");
  }
  EXPECT_TRUE(parse(repeat("(", 64) + "a == 1" + repeat(")", 64)).has_value());
}

TEST(HostilePredicates, MillionLongChainsReachADecision) {
  const std::string ands = repeat(R"(tool == "search" AND )", 1000000) + "arg.limit <= 50";
  EXPECT_EQ(decide(mint({ands}), small_context()), "allowed");
  const std::string ors = repeat(R"(tool == "x" OR )", 1000000) + "arg.limit > 50";
  EXPECT_EQ(decide(mint({ors}), small_context()), "caveat failed: " + ors);
}

TEST(HostilePredicates, NulAndInvalidUtf8InCaveats) {
  const struct {
    std::string predicate;
    std::string reason;
  } cases[] = {
      {std::string("tool == \"a\0b\"", 13), "caveat failed: " + std::string("tool == \"a\0b\"", 13)},
      {std::string("tool\0 == \"a\"", 12),
       R"(caveat parse error in "tool\0 == \"a\"": parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 4)"},
      {"tool == \"\xff\"",
       "caveat parse error in \"tool == \\\"\xef\xbf\xbd\\\"\": parse error: invalid UTF-8 in string literal at byte 9"},
      {"\xc3 == 1",
       "caveat parse error in \"\xef\xbf\xbd == 1\": parse error: expected identifier, found '\xef\xbf\xbd' at byte 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(decide(mint({c.predicate}), small_context()), c.reason);
}

TEST(HostileContext, NumbersAtTheEdges) {
  const std::string digits400(400, '9');
  const struct {
    std::string args;
    std::string predicate;
    std::string verdict;
  } cases[] = {
      {R"({"n":1e400})", "arg.n < 1",
       R"(caveat eval error in "arg.n < 1": type mismatch: expected string or integer at arg path, got non-finite number at arg.n)"},
      {R"({"n":-1e400})", "arg.n < 1",
       R"(caveat eval error in "arg.n < 1": type mismatch: expected string or integer at arg path, got non-finite number at arg.n)"},
      {R"({"n":1e-400})", "arg.n == 0.0", "allowed"},
      {R"({"n":-0})", "arg.n == 0", "allowed"},
      {R"({"n":)" + digits400 + "}", "arg.n > 0",
       R"(caveat eval error in "arg.n > 0": type mismatch: expected string or integer at arg path, got non-finite number at arg.n)"},
      {R"({"n":)" + digits400.substr(0, 300) + "}", "arg.n > 1", "allowed"},
      {R"({"n":5})", "arg.n < " + digits400, "allowed"},
      {R"({"n":5})", "arg.n > -" + digits400, "allowed"},
  };
  for (const auto& c : cases) {
    const Context ctx = context(R"({"nowMs":0,"caller":"a","tool":"t","args":)" + c.args + "}");
    EXPECT_EQ(decide(mint({c.predicate}), ctx), c.verdict) << c.args;
  }
  // A time beyond 64-bit milliseconds is an input error, not a wrapped time.
  auto r = read_ctx_in(R"({"nowMs":)" + digits400 + R"(,"caller":"a","tool":"t","args":{}})");
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().starts_with("invalid value: integer `999")) << r.error();
}

TEST(HostileContext, NestingBudgetAndSkippedDepth) {
  auto at = read_ctx_in(R"({"caller":"a","tool":"t","args":)" + repeat("[", 126) + repeat("]", 126) + "}");
  EXPECT_TRUE(at.has_value());
  auto beyond = read_ctx_in(R"({"caller":"a","tool":"t","args":)" + repeat("[", 127) + repeat("]", 127) + "}");
  ASSERT_FALSE(beyond.has_value());
  EXPECT_TRUE(beyond.error().starts_with("recursion limit exceeded at line 1 column ")) << beyond.error();
  auto far = read_ctx_in(R"({"caller":"a","tool":"t","args":)" + repeat("[", 1000000));
  ASSERT_FALSE(far.has_value());
  EXPECT_TRUE(far.error().starts_with("recursion limit exceeded")) << far.error();
  auto skipped = read_ctx_in(R"({"z":)" + repeat(R"({"k":[)", 100000) + repeat("]}", 100000) +
                             R"(,"caller":"a","tool":"t","args":{}})");
  EXPECT_TRUE(skipped.has_value());
}

TEST(HostileContext, NulAndInvalidUtf8) {
  auto escaped = read_ctx_in(R"({"caller":"a\u0000","tool":"t","args":{"k\u0000":"v\u0000"}})");
  ASSERT_TRUE(escaped.has_value());
  EXPECT_EQ(escaped->caller, std::string("a\0", 2));
  for (std::string_view bad : {"{\"caller\":\"a\0\",\"tool\":\"t\",\"args\":{}}"sv,
                               "{\"caller\":\"a\",\"tool\":\"t\",\"args\":{}}\0"sv,
                               std::string_view("{\"caller\":\"\xff\",\"tool\":\"t\",\"args\":{}}"),
                               std::string_view("{\"caller\":\"a\",\"tool\":\"t\",\"args\":{\"\xc3\":1}}")}) {
    auto r = read_ctx_in(bad);
    EXPECT_FALSE(r.has_value());
    if (!r) {
      EXPECT_NE(r.error().find(" at line "), std::string::npos);
    }
  }
}

TEST(HostileReceipts, NulInvalidUtf8AndDepth) {
  const Auditor auditor = *Auditor::create(crypto::as_bytes(kAudit));
  const Capability cap = mint({std::string("tool == \"a\0b\"", 13)}, std::string("id\0x", 4));
  Receipt r = auditor.sign(cap, small_context(), Outcome::denied(std::string("r\0", 2)));
  auto back = Receipt::from_json(r.to_json());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, r);
  EXPECT_TRUE(auditor.verify(*back).has_value());

  std::string json = r.to_json();
  json.insert(1, R"("deep":)" + repeat("[", 100000) + repeat("]", 100000) + ",");
  auto deep = Receipt::from_json(json);
  ASSERT_TRUE(deep.has_value());
  EXPECT_TRUE(auditor.verify(*deep).has_value());

  for (std::string_view bad : {std::string_view("{\"version\":1,\"capability_identifier\":\"\xff\"}"),
                               "{\"version\":1\0}"sv, "\0"sv}) {
    EXPECT_FALSE(Receipt::from_json(bad).has_value());
  }
}

}  // namespace
}  // namespace velnor
