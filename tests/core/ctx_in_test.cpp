// Reading the caller's context JSON into CtxIn.
#include <gtest/gtest.h>

#include <string>

#include "core/context.hpp"

namespace velnor {
namespace {

std::string err_of(std::string_view json) {
  auto r = read_ctx_in(json);
  return r ? std::string("accepted") : r.error();
}

std::string canonical(const JsonValue& v) {
  std::string out;
  write_canonical(v, out);
  return out;
}

TEST(CtxIn, ObjectForm) {
  auto r = read_ctx_in(
      R"({"nowMs":1700000000000,"caller":"agent-1","tool":"search","args":{"query":"weather in Paris","limit":10},"env":{"REGION":"eu"}})");
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->now_ms, 1700000000000u);
  EXPECT_EQ(r->caller, "agent-1");
  EXPECT_EQ(r->tool, "search");
  EXPECT_EQ(canonical(r->args), R"({"limit":10,"query":"weather in Paris"})");
  EXPECT_EQ(r->env, (Env{{"REGION", "eu"}}));
}

TEST(CtxIn, AcceptedTable) {
  const struct {
    std::string_view json;
    std::optional<std::uint64_t> now;
    std::string_view args;
    Env env;
  } cases[] = {
      {R"({"nowMs":0,"caller":"a","tool":"t","args":{}})", 0, "{}", {}},
      {R"({"nowMs":18446744073709551615,"caller":"a","tool":"t","args":{}})", 18446744073709551615u, "{}", {}},
      {R"({"nowMs":-0,"caller":"a","tool":"t","args":{}})", 0, "{}", {}},
      {R"({"nowMs":null,"caller":"a","tool":"t","args":null,"env":null})", std::nullopt, "null", {}},
      {R"({"now_ms":5,"nowms":6,"NowMs":7,"caller":"a","tool":"t","args":[]})", std::nullopt, "[]", {}},
      {R"({"args":{"b":1,"a":2,"b":3},"tool":"t","caller":"a"})", std::nullopt, R"({"a":2,"b":3})", {}},
      {R"({"caller":"a","tool":"t","args":[10.0,1.50,-0,1E3,1e-7]})", std::nullopt, "[10.0,1.50,-0,1E3,1e-7]", {}},
      {R"({"caller":"a","tool":"t","args":1,"env":{"A":"1","B":"","A":"2"}})", std::nullopt, "1", {{"A", "2"}, {"B", ""}}},
      {R"({"caller":"a","tool":"t","args":1,"env":{}})", std::nullopt, "1", {}},
      {R"({"caller":"a","tool":"t","args":1,"extra":[1,{"x":2}],"env":{"E":"v"}})", std::nullopt, "1", {{"E", "v"}}},
      {R"([0,"a","t",{},null])", 0, "{}", {}},
      {R"([null,"a","t",[1],{"K":"v"}])", std::nullopt, "[1]", {{"K", "v"}}},
      {" \t\r\n{\"caller\":\"a\",\"tool\":\"t\",\"args\":\"\\u0041\"} \n", std::nullopt, "\"A\"", {}},
  };
  for (const auto& c : cases) {
    auto r = read_ctx_in(c.json);
    ASSERT_TRUE(r.has_value()) << c.json << ": " << r.error();
    EXPECT_EQ(r->now_ms, c.now) << c.json;
    EXPECT_EQ(r->caller, "a");
    EXPECT_EQ(r->tool, "t");
    EXPECT_EQ(canonical(r->args), c.args) << c.json;
    EXPECT_EQ(r->env, c.env) << c.json;
  }
}

TEST(CtxIn, RefusedTable) {
  const struct {
    std::string_view json;
    std::string_view err;
  } cases[] = {
      {R"({"nowMs":1.5,"caller":"a","tool":"t","args":{}})", "invalid type: floating point `1.5`, expected u64 at line 1 column 12"},
      {R"({"nowMs":-1,"caller":"a","tool":"t","args":{}})", "invalid value: integer `-1`, expected u64 at line 1 column 11"},
      {R"({"nowMs":1e3,"caller":"a","tool":"t","args":{}})", "invalid type: floating point `1e3`, expected u64 at line 1 column 12"},
      {R"({"nowMs":18446744073709551616,"caller":"a","tool":"t","args":{}})",
       "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 29"},
      {R"({"nowMs":"123","caller":"a","tool":"t","args":{}})", "invalid type: string \"123\", expected u64 at line 1 column 14"},
      {R"({"nowMs":true,"caller":"a","tool":"t","args":{}})", "invalid type: boolean `true`, expected u64 at line 1 column 13"},
      {R"({"args":{}})", "missing field `caller` at line 1 column 11"},
      {R"({"caller":"a","args":{}})", "missing field `tool` at line 1 column 24"},
      {R"({"caller":"a","tool":"t"})", "missing field `args` at line 1 column 25"},
      {R"({"caller":"a","tool":"t","tool":"u","args":{}})", "duplicate field `tool` at line 1 column 31"},
      {R"({"nowMs":null,"nowMs":1,"caller":"a","tool":"t","args":{}})", "duplicate field `nowMs` at line 1 column 21"},
      {R"({"env":null,"env":{},"caller":"a","tool":"t","args":{}})", "duplicate field `env` at line 1 column 17"},
      {R"({"caller":"a","tool":"t","args":null,"args":1})", "duplicate field `args` at line 1 column 43"},
      {R"({"caller":"a","tool":"t","args":{},"env":{"A":1}})", "invalid type: integer `1`, expected a string at line 1 column 47"},
      {R"({"caller":"a","tool":"t","args":{},"env":{"A":null}})", "invalid type: null, expected a string at line 1 column 50"},
      {R"({"caller":"a","tool":"t","args":{},"env":["A"]})", "invalid type: sequence, expected a map at line 1 column 42"},
      {R"({"caller":"a","tool":"t","args":{},"env":"A"})", "invalid type: string \"A\", expected a map at line 1 column 44"},
      {R"({"caller":1,"tool":"t","args":{}})", "invalid type: integer `1`, expected a string at line 1 column 11"},
      {R"([0,"a","t",{}])", "invalid length 4, expected struct CtxIn with 5 elements at line 1 column 14"},
      {R"([0,"a","t",{},null,null])", "invalid length 6, expected struct CtxIn with 5 elements at line 1 column 24"},
      {R"([])", "invalid length 0, expected struct CtxIn with 5 elements at line 1 column 2"},
      {R"("ctx")", "invalid type: string \"ctx\", expected struct CtxIn at line 1 column 5"},
      {R"(12)", "invalid type: integer `12`, expected struct CtxIn at line 1 column 2"},
      {R"(null)", "invalid type: null, expected struct CtxIn at line 1 column 4"},
      {R"({"caller":"a","tool":"t","args":{}}{"caller":"a"})", "trailing characters at line 1 column 36"},
      {R"({"caller":"a","tool":"t","args":{},"extra":[1,}])", "expected value at line 1 column 47"},
  };
  for (const auto& c : cases) EXPECT_EQ(err_of(c.json), c.err) << c.json;
}

// The outer value counts as the first of at most 127 levels; skipped
// members are not counted at all.
TEST(CtxIn, NestingBudget) {
  const std::string head = R"({"caller":"a","tool":"t","args":)";
  auto nested = [](std::size_t n, std::string_view open, std::string_view close) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += open;
    s += "0";
    for (std::size_t i = 0; i < n; ++i) s += close;
    return s;
  };
  for (auto [open, close] : {std::pair{"[", "]"}, std::pair{"{\"k\":", "}"}}) {
    auto ok = read_ctx_in(head + nested(126, open, close) + "}");
    ASSERT_TRUE(ok.has_value()) << ok.error();
    EXPECT_EQ(canonical(ok->args), nested(126, open, close));
    const std::string deep = head + nested(127, open, close) + "}";
    EXPECT_TRUE(err_of(deep).starts_with("recursion limit exceeded at line 1 column ")) << err_of(deep);
  }
  // The array form and "env" count too.
  EXPECT_TRUE(read_ctx_in("[0,\"a\",\"t\"," + nested(126, "[", "]") + ",null]").has_value());
  EXPECT_TRUE(err_of("[0,\"a\",\"t\"," + nested(127, "[", "]") + ",null]").starts_with("recursion limit exceeded"));
  // Skipped members: unlimited.
  EXPECT_TRUE(read_ctx_in(head + "1,\"zz\":" + nested(500, "[", "]") + "}").has_value());
  EXPECT_TRUE(read_ctx_in(head + "1,\"zz\":" + nested(100'000, "[", "]") + "}").has_value());
}

TEST(CtxIn, ArgsKeepNumberTextAndResolveEscapes) {
  auto r = read_ctx_in(
      R"({"caller":"a","tool":"t","args":{"n":10.0,"s":"\u00e9\n\/","nested":[{"x":-0.0e+00}],"big":123456789012345678901234567890}})");
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->args.find("n")->number_text(), "10.0");
  EXPECT_EQ(r->args.find("s")->as_string(), "\xc3\xa9\n/");
  EXPECT_EQ(r->args.find("nested")->as_array()[0].find("x")->number_text(), "-0.0e+00");
  EXPECT_EQ(r->args.find("big")->number_text(), "123456789012345678901234567890");
}

TEST(CtxIn, EveryTruncationIsRefused) {
  const std::string good = R"({"nowMs":1,"caller":"a","tool":"t","args":{"q":[1,"x"]},"env":{"E":"v"}})";
  ASSERT_TRUE(read_ctx_in(good).has_value());
  for (std::size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(read_ctx_in(good.substr(0, n)).has_value()) << n;
}

}  // namespace
}  // namespace velnor
