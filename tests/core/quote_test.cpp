#include "core/internal/quote.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace velnor::text {
namespace {

TEST(QuoteTest, QuotedStr) {
  struct Case {
    std::string_view in;
    std::string_view want;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {"a\"b", R"("a\"b")"},
      {"it's", R"("it's")"},  // single quote stays inside double quotes
      {"back\\slash", R"("back\\slash")"},
      {"\n\r\t", R"("\n\r\t")"},
      {std::string_view("a\0b", 3), R"("a\0b")"},
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},                     // é is printable
      {"\xe2\x82\xac 5", "\"\xe2\x82\xac 5\""},               // €
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},           // emoji
      {"\xc2\x85", R"("\u{85}")"},                            // NEL, a C1 control
      {"\xc2\xad", R"("\u{ad}")"},                            // soft hyphen
      {"a\xcc\x81", R"("a\u{301}")"},                         // combining acute
      {"x\xe2\x80\x8by", R"("x\u{200b}y")"},                  // zero-width space
      {"\xe2\x80\xa8\xe2\x80\xa9", R"("\u{2028}\u{2029}")"},  // line/para separators
      {"\xe2\x80\xae", R"("\u{202e}")"},                      // right-to-left override
      {"\xe2\x81\xa0", R"("\u{2060}")"},                      // word joiner
      {"\xef\xbb\xbf", R"("\u{feff}")"},                      // byte order mark
      {"\xee\x80\x80", R"("\u{e000}")"},                      // private use
      {"\xef\xbf\xbe", R"("\u{fffe}")"},                      // noncharacter
      {"\xf3\xa0\x80\x81", R"("\u{e0001}")"},                 // language tag
      {"\xef\xb8\x8f", R"("\u{fe0f}")"},                      // variation selector
      // Invalid UTF-8: one U+FFFD per maximal invalid subpart.
      {"\xff", "\"\xef\xbf\xbd\""},
      {"a\xc3", "\"a\xef\xbf\xbd\""},
      {"\xe2\x82", "\"\xef\xbf\xbd\""},                        // truncated 3-byte form
      {"\xe2\x82x", "\"\xef\xbf\xbdx\""},
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},            // overlong '/'
      {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // surrogate
      {"\xf4\x90\x80\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quoted_str(c.in), c.want) << "input " << testing::PrintToString(std::string(c.in));
  }
}

TEST(QuoteTest, QuotedChar) {
  struct Case {
    char32_t in;
    std::string_view want;
  };
  const Case cases[] = {
      {U'a', "'a'"},          {U'\'', R"('\'')"},      {U'"', R"('"')"},
      {U'\\', R"('\\')"},     {U'\n', R"('\n')"},      {U'\0', R"('\0')"},
      {U'\x7f', R"('\u{7f}')"}, {0xC3, "'\xc3\x83'"},  // a byte shown as Latin-1: 'Ã'
      {0xE9, "'\xc3\xa9'"},   {0x80, R"('\u{80}')"},   {0xFFFD, "'\xef\xbf\xbd'"},
      {0x10FFFF, R"('\u{10ffff}')"}, {0x110000, R"('\u{110000}')"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quoted_char(c.in), c.want) << "code point " << static_cast<unsigned>(c.in);
  }
}

TEST(QuoteTest, DecodeUtf8) {
  struct Case {
    std::string_view in;
    char32_t cp;
    std::size_t len;
    bool valid;
  };
  const Case cases[] = {
      {"A", U'A', 1, true},
      {"\xc2\x80", 0x80, 2, true},
      {"\xdf\xbf", 0x7FF, 2, true},
      {"\xe0\xa0\x80", 0x800, 3, true},
      {"\xed\x9f\xbf", 0xD7FF, 3, true},
      {"\xee\x80\x80", 0xE000, 3, true},
      {"\xf0\x90\x80\x80", 0x10000, 4, true},
      {"\xf4\x8f\xbf\xbf", 0x10FFFF, 4, true},
      {"\x80", 0xFFFD, 1, false},          // lone continuation
      {"\xc1\xbf", 0xFFFD, 1, false},      // overlong lead
      {"\xe0\x9f\xbf", 0xFFFD, 1, false},  // overlong 3-byte
      {"\xed\xa0\x80", 0xFFFD, 1, false},  // surrogate
      {"\xf0\x8f\xbf\xbf", 0xFFFD, 1, false},
      {"\xf4\x90\x80\x80", 0xFFFD, 1, false},  // above U+10FFFF
      {"\xf5\x80\x80\x80", 0xFFFD, 1, false},
      {"\xe2\x82", 0xFFFD, 2, false},      // truncated at end
      {"\xf0\x9f\x98", 0xFFFD, 3, false},
      {"\xe2\x82" "A", 0xFFFD, 2, false},  // broken by an ASCII byte
  };
  for (const auto& c : cases) {
    const DecodedChar d = decode_utf8(c.in, 0);
    EXPECT_EQ(static_cast<std::uint32_t>(d.cp), static_cast<std::uint32_t>(c.cp))
        << testing::PrintToString(std::string(c.in));
    EXPECT_EQ(d.len, c.len) << testing::PrintToString(std::string(c.in));
    EXPECT_EQ(d.valid, c.valid) << testing::PrintToString(std::string(c.in));
  }
}

// Every scalar value survives encode/decode, and quoting never emits a raw
// control or non-printable character.
TEST(QuoteTest, RoundTripAllScalars) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string s;
    append_utf8(s, c);
    const DecodedChar d = decode_utf8(s, 0);
    ASSERT_TRUE(d.valid) << static_cast<std::uint32_t>(c);
    ASSERT_EQ(d.cp, c);
    ASSERT_EQ(d.len, s.size());
    const std::string q = quoted_str(s);
    if (is_printable(c) && c != U'"' && c != U'\\') {
      ASSERT_EQ(q, "\"" + s + "\"");
    } else {
      ASSERT_EQ(q[1], '\\') << static_cast<std::uint32_t>(c);
    }
  }
}

}  // namespace
}  // namespace velnor::text
