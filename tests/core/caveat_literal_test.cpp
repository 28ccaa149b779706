#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "core/caveat_dsl.hpp"
#include "core/internal/quote.hpp"

namespace velnor {
namespace {

// Parses "x == <literal>" and returns the literal, or the error display.
std::expected<Value, std::string> literal(std::string_view lit) {
  auto r = parse("x == " + std::string(lit));
  if (!r) return std::unexpected(r.error().display());
  return r->compare().value;
}

TEST(CaveatLiteralTest, Strings) {
  struct Case {
    std::string_view lit;
    std::string_view want;  // the text, or the error display
    bool ok;
  };
  const Case cases[] = {
      {R"("")", "", true},
      {R"("search")", "search", true},
      {R"("a\"b")", "a\"b", true},
      {R"("a\\b")", "a\\b", true},
      {R"("a\nb\tc")", "a\nb\tc", true},
      {"\"line\nbreak\ttab\"", "line\nbreak\ttab", true},  // raw controls kept
      {"\"caf\xc3\xa9\"", "caf\xc3\xa9", true},
      {R"("it's")", "it's", true},
      {R"("a\rb")", "parse error: invalid escape '\\r' in string literal", false},
      {R"("a\0")", "parse error: invalid escape '\\0' in string literal", false},
      {R"("a\'")", "parse error: invalid escape '\\'' in string literal", false},
      {R"("a\u0041")", "parse error: invalid escape '\\u' in string literal", false},
      {"\"\\\xc3\xa9\"", "parse error: invalid escape '\\\xc3\xa9' in string literal", false},
      {R"("abc)", "parse error: unterminated string literal", false},
      {R"(")", "parse error: unterminated string literal", false},
      {R"("abc\")", "parse error: unterminated string literal", false},
      {R"("abc\)", "parse error: unterminated string: trailing backslash", false},
  };
  for (const auto& c : cases) {
    auto v = literal(c.lit);
    if (c.ok) {
      ASSERT_TRUE(v) << c.lit << ": " << v.error();
      EXPECT_EQ(std::get<Str>(v->v).text, c.want) << c.lit;
    } else {
      ASSERT_FALSE(v) << c.lit;
      EXPECT_EQ(v.error(), c.want) << c.lit;
    }
  }
}

TEST(CaveatLiteralTest, Numbers) {
  struct Case {
    std::string_view lit;
    double value;
    std::optional<Unit> unit;
    bool float_syntax;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"0", 0.0, {}, false},
      {"007", 7.0, {}, false},
      {"7.0", 7.0, {}, true},
      {"-0.25_usd", -0.25, Unit::Usd, true},
      {"5_usd", 5.0, Unit::Usd, false},  // recorded, not scaled
      {"2_eur", 2.0, Unit::Eur, false},
      {"3_gbp", 3.0, Unit::Gbp, false},
      {"150_cents", 150.0, Unit::Cents, false},
      {"10_ms", 10.0, Unit::Ms, false},
      {"2_s", 2.0, Unit::S, false},
      {"0.1", 0.1, {}, true},
      {"9007199254740993", 9007199254740992.0, {}, false},  // tie rounds to even
      {"9007199254740995", 9007199254740996.0, {}, false},
  };
  for (const auto& c : cases) {
    auto v = literal(c.lit);
    ASSERT_TRUE(v) << c.lit << ": " << v.error();
    const auto& n = std::get<Number>(v->v);
    EXPECT_EQ(n.value, c.value) << c.lit;
    EXPECT_EQ(n.unit, c.unit) << c.lit;
    EXPECT_EQ(n.float_syntax, c.float_syntax) << c.lit;
  }
  // The largest double written out in full, and one more digit beyond it.
  auto max = literal("17976931348623157" + std::string(292, '0'));
  ASSERT_TRUE(max);
  EXPECT_EQ(std::get<Number>(max->v).value, std::numeric_limits<double>::max());
  auto over = literal("17976931348623159" + std::string(292, '0'));
  ASSERT_TRUE(over);
  EXPECT_EQ(std::get<Number>(over->v).value, inf);
  // Beyond the double range: infinity of the same sign.
  auto big = literal(std::string(400, '9'));
  ASSERT_TRUE(big);
  EXPECT_EQ(std::get<Number>(big->v).value, inf);
  auto neg = literal("-" + std::string(400, '9') + ".5");
  ASSERT_TRUE(neg);
  EXPECT_EQ(std::get<Number>(neg->v).value, -inf);
  // Below the smallest subnormal: a zero of the same sign.
  auto tiny = literal("-0." + std::string(400, '0') + "1");
  ASSERT_TRUE(tiny);
  EXPECT_EQ(std::get<Number>(tiny->v).value, 0.0);
  EXPECT_TRUE(std::signbit(std::get<Number>(tiny->v).value));
}

TEST(CaveatLiteralTest, NumberErrors) {
  struct Case {
    std::string_view pred;
    std::string_view want;
  };
  const Case cases[] = {
      {"n == -", "parse error: expected digits in number at byte 5"},
      {"n == -x", "parse error: expected digits in number at byte 5"},
      {"n == -.5", "parse error: expected digits in number at byte 5"},
      {"n == 5.", "parse error: expected digits after '.' in number at byte 5"},
      {"n == 5.x", "parse error: expected digits after '.' in number at byte 5"},
      {"n == -12.", "parse error: expected digits after '.' in number at byte 5"},
      {"n == 5_USD",
       "parse error: unknown unit \"USD\" (allowed: usd, eur, gbp, cents, ms, s)"},
      {"n == 5_usdx",
       "parse error: unknown unit \"usdx\" (allowed: usd, eur, gbp, cents, ms, s)"},
      {"n == 5_", "parse error: expected identifier, found EOF"},
      {"n == 5_ usd", "parse error: expected identifier, found ' ' at byte 7"},
      {"n == 5__usd",
       "parse error: unknown unit \"_usd\" (allowed: usd, eur, gbp, cents, ms, s)"},
      {"n == 1e3", "parse error: trailing garbage starting with 'e' at byte 6"},
      {"n == 0x10", "parse error: trailing garbage starting with 'x' at byte 6"},
      {"n == 1_000", "parse error: expected identifier, found '0' at byte 7"},
  };
  for (const auto& c : cases) {
    auto r = parse(c.pred);
    ASSERT_FALSE(r) << c.pred;
    EXPECT_EQ(r.error().display(), c.want) << c.pred;
  }
}

TEST(CaveatLiteralTest, DecimalToDouble) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string_view text;
    std::optional<double> want;
    bool negative_zero = false;
  };
  const Case cases[] = {
      {"0", 0.0},
      {"-0", 0.0, true},
      {"-0.0e5", 0.0, true},
      {"1e400", inf},
      {"-1e400", -inf},
      {"1E+400", inf},
      {"1e-400", 0.0},
      {"1E-400", 0.0},
      {"-1e-400", 0.0, true},
      {"0.0000001e-318", 0.0},
      {"1000000000e-333", 0.0},  // 1e-324 rounds to zero
      {"3e-324", 5e-324},        // rounds up to the smallest subnormal
      {"2.4703282292062328e-324", 5e-324},  // just above half of it
      {"2.4703282292062327e-324", 0.0},     // just below half of it
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
      {"1.7976931348623159e308", inf},
      {"0.00000001e316", 1e308},
      {"1e99999999999999999999999", inf},
      {"1e-99999999999999999999999", 0.0},
      {"0e99999999999999999999999", 0.0},
      // Either side of the widest plain integer converted without rounding.
      {"999999999999999", 999999999999999.0},
      {"-000000000000000", 0.0, true},
      {"1000000000000001", 1000000000000001.0},
      {"99999999999999999", 1e17},
      {"0000000000000000000001", 1.0},
      {"12.5E1", 125.0},
      {"5e0", 5.0},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+1", std::nullopt},
      {".5", std::nullopt},
      {"5.", std::nullopt},
      {"1e", std::nullopt},
      {"1e+", std::nullopt},
      {"inf", std::nullopt},
      {"nan", std::nullopt},
      {"0x1p3", std::nullopt},
      {"1 ", std::nullopt},
      {"12a", std::nullopt},
      {"--1", std::nullopt},
      {"1-", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto got = decimal_to_double(c.text);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.text;
    if (!got) continue;
    EXPECT_EQ(*got, *c.want) << c.text;
    EXPECT_EQ(std::signbit(*got), c.negative_zero || std::signbit(*c.want)) << c.text;
  }
}

Timestamp ts(std::int64_t secs, std::uint32_t nanos = 0) { return Timestamp{secs, nanos}; }

TEST(CaveatLiteralTest, Timestamps) {
  struct Case {
    std::string_view lit;
    Timestamp want;
  };
  const Case cases[] = {
      {"@1970-01-01T00:00:00Z", ts(0)},
      {"@2030-01-01T00:00:00Z", ts(1'893'456'000)},
      {"@2030-01-01t00:00:00z", ts(1'893'456'000)},
      {"@2030-01-01T01:00:00+01:00", ts(1'893'456'000)},
      {"@2030-01-01T00:00:00-00:30", ts(1'893'457'800)},
      {"@2029-12-31T23:00:00-01:00", ts(1'893'456'000)},
      {"@2030-01-01T00:00:00+23:59", ts(1'893'456'000 - 86'340)},
      {"@2030-01-01T00:00:00.5Z", ts(1'893'456'000, 500'000'000)},
      {"@2030-01-01T00:00:00.000000001Z", ts(1'893'456'000, 1)},
      {"@2030-01-01T00:00:00.1234567891Z", ts(1'893'456'000, 123'456'789)},
      {"@2030-01-01T00:00:00.9999999999999+00:00", ts(1'893'456'000, 999'999'999)},
      {"@2024-02-29T00:00:00Z", ts(19'782LL * 86400)},
      {"@2000-02-29T00:00:00Z", ts(11'016LL * 86400)},
      {"@2030-12-31T23:59:60Z", ts(1'924'992'000)},  // leap second
      {"@2031-01-01T00:00:00Z", ts(1'924'992'000)},
      {"@1969-12-31T23:59:59.5Z", ts(-1, 500'000'000)},
      {"@-001-01-01T00:00:00Z", ts(-719'893LL * 86400)},
      {"@0000-01-01T00:00:00Z", ts(-719'528LL * 86400)},
      {"@+999-01-01T00:00:00Z", ts(-354'650LL * 86400)},
      {"@9999-12-31T23:59:59Z", ts(253'402'300'799)},
      {"@-999-01-01T00:00:00+23:59", ts(-93'692'592'000 - 86'340)},
  };
  for (const auto& c : cases) {
    auto v = literal(c.lit);
    ASSERT_TRUE(v) << c.lit << ": " << v.error();
    EXPECT_EQ(std::get<Timestamp>(v->v), c.want) << c.lit;
  }
}

// Each reason, in the order the checks run: inputs that break two rules
// report the earlier one.
TEST(CaveatLiteralTest, TimestampReasons) {
  struct Case {
    std::string_view t;  // text after '@'
    std::string_view reason;
  };
  const Case cases[] = {
      {"2030-01-01", "too short (10 bytes, need >= 19)"},
      {"2030-01-01T00:00:0", "too short (18 bytes, need >= 19)"},
      {"203\xc3\xa9-01-01T00:00:00Z", "non-utf8: incomplete utf-8 byte sequence from index 3"},
      {"20\xe2\x82\xac-01-01T00:00:00Z", "non-utf8: incomplete utf-8 byte sequence from index 2"},
      {"\xa9" "030-01-01T00:00:00Z", "non-utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"20x4-01-01T00:00:00Z", "bad integer \"20x4\": invalid digit found in string"},
      {"2\xc3\xa9" "4-01-01T00:00:00Z", "bad integer \"2\xc3\xa9" "4\": invalid digit found in string"},
      {"+-12-01-01T00:00:00Z", "bad integer \"+-12\": invalid digit found in string"},
      {"2030/01/01T00:00:00Z", "expected '-' at position 4, got '/'"},
      {"2030\xc3\xa9" "01-01T00:00:00Z", "expected '-' at position 4, got '\xc3\x83'"},
      {"2030-1-01T00:00:00Z", "expected ASCII digits, got \"1-\""},
      {"2030-0\xc3\xa9-01T00:00:00Z", "expected ASCII digits, got \"0\xef\xbf\xbd\""},
      {"2030-01/01T00:00:00Z", "expected '-' at position 7, got '/'"},
      {"2030-01-1xT00:00:00Z", "expected ASCII digits, got \"1x\""},
      {"2030-01-01 00:00:00Z", "too short (10 bytes, need >= 19)"},  // the blank ends T
      {"2030-01-01X00:00:00Z", "expected 'T' at position 10, got 'X'"},
      {"2030-01-01T0x:00:00Z", "expected ASCII digits, got \"0x\""},
      {"2030-01-01T00-00:00Z", "expected ':' at position 13, got '-'"},
      {"2030-01-01T00:0x:00Z", "expected ASCII digits, got \"0x\""},
      {"2030-01-01T00:00-00Z", "expected ':' at position 16, got '-'"},
      {"2030-01-01T00:00:0xZ", "expected ASCII digits, got \"0x\""},
      {"2030-01-01T00:00:00.Z", "expected digits after '.'"},
      {"2030-01-01T00:00:00.", "expected digits after '.'"},
      {"2030-01-01T00:00:00", "missing timezone designator (need 'Z' or '+HH:MM')"},
      {"2030-01-01T00:00:00.123", "missing timezone designator (need 'Z' or '+HH:MM')"},
      {"2030-01-01T00:00:00X", "expected 'Z' or '+/-HH:MM', got 'X'"},
      {"2030-01-01T00:00:00,5Z", "expected 'Z' or '+/-HH:MM', got ','"},
      {"2030-01-01T00:00:00\xc3\xa9", "expected 'Z' or '+/-HH:MM', got '\xc3\x83'"},
      {"2030-01-01T00:00:00+0100", "offset truncated"},
      {"2030-01-01T00:00:00+01:0", "offset truncated"},
      {"2030-01-01T00:00:00+01-00", "expected ':' at offset's HH:MM separator"},
      {"2030-01-01T00:00:00+0x:00", "expected ASCII digits, got \"0x\""},
      {"2030-01-01T00:00:00+01:x0", "expected ASCII digits, got \"x0\""},
      {"2030-01-01T00:00:00+24:00", "bad offset hour: 24"},
      {"2030-01-01T00:00:00+23:60", "bad offset minute: 60"},
      {"2030-01-01T00:00:00+24:60", "bad offset hour: 24"},
      {"2030-01-01T00:00:00+99:x0", "expected ASCII digits, got \"x0\""},  // digits before ranges
      {"2030-01-01T00:00:00Zabc", "trailing garbage in timestamp starting at byte 20"},
      {"2030-01-01T00:00:00.5Z)", "trailing garbage in timestamp starting at byte 22"},
      {"2030-01-01T00:00:00+01:00:00", "trailing garbage in timestamp starting at byte 25"},
      {"2030-13-01T00:00:00Z", "bad month: 13"},
      {"2030-00-01T00:00:00Z", "bad month: 0"},
      {"2030-13-01T00:00:00Zx", "trailing garbage in timestamp starting at byte 20"},
      {"2030-13-40T99:99:99Z", "bad month: 13"},
      {"2023-02-29T00:00:00Z", "bad day 29 for 2023-02"},
      {"1900-02-29T00:00:00Z", "bad day 29 for 1900-02"},
      {"2030-04-31T00:00:00Z", "bad day 31 for 2030-04"},
      {"2030-01-00T00:00:00Z", "bad day 0 for 2030-01"},
      {"2030-01-32T99:00:00Z", "bad day 32 for 2030-01"},
      {"-001-02-30T00:00:00Z", "bad day 30 for -001-02"},
      {"+999-02-29T00:00:00Z", "bad day 29 for 0999-02"},
      {"2030-01-01T24:00:00Z", "bad hour: 24"},
      {"2030-01-01T23:60:00Z", "bad minute: 60"},
      {"2030-01-01T23:59:61Z", "bad second: 61"},
  };
  for (const auto& c : cases) {
    auto v = literal(std::string("@").append(c.t));
    ASSERT_FALSE(v) << c.t;
    // The timestamp text ends at the first blank.
    const std::string_view t = c.t.substr(0, c.t.find(' '));
    EXPECT_EQ(v.error(), "parse error: invalid timestamp " + text::quoted_str(t) + ": " +
                             std::string(c.reason))
        << c.t;
  }
}

TEST(CaveatLiteralTest, TimestampWholeMessages) {
  struct Case {
    std::string_view pred;
    std::string_view want;
  };
  const Case cases[] = {
      {"t < @", "parse error: expected RFC3339 timestamp after '@'"},
      {"t < @ 2030-01-01T00:00:00Z", "parse error: expected RFC3339 timestamp after '@'"},
      {"(t < @)", "parse error: invalid timestamp \")\": too short (1 bytes, need >= 19)"},
      {"(t < @2030-01-01T00:00:00Z)",
       "parse error: invalid timestamp \"2030-01-01T00:00:00Z)\": trailing garbage in timestamp "
       "starting at byte 20"},
      {"t < @2030-01-01T00:00:00Zabc",
       "parse error: invalid timestamp \"2030-01-01T00:00:00Zabc\": trailing garbage in "
       "timestamp starting at byte 20"},
      {"t < @2030-01-01T00:00:00Z\tAND x == 1)",
       "parse error: trailing garbage starting with ')' at byte 36"},
      {"t < @2030-01-01\x0bT00:00:00Z",  // vertical tab does not end T
       "parse error: invalid timestamp \"2030-01-01\\u{b}T00:00:00Z\": expected 'T' at position "
       "10, got '\\u{b}'"},
  };
  for (const auto& c : cases) {
    auto r = parse(c.pred);
    ASSERT_FALSE(r) << c.pred;
    EXPECT_EQ(r.error().display(), c.want) << c.pred;
  }
  // Timestamps end at any of the five blanks and line breaks.
  for (std::string_view end : {" ", "\t", "\n", "\f", "\r"}) {
    auto r = parse("t < @2030-01-01T00:00:00Z" + std::string(end));
    if (end == " " || end == "\t") {
      EXPECT_TRUE(r);
    } else {
      ASSERT_FALSE(r);
      EXPECT_TRUE(r.error().message.starts_with("trailing garbage starting with"));
    }
  }
}

TEST(CaveatLiteralTest, DaysFromCivil) {
  struct Case {
    std::int32_t y;
    std::uint32_t m, d;
    std::int64_t want;
  };
  const Case cases[] = {
      {1970, 1, 1, 0},          {1969, 12, 31, -1},        {2000, 3, 1, 11'017},
      {2024, 1, 1, 19'723},     {-1, 1, 1, -719'893},      {0, 1, 1, -719'528},
      {0, 3, 1, -719'468},      {9999, 12, 31, 2'932'896}, {1600, 2, 29, -135'081},
      {-400, 3, 1, -865'565},   {-401, 12, 31, -865'626},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(days_from_civil(c.y, c.m, c.d), c.want) << c.y << "-" << c.m << "-" << c.d;
  }
  // Against a plain day count from year -1000 to 10000.
  auto leap = [](std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  const std::uint32_t len[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  std::int64_t count = days_from_civil(-1000, 1, 1);
  ASSERT_EQ(count, -719'528 - 365'242);
  for (std::int32_t y = -1000; y <= 10000; ++y) {
    for (std::uint32_t m = 1; m <= 12; ++m) {
      const std::uint32_t days = len[m - 1] + (m == 2 && leap(y) ? 1 : 0);
      for (std::uint32_t d = 1; d <= days; ++d) {
        ASSERT_EQ(days_from_civil(y, m, d), count) << y << "-" << m << "-" << d;
        ++count;
      }
    }
  }
}

TEST(CaveatLiteralTest, Helpers) {
  EXPECT_TRUE(expect_byte("a-b", 1, '-'));
  EXPECT_EQ(expect_byte("a/b", 1, '-').error(), "expected '-' at position 1, got '/'");
  EXPECT_EQ(expect_byte("\xc3\xa9", 0, ':').error(), "expected ':' at position 0, got '\xc3\x83'");
  EXPECT_EQ(expect_byte("\x01", 0, '-').error(), "expected '-' at position 0, got '\\u{1}'");
  EXPECT_EQ(expect_byte("ab", 2, '-').error(), "expected '-' at position 2, got EOF");

  struct UintCase {
    std::string_view in;
    std::optional<std::uint32_t> want;
    std::string_view err;
  };
  const UintCase uints[] = {
      {"00", 0u, ""},
      {"59", 59u, ""},
      {"123456789", 123'456'789u, ""},
      {"4294967295", 4'294'967'295u, ""},
      {"4294967296", std::nullopt, "number too large to fit in target type"},
      {"", std::nullopt, "expected ASCII digits, got \"\""},
      {"1-", std::nullopt, "expected ASCII digits, got \"1-\""},
      {"+1", std::nullopt, "expected ASCII digits, got \"+1\""},
      {" 1", std::nullopt, "expected ASCII digits, got \" 1\""},
      {"\xc3\xa9", std::nullopt, "expected ASCII digits, got \"\xc3\xa9\""},
      {"\xa9" "1", std::nullopt, "expected ASCII digits, got \"\xef\xbf\xbd" "1\""},
  };
  for (const auto& c : uints) {
    auto r = parse_uint_exact(c.in);
    if (c.want) {
      ASSERT_TRUE(r) << c.in;
      EXPECT_EQ(*r, *c.want);
    } else {
      ASSERT_FALSE(r) << c.in;
      EXPECT_EQ(r.error(), c.err);
    }
  }

  EXPECT_EQ(fmt_unit(std::nullopt), "(none)");
  EXPECT_EQ(fmt_unit(Unit::Cents), "cents");
  EXPECT_EQ(fmt_unit(Unit::Usd), "usd");
  EXPECT_EQ(fmt_unit(Unit::S), "s");
}

}  // namespace
}  // namespace velnor
