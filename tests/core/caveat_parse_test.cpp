#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/caveat_dsl.hpp"

namespace velnor {
namespace {

// Renders a tree as e.g. "Or(a==1,And(b==2,c==3))" so a table can state the
// exact shape. Literals print compactly: numbers with %g and unit, strings
// in double quotes, timestamps as secs.nanos.
std::string render(const Expr& e) {
  switch (e.kind()) {
    case Expr::Kind::And: return "And(" + render(e.left()) + "," + render(e.right()) + ")";
    case Expr::Kind::Or: return "Or(" + render(e.left()) + "," + render(e.right()) + ")";
    case Expr::Kind::Compare: break;
  }
  const Compare& c = e.compare();
  std::string out = c.ident.joined();
  out += cmp_op_symbol(c.op);
  if (const auto* s = std::get_if<Str>(&c.value.v)) {
    out += "\"" + s->text + "\"";
  } else if (const auto* n = std::get_if<Number>(&c.value.v)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", n->value);
    out += buf;
    if (n->float_syntax) out += "f";
    if (n->unit) {
      out += '_';
      out += fmt_unit(n->unit);
    }
  } else {
    const auto& t = std::get<Timestamp>(c.value.v);
    out += '@';
    out += std::to_string(t.secs);
    out += '.';
    out += std::to_string(t.nanos);
  }
  return out;
}

std::string parse_result(std::string_view in) {
  auto r = parse(in);
  return r ? render(*r) : r.error().display();
}

TEST(CaveatParseTest, TreeShapes) {
  struct Case {
    std::string_view in;
    std::string_view want;
  };
  const Case cases[] = {
      {"tool == \"search\"", "tool==\"search\""},
      {" \t a == 1 \t ", "a==1"},
      {"a == 1 OR b == 2 OR c == 3", "Or(Or(a==1,b==2),c==3)"},
      {"a == 1 AND b == 2 AND c == 3", "And(And(a==1,b==2),c==3)"},
      {"a == 1 OR b == 2 AND c == 3", "Or(a==1,And(b==2,c==3))"},
      {"a == 1 AND b == 2 OR c == 3", "Or(And(a==1,b==2),c==3)"},
      {"(a == 1 OR b == 2) AND c == 3", "And(Or(a==1,b==2),c==3)"},
      {"a == 1 AND (b == 2 OR c == 3)", "And(a==1,Or(b==2,c==3))"},
      {"((a == 1))", "a==1"},
      {"( a == 1 )", "a==1"},
      {"a == 1AND b == 2", "And(a==1,b==2)"},
      {"a == \"x\"OR b == 1", "Or(a==\"x\",b==1)"},
      {"a==1 AND\tb==2", "And(a==1,b==2)"},
      {"OR == 1", "OR==1"},
      {"AND == 1 AND OR == 2", "And(AND==1,OR==2)"},
      {"matches == 1", "matches==1"},
      {"starts_with == 1", "starts_with==1"},
      {"a<-1", "a<-1"},
      {"a<=1", "a<=1"},
      {"a>=1", "a>=1"},
      {"a>1", "a>1"},
      {"a!=1", "a!=1"},
      {"x matches \"abc\"", "xmatches\"abc\""},
      {"x starts_with \"agent-\"", "xstarts_with\"agent-\""},
      {"x matches\"a\"", "xmatches\"a\""},
      {"tool matches 5", "toolmatches5"},  // kinds are checked only at evaluation
      {"arg.user_id == \"u1\"", "arg.user_id==\"u1\""},
      {"_a.b_2.C == 1", "_a.b_2.C==1"},
      {"n == 5_usd", "n==5_usd"},
      {"now <= @2030-01-01T00:00:00Z", "now<=@1893456000.0"},
      {"(t < @2030-01-01T00:00:00Z )", "t<@1893456000.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_result(c.in), c.want) << c.in;
}

TEST(CaveatParseTest, Errors) {
  struct Case {
    std::string_view in;
    std::string_view want;
  };
  const Case cases[] = {
      {"", "parse error: empty predicate"},
      {" \t  ", "parse error: empty predicate"},
      {"\na == 1", "parse error: expected identifier, found '\\n' at byte 0"},
      {"a == 1\nAND b == 2", "parse error: trailing garbage starting with '\\n' at byte 6"},
      {"a == 1 and b == 2", "parse error: trailing garbage starting with 'a' at byte 7"},
      {"a == 1 ANDb == 2", "parse error: trailing garbage starting with 'A' at byte 7"},
      {"a == 1 && b == 2", "parse error: trailing garbage starting with '&' at byte 7"},
      {"a == 1 )", "parse error: trailing garbage starting with ')' at byte 7"},
      {"(a == 1", "parse error: expected ')' to close group, found EOF"},
      {"(a == 1]", "parse error: expected ')' to close group, found ']' at byte 7"},
      {"()", "parse error: expected identifier, found ')' at byte 1"},
      {"a", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 1"},
      {"a = 1", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 2"},
      {"a =< 1", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 2"},
      {"a ! 1", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 2"},
      {"a !", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 2"},
      {"a =", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 2"},
      {"a s", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 2"},
      {"a <", "parse error: expected value (string, number, or timestamp), found EOF"},
      {"a >", "parse error: expected value (string, number, or timestamp), found EOF"},
      {"a starts_with", "parse error: expected value (string, number, or timestamp), found EOF"},
      {"a matches", "parse error: expected value (string, number, or timestamp), found EOF"},
      {"a < = 1", "parse error: expected value (string, number, or timestamp), found '=' at byte 4"},
      {"a ==", "parse error: expected value (string, number, or timestamp), found EOF"},
      {"a == b", "parse error: expected value (string, number, or timestamp), found 'b' at byte 5"},
      {"n == 'x'", "parse error: expected value (string, number, or timestamp), found '\\'' at byte 5"},
      {"n == .5", "parse error: expected value (string, number, or timestamp), found '.' at byte 5"},
      {"n == +5", "parse error: expected value (string, number, or timestamp), found '+' at byte 5"},
      {"1 == a", "parse error: expected identifier, found '1' at byte 0"},
      {"a . b == 1", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 2"},
      {"a. b == 1", "parse error: expected identifier, found ' ' at byte 2"},
      {"arg.items.0 == 1", "parse error: expected identifier, found '0' at byte 10"},
      {"a.", "parse error: expected identifier, found EOF"},
      {"x matchesy \"a\"", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 2"},
      {"x starts_with_ \"a\"", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 2"},
      {"x match \"a\"", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 2"},
      {"a == 1 OR", "parse error: expected identifier, found EOF"},
      {"a == 1 AND ", "parse error: expected identifier, found EOF"},
      {"a == 1 OR OR", "parse error: expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte 12"},
      {"\xc3\xa9 == 1", "parse error: expected identifier, found '\xc3\xa9' at byte 0"},
      // A multi-byte character shifts offsets by its byte length.
      {"a == \"\xc3\xa9\" b", "parse error: trailing garbage starting with 'b' at byte 10"},
      {"a == \"\xe2\x82\xac\" \xe2\x82\xac", "parse error: trailing garbage starting with '\xe2\x82\xac' at byte 11"},
      {"a == 1 \xe2\x80\x8b", "parse error: trailing garbage starting with '\\u{200b}' at byte 7"},
      {"n == 1e3", "parse error: trailing garbage starting with 'e' at byte 6"},
      {"n == 5 _usd", "parse error: trailing garbage starting with '_' at byte 7"},
      {"a == 1 OR (b == 2", "parse error: expected ')' to close group, found EOF"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_result(c.in), c.want) << c.in;
}

// Bytes that are not UTF-8 only reach parse() from C++ callers; they must
// give an ordinary error at the right byte offset.
TEST(CaveatParseTest, InvalidUtf8) {
  struct Case {
    std::string_view in;
    std::string_view want;
  };
  const Case cases[] = {
      {"\xff == 1", "parse error: expected identifier, found '\xef\xbf\xbd' at byte 0"},
      {"a == 1 \x80", "parse error: trailing garbage starting with '\xef\xbf\xbd' at byte 7"},
      {"a == \"x\xff\"", "parse error: invalid UTF-8 in string literal at byte 7"},
      {"a == \"x\xe2\x82\"", "parse error: invalid UTF-8 in string literal at byte 7"},
      {"a == \"\\\xc3\"", "parse error: invalid UTF-8 in string literal at byte 7"},
      {"a == \"\xc3", "parse error: invalid UTF-8 in string literal at byte 6"},
      {"a == @2030-01-01T00:00:00Z\xff",
       "parse error: invalid timestamp \"2030-01-01T00:00:00Z\xef\xbf\xbd\": trailing garbage in "
       "timestamp starting at byte 20"},
      {std::string_view("a == \"\0\" AND \0", 14),
       "parse error: expected identifier, found '\\0' at byte 13"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_result(c.in), c.want) << c.in;
  // A NUL inside a string literal is an ordinary character.
  auto r = parse(std::string_view("a == \"\0\"", 8));
  ASSERT_TRUE(r);
  EXPECT_EQ(std::get<Str>(r->compare().value.v).text, std::string(1, '\0'));
}

std::string nested(std::size_t depth) {
  return std::string(depth, '(') + "a == 1" + std::string(depth, ')');
}

TEST(CaveatParseTest, GroupDepthBound) {
  EXPECT_TRUE(parse(nested(kMaxGroupDepth)));
  EXPECT_EQ(parse_result(nested(kMaxGroupDepth + 1)),
            "parse error: parentheses nested deeper than 64 levels at byte 64");
  // Blanks between the parentheses count in the offset; depth is counted
  // by open groups, not by parentheses seen, so closed siblings do not add.
  std::string spaced;
  for (std::size_t i = 0; i < 65; ++i) spaced += "( ";
  EXPECT_EQ(parse_result(spaced + "a == 1"),
            "parse error: parentheses nested deeper than 64 levels at byte 128");
  std::string siblings;
  for (int i = 0; i < 200; ++i) siblings += (i ? " AND " : "") + nested(60);
  EXPECT_TRUE(parse(siblings));
  // Huge depth is refused quickly, without exhausting the stack.
  EXPECT_FALSE(parse(nested(1'000'000)));
}

// A holder can append a caveat of any length; a chain is a tree as deep as
// it is long, and building, freeing, and moving it must not recurse.
TEST(CaveatParseTest, MillionTermChainParsesAndFrees) {
  const char* connectives[] = {" AND ", " OR "};
  for (const char* conn : connectives) {
    std::string in;
    const std::string term = "a == 1";
    in.reserve(1'000'000 * (term.size() + 5));
    for (int i = 0; i < 1'000'000; ++i) {
      if (i) in += conn;
      in += term;
    }
    {
      auto r = parse(in);
      ASSERT_TRUE(r) << r.error().display();
      EXPECT_EQ(r->kind(), std::string_view(conn) == " AND " ? Expr::Kind::And : Expr::Kind::Or);
      Expr moved = std::move(*r);
      moved = parse("b == 2").value();  // move-assignment frees the old chain
      EXPECT_EQ(moved.kind(), Expr::Kind::Compare);
    }
  }
}

TEST(CaveatParseTest, MixedDeepTreeFrees) {
  // "a OR b AND c AND ..." gives Or(a, And(And(...))): deep on the right's
  // left spine; nesting groups inside long chains mixes both directions.
  std::string in = "a == 1 OR b == 1";
  for (int i = 0; i < 300'000; ++i) in += " AND (c == 1 OR d == 2 AND e == 3)";
  auto r = parse(in);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->kind(), Expr::Kind::Or);
  EXPECT_EQ(r->right().kind(), Expr::Kind::And);
}

// Every truncation and every single-byte substitution of valid predicates
// must give a tree or a parse error whose reported offset lies inside the
// input; run under the sanitizers this also checks every read stays in
// bounds.
TEST(CaveatParseTest, TruncationsAndSubstitutions) {
  const std::string_view seeds[] = {
      "tool == \"se\\\"arch\" AND (arg.limit <= 50_usd OR caller starts_with \"a\")",
      "now <= @2030-01-01T00:00:00.123456789+05:30 AND x.y.z matches \"\xc3\xa9\"",
      "(a<-1.5_cents)OR b>=@-001-02-28t23:59:60z",
  };
  const char subs[] = {'\0', ' ', '\t', '\n', '(', ')', '"', '\\', '@', '-', '.', '_', '0',
                       '9', 'A', 'O', 'R', 'Z', '+', ':', '=', '<', '!', '\x80', '\xc3', '\xff'};
  auto check = [](const std::string& in) {
    auto r = parse(in);
    if (r) return;
    const std::string& m = r.error().message;
    ASSERT_EQ(r.error().kind, DslError::Kind::Parse);
    ASSERT_FALSE(m.empty());
    const auto at = m.rfind(" at byte ");
    if (at != std::string::npos && m.find("in timestamp") == std::string::npos) {
      const auto offset = std::stoull(m.substr(at + 9));
      ASSERT_LE(offset, in.size()) << in << " -> " << m;
    }
  };
  std::size_t parsed = 0;
  for (std::string_view seed : seeds) {
    ASSERT_TRUE(parse(seed)) << seed;
    for (std::size_t n = 0; n <= seed.size(); ++n) check(std::string(seed.substr(0, n)));
    for (std::size_t i = 0; i < seed.size(); ++i) {
      for (char c : subs) {
        std::string in(seed);
        in[i] = c;
        check(in);
        parsed += parse(in).has_value();
      }
    }
  }
  EXPECT_GT(parsed, 0u);
}

}  // namespace
}  // namespace velnor
