#include "core/hex.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <optional>

namespace velnor {
namespace {

TEST(Hex, EncodesLowercaseHighNibbleFirst) {
  EXPECT_EQ(hex_encode({}), "");
  const Bytes b = {0x00, 0x01, 0x7f, 0x80, 0xab, 0xff};
  EXPECT_EQ(hex_encode(b), "00017f80abff");
  std::string out = "x";
  hex_append(out, b);
  EXPECT_EQ(out, "x00017f80abff");
}

// Against printf at every length around the sixteen-byte steps.
TEST(Hex, EncodesLikePrintfAtEveryLength) {
  for (std::size_t n = 0; n <= 50; ++n) {
    Bytes b(n);
    std::string want;
    for (std::size_t i = 0; i < n; ++i) {
      b[i] = static_cast<std::uint8_t>(i * 151 + n * 7);
      char two[3];
      std::snprintf(two, sizeof two, "%02x", b[i]);
      want += two;
    }
    EXPECT_EQ(hex_encode(b), want) << n;
  }
}

TEST(Hex, EveryByteRoundTrips) {
  Bytes all(256);
  for (std::size_t i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  const std::string h = hex_encode(all);
  EXPECT_EQ(hex_decode(h).value(), all);
  std::string upper = h;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(hex_decode(upper).value(), all);
}

// Every byte value at every position of texts long enough for the
// thirty-two-digit steps: exactly the hex digits of either case decode,
// to the value of that digit.
TEST(Hex, EveryByteAtEveryPositionOfALongText) {
  const std::string good = "0123456789abcdefABCDEF0123456789fedcba9876543210FEDCBA9876543210aa";
  const Bytes want = hex_decode(good).value();
  std::string lower = good;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_EQ(hex_encode(want), lower);
  for (std::size_t at = 0; at < good.size(); ++at) {
    for (int b = 0; b < 256; ++b) {
      std::string text = good;
      text[at] = static_cast<char>(b);
      const auto r = hex_decode(text);
      const bool digit = std::isxdigit(b) != 0;
      ASSERT_EQ(r.has_value(), digit) << at << ":" << b;
      if (digit) {
        Bytes expect = want;
        const int v = b <= '9' ? b - '0' : (b | 0x20) - 'a' + 10;
        auto& byte = expect[at / 2];
        byte = static_cast<std::uint8_t>(at % 2 == 0 ? (v << 4) | (byte & 0x0F) : (byte & 0xF0) | v);
        EXPECT_EQ(*r, expect) << at << ":" << b;
      }
    }
  }
}

TEST(Hex, DecodeTable) {
  constexpr std::string_view kOdd = "hex string has odd length";
  constexpr std::string_view kDigit = "invalid digit found in string";
  const struct {
    std::string_view in;
    std::optional<Bytes> ok;
    std::string_view err;
  } cases[] = {
      {"", Bytes{}, ""},
      {"aBcD", Bytes{0xab, 0xcd}, ""},
      {"a", std::nullopt, kOdd},
      {"abc", std::nullopt, kOdd},
      {"zzz", std::nullopt, kOdd},  // length is checked before digits
      {"zz", std::nullopt, kDigit},
      {"0g", std::nullopt, kDigit},
      {"g0", std::nullopt, kDigit},
      {" 0", std::nullopt, kDigit},
      {"0x", std::nullopt, kDigit},
      {"\xc3\xa9", std::nullopt, kDigit},  // non-ASCII, even byte count
      {std::string_view("0\0", 2), std::nullopt, kDigit},
      {"00:0", std::nullopt, kDigit},
      {"@@", std::nullopt, kDigit},  // neighbours of the digit ranges
      {"``", std::nullopt, kDigit},
      {"GG", std::nullopt, kDigit},
      {"//", std::nullopt, kDigit},
  };
  for (const auto& c : cases) {
    const auto r = hex_decode(c.in);
    if (c.ok) {
      ASSERT_TRUE(r.has_value()) << c.in;
      EXPECT_EQ(*r, *c.ok) << c.in;
    } else {
      ASSERT_FALSE(r.has_value()) << c.in;
      EXPECT_EQ(r.error(), c.err) << c.in;
    }
  }
}

}  // namespace
}  // namespace velnor
