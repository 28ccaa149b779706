// The shared JSON layer: syntax faults and their positions, the public JSON
// parsing suite, and nesting far beyond the parser's own call depth.
#include "core/internal/json_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "core/audit.hpp"
#include "core/capability.hpp"
#include "core/context.hpp"

namespace velnor::json {
namespace {

std::string ctx_error(std::string_view text) {
  auto r = read_ctx_in(text);
  return r ? std::string("accepted") : r.error();
}

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// Every syntax fault is named and placed at the offending byte (end of text
// for an unexpected end). The faults sit inside "args" of an otherwise good
// context, so the text before them is 32 bytes long.
TEST(JsonReader, SyntaxFaultTable) {
  constexpr std::string_view kHead = R"({"caller":"a","tool":"t","args":)";
  static_assert(kHead.size() == 32);
  const struct {
    std::string_view args;
    std::string_view desc;
    std::size_t column;
  } cases[] = {
      {"", "EOF while parsing a value", 32},
      {"[1,", "EOF while parsing a value", 35},
      {"[1", "EOF while parsing a list", 34},
      {"{\"a\":1", "EOF while parsing an object", 38},
      {"{\"a\"", "EOF while parsing an object", 36},
      {"\"abc", "EOF while parsing a string", 36},
      {"x}", "expected value", 33},
      {"[1,]}", "expected value", 36},
      {"[nulx]}", "expected value", 34},
      {"{,}}", "key must be a string", 34},
      {"{\"a\":1,}}", "key must be a string", 40},
      {"{1:2}}", "key must be a string", 34},
      {"{\"a\" 1}}", "expected `:`", 38},
      {"{\"a\":1 \"b\"}}", "expected `,` or `}`", 40},
      {"[1 2]}", "expected `,` or `]`", 36},
      {"[true false]}", "expected `,` or `]`", 39},
      {"[01]}", "invalid number", 35},
      {"[-]}", "invalid number", 35},
      {"[1.]}", "invalid number", 36},
      {"[1e+]}", "invalid number", 37},
      {"[.5]}", "expected value", 34},
      {"[\"\\x\"]}", "invalid escape", 36},
      {"[\"\\u12G4\"]}", "invalid escape", 0},
      {"[\"\\ud800\"]}", "invalid unicode code point", 0},
      {"[\"\\udc00\"]}", "invalid unicode code point", 0},
      {"[\"\\ud800\\u0041\"]}", "invalid unicode code point", 0},
      {"[\"\\ud800\\n\"]}", "invalid unicode code point", 0},
      {"[\"a\x01\"]}", "control character (\\u0000-\\u001F) found while parsing a string", 36},
      {"[\"a\n\"]}", "control character (\\u0000-\\u001F) found while parsing a string", 36},
      {"[\"\xff\"]}", "invalid UTF-8", 35},
      {"[\"\xc3\"]}", "invalid UTF-8", 0},
      {"[\"\xed\xa0\x80\"]}", "invalid UTF-8", 0},
      {"[\"\xc0\xaf\"]}", "invalid UTF-8", 0},
      // A lead byte whose sequence is cut short by the closing quote, then a
      // bracket that would close nothing: found by fuzzing.
      {"\"\xf4\"]", "invalid UTF-8", 34},
      {"[\"\xf4\"]]]", "invalid UTF-8", 35},
      {"[\"\xe2\x82\"}}}", "invalid UTF-8", 35},
      {"[1]} x", "trailing characters", 38},
      {"[1]}{}", "trailing characters", 37},
      // A number whose exponent is beyond an int is read on, so a fault
      // behind it is still found where it lies.
      {"[1e999999999999 1]}", "expected `,` or `]`", 49},
      {"[1e999999999999.5]}", "invalid number", 48},
  };
  for (const auto& c : cases) {
    const std::string text = std::string(kHead) + std::string(c.args);
    const std::string err = ctx_error(text);
    EXPECT_TRUE(err.starts_with(std::string(c.desc) + " at line 1 column ")) << c.args << " -> " << err;
    if (c.column != 0) {
      EXPECT_EQ(err, std::string(c.desc) + " at line 1 column " + std::to_string(c.column)) << c.args;
    }
  }
}

TEST(JsonReader, PositionsCountLinesAndBytes) {
  const struct {
    std::string_view text;
    std::string_view err;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n  ", "EOF while parsing a value at line 2 column 2"},
      {"{\n", "EOF while parsing an object at line 1 column 2"},
      // missing field: the closing brace
      {"{\n  \"caller\": \"a\"\n}", "missing field `tool` at line 3 column 1"},
      // wrong type: the last byte of the value
      {"{\n\"caller\":\n  12345}", "invalid type: integer `12345`, expected a string at line 3 column 7"},
      {"{\"caller\":true}", "invalid type: boolean `true`, expected a string at line 1 column 14"},
      {"{\"caller\":false}", "invalid type: boolean `false`, expected a string at line 1 column 15"},
      {"{\"caller\":null}", "invalid type: null, expected a string at line 1 column 14"},
      // a container of the wrong type: its opening bracket
      {"{\"caller\":[1,2]}", "invalid type: sequence, expected a string at line 1 column 11"},
      {"{\"caller\":{}}", "invalid type: map, expected a string at line 1 column 11"},
      // duplicate: the closing quote of the repeated key
      {"{\"tool\":\"t\",\n\"tool\":\"u\"}", "duplicate field `tool` at line 2 column 6"},
      // columns count bytes, not characters
      {"{\"caller\":\"\xc3\xa9\xc3\xa9\",\"tool\":1}", "invalid type: integer `1`, expected a string at line 1 column 25"},
      {"[0,\"a\",\"t\",{},null]\n\nx", "trailing characters at line 3 column 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(ctx_error(c.text), c.err) << c.text;
}

TEST(JsonReader, FoundValuesAreDescribedAsWritten) {
  const struct {
    std::string_view member;
    std::string_view value;
    std::string_view found;
  } cases[] = {
      {"caller", "-0", "integer `-0`, expected a string"},
      {"caller", "1.50", "floating point `1.50`, expected a string"},
      {"caller", "1E3", "floating point `1E3`, expected a string"},
      {"caller", "123456789012345678901234567890", "integer `123456789012345678901234567890`, expected a string"},
      {"nowMs", "\"a\\\"b\\n\"", "string \"a\\\"b\\n\", expected u64"},
      {"nowMs", "\"\\u0041\"", "string \"A\", expected u64"},
  };
  for (const auto& c : cases) {
    const std::string text = "{\"" + std::string(c.member) + "\":" + std::string(c.value) + "}";
    EXPECT_TRUE(ctx_error(text).starts_with("invalid type: " + std::string(c.found) + " at line 1 column "))
        << ctx_error(text);
  }
}

// Integers reach the reader in three forms (fits int64, fits only uint64,
// too large for either), so every range is tried across each boundary.
TEST(JsonReader, IntegersAcrossEveryWidthBoundary) {
  const struct {
    std::string_view text;
    std::optional<std::uint64_t> value;  // nullopt: refused with `err`
    std::string_view err;
  } u64_cases[] = {
      {"0", 0, ""},
      {"-0", 0, ""},
      {"9223372036854775807", 9223372036854775807u, ""},
      {"9223372036854775808", 9223372036854775808u, ""},
      {"18446744073709551615", 18446744073709551615u, ""},
      {"18446744073709551616", std::nullopt, "invalid value: integer `18446744073709551616`, expected u64"},
      {"100000000000000000000000", std::nullopt, "invalid value: integer `100000000000000000000000`, expected u64"},
      {"-1", std::nullopt, "invalid value: integer `-1`, expected u64"},
      {"-9223372036854775808", std::nullopt, "invalid value: integer `-9223372036854775808`, expected u64"},
      {"-9223372036854775809", std::nullopt, "invalid value: integer `-9223372036854775809`, expected u64"},
      {"-0.0", std::nullopt, "invalid type: floating point `-0.0`, expected u64"},
      {"1e0", std::nullopt, "invalid type: floating point `1e0`, expected u64"},
  };
  for (const auto& c : u64_cases) {
    const std::string head = "{\"nowMs\":" + std::string(c.text);
    auto r = read_ctx_in(head + ",\"caller\":\"a\",\"tool\":\"t\",\"args\":1}");
    if (c.value) {
      ASSERT_TRUE(r.has_value()) << c.text << ": " << r.error();
      EXPECT_EQ(r->now_ms, c.value) << c.text;
    } else {
      ASSERT_FALSE(r.has_value()) << c.text;
      EXPECT_EQ(r.error(), std::string(c.err) + " at line 1 column " + std::to_string(head.size())) << c.text;
    }
  }

  const struct {
    std::string_view text;
    int value;  // -1: refused as out of range for u8
  } u8_cases[] = {
      {"-0", 0},
      {"255", 255},
      {"256", -1},
      {"9223372036854775808", -1},
      {"18446744073709551615", -1},
      {"18446744073709551616", -1},
  };
  for (const auto& c : u8_cases) {
    std::string json = "[";
    json += c.text;
    json += R"(,"c",[],["a","t","h"],["allowed"],0,""])";
    auto r = read_receipt(json);
    if (c.value >= 0) {
      ASSERT_TRUE(r.has_value()) << c.text << ": " << r.error();
      EXPECT_EQ(r->version, c.value) << c.text;
    } else {
      ASSERT_FALSE(r.has_value()) << c.text;
      EXPECT_EQ(r.error(), "invalid value: integer `" + std::string(c.text) + "`, expected u8 at line 1 column " +
                               std::to_string(1 + c.text.size()));
    }
  }
}

// Strings with escapes longer than the parser's own buffer arrive in
// pieces; keys, values and record fields must still come out whole, each
// without a trace of the one read before it.
TEST(JsonReader, LongEscapedStringsArriveWhole) {
  std::string escaped;
  std::string decoded;
  for (int i = 0; i < 3000; ++i) {
    escaped += i % 7 == 0 ? "\\n" : (i % 11 == 0 ? "\\u00e9" : "ab");
    decoded += i % 7 == 0 ? "\n" : (i % 11 == 0 ? "\xc3\xa9" : "ab");
  }
  const std::string q = "\"" + escaped + "\"";
  const std::string qx = "\"" + escaped + "x\"";
  auto r = read_ctx_in("{\"caller\":" + q + ",\"tool\":" + q + "," + q + ":" + q + ",\"args\":{" + q + ":" + q + "," +
                       qx + ":[" + q + ",1]},\"env\":{" + q + ":\"v\"}}");
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->caller, decoded);
  EXPECT_EQ(r->tool, decoded);
  ASSERT_EQ(r->args.as_object().size(), 2u);
  EXPECT_EQ(r->args.find(decoded)->as_string(), decoded);
  const JsonValue* list = r->args.find(decoded + "x");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->as_array()[0].as_string(), decoded);
  EXPECT_EQ(list->as_array()[1].number_text(), "1");
  EXPECT_EQ(r->env, (Env{{decoded, "v"}}));

  auto cap = read_capability("{\"identifier\":" + q + ",\"caveats\":[[" + q + "]],\"signature\":\"00\"}");
  ASSERT_TRUE(cap.has_value()) << cap.error();
  EXPECT_EQ(cap->identifier, decoded);
  EXPECT_EQ(cap->caveats, (std::vector<Caveat>{{decoded}}));
}

// ---- The public JSON parsing suite, spliced in as unknown members -------

std::vector<std::filesystem::path> suite_files(std::string_view prefix) {
  std::vector<std::filesystem::path> out;
  for (const auto& e : std::filesystem::directory_iterator(VELNOR_JSON_SUITE_DIR)) {
    if (e.path().filename().string().starts_with(prefix)) out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string slurp(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// One splice per reader and per nesting level of the unknown member, each
// followed by the required members so the reader has to carry on after it.
std::vector<std::string> reader_results(const std::string& v) {
  std::vector<std::string> out;
  auto push = [&out](auto r) { out.push_back(r ? std::string("ok") : r.error()); };
  push(read_capability("{\"identifier\":\"x\",\"zz\":" + v + ",\"caveats\":[],\"signature\":\"\"}"));
  push(read_capability("{\"identifier\":\"x\",\"caveats\":[{\"zz\":" + v + ",\"predicate\":\"p\"}],\"signature\":\"\"}"));
  push(read_ctx_in("{\"caller\":\"a\",\"zz\":" + v + ",\"tool\":\"t\",\"args\":{}}"));
  push(read_receipt(
      "{\"version\":1,\"capability_identifier\":\"c\",\"caveats\":[],\"context_summary\":{\"caller\":\"a\","
      "\"tool\":\"t\",\"args_hash\":\"h\"},\"outcome\":{\"zz\":" +
      v + ",\"kind\":\"allowed\"},\"timestamp_ms\":0,\"signature\":\"\"}"));
  return out;
}

TEST(JsonSuite, AcceptedDocumentsAreAcceptedAsUnknownMembers) {
  const auto files = suite_files("y_");
  ASSERT_GE(files.size(), 90u);
  for (const auto& f : files) {
    for (const auto& r : reader_results(slurp(f))) EXPECT_EQ(r, "ok") << f.filename();
  }
}

TEST(JsonSuite, RefusedDocumentsAreRefusedAsUnknownMembers) {
  const auto files = suite_files("n_");
  ASSERT_GE(files.size(), 180u);
  // Splicing can turn a refused document into a valid member list: these
  // hold a value followed by more text that a member list may legitimately
  // contain. Each is still refused as a whole document below.
  const std::vector<std::string> splice_valid = {};
  for (const auto& f : files) {
    const std::string v = slurp(f);
    const bool whole_refused = !read_capability(v) && !read_ctx_in(v) && !read_receipt(v);
    EXPECT_TRUE(whole_refused) << f.filename();
    if (std::find(splice_valid.begin(), splice_valid.end(), f.filename().string()) != splice_valid.end()) continue;
    for (const auto& r : reader_results(v)) {
      EXPECT_NE(r, "ok") << f.filename();
      EXPECT_NE(r.find(" at line "), std::string::npos) << r;
    }
  }
}

// Implementation-defined cases: numbers out of double range, whatever their
// exponent, are kept as text; text that is not UTF-8,
// lone surrogates and byte order marks are always refused.
TEST(JsonSuite, ImplementationDefinedCases) {
  for (const auto& f : suite_files("i_")) {
    const std::string name = f.filename().string();
    const auto results = reader_results(slurp(f));
    if (name.starts_with("i_number_")) {
      for (const auto& r : results) EXPECT_EQ(r, "ok") << name;
    } else if (name == "i_structure_500_nested_arrays.json") {
      for (const auto& r : results) EXPECT_EQ(r, "ok") << name;
    } else {
      for (const auto& r : results) EXPECT_NE(r, "ok") << name;
    }
  }
}

// ---- Exponents beyond an int ------------------------------------------------

// RFC 8259 bounds no exponent. Where a number is kept as text (args) or
// skipped (unknown members) it is accepted whatever its exponent; where it
// must be an integer, the usual type error names it.
TEST(JsonNumbers, ExponentsBeyondAnIntAreKeptAsText) {
  const std::string numbers[] = {
      "1e2147483648",          "0e99999999999999999999", "-1E+99999999999", "1.5e-2147483649",
      "1e2147483647",          "0.0e-9999999999",        "1" + std::string(30, '0') + "e" + std::string(40, '9'),
  };
  for (const std::string& n : numbers) {
    auto r = read_ctx_in(R"({"caller":"a","tool":"t","args":{"n":)" + n + R"(,"m":[)" + n + "," + n + "]}}");
    ASSERT_TRUE(r.has_value()) << n << ": " << r.error();
    EXPECT_EQ(r->args.find("n")->number_text(), n);
    EXPECT_EQ(r->args.find("m")->as_array()[1].number_text(), n);
    auto top = read_ctx_in(R"({"caller":"a","tool":"t","args":)" + n + "}");
    ASSERT_TRUE(top.has_value()) << n << ": " << top.error();
    EXPECT_EQ(top->args.number_text(), n);
    for (const auto& res : reader_results(n)) EXPECT_EQ(res, "ok") << n;
    for (const auto& res : reader_results("[[" + n + "],{\"k\":" + n + "}]")) EXPECT_EQ(res, "ok") << n;
    // Far deeper than one parser run reaches.
    for (const auto& res : reader_results(repeat("[", 1000) + n + repeat("]", 1000))) EXPECT_EQ(res, "ok") << n;

    const std::string kind = n.find('.') == std::string::npos && n.find_first_of("eE") == std::string::npos
                                 ? "integer" : "floating point";
    const std::string found = "invalid type: " + kind + " `" + n + "`, expected ";
    const std::string now = R"({"nowMs":)" + n;
    EXPECT_EQ(ctx_error(now + R"(,"caller":"a","tool":"t","args":{}})"),
              found + "u64 at line 1 column " + std::to_string(now.size()));
    EXPECT_EQ(ctx_error(n), found + "struct CtxIn at line 1 column " + std::to_string(n.size()));
    EXPECT_EQ(ctx_error(" " + n + " "), found + "struct CtxIn at line 1 column " + std::to_string(n.size() + 1));
    const std::string receipt_head = R"({"version":)" + n;
    auto receipt = read_receipt(receipt_head + R"(,"capability_identifier":"c"})");
    ASSERT_FALSE(receipt.has_value());
    EXPECT_EQ(receipt.error(), found + "u8 at line 1 column " + std::to_string(receipt_head.size()));
  }
}

// ---- Depth ----------------------------------------------------------------

TEST(JsonDepth, UnknownMembersNestWithoutLimitInLinearTime) {
  for (std::size_t n : {255u, 256u, 257u, 1000u, 100'000u}) {
    for (const std::string& open_close : {std::string("[]"), std::string("{}")}) {
      std::string v;
      for (std::size_t i = 0; i < n; ++i) v += open_close[0] == '[' ? "[" : "{\"k\":";
      v += "1";
      v += std::string(n, open_close[1]);
      for (const auto& r : reader_results(v)) EXPECT_EQ(r, "ok") << n << open_close;
    }
  }
  // Mixed shapes and members around the deep part.
  const std::string mixed = repeat("[1,{\"a\":[", 20'000) + "null" + repeat("]},2]", 20'000);
  for (const auto& r : reader_results(mixed)) EXPECT_EQ(r, "ok");

  // A million levels: the time per level is shown by the benchmarks.
  const std::string v = std::string(1'000'000, '[') + std::string(1'000'000, ']');
  EXPECT_TRUE(read_ctx_in("{\"caller\":\"a\",\"tool\":\"t\",\"args\":1,\"zz\":" + v + "}").has_value());
}

TEST(JsonDepth, DeepFaultsAreFoundAndPlaced) {
  const std::string head = "{\"caller\":\"a\",\"tool\":\"t\",\"args\":1,\"zz\":";
  const std::size_t n = 100'000;
  // Unclosed: ends where the deepest array wants its first value.
  EXPECT_EQ(ctx_error(head + std::string(n, '[')),
            "EOF while parsing a value at line 1 column " + std::to_string(head.size() + n));
  // One bracket short: the object's closing brace is where `,` or `]` was due.
  EXPECT_EQ(ctx_error(head + std::string(n, '[') + std::string(n - 1, ']') + "}"),
            "expected `,` or `]` at line 1 column " + std::to_string(head.size() + 2 * n));
  // A fault deep inside, after the reader resumed a few times.
  const std::string bad = repeat("[", 1000) + repeat("]", 500) + ",x" + repeat("]", 500) + "}";
  EXPECT_EQ(ctx_error(head + bad), "expected value at line 1 column " + std::to_string(head.size() + 1502));
}

// After a value deeper than one parser run, the reader picks up the record
// exactly where it was: later members, duplicates and missing members are
// all still seen.
TEST(JsonDepth, RecordsResumeCorrectlyAfterDeepValues) {
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  auto ctx = read_ctx_in("{\"zz\":" + deep + ",\"caller\":\"c\",\"y\":" + deep +
                         ",\"tool\":\"t\",\"args\":{\"k\":[1,2]},\"env\":{\"E\":\"v\"}}");
  ASSERT_TRUE(ctx.has_value()) << ctx.error();
  EXPECT_EQ(ctx->caller, "c");
  EXPECT_EQ(ctx->tool, "t");
  EXPECT_EQ(ctx->env.at("E"), "v");
  std::string canon;
  write_canonical(ctx->args, canon);
  EXPECT_EQ(canon, "{\"k\":[1,2]}");

  EXPECT_TRUE(ctx_error("{\"caller\":\"c\",\"zz\":" + deep + ",\"caller\":\"d\"}").starts_with("duplicate field `caller`"));
  EXPECT_TRUE(ctx_error("{\"caller\":\"c\",\"zz\":" + deep + ",\"args\":1}").starts_with("missing field `tool`"));

  auto rc = read_receipt(
      "{\"version\":1,\"capability_identifier\":\"c\",\"caveats\":[{\"zz\":" + deep +
      ",\"predicate\":\"p1\"},[\"p2\"]],\"context_summary\":[\"a\",\"t\",\"h\"],\"outcome\":{\"zz\":" + deep +
      ",\"reason\":\"r\",\"kind\":\"denied\"},\"timestamp_ms\":7,\"signature\":\"0A\"}");
  ASSERT_TRUE(rc.has_value()) << rc.error();
  EXPECT_EQ(rc->caveats, (std::vector<Caveat>{{"p1"}, {"p2"}}));
  EXPECT_EQ(rc->outcome, Outcome::denied("r"));
  EXPECT_EQ(rc->timestamp_ms, 7u);
  EXPECT_EQ(rc->signature, Bytes{0x0a});

  // The array form counts a deep extra element like any other.
  EXPECT_TRUE(read_capability("[\"x\",null,[],\"\"," + deep + "]").error().starts_with(
      "invalid length 5, expected struct Capability with 4 elements"));
}

}  // namespace
}  // namespace velnor::json
