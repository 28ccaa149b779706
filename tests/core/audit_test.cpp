#include "core/audit.hpp"
#include "tests/core/openssl_oracle.hpp"


#include <cctype>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace velnor {
namespace {

using oracle::openssl_hmac;


std::string hex_of(crypto::ByteView b) { return hex_encode(b); }

constexpr std::string_view kKey = "0123456789abcdef-audit-key";
// SHA-256 of the two bytes "{}", the canonical text of empty arguments.
constexpr std::string_view kEmptyArgsHash =
    "44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a";

Auditor make_auditor(std::string_view key = kKey) {
  auto a = Auditor::create(crypto::as_bytes(key));
  EXPECT_TRUE(a.has_value());
  return std::move(*a);
}

Receipt known_receipt() {
  Receipt r;
  r.capability_identifier = "cap-1";
  r.caveats = {{R"(tool == "search")"}, {"arg.limit <= 50"}};
  r.context_summary = {"agent-1", "search", std::string(kEmptyArgsHash)};
  r.outcome = Outcome::denied(R"(caveat failed: tool == "search")");
  r.timestamp_ms = 1700000000123;
  for (std::uint8_t i = 0; i < 32; ++i) r.signature.push_back(i);
  return r;
}

// Written out by hand from the documented member orders.
constexpr std::string_view kKnownJson =
    R"({"version":1,"capability_identifier":"cap-1","caveats":[{"predicate":"tool == \"search\""},)"
    R"({"predicate":"arg.limit <= 50"}],"context_summary":{"caller":"agent-1","tool":"search",)"
    R"("args_hash":"44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a"},)"
    R"("outcome":{"kind":"denied","reason":"caveat failed: tool == \"search\""},)"
    R"("timestamp_ms":1700000000123,)"
    R"("signature":"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"})";

constexpr std::string_view kKnownSignedJson =
    R"({"capability_identifier":"cap-1","caveats":[{"predicate":"tool == \"search\""},)"
    R"({"predicate":"arg.limit <= 50"}],"context_summary":{)"
    R"("args_hash":"44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a",)"
    R"("caller":"agent-1","tool":"search"},)"
    R"("outcome":{"kind":"denied","reason":"caveat failed: tool == \"search\""},)"
    R"("timestamp_ms":1700000000123,"version":1})";

TEST(HmacSign, Rfc4231Vectors) {
  const std::string long_key(131, '\xaa');
  struct Case {
    const char* name;
    std::string key, data;
    std::string_view mac;
  } cases[] = {
      {"case 1", std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"case 2", "Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"case 3", std::string(20, '\xaa'), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"case 6", long_key, "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"case 7", long_key,
       "This is a test using a larger than block-size key and a larger than block-size data. "
       "The key needs to be hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex_of(hmac_sign(crypto::as_bytes(c.key), crypto::as_bytes(c.data)).span()), c.mac)
        << c.name;
  }
}

TEST(ReceiptJson, KnownReceiptWritesExactText) {
  const Receipt r = known_receipt();
  EXPECT_EQ(r.to_json(), kKnownJson);

  std::string appended = "prefix";
  r.write_json(appended);
  EXPECT_EQ(appended, "prefix" + std::string(kKnownJson));
}

TEST(ReceiptJson, OutcomeForms) {
  Receipt r = known_receipt();
  r.caveats.clear();
  r.outcome = Outcome::allowed();
  const std::string allowed = r.to_json();
  EXPECT_NE(allowed.find(R"("caveats":[],)"), std::string::npos) << allowed;
  EXPECT_NE(allowed.find(R"("outcome":{"kind":"allowed"},"timestamp_ms")"), std::string::npos)
      << allowed;

  // A reason left on an allowed record is neither written nor signed.
  Receipt stray = r;
  stray.outcome.reason = "leftover";
  EXPECT_EQ(stray.to_json(), allowed);
  EXPECT_EQ(*signing_input(stray), *signing_input(r));
}

TEST(SigningInput, KnownReceiptExactBytes) {
  const auto input = signing_input(known_receipt());
  ASSERT_TRUE(input.has_value());
  ASSERT_GE(input->size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>((*input)[0]), 0x76);
  EXPECT_EQ(static_cast<unsigned char>((*input)[1]), 0x01);
  EXPECT_EQ(input->substr(2), kKnownSignedJson);
  EXPECT_TRUE(input->substr(2).starts_with(R"({"capability_identifier")"));

  Receipt v7 = known_receipt();
  v7.version = 7;
  const auto input7 = signing_input(v7);
  EXPECT_EQ(static_cast<unsigned char>((*input7)[1]), 7);
  EXPECT_TRUE(input7->ends_with(R"(,"version":7})"));
}

TEST(SigningInput, EscapesOnlyWhatJsonRequires) {
  Receipt r = known_receipt();
  r.capability_identifier = "a\"b\\c\n\t\x01\x1f/\x7f\xc3\xa9";
  const auto input = signing_input(r);
  EXPECT_TRUE(input->substr(2).starts_with(
      R"({"capability_identifier":"a\"b\\c\n\t\u0001\u001f/)" "\x7f\xc3\xa9\","))
      << *input;
}

struct Signed {
  Capability cap;
  Context ctx;
  Receipt receipt;
};

Signed sign_sample(const Auditor& auditor, Outcome outcome) {
  Signed s;
  s.cap.identifier = "cap-1";
  s.cap.caveats = {{R"(tool == "search")"}, {"arg.limit <= 50"}};
  s.ctx.caller = "agent-1";
  s.ctx.tool = "search";
  s.ctx.now = Instant{1700000000, 123456789};
  s.ctx.args = JsonValue::object({});
  s.receipt = auditor.sign(s.cap, s.ctx, std::move(outcome));
  return s;
}

TEST(AuditorSign, MatchesIndependentHmacOverKnownInput) {
  const Auditor auditor = make_auditor();
  const Signed s = sign_sample(auditor, Outcome::denied(R"(caveat failed: tool == "search")"));
  const Receipt& r = s.receipt;

  EXPECT_EQ(r.version, RECEIPT_SCHEMA_VERSION);
  EXPECT_EQ(r.capability_identifier, "cap-1");
  EXPECT_EQ(r.caveats, s.cap.caveats);
  EXPECT_EQ(r.context_summary, (ContextSummary{"agent-1", "search", std::string(kEmptyArgsHash)}));
  EXPECT_EQ(r.timestamp_ms, 1700000000123u);

  const std::string expected_input = std::string("\x76\x01") + std::string(kKnownSignedJson);
  EXPECT_EQ(*signing_input(r), expected_input);
  EXPECT_EQ(r.signature, openssl_hmac(kKey, expected_input));
  EXPECT_TRUE(auditor.verify(r).has_value());
}

// Signing reuses per-thread scratch text; a receipt must never be signed
// over what an earlier, larger or concurrent one left there.
TEST(AuditorSign, ScratchTextNeverLeaksBetweenReceipts) {
  const Auditor auditor = make_auditor();
  auto check = [&](std::size_t predicate_len, std::size_t arg_len, const std::string& caller) {
    Capability cap;
    cap.identifier = "cap-" + caller;
    cap.caveats = {{std::string(predicate_len, 'p')}};
    Context ctx;
    ctx.caller = caller;
    ctx.tool = "search";
    ctx.args = JsonValue::object({{"q", JsonValue::string(std::string(arg_len, 'q'))}});
    const Receipt r = auditor.sign(cap, ctx, Outcome::allowed());
    std::string canonical;
    write_canonical(ctx.args, canonical);
    EXPECT_EQ(r.context_summary.args_hash, hex_of(crypto::sha256(crypto::as_bytes(canonical)).span()));
    EXPECT_EQ(r.signature, openssl_hmac(kKey, *signing_input(r)));
    EXPECT_TRUE(auditor.verify(r).has_value());
  };
  // Small, then past any buffer kept between calls, then small again.
  const std::size_t lens[] = {1, 40000, 3, 100000, 0};
  for (std::size_t n : lens) check(n, n, "a");

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = 0; i < 50; ++i) check(i * 7 + static_cast<std::size_t>(t), i * 3, std::to_string(t));
    });
  }
  for (auto& th : threads) th.join();
}

// A receipt head written once gives the bytes sign_json writes itself,
// for texts that need escaping, none, many caveats, and denials.
TEST(AuditorSign, HeadWrittenOnceSignsTheSameBytes) {
  const Auditor auditor = make_auditor();
  const struct {
    std::string identifier;
    std::vector<Caveat> caveats;
  } cases[] = {
      {"cap-1", {{R"(tool == "search")"}, {"arg.limit <= 50"}}},
      {"a\"b\\c\n\t\x01\x1f/\x7f\xc3\xa9", {{"caller == \"\xe2\x82\xac\\n\""}}},
      {"", {}},
      {std::string(200, 'x'), std::vector<Caveat>(50, Caveat{"now <= @2030-01-01T00:00:00Z"})},
  };
  for (const auto& c : cases) {
    Capability cap;
    cap.identifier = c.identifier;
    cap.caveats = c.caveats;
    Context ctx;
    ctx.caller = "agent-\"1\"";
    ctx.tool = "search";
    ctx.now = Instant{1700000000, 0};
    ctx.args = JsonValue::object({{"q", JsonValue::string("x")}});
    std::string head;
    write_receipt_head(cap, head);
    for (const Outcome& outcome : {Outcome::allowed(), Outcome::denied("caveat failed: \"x\"")}) {
      std::string plain, reused;
      auditor.sign_json(cap, ctx, outcome, plain);
      auditor.sign_json(cap, ctx, outcome, reused, head);
      EXPECT_EQ(reused, plain) << c.identifier;
      EXPECT_EQ(plain, auditor.sign(cap, ctx, outcome).to_json()) << c.identifier;
    }
  }
}

TEST(AuditorSign, TimestampMilliseconds) {
  const Auditor auditor = make_auditor();
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  constexpr auto kMaxSecs = std::numeric_limits<std::int64_t>::max();
  const struct {
    Instant now;
    std::uint64_t ms;
  } cases[] = {
      {{0, 0}, 0},
      {{0, 999'999}, 0},
      {{0, 1'000'000}, 1},
      {{1, 999'999'999}, 1999},
      {{1700000000, 123456789}, 1700000000123},
      {{-1, 999'999'999}, 0},  // 1 ns before the epoch
      {{-86400LL * 365 * 30, 0}, 0},
      {{18446744073709551, 615'000'000}, kMax},
      // Past what u64 milliseconds hold: pinned to the largest, never wrapped.
      {{18446744073709551, 616'000'000}, kMax},
      {{kMaxSecs, 999'999'999}, kMax},
  };
  for (const auto& c : cases) {
    Capability cap;
    cap.identifier = "t";
    Context ctx;
    ctx.now = c.now;
    const Receipt r = auditor.sign(cap, ctx, Outcome::allowed());
    EXPECT_EQ(r.timestamp_ms, c.ms) << c.now.secs << "s " << c.now.nanos << "ns";
    EXPECT_TRUE(auditor.verify(r).has_value());
  }
}

TEST(AuditorCreate, KeyLengthLimit) {
  for (std::size_t len : {0u, 1u, 8u, 15u, 16u, 17u, 64u, 65u, 200u}) {
    const std::string key(len, 'k');
    auto a = Auditor::create(crypto::as_bytes(key));
    if (len < MIN_AUDIT_KEY_LEN) {
      ASSERT_FALSE(a.has_value()) << len;
      EXPECT_EQ(a.error(), "Auditor: key length " + std::to_string(len) +
                               " < MIN_AUDIT_KEY_LEN (16); see audit");
    } else {
      ASSERT_TRUE(a.has_value()) << len;
      // Long keys are hashed first, as HMAC requires.
      const Receipt r = sign_sample(*a, Outcome::allowed()).receipt;
      EXPECT_EQ(r.signature, openssl_hmac(key, *signing_input(r))) << len;
    }
  }
}

TEST(AuditorVerify, RoundTripThroughJson) {
  const Auditor auditor = make_auditor();
  for (Outcome o : {Outcome::allowed(), Outcome::denied("caveat failed: x\n\"y\" \xc3\xa9")}) {
    const Receipt r = sign_sample(auditor, o).receipt;
    const std::string text = r.to_json();
    auto back = Receipt::from_json(text);
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(*back, r);
    EXPECT_EQ(back->to_json(), text);
    EXPECT_TRUE(auditor.verify(*back).has_value());
  }
}

TEST(AuditorVerify, SurvivesReformatting) {
  const Auditor auditor = make_auditor();
  const Receipt r = sign_sample(auditor, Outcome::denied("no")).receipt;
  const std::string sig = hex_encode(r.signature);
  const std::string h(kEmptyArgsHash);
  const std::string caveats =
      R"([{"predicate":"tool == \"search\""},{"predicate":"arg.limit <= 50"}])";
  const std::string texts[] = {
      // members reordered at every level
      R"({"signature":")" + sig + R"(","timestamp_ms":1700000000123,"outcome":{"reason":"no",)"
          R"("kind":"denied"},"context_summary":{"args_hash":")" + h +
          R"(","tool":"search","caller":"agent-1"},"caveats":)" + caveats +
          R"(,"capability_identifier":"cap-1","version":1})",
      // whitespace everywhere, escapes the writer would not use
      " {\n \"version\" : 1 ,\t\"capability_identifier\":\"\\u0063ap-1\", \"caveats\" : [ "
      "{ \"predicate\" : \"tool == \\\"search\\\"\" } , {\"predicate\":\"arg.limit \\u003c= 50\"}"
      " ] ,\r\n\"context_summary\":{ \"caller\":\"agent-1\",\"tool\":\"search\",\"args_hash\":\"" +
          h + "\"},\"outcome\":{\"kind\":\"denied\",\"reason\":\"n\\u006f\"},"
          "\"timestamp_ms\":1700000000123,\"signature\":\"" + sig + "\" }\n",
      // unknown members at every level, signature in upper case
      R"({"x":[1,{"y":null}],"version":1,"capability_identifier":"cap-1","caveats":[{"predicate":)"
          R"("tool == \"search\"","note":1},{"z":true,"predicate":"arg.limit <= 50"}],)"
          R"("context_summary":{"caller":"agent-1","extra":"e","tool":"search","args_hash":")" + h +
          R"("},"outcome":{"kind":"denied","reason":"no","why":{}},"timestamp_ms":1700000000123,)"
          R"("signature":")" + [&] {
            std::string up = sig;
            for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return up;
          }() + R"(","trailer":"t"})",
  };
  for (const auto& text : texts) {
    auto back = Receipt::from_json(text);
    ASSERT_TRUE(back.has_value()) << back.error() << "\n" << text;
    EXPECT_EQ(*back, r) << text;
    EXPECT_TRUE(auditor.verify(*back).has_value()) << text;
  }
}

TEST(AuditorVerify, EveryTamperingIsAnInvalidSignature) {
  const Auditor auditor = make_auditor();
  const Receipt good = sign_sample(auditor, Outcome::denied(R"(caveat failed: tool == "search")")).receipt;
  ASSERT_TRUE(auditor.verify(good).has_value());

  const struct {
    const char* name;
    std::function<void(Receipt&)> tamper;
  } cases[] = {
      {"denied to allowed", [](Receipt& r) { r.outcome = Outcome::allowed(); }},
      {"reason", [](Receipt& r) { r.outcome.reason += " "; }},
      {"timestamp", [](Receipt& r) { r.timestamp_ms += 1; }},
      {"caller", [](Receipt& r) { r.context_summary.caller = "agent-2"; }},
      {"tool", [](Receipt& r) { r.context_summary.tool = "delete"; }},
      {"args hash", [](Receipt& r) { r.context_summary.args_hash[63] = '0'; }},
      {"identifier", [](Receipt& r) { r.capability_identifier = "cap-2"; }},
      {"predicate", [](Receipt& r) { r.caveats[1].predicate = "arg.limit <= 51"; }},
      {"caveat order", [](Receipt& r) { std::swap(r.caveats[0], r.caveats[1]); }},
      {"caveat dropped", [](Receipt& r) { r.caveats.pop_back(); }},
      {"caveat added", [](Receipt& r) { r.caveats.push_back({"tool == \"x\""}); }},
      {"signature empty", [](Receipt& r) { r.signature.clear(); }},
      {"signature 31 bytes", [](Receipt& r) { r.signature.pop_back(); }},
      {"signature 33 bytes", [](Receipt& r) { r.signature.push_back(0); }},
  };
  for (const auto& c : cases) {
    Receipt r = good;
    c.tamper(r);
    auto v = auditor.verify(r);
    ASSERT_FALSE(v.has_value()) << c.name;
    EXPECT_EQ(v.error().kind, AuditError::Kind::InvalidSignature) << c.name;
    EXPECT_EQ(v.error().display(), "invalid signature") << c.name;
  }

  for (std::size_t bit = 0; bit < good.signature.size() * 8; ++bit) {
    Receipt r = good;
    r.signature[bit / 8] = static_cast<std::uint8_t>(r.signature[bit / 8] ^ (1u << (bit % 8)));
    EXPECT_FALSE(auditor.verify(r).has_value()) << "bit " << bit;
  }

  const Auditor other = make_auditor("0123456789abcdef-audit-kez");
  EXPECT_EQ(other.verify(good).error().display(), "invalid signature");
  const Auditor prefix = make_auditor(kKey.substr(0, 16));
  EXPECT_EQ(prefix.verify(good).error().display(), "invalid signature");
}

TEST(AuditorVerify, VersionIsCheckedBeforeTheSignature) {
  const Auditor auditor = make_auditor();
  for (std::uint8_t version : std::initializer_list<std::uint8_t>{0, 3, 255}) {
    // The nearest version this auditor reads.
    const std::uint8_t expected = version == 0 ? 1 : 2;
    Receipt r = sign_sample(auditor, Outcome::allowed()).receipt;
    r.version = version;
    // A signature that is right for this version: only the version refuses it.
    r.signature = openssl_hmac(kKey, *signing_input(r));
    auto v = auditor.verify(r);
    ASSERT_FALSE(v.has_value());
    EXPECT_EQ(v.error().kind, AuditError::Kind::UnsupportedVersion);
    EXPECT_EQ(v.error().got, version);
    EXPECT_EQ(v.error().expected, expected);
    EXPECT_EQ(v.error().display(), "unsupported receipt schema version: got " +
                                       std::to_string(version) + ", expected " + std::to_string(expected));
    r.signature.clear();
    EXPECT_EQ(auditor.verify(r).error().kind, AuditError::Kind::UnsupportedVersion);
  }
}

TEST(ReceiptFromJson, ReaderRefusals) {
  const Auditor auditor = make_auditor();
  const Receipt r = sign_sample(auditor, Outcome::allowed()).receipt;
  const std::string text = r.to_json();
  const std::string sig = hex_encode(r.signature);
  auto replace = [&](std::string_view from, std::string_view to) {
    std::string t = text;
    const auto at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return t.replace(at, from.size(), to);
  };

  // 62 digits read fine and then fail the signature check.
  auto short_sig = Receipt::from_json(replace(sig, sig.substr(0, 62)));
  ASSERT_TRUE(short_sig.has_value()) << short_sig.error();
  EXPECT_EQ(auditor.verify(*short_sig).error().display(), "invalid signature");

  const struct {
    std::string text;
    std::string_view message_start;
  } refused[] = {
      {replace(sig, sig.substr(0, 63)), "hex string has odd length"},
      {replace(sig, "zz" + sig.substr(2)), "invalid digit found in string"},
      {replace(R"(,"timestamp_ms":1700000000123)", ""), "missing field `timestamp_ms`"},
      {replace(R"("version":1)", R"("version":256)"), ""},
      {replace(R"("version":1)", R"("version":-1)"), ""},
      {replace(R"({"kind":"allowed"})", R"({"kind":"maybe"})"), "unknown variant `maybe`"},
      {replace(R"({"kind":"allowed"})", R"({"kind":"denied"})"), "missing field `reason`"},
      {text + "x", ""},
  };
  for (const auto& c : refused) {
    auto back = Receipt::from_json(c.text);
    ASSERT_FALSE(back.has_value()) << c.text;
    EXPECT_TRUE(back.error().starts_with(c.message_start)) << back.error();
    EXPECT_NE(back.error().find(" at line "), std::string::npos) << back.error();
  }
}

TEST(AuditError, DisplayTexts) {
  AuditError json;
  json.kind = AuditError::Kind::Json;
  json.json = "writer broke";
  AuditError version;
  version.kind = AuditError::Kind::UnsupportedVersion;
  version.got = 2;
  version.expected = 1;
  const struct {
    AuditError e;
    std::string_view text;
  } cases[] = {
      {AuditError{}, "invalid signature"},
      {version, "unsupported receipt schema version: got 2, expected 1"},
      {json, "json: writer broke"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.e.display(), c.text);
}

}  // namespace
}  // namespace velnor
