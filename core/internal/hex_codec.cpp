#include "core/internal/hex_codec.hpp"

#include <array>
#include <cstring>

namespace velnor::hex {
namespace {

// -1 for every byte that is not a hexadecimal digit, non-ASCII included.
constexpr int nibble(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Both digits of every byte value, so that each byte is one two-byte copy.
constexpr std::array<char, 512> kPairs = [] {
  std::array<char, 512> t{};
  for (std::size_t b = 0; b < 256; ++b) {
    t[2 * b] = kDigits[b >> 4];
    t[2 * b + 1] = kDigits[b & 0xF];
  }
  return t;
}();

}  // namespace

void write(char* out, std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t b : bytes) {
    std::memcpy(out, &kPairs[2 * std::size_t{b}], 2);
    out += 2;
  }
}

void append(std::string& out, std::span<const std::uint8_t> bytes) {
  const std::size_t start = out.size();
  const std::size_t size = start + 2 * bytes.size();
  out.resize_and_overwrite(size, [&](char* p, std::size_t) {
    write(p + start, bytes);
    return size;
  });
}

// The value of every byte as a digit, 0x10 and up for a non-digit, so a
// whole text is decoded without a branch per digit and checked once.
constexpr std::array<std::uint8_t, 256> kNibbles = [] {
  std::array<std::uint8_t, 256> t{};
  for (std::size_t c = 0; c < 256; ++c) {
    const int v = nibble(static_cast<unsigned char>(c));
    t[c] = v < 0 ? 0xF0 : static_cast<std::uint8_t>(v);
  }
  return t;
}();

std::expected<std::vector<std::uint8_t>, std::string_view> decode(std::string_view text) {
  if (text.size() % 2 != 0) return std::unexpected(std::string_view("hex string has odd length"));
  std::vector<std::uint8_t> out(text.size() / 2);
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  unsigned bad = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const unsigned hi = kNibbles[in[2 * i]];
    const unsigned lo = kNibbles[in[2 * i + 1]];
    bad |= hi | lo;
    out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  if (bad > 0xF) return std::unexpected(std::string_view("invalid digit found in string"));
  return out;
}

}  // namespace velnor::hex
