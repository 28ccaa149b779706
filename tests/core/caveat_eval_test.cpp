#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/caveat_dsl.hpp"
#include "core/context.hpp"

namespace velnor {
namespace {

using JV = JsonValue;

// 2029-06-01T00:00:00.5Z
constexpr std::int64_t kNowSecs = 1'874'966'400;

Context base_context() {
  Context ctx;
  ctx.caller = "agent-7";
  ctx.tool = "read_file";
  ctx.now = Instant{kNowSecs, 500'000'000};
  ctx.args = JV::object({
      {"a", JV::object({{"b", JV::string("x")}})},
      {"user_id", JV::string("u1")},
      {"limit", JV::number("50")},
      {"n", JV::number("5")},
      {"nf", JV::number("5.0")},
      {"ne", JV::number("5e0")},
      {"nE", JV::number("5E0")},
      {"negz", JV::number("-0")},
      {"half", JV::number("0.5")},
      {"big", JV::number("1e400")},
      {"tiny", JV::number("1e-400")},
      {"flag", JV::boolean(true)},
      {"nothing", JV::null()},
      {"items", JV::array({JV::number("1"), JV::number("2")})},
      {"empty", JV::string("")},
  });
  ctx.env = {{"HOME", "/home/a"}, {"A", "1"}};
  return ctx;
}

std::string eval(std::string_view pred, const Context& ctx) {
  auto e = parse(pred);
  if (!e) return e.error().display();
  auto r = eval_expr(*e, ctx);
  if (!r) return r.error().display();
  return *r ? "true" : "false";
}

constexpr std::string_view kIntegerDomain =
    "type mismatch: expected integer-syntactic numeric arg (caveat literal is integer-domain; "
    "use _cents form for sub-unit precision, or reject non-integer args at the tool boundary "
    "\xe2\x80\x94 closes angle finding A.1), got float-syntactic numeric arg";

struct Case {
  std::string_view pred;
  std::string_view want;
};

TEST(CaveatEvalTest, Rules) {
  const Context ctx = base_context();
  const std::string int_domain(kIntegerDomain);
  const Case cases[] = {
      // identifiers
      {"caller == \"agent-7\"", "true"},
      {"tool == \"read_file\"", "true"},
      {"tool == \"READ_FILE\"", "false"},
      {"env.HOME == \"/home/a\"", "true"},
      {"env.home == \"/home/a\"", "unknown identifier: env.home"},
      {"env.A.B == \"x\"", "unknown identifier: env.A.B"},
      {"env == \"x\"", "unknown identifier: env"},
      {"arg == 1", "unknown identifier: arg"},
      {"args.n == 5", "unknown identifier: args.n"},
      {"now.x == 1", "unknown identifier: now.x"},
      {"caller.x == \"a\"", "unknown identifier: caller.x"},
      {"nosuch == 1", "unknown identifier: nosuch"},
      {"arg.a.b == \"x\"", "true"},
      {"arg.a == \"x\"",
       "type mismatch: expected string or integer at arg path, got object at arg.a"},
      {"arg.a.c == \"x\"", "unknown identifier: arg.a.c"},
      {"arg.a.b.c == \"x\"", "unknown identifier: arg.a.b.c"},
      {"arg.items == 1",
       "type mismatch: expected string or integer at arg path, got array at arg.items"},
      {"arg.items.x == 1", "unknown identifier: arg.items.x"},
      {"arg.flag == 1",
       "type mismatch: expected string or integer at arg path, got bool at arg.flag"},
      {"arg.nothing == 1",
       "type mismatch: expected string or integer at arg path, got null at arg.nothing"},
      {"arg.big == 1",
       "type mismatch: expected string or integer at arg path, got non-finite number at "
       "arg.big"},
      {"arg.missing == 1", "unknown identifier: arg.missing"},
      // kinds
      {"caller == 5", "type mismatch: expected number, got string"},
      {"caller == 5_usd", "type mismatch: expected number(usd), got string"},
      {"now == \"x\"", "type mismatch: expected string, got timestamp"},
      {"arg.n == @2030-01-01T00:00:00Z", "type mismatch: expected timestamp, got number"},
      {"now == 5_ms", "type mismatch: expected number(ms), got timestamp"},
      // strings
      {"caller != \"agent-7\"", "false"},
      {"caller < \"b\"",
       "type mismatch: expected number or timestamp on left for ordering operator, got string "
       "vs string with `<`"},
      {"caller >= \"b\"",
       "type mismatch: expected number or timestamp on left for ordering operator, got string "
       "vs string with `>=`"},
      {"tool matches \"ead\"", "true"},
      {"tool matches \"EAD\"", "false"},
      {"tool matches \"*\"", "false"},
      {"tool matches \"read_file_\"", "false"},
      {"tool starts_with \"file\"", "false"},
      {"tool starts_with \"read\"", "true"},
      {"tool matches \"\"", "true"},
      {"tool starts_with \"\"", "true"},
      {"arg.empty matches \"\"", "true"},
      {"arg.empty starts_with \"a\"", "false"},
      {"arg.user_id == \"u1\"", "true"},
      // numbers
      {"arg.limit <= 50", "true"},
      {"arg.limit < 50", "false"},
      {"arg.limit > 49.5", "true"},
      {"arg.n == 5", "true"},
      {"arg.nf == 5", int_domain},
      {"arg.ne == 5", int_domain},
      {"arg.nE == 5", int_domain},
      {"arg.nf != 5", int_domain},
      {"arg.nf <= 10", int_domain},
      {"arg.n == 5.0", "true"},
      {"arg.nf == 5.0", "true"},
      {"arg.ne == 5.0", "true"},
      {"arg.nE == 5.0", "true"},
      {"arg.half < 1.0", "true"},
      {"arg.negz >= 0", "true"},
      {"arg.negz == 0", "true"},
      {"arg.negz < 0", "false"},
      {"arg.tiny == 0.0", "true"},  // underflows to zero, float-syntactic
      {"arg.n == 5_usd", "type mismatch: expected number with unit usd, got number with unit (none)"},
      {"arg.nf == 5_usd", "type mismatch: expected number with unit usd, got number with unit (none)"},
      {"arg.n matches 5", "type mismatch: expected string for `matches`, got non-string operand"},
      {"arg.nf matches 5", "type mismatch: expected string for `matches`, got non-string operand"},
      {"arg.n starts_with 5",
       "type mismatch: expected string for `starts_with`, got non-string operand"},
      {"arg.n matches 5_s", "type mismatch: expected number with unit s, got number with unit (none)"},
      // timestamps: now is 2029-06-01T00:00:00.5Z
      {"now <= @2030-01-01T00:00:00Z", "true"},
      {"now > @2029-06-01T00:00:00Z", "true"},
      {"now > @2029-06-01T00:00:00.5Z", "false"},
      {"now == @2029-06-01T00:00:00.5Z", "true"},
      {"now == @2029-06-01T00:00:00Z", "false"},
      {"now == @2029-06-01T02:00:00.500000000+02:00", "true"},
      {"now >= @2029-06-01T00:00:00.500000001Z", "false"},
      {"now < @2029-06-01T00:00:01Z", "true"},
      {"now matches @2030-01-01T00:00:00Z",
       "type mismatch: expected string for `matches`, got non-string operand"},
      {"now starts_with @2030-01-01T00:00:00Z",
       "type mismatch: expected string for `starts_with`, got non-string operand"},
      // boolean structure and short-circuits hiding errors on the right
      {"caller == \"x\" OR arg.missing == 1", "unknown identifier: arg.missing"},
      {"caller == \"agent-7\" OR arg.missing == 1", "true"},
      {"caller == \"x\" AND arg.missing == 1", "false"},
      {"caller == \"agent-7\" AND arg.missing == 1", "unknown identifier: arg.missing"},
      {"arg.missing == 1 OR caller == \"agent-7\"", "unknown identifier: arg.missing"},
      {"caller == \"x\" OR tool == \"y\" OR arg.n == 5", "true"},
      {"caller == \"x\" OR tool == \"y\" AND nosuch == 1", "false"},
      {"(caller == \"x\" OR tool == \"read_file\") AND arg.n == 6", "false"},
      {"(caller == \"x\" OR tool == \"read_file\") AND (arg.n == 6 OR arg.limit == 50)", "true"},
      {"caller == \"agent-7\" AND (tool == \"x\" OR (arg.n == 5 AND nosuch == 1))",
       "unknown identifier: nosuch"},
  };
  for (const auto& c : cases) EXPECT_EQ(eval(c.pred, ctx), c.want) << c.pred;
}

TEST(CaveatEvalTest, ContextVariants) {
  Context ctx = base_context();
  ctx.args = JV::array({JV::number("1"), JV::number("2")});
  EXPECT_EQ(eval("arg.x == 1", ctx), "unknown identifier: arg.x");
  ctx.args = JV::string("s");
  EXPECT_EQ(eval("arg.x == 1", ctx), "unknown identifier: arg.x");

  ctx.tool = "";
  EXPECT_EQ(eval("tool matches \"\"", ctx), "true");
  EXPECT_EQ(eval("tool starts_with \"\"", ctx), "true");
  EXPECT_EQ(eval("tool == \"\"", ctx), "true");

  // Floored representation before the epoch: -1.5 s is {-2, 0.5e9}.
  ctx.now = Instant{-2, 500'000'000};
  EXPECT_EQ(eval("now < @1970-01-01T00:00:00Z", ctx), "true");
  EXPECT_EQ(eval("now == @1969-12-31T23:59:58.5Z", ctx), "true");
  EXPECT_EQ(eval("now > @1969-12-31T23:59:58.4Z", ctx), "true");
  ctx.now = Instant{1'893'456'000, 0};
  EXPECT_EQ(eval("now <= @2030-01-01T00:00:00Z", ctx), "true");
  ctx.now = Instant{1'893'456'000, 1};
  EXPECT_EQ(eval("now <= @2030-01-01T00:00:00Z", ctx), "false");

  // Context strings are compared byte for byte, without normalisation.
  ctx.caller = "caf\xc3\xa9";
  EXPECT_EQ(eval("caller == \"cafe\xcc\x81\"", ctx), "false");
  EXPECT_EQ(eval("caller == \"caf\xc3\xa9\"", ctx), "true");
  ctx.caller = std::string("a\0b", 3);
  EXPECT_EQ(eval("caller matches \"b\"", ctx), "true");
  EXPECT_EQ(eval("caller == \"a\"", ctx), "false");
}

// resolve_ident hands out owned copies: the values outlive the context.
TEST(CaveatEvalTest, ResolveIdentCopiesOutOfTheContext) {
  const std::string long_text(100, 'q');  // beyond any small-string buffer
  auto ctx = std::make_unique<Context>(base_context());
  ctx->caller = long_text;
  ctx->env["LONG"] = long_text + "!";
  struct IdentCase {
    std::string_view pred;  // only the identifier of its comparison is used
    std::optional<Value> want;
    std::string_view error;
  };
  const IdentCase cases[] = {
      {"caller == 1", Value{Str{long_text}}, ""},
      {"tool == 1", Value{Str{"read_file"}}, ""},
      {"env.LONG == 1", Value{Str{long_text + "!"}}, ""},
      {"arg.a.b == 1", Value{Str{"x"}}, ""},
      {"arg.nf == 1", Value{Number{5.0, std::nullopt, true}}, ""},
      {"arg.negz == 1", Value{Number{-0.0, std::nullopt, false}}, ""},
      {"now == 1", Value{Timestamp{kNowSecs, 500'000'000}}, ""},
      {"env.NOPE == 1", std::nullopt, "unknown identifier: env.NOPE"},
      {"arg.items == 1", std::nullopt,
       "type mismatch: expected string or integer at arg path, got array at arg.items"},
      {"arg.big == 1", std::nullopt,
       "type mismatch: expected string or integer at arg path, got non-finite number at arg.big"},
  };
  std::vector<std::expected<Value, DslError>> got;
  for (const auto& c : cases) {
    auto e = parse(c.pred);
    ASSERT_TRUE(e) << c.pred;
    got.push_back(resolve_ident(e->compare().ident, *ctx));
  }
  ctx.reset();  // values must not point into the freed context
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const IdentCase& c = cases[i];
    if (c.want) {
      ASSERT_TRUE(got[i]) << c.pred << ": " << got[i].error().display();
      EXPECT_EQ(*got[i], *c.want) << c.pred;
    } else {
      ASSERT_FALSE(got[i]) << c.pred;
      EXPECT_EQ(got[i].error().display(), c.error) << c.pred;
    }
  }
}

// Context texts longer than a small-string buffer, compared by every string
// operator, from each place a text can come from.
TEST(CaveatEvalTest, LongContextTexts) {
  Context ctx = base_context();
  const std::string long_text = "agent-" + std::string(200, 'z') + "-end";
  ctx.caller = long_text;
  ctx.tool = long_text;
  ctx.env["LONG"] = long_text;
  ctx.args = JV::object({{"s", JV::string(long_text)}});
  for (std::string_view ident : {"caller", "tool", "env.LONG", "arg.s"}) {
    struct LongCase {
      std::string rest;  // operator and literal
      std::string_view want;
    };
    const LongCase cases[] = {
        {"== \"" + long_text + "\"", "true"},
        {"!= \"" + long_text + "\"", "false"},
        {"== \"" + long_text + "x\"", "false"},
        {"starts_with \"agent-zz\"", "true"},
        {"starts_with \"zz\"", "false"},
        {"matches \"z-end\"", "true"},
        {"matches \"" + long_text + "x\"", "false"},
        {"<= \"a\"",
         "type mismatch: expected number or timestamp on left for ordering operator, got string "
         "vs string with `<=`"},
        {"== 1", "type mismatch: expected number, got string"},
    };
    for (const auto& c : cases) {
      const std::string pred = std::string(ident) + " " + c.rest;
      EXPECT_EQ(eval(pred, ctx), c.want) << pred.substr(0, 60);
    }
  }
}

TEST(CaveatEvalTest, JsonToValue) {
  struct NumCase {
    std::string_view text;
    std::optional<double> value;
    bool float_syntax;
  };
  const NumCase cases[] = {
      {"10", 10.0, false},     {"10.0", 10.0, true},   {"1e1", 10.0, true},
      {"1E1", 10.0, true},     {"-0", -0.0, false},    {"1e400", std::nullopt, true},
      {"-1e400", std::nullopt, true}, {"1E-400", 0.0, true},
      {"0.1", 0.1, true},      {"123456789012345678901234567890", 1.2345678901234568e29, false},
      {"999999999999999", 999999999999999.0, false},
      {"-9007199254740993", -9007199254740992.0, false},  // tie rounds to even
  };
  for (const auto& c : cases) {
    const auto v = json_to_value(JV::number(std::string(c.text)));
    ASSERT_EQ(v.has_value(), c.value.has_value()) << c.text;
    if (!v) continue;
    const auto& n = std::get<Number>(v->v);
    EXPECT_EQ(n.value, *c.value) << c.text;
    EXPECT_EQ(std::signbit(n.value), std::signbit(*c.value)) << c.text;
    EXPECT_EQ(n.float_syntax, c.float_syntax) << c.text;
    EXPECT_FALSE(n.unit) << c.text;
  }
  EXPECT_EQ(json_to_value(JV::string("hi")), (Value{Str{"hi"}}));
  EXPECT_FALSE(json_to_value(JV::null()));
  EXPECT_FALSE(json_to_value(JV::boolean(false)));
  EXPECT_FALSE(json_to_value(JV::array({})));
  EXPECT_FALSE(json_to_value(JV::object({})));
}

TEST(CaveatEvalTest, OrderedToBool) {
  using O = Ordering;
  struct OpCase {
    CmpOp op;
    bool less, equal, greater;
  };
  const OpCase cases[] = {
      {CmpOp::Eq, false, true, false}, {CmpOp::Ne, true, false, true},
      {CmpOp::Lt, true, false, false}, {CmpOp::Le, true, true, false},
      {CmpOp::Gt, false, false, true}, {CmpOp::Ge, false, true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ordered_to_bool(c.op, O::Less).value(), c.less) << cmp_op_symbol(c.op);
    EXPECT_EQ(ordered_to_bool(c.op, O::Equal).value(), c.equal) << cmp_op_symbol(c.op);
    EXPECT_EQ(ordered_to_bool(c.op, O::Greater).value(), c.greater) << cmp_op_symbol(c.op);
  }
  EXPECT_EQ(ordered_to_bool(CmpOp::Matches, O::Equal).error().display(),
            "type mismatch: expected string for `matches`, got non-string operand");
  EXPECT_EQ(ordered_to_bool(CmpOp::StartsWith, O::Less).error().display(),
            "type mismatch: expected string for `starts_with`, got non-string operand");
}

// Chains are trees as deep as they are long; evaluation must not recurse.
TEST(CaveatEvalTest, MillionTermChains) {
  const Context ctx = base_context();
  auto chain = [](std::string_view first, std::string_view term, std::string_view conn,
                  std::string_view last, int n = 1'000'000) {
    std::string s(first);
    for (int i = 0; i < n; ++i) {
      s += conn;
      s += term;
    }
    s += conn;
    s += last;
    return s;
  };
  struct Big {
    std::string pred;
    std::string_view want;
  };
  const Big bigs[] = {
      {chain("arg.n == 5", "arg.n == 5", " AND ", "arg.n == 5"), "true"},
      {chain("arg.n == 5", "arg.n == 5", " AND ", "nosuch == 1", 10'000),
       "unknown identifier: nosuch"},
      {chain("arg.n == 6", "nosuch == 1", " AND ", "nosuch == 1", 10'000), "false"},
      {chain("arg.n == 6", "arg.n == 6", " OR ", "arg.n == 5"), "true"},
      {chain("arg.n == 6", "arg.n == 6", " OR ", "arg.n == 6", 10'000), "false"},
      {chain("arg.n == 5", "nosuch == 1", " OR ", "nosuch == 1", 10'000), "true"},
      // Or(a, And(And(...))) and alternating groups.
      {chain("arg.n == 6 OR arg.n == 5", "arg.n == 5", " AND ", "arg.n == 5"), "true"},
      {chain("arg.n == 6 OR arg.n == 5", "(arg.n == 6 OR arg.n == 5)", " AND ", "arg.n == 4"),
       "false"},
  };
  for (const auto& b : bigs) EXPECT_EQ(eval(b.pred, ctx), b.want) << b.pred.substr(0, 40);
}

}  // namespace
}  // namespace velnor
