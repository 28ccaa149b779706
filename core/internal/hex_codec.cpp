#include "core/internal/hex_codec.hpp"

#include <array>
#include <cstring>

#include "core/internal/simd.hpp"

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
#if defined(__SSE2__)
  // Sixteen bytes a step: every receipt carries two digests in hex. Each
  // nibble becomes '0' + n, plus the distance to 'a' for n above 9; the
  // high and low digits are then interleaved.
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const auto digits = [](__m128i n) {
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(n, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
    return _mm_add_epi8(_mm_add_epi8(n, _mm_set1_epi8('0')), letter);
  };
  while (bytes.size() >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data()));
    const __m128i hi = digits(_mm_and_si128(_mm_srli_epi16(v, 4), nibble));
    const __m128i lo = digits(_mm_and_si128(v, nibble));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(hi, lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(hi, lo));
    out += 32;
    bytes = bytes.subspan(16);
  }
#endif
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
  std::size_t i = 0;
#if defined(__SSE2__)
  // Thirty-two digits a step (a digest is two steps). Each byte's value is
  // c - '0' for a digit and (c | 0x20) - 'a' + 10 for a letter of either
  // case; a byte that is neither marks the text bad. Pairs are then joined
  // in 16-bit lanes and packed to bytes.
  const auto values = [&bad](__m128i c) {
    const __m128i folded = _mm_or_si128(c, _mm_set1_epi8(0x20));
    const __m128i digit = simd::bytes_within(c, '0', '9');
    const __m128i letter = simd::bytes_within(folded, 'a', 'f');
    if (_mm_movemask_epi8(_mm_or_si128(digit, letter)) != 0xFFFF) bad = 0x10;
    return _mm_or_si128(_mm_and_si128(digit, _mm_sub_epi8(c, _mm_set1_epi8('0'))),
                        _mm_and_si128(letter, _mm_sub_epi8(folded, _mm_set1_epi8('a' - 10))));
  };
  const auto join = [](__m128i v) {
    const __m128i high = _mm_slli_epi16(_mm_and_si128(v, _mm_set1_epi16(0x00FF)), 4);
    return _mm_or_si128(high, _mm_srli_epi16(v, 8));
  };
  for (; i + 16 <= out.size(); i += 16) {
    const __m128i a = values(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i)));
    const __m128i b = values(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i + 16)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + i), _mm_packus_epi16(join(a), join(b)));
  }
#endif
  for (; i < out.size(); ++i) {
    const unsigned hi = kNibbles[in[2 * i]];
    const unsigned lo = kNibbles[in[2 * i + 1]];
    bad |= hi | lo;
    out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  if (bad > 0xF) return std::unexpected(std::string_view("invalid digit found in string"));
  return out;
}

}  // namespace velnor::hex
