// Reading receipt JSON back into a Receipt.
#include <gtest/gtest.h>

#include <string>

#include "core/audit.hpp"
#include "core/internal/json_reader.hpp"

namespace velnor::json {
namespace {

// A receipt with every member, `outcome` left for the case to fill in.
std::string receipt_with(std::string_view outcome, std::string_view extra = "") {
  return std::string(R"({"version":1,"capability_identifier":"cap","caveats":[{"predicate":"p"}],)") +
         R"("context_summary":{"caller":"a","tool":"t","args_hash":"h"},"outcome":)" + std::string(outcome) +
         R"(,"timestamp_ms":1700000000123,"signature":"0aFF")" + std::string(extra) + "}";
}

TEST(ReceiptJson, ReadsEveryMember) {
  auto r = read_receipt(receipt_with(R"({"kind":"denied","reason":"caveat failed: x"})"));
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->version, 1);
  EXPECT_EQ(r->capability_identifier, "cap");
  EXPECT_EQ(r->caveats, std::vector<Caveat>{{"p"}});
  EXPECT_EQ(r->context_summary, (ContextSummary{"a", "t", "h"}));
  EXPECT_EQ(r->outcome, Outcome::denied("caveat failed: x"));
  EXPECT_EQ(r->timestamp_ms, 1700000000123u);
  EXPECT_EQ(r->signature, (Bytes{0x0a, 0xff}));
}

TEST(ReceiptJson, AcceptedFormsTable) {
  const struct {
    std::string json;
    Outcome outcome;
  } cases[] = {
      {receipt_with(R"({"kind":"allowed"})"), Outcome::allowed()},
      {receipt_with(R"({"reason":"ignored","x":1,"kind":"allowed"})"), Outcome::allowed()},
      {receipt_with(R"({"reason":5,"reason":[{}],"kind":"allowed"})"), Outcome::allowed()},
      {receipt_with(R"({"reason":"r","kind":"denied"})"), Outcome::denied("r")},
      {receipt_with(R"({"kind":"denied","z":{"kind":"allowed"},"reason":""})"), Outcome::denied("")},
      {receipt_with(R"(["allowed"])"), Outcome::allowed()},
      {receipt_with(R"(["denied","why"])"), Outcome::denied("why")},
      {receipt_with(R"({"kind":"allowed"})", R"(,"extra":{"signature":"zz"})"), Outcome::allowed()},
      {R"( [1,"cap",[["p"]],["a","t","h"],{"kind":"allowed"},1700000000123,"0AfF"] )", Outcome::allowed()},
      {R"({"signature":"0aff","timestamp_ms":1700000000123,"outcome":{"kind":"allowed"},)"
       R"("context_summary":{"args_hash":"h","tool":"t","caller":"a","x":0},"caveats":[{"predicate":"p"}],)"
       R"("capability_identifier":"cap","version":1})",
       Outcome::allowed()},
  };
  for (const auto& c : cases) {
    auto r = read_receipt(c.json);
    ASSERT_TRUE(r.has_value()) << c.json << ": " << r.error();
    EXPECT_EQ(r->outcome, c.outcome) << c.json;
    EXPECT_EQ(r->context_summary, (ContextSummary{"a", "t", "h"})) << c.json;
    EXPECT_EQ(r->signature, (Bytes{0x0a, 0xff})) << c.json;
  }
}

TEST(ReceiptJson, NumberRanges) {
  const struct {
    std::string_view version;
    std::string_view ts;
    std::string_view err;  // empty: accepted
  } cases[] = {
      {"0", "0", ""},
      {"255", "18446744073709551615", ""},
      {"3", "1", ""},
      {"256", "0", "invalid value: integer `256`, expected u8"},
      {"-1", "0", "invalid value: integer `-1`, expected u8"},
      {"1.0", "0", "invalid type: floating point `1.0`, expected u8"},
      {"\"1\"", "0", "invalid type: string \"1\", expected u8"},
      {"1", "18446744073709551616", "invalid value: integer `18446744073709551616`, expected u64"},
      {"1", "1e3", "invalid type: floating point `1e3`, expected u64"},
      {"1", "-5", "invalid value: integer `-5`, expected u64"},
      {"1", "null", "invalid type: null, expected u64"},
  };
  for (const auto& c : cases) {
    const std::string json = R"({"version":)" + std::string(c.version) +
                             R"(,"capability_identifier":"c","caveats":[],"context_summary":["a","t","h"],)" +
                             R"("outcome":["allowed"],"timestamp_ms":)" + std::string(c.ts) + R"(,"signature":""})";
    auto r = read_receipt(json);
    if (c.err.empty()) {
      EXPECT_TRUE(r.has_value()) << json;
    } else {
      ASSERT_FALSE(r.has_value()) << json;
      EXPECT_TRUE(r.error().starts_with(std::string(c.err) + " at line 1 column ")) << r.error();
    }
  }
}

TEST(ReceiptJson, RefusedTable) {
  const struct {
    std::string json;
    std::string_view err;
  } cases[] = {
      {receipt_with(R"({"kind":"maybe"})"), "unknown variant `maybe`, expected `allowed` or `denied`"},
      {receipt_with(R"({"kind":"Allowed"})"), "unknown variant `Allowed`, expected `allowed` or `denied`"},
      {receipt_with(R"({"reason":"r"})"), "missing field `kind`"},
      {receipt_with("{}"), "missing field `kind`"},
      {receipt_with(R"({"kind":"denied"})"), "missing field `reason`"},
      {receipt_with(R"({"reason":5,"kind":"denied"})"), "invalid type: integer `5`, expected a string"},
      {receipt_with(R"({"reason":["x"],"kind":"denied"})"), "invalid type: sequence, expected a string"},
      {receipt_with(R"({"reason":"a","reason":"b","kind":"denied"})"), "duplicate field `reason`"},
      {receipt_with(R"({"kind":"allowed","kind":"allowed"})"), "duplicate field `kind`"},
      {receipt_with(R"({"kind":null})"), "invalid type: null, expected variant identifier"},
      {receipt_with(R"("allowed")"), "invalid type: string \"allowed\", expected internally tagged enum Outcome"},
      {receipt_with("[]"), "invalid length 0, expected internally tagged enum Outcome"},
      {receipt_with(R"(["denied"])"), "invalid length 0, expected struct variant Outcome::Denied with 1 element"},
      {receipt_with(R"(["denied","a","b"])"), "invalid length 2, expected struct variant Outcome::Denied with 1 element"},
      {receipt_with(R"(["allowed","a"])"), "invalid length 1, expected unit variant Outcome::Allowed"},
      {receipt_with(R"(["nope"])"), "unknown variant `nope`, expected `allowed` or `denied`"},
      {receipt_with(R"({"kind":"allowed"})", R"(,"version":1)"), "duplicate field `version`"},
      {R"({"version":1,"capability_identifier":"c","caveats":[],"context_summary":["a","t","h"],"outcome":["allowed"],"signature":""})",
       "missing field `timestamp_ms`"},
      {R"({"capability_identifier":"c"})", "missing field `version`"},
      {R"({"version":1,"capability_identifier":"c","caveats":[],"context_summary":{"caller":"a","tool":"t"},"outcome":["allowed"],"timestamp_ms":0,"signature":""})",
       "missing field `args_hash`"},
      {R"({"version":1,"capability_identifier":"c","caveats":[],"context_summary":["a","t"],"outcome":["allowed"],"timestamp_ms":0,"signature":""})",
       "invalid length 2, expected struct ContextSummary with 3 elements"},
      {R"({"version":1,"capability_identifier":"c","caveats":[],"context_summary":"s","outcome":["allowed"],"timestamp_ms":0,"signature":""})",
       "invalid type: string \"s\", expected struct ContextSummary"},
      {R"({"version":1,"capability_identifier":"c","caveats":[{}],"context_summary":["a","t","h"],"outcome":["allowed"],"timestamp_ms":0,"signature":""})",
       "missing field `predicate`"},
      {R"({"version":1,"capability_identifier":"c","caveats":[],"context_summary":["a","t","h"],"outcome":["allowed"],"timestamp_ms":0,"signature":"abc"})",
       "hex string has odd length"},
      {R"({"version":1,"capability_identifier":"c","caveats":[],"context_summary":["a","t","h"],"outcome":["allowed"],"timestamp_ms":0,"signature":"0g"})",
       "invalid digit found in string"},
      {R"([1,"c",[],["a","t","h"],["allowed"],0])", "invalid length 6, expected struct Receipt with 7 elements"},
      {R"([1,"c",[],["a","t","h"],["allowed"],0,"",0])", "invalid length 8, expected struct Receipt with 7 elements"},
      {"7", "invalid type: integer `7`, expected struct Receipt"},
      {receipt_with(R"({"kind":"allowed"})") + "x", "trailing characters"},
  };
  for (const auto& c : cases) {
    auto r = read_receipt(c.json);
    ASSERT_FALSE(r.has_value()) << c.json;
    EXPECT_TRUE(r.error().starts_with(std::string(c.err) + " at line 1 column ")) << c.json << " -> " << r.error();
  }
}

// Faults of an outcome's "reason" are only known once the tag is: they are
// reported at the outcome's closing brace.
TEST(ReceiptJson, DeferredReasonFaultIsPlacedAtTheClosingBrace) {
  const std::string json = receipt_with(R"({"reason":5,"kind":"denied"})");
  const std::size_t brace = json.find("\"denied\"}") + std::string_view("\"denied\"}").size();
  EXPECT_EQ(read_receipt(json).error(),
            "invalid type: integer `5`, expected a string at line 1 column " + std::to_string(brace));
}

TEST(ReceiptJson, EveryTruncationIsRefused) {
  const std::string good = receipt_with(R"({"kind":"denied","reason":"r"})");
  ASSERT_TRUE(read_receipt(good).has_value());
  for (std::size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(read_receipt(good.substr(0, n)).has_value()) << n;
}

}  // namespace
}  // namespace velnor::json
