// Reading the capability record from token JSON (the bytes a token encodes).
#include <gtest/gtest.h>

#include <string>

#include "core/capability.hpp"
#include "core/internal/json_reader.hpp"

namespace velnor::json {
namespace {

const Bytes kSig = {0xab, 0xcd};

TEST(CapabilityJson, AcceptedFormsTable) {
  const struct {
    std::string_view json;
    std::optional<Bytes> holder;
    std::vector<Caveat> caveats;
  } cases[] = {
      {R"({"identifier":"id","caveats":[{"predicate":"p"}],"signature":"abcd"})", std::nullopt, {{"p"}}},
      {R"({"signature":"ABCD","caveats":[{"predicate":"p"}],"identifier":"id"})", std::nullopt, {{"p"}}},
      {" \n\t{ \"identifier\" : \"id\" , \"caveats\" : [ ] , \"signature\" : \"aBcD\" } \r\n", std::nullopt, {}},
      {R"({"identifier":"id","holder_of_key":null,"caveats":[],"signature":"abcd"})", std::nullopt, {}},
      {R"({"identifier":"id","holder_of_key":"0A0b","caveats":[],"signature":"abcd"})", Bytes{0x0a, 0x0b}, {}},
      {R"({"identifier":"id","holder_of_key":"","caveats":[],"signature":"abcd"})", Bytes{}, {}},
      {R"({"x":{"identifier":"no"},"identifier":"id","caveats":[{"n":[1],"predicate":"p","m":null}],"signature":"abcd","y":[]})",
       std::nullopt, {{"p"}}},
      {R"(["id",null,[["p"],{"predicate":"q"}],"abcd"])", std::nullopt, {{"p"}, {"q"}}},
      {R"(["id","ff",[],"abcd"])", Bytes{0xff}, {}},
      {R"({"identifier":"id","caveats":[["a"],["b"],["c"]],"signature":"abcd"})", std::nullopt, {{"a"}, {"b"}, {"c"}}},
  };
  for (const auto& c : cases) {
    auto cap = read_capability(c.json);
    ASSERT_TRUE(cap.has_value()) << c.json << ": " << cap.error();
    EXPECT_EQ(cap->identifier, "id");
    EXPECT_EQ(cap->holder_of_key, c.holder) << c.json;
    EXPECT_EQ(cap->caveats, c.caveats) << c.json;
    EXPECT_EQ(cap->signature, kSig) << c.json;
  }
  // No length checks: an empty signature and odd-looking predicates are read.
  auto empty = read_capability(R"({"identifier":"","caveats":[{"predicate":"not a (valid"}],"signature":""})");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->signature.empty());
  EXPECT_EQ(empty->caveats[0].predicate, "not a (valid");
}

TEST(CapabilityJson, EscapesInKeysAndValuesAreResolved) {
  auto cap = read_capability(R"({"identifi\u0065r":"a\"b\u00e9\ud83d\ude00","caveats":[],"sig\u006eature":""})");
  ASSERT_TRUE(cap.has_value()) << cap.error();
  EXPECT_EQ(cap->identifier, "a\"b\xc3\xa9\xf0\x9f\x98\x80");
}

TEST(CapabilityJson, RefusedTable) {
  const struct {
    std::string_view json;
    std::string_view err;
  } cases[] = {
      {R"({"identifier":"id","caveats":[]})", "missing field `signature` at line 1 column 32"},
      {R"({"signature":""})", "missing field `identifier` at line 1 column 16"},
      {R"({"identifier":"id","signature":""})", "missing field `caveats` at line 1 column 34"},
      {R"({"identifier":"id","caveats":[{}],"signature":""})", "missing field `predicate` at line 1 column 32"},
      {R"({"identifier":"id","caveats":[{"predicate":"a","predicate":"b"}],"signature":""})",
       "duplicate field `predicate` at line 1 column 58"},
      {R"({"identifier":"id","holder_of_key":null,"holder_of_key":"00","caveats":[],"signature":""})",
       "duplicate field `holder_of_key` at line 1 column 55"},
      {R"({"identifier":"id","caveats":[],"signature":"abc"})", "hex string has odd length at line 1 column 49"},
      {R"({"identifier":"id","caveats":[],"signature":"zz"})", "invalid digit found in string at line 1 column 48"},
      {"{\"identifier\":\"id\",\"caveats\":[],\"signature\":\"\xc3\xa9\"}",
       "invalid digit found in string at line 1 column 48"},
      {R"({"identifier":"id","holder_of_key":"0","caveats":[],"signature":""})", "hex string has odd length at line 1 column 38"},
      {R"({"identifier":"id","holder_of_key":5,"caveats":[],"signature":""})",
       "invalid type: integer `5`, expected a hex string at line 1 column 36"},
      {R"({"identifier":7,"caveats":[],"signature":""})", "invalid type: integer `7`, expected a string at line 1 column 15"},
      {R"({"identifier":"id","caveats":{},"signature":""})", "invalid type: map, expected a sequence at line 1 column 30"},
      {R"({"identifier":"id","caveats":["p"],"signature":""})",
       "invalid type: string \"p\", expected struct Caveat at line 1 column 33"},
      {R"({"identifier":"id","caveats":[[]],"signature":""})",
       "invalid length 0, expected struct Caveat with 1 element at line 1 column 32"},
      {R"({"identifier":"id","caveats":[["a","b"]],"signature":""})",
       "invalid length 2, expected struct Caveat with 1 element at line 1 column 39"},
      {R"(["id",null,[]])", "invalid length 3, expected struct Capability with 4 elements at line 1 column 14"},
      {R"(["id",null,[],"",null])", "invalid length 5, expected struct Capability with 4 elements at line 1 column 22"},
      {R"([])", "invalid length 0, expected struct Capability with 4 elements at line 1 column 2"},
      {R"("id")", "invalid type: string \"id\", expected struct Capability at line 1 column 4"},
      {R"(null)", "invalid type: null, expected struct Capability at line 1 column 4"},
      {R"({"identifier":"id","caveats":[],"signature":""} {})", "trailing characters at line 1 column 49"},
      {R"({"identifier":"id","caveats":[],"signature":"","x":[1,]})", "expected value at line 1 column 55"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const auto& c : cases) {
    auto cap = read_capability(c.json);
    ASSERT_FALSE(cap.has_value()) << c.json;
    EXPECT_EQ(cap.error(), c.err) << c.json;
  }
}

// Every strict prefix of a good document is refused, never read as a
// shorter record.
TEST(CapabilityJson, EveryTruncationIsRefused) {
  const std::string good = R"({"identifier":"id","holder_of_key":"00","caveats":[{"predicate":"p"}],"signature":"abcd"})";
  ASSERT_TRUE(read_capability(good).has_value());
  for (std::size_t n = 0; n < good.size(); ++n) {
    EXPECT_FALSE(read_capability(good.substr(0, n)).has_value()) << n;
  }
}

}  // namespace
}  // namespace velnor::json
