// The string escaper skips clean text sixteen or eight bytes at a time and
// checks tails as overlapping blocks; every byte class must still be caught
// wherever it falls relative to those blocks.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/internal/json_write.hpp"

namespace velnor {
namespace {

// Byte-at-a-time statement of the escaping rules, as the reference.
std::string reference(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

std::string escaped(std::string_view s, std::string prefix = {}) {
  json::append_string(prefix, s);
  return prefix;
}

TEST(JsonWrite, FixedCases) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"plain text that is longer than a word", R"("plain text that is longer than a word")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"a\\b", R"("a\\b")"},
      {std::string_view("\x00\x1f\x7f", 3), R"("\u0000\u001f)" "\x7f\""},
      {"tab\there\nnew\rret\bbs\fff", R"("tab\there\nnew\rret\bbs\fff")"},
      {"/ stays, \xc3\xa9 stays", "\"/ stays, \xc3\xa9 stays\""},
      // Bytes just around the classes, which a word test could confuse.
      {"\x20\x21\x23\x5b\x5d\x80\xff", "\"\x20\x21\x23\x5b\x5d\x80\xff\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escaped(c.in), c.out) << c.in;
    EXPECT_EQ(escaped(c.in), reference(c.in));
  }
}

// Every byte value at every offset of strings around the block sizes, after
// text already in the buffer.
TEST(JsonWrite, EveryByteAtEveryOffsetMatchesReference) {
  for (std::size_t len = 1; len <= 40; ++len) {
    for (std::size_t at = 0; at < len; ++at) {
      for (int b = 0; b < 256; ++b) {
        std::string s(len, 'x');
        s[at] = static_cast<char>(b);
        ASSERT_EQ(escaped(s, "pre"), "pre" + reference(s)) << "len " << len << " at " << at << " byte " << b;
      }
    }
  }
}

// A second escape found by resuming the scan past the first, in a block or
// in an overlapping tail.
TEST(JsonWrite, TwoEscapesAtEveryPairOfOffsets) {
  for (std::size_t len = 2; len <= 40; ++len) {
    for (std::size_t a = 0; a < len; ++a) {
      for (std::size_t b = a + 1; b < len; ++b) {
        std::string s(len, 'y');
        s[a] = '"';
        s[b] = '\x01';
        ASSERT_EQ(escaped(s), reference(s)) << "len " << len << " at " << a << ", " << b;
      }
    }
  }
}

TEST(JsonWrite, UnsignedDecimal) {
  for (const unsigned long long v : {0ull, 9ull, 10ull, 99ull, 100ull, 1999ull, 1700000000123ull,
                                     18446744073709551615ull}) {
    std::string appended;
    json::append_uint(appended, v);
    EXPECT_EQ(appended, std::to_string(v));
  }
}

TEST(JsonWrite, RunsOfEscapesAndCleanText) {
  std::string s;
  for (int i = 0; i < 64; ++i) s += (i % 5 == 0) ? '"' : (i % 7 == 0 ? '\n' : static_cast<char>('a' + i % 26));
  EXPECT_EQ(escaped(s), reference(s));
  const std::string all_quotes(17, '"');
  EXPECT_EQ(escaped(all_quotes), reference(all_quotes));
}

}  // namespace
}  // namespace velnor
