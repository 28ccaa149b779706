#include "core/internal/base64url.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velnor::base64url {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = Base64Error::Kind;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// RFC 4648 section 10, in the url alphabet without padding, plus the two
// symbols where the url alphabet differs from the standard one.
TEST(Base64Url, Rfc4648Vectors) {
  const struct {
    Bytes in;
    std::string_view out;
  } cases[] = {
      {bytes(""), ""},           {bytes("f"), "Zg"},           {bytes("fo"), "Zm8"},
      {bytes("foo"), "Zm9v"},    {bytes("foob"), "Zm9vYg"},    {bytes("fooba"), "Zm9vYmE"},
      {bytes("foobar"), "Zm9vYmFy"}, {Bytes{0xfb, 0xff}, "-_8"}, {Bytes{0xfb, 0xff, 0xbf}, "-_-_"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode(c.in), c.out);
    const auto d = decode(c.out);
    ASSERT_TRUE(d.has_value()) << c.out;
    EXPECT_EQ(*d, c.in);
  }
}

TEST(Base64Url, EncodeAppendsAndRoundTripsAllLengths) {
  std::string out = "prefix.";
  encode_append(out, bytes("foo"));
  EXPECT_EQ(out, "prefix.Zm9v");
  for (std::size_t n = 0; n < 300; ++n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + n);
    EXPECT_EQ(decode(encode(b)).value(), b) << n;
  }
  // Every symbol value in every position of a sixteen-symbol step: bytes
  // whose encoding runs through the whole alphabet at each offset.
  for (std::size_t shift = 0; shift < 64; ++shift) {
    std::string text;
    for (std::size_t i = 0; i < 64; ++i) {
      text += "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"[(i + shift) % 64];
    }
    const auto d = decode(text);
    ASSERT_TRUE(d.has_value()) << text;
    EXPECT_EQ(encode(*d), text);
  }
}

// Every string of two or three alphabet symbols decodes exactly when it is
// the encoding of what it decodes to: one accepted text per byte string.
TEST(Base64Url, OnlyCanonicalTailsAccepted) {
  const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::size_t accepted = 0;
  for (char a : alphabet) {
    for (char b : alphabet) {
      const std::string two{a, b};
      const auto d2 = decode(two);
      if (d2) {
        ++accepted;
        EXPECT_EQ(encode(*d2), two);
      } else {
        EXPECT_EQ(d2.error(), (Base64Error{Kind::InvalidLastSymbol, static_cast<std::uint8_t>(b), 1}));
      }
      for (char c : alphabet) {
        const std::string three{a, b, c};
        const auto d3 = decode(three);
        if (d3) {
          ++accepted;
          EXPECT_EQ(encode(*d3), three);
        }
      }
    }
  }
  EXPECT_EQ(accepted, 256u + 65536u);
}

TEST(Base64Url, FaultsAndWhichOneWins) {
  const struct {
    std::string_view in;
    const char* text;
  } cases[] = {
      // Standard-alphabet symbols and stray bytes, at their offsets.
      {"Zm9v+mFy", "Invalid symbol 43, offset 4."},
      {"Zm9vY+Fy", "Invalid symbol 43, offset 5."},
      {"Zm9v/mFy", "Invalid symbol 47, offset 4."},
      {" Zm9v", "Invalid symbol 32, offset 0."},
      {"Zm9v\n", "Invalid symbol 10, offset 4."},
      {"Zm9v\xc3\xa9", "Invalid symbol 195, offset 4."},
      {std::string_view("Zm\0v", 4), "Invalid symbol 0, offset 2."},
      // Padding the standard encoding would add after two or three symbols.
      {"Zg==", "Invalid padding"},
      {"Zg=", "Invalid padding"},
      {"AB=", "Invalid padding"},
      {"Zm8=", "Invalid padding"},
      {"Zm9vYg==", "Invalid padding"},
      {"Zm9vYmE=", "Invalid padding"},
      {"AR==", "Invalid padding"},  // padding wins over the last symbol
      // "=" anywhere else is a plain invalid symbol, where its run starts.
      {"=", "Invalid symbol 61, offset 0."},
      {"====", "Invalid symbol 61, offset 0."},
      {"A===", "Invalid symbol 61, offset 1."},
      {"A=", "Invalid symbol 61, offset 1."},
      {"Zg===", "Invalid symbol 61, offset 2."},
      {"Zm9v=", "Invalid symbol 61, offset 4."},
      {"Zm9v==", "Invalid symbol 61, offset 4."},
      {"Zm9vY=", "Invalid symbol 61, offset 5."},
      {"Zm=v", "Invalid symbol 61, offset 2."},
      {"Zg==Zg", "Invalid symbol 61, offset 2."},
      {"AB=+", "Invalid symbol 61, offset 2."},
      // A lone last symbol cannot hold a byte; any bad symbol wins over it.
      {"A", "Invalid input length: 1"},
      {"Zm9vY", "Invalid input length: 5"},
      {"+BCDE", "Invalid symbol 43, offset 0."},
      // Unused low bits must be zero.
      {"AR", "Invalid last symbol 82, offset 1."},
      {"Zh", "Invalid last symbol 104, offset 1."},
      {"Zm9", "Invalid last symbol 57, offset 2."},
      {"Zm9vYmF", "Invalid last symbol 70, offset 6."},
      {"+R", "Invalid symbol 43, offset 0."},
  };
  for (const auto& c : cases) {
    const auto r = decode(c.in);
    ASSERT_FALSE(r.has_value()) << c.in;
    EXPECT_EQ(r.error().display(), c.text) << c.in;
  }
}


// Every byte value at every position of canonical encodings: the one-pass
// decoder must accept exactly the canonical texts and name a stray symbol
// where it stands. The longer ones reach the sixteen-symbol steps, in
// every lane and at the step boundaries.
TEST(Base64Url, EverySubstitutionAtEveryPosition) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  for (std::size_t len : {0, 1, 2, 3, 4, 5, 6, 7, 18, 19, 20, 36, 37}) {
    Bytes data;
    for (std::size_t i = 0; i < len; ++i) data.push_back(static_cast<std::uint8_t>(0x5b * (i + 1)));
    const std::string good = encode(data);
    ASSERT_EQ(decode(good).value(), data);
    for (std::size_t at = 0; at < good.size(); ++at) {
      for (int b = 0; b < 256; ++b) {
        std::string text = good;
        text[at] = static_cast<char>(b);
        const auto r = decode(text);
        if (alphabet.find(static_cast<char>(b)) == std::string::npos) {
          ASSERT_FALSE(r.has_value()) << text;
          if (b != '=') {
            EXPECT_EQ(r.error().kind, Kind::InvalidSymbol) << text;
            EXPECT_EQ(r.error().offset, at) << text;
          }
        } else if (r.has_value()) {
          // Accepted only when it is the one encoding of what it decodes to.
          EXPECT_EQ(encode(*r), text);
        } else {
          EXPECT_EQ(r.error().kind, Kind::InvalidLastSymbol) << text;
          EXPECT_EQ(at, good.size() - 1) << text;
        }
      }
    }
  }
}

}  // namespace
}  // namespace velnor::base64url
