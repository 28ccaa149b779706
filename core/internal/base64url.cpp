#include "core/internal/base64url.hpp"

#include <array>
#include <string>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELNOR_BASE64_SSSE3 1
#endif

#include "core/internal/simd.hpp"

namespace velnor {

std::string Base64Error::display() const {
  switch (kind) {
    case Kind::InvalidPadding:
      return "Invalid padding";
    case Kind::InvalidSymbol:
      return "Invalid symbol " + std::to_string(symbol) + ", offset " + std::to_string(offset) +
             ".";
    case Kind::InvalidLength:
      return "Invalid input length: " + std::to_string(offset);
    case Kind::InvalidLastSymbol:
      return "Invalid last symbol " + std::to_string(symbol) + ", offset " +
             std::to_string(offset) + ".";
  }
  return "Invalid symbol " + std::to_string(symbol) + ", offset " + std::to_string(offset) + ".";
}

}  // namespace velnor

namespace velnor::base64url {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_table() {
  std::array<std::uint8_t, 256> t{};
  t.fill(kInvalid);
  for (std::uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
  return t;
}
constexpr std::array<std::uint8_t, 256> kTable = make_table();

Base64Error symbol_error(unsigned char c, std::size_t offset) {
  return {Base64Error::Kind::InvalidSymbol, c, offset};
}

}  // namespace

void encode_append(std::string& out, std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  const std::size_t start = out.size();
  out.resize(start + n / 3 * 4 + (n % 3 == 0 ? 0 : n % 3 + 1));
  char* p = out.data() + start;
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) |
                            bytes[i + 2];
    *p++ = kAlphabet[v >> 18];
    *p++ = kAlphabet[(v >> 12) & 0x3F];
    *p++ = kAlphabet[(v >> 6) & 0x3F];
    *p++ = kAlphabet[v & 0x3F];
  }
  if (n - i == 1) {
    const std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    *p++ = kAlphabet[v >> 18];
    *p++ = kAlphabet[(v >> 12) & 0x3F];
  } else if (n - i == 2) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
    *p++ = kAlphabet[v >> 18];
    *p++ = kAlphabet[(v >> 12) & 0x3F];
    *p++ = kAlphabet[(v >> 6) & 0x3F];
  }
}

std::string encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  encode_append(out, bytes);
  return out;
}

#if defined(VELNOR_BASE64_SSSE3)
// Decodes sixteen symbols a step while every one is in the alphabet and
// twenty-four remain, so that each sixteen-byte store (twelve bytes of
// output and four that the next step overwrites) stays inside `out`.
// Returns the symbols consumed; the caller decodes the rest, and any bad
// symbol, the careful way. SSSE3 for the byte shuffle that packs the
// output; every x86-64 processor of the last fifteen years has it, and the
// caller checks.
__attribute__((target("ssse3"))) std::size_t decode_fast(const unsigned char* in, std::size_t n,
                                                          std::uint8_t* out) {
  using simd::bytes_within;
  const auto offset = [](__m128i mask, int by) { return _mm_and_si128(mask, _mm_set1_epi8(static_cast<char>(by))); };
  std::size_t i = 0;
  for (; i + 24 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i upper = bytes_within(v, 'A', 'Z');
    const __m128i lower = bytes_within(v, 'a', 'z');
    const __m128i digit = bytes_within(v, '0', '9');
    const __m128i dash = _mm_cmpeq_epi8(v, _mm_set1_epi8('-'));
    const __m128i under = _mm_cmpeq_epi8(v, _mm_set1_epi8('_'));
    const __m128i valid = _mm_or_si128(_mm_or_si128(upper, lower), _mm_or_si128(_mm_or_si128(digit, dash), under));
    if (_mm_movemask_epi8(valid) != 0xFFFF) break;
    const __m128i sextets = _mm_add_epi8(
        v, _mm_or_si128(_mm_or_si128(offset(upper, -'A'), offset(lower, 26 - 'a')),
                        _mm_or_si128(_mm_or_si128(offset(digit, 52 - '0'), offset(dash, 62 - '-')),
                                     offset(under, 63 - '_'))));
    // a << 6 | b per 16-bit lane, then (a << 6 | b) << 12 | (c << 6 | d)
    // per 32-bit lane, whose three low bytes go out high byte first.
    const __m128i pairs = _mm_maddubs_epi16(sextets, _mm_set1_epi32(0x01400140));
    const __m128i quads = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    const __m128i bytes = _mm_shuffle_epi8(quads, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i / 4 * 3), bytes);
  }
  return i;
}

bool has_ssse3() {
  static const bool yes = __builtin_cpu_supports("ssse3");
  return yes;
}
#endif

// When several faults apply, the first misplaced byte wins, then a length
// that no byte string encodes, then padding, then non-zero unused bits.
// "=" counts as padding only as the trailing run of the last four-symbol
// group, starting after at least two symbols of it; anywhere else it is an
// ordinary invalid symbol, reported where its run starts.
namespace {

// The first fault of a text the one-pass decode refused.
Base64Error first_fault(std::string_view text) {
  const std::size_t n = text.size();
  std::size_t data_end = n;
  while (data_end > 0 && text[data_end - 1] == '=') --data_end;

  for (std::size_t i = 0; i < data_end; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (kTable[c] == kInvalid) return symbol_error(c, i);
  }
  if (data_end < n) {
    const std::size_t last_group = n - (n % 4 == 0 ? 4 : n % 4);
    if (data_end < last_group || data_end - last_group < 2) return symbol_error('=', data_end);
    // Only reachable for input standard base64 would accept padded; this
    // decoder takes the unpadded form alone.
    return Base64Error{Base64Error::Kind::InvalidPadding, 0, 0};
  }
  const std::size_t tail = n % 4;
  if (tail != 0 && tail != 1) {
    const auto last = static_cast<unsigned char>(text[n - 1]);
    const std::uint8_t unused_mask = tail == 2 ? 0x0F : 0x03;
    if ((kTable[last] & unused_mask) != 0) return Base64Error{Base64Error::Kind::InvalidLastSymbol, last, n - 1};
  }
  // Every other text the one-pass decode refuses has a length no byte
  // string encodes.
  return Base64Error{Base64Error::Kind::InvalidLength, 0, n};
}

}  // namespace

std::expected<std::vector<std::uint8_t>, Base64Error> decode(std::string_view text) {
  // Well-formed tokens are the norm: decode in one pass, folding every
  // table entry into `seen`; kInvalid has bits no symbol value has. Any
  // doubt ('=', a bad symbol, a bad length or tail) goes to the careful
  // path, which finds and names the first fault.
  const std::size_t n = text.size();
  const std::size_t tail = n % 4;
  if (tail != 1) {
    std::vector<std::uint8_t> out(n / 4 * 3 + (tail == 0 ? 0 : tail - 1));
    std::uint8_t* p = out.data();
    std::uint32_t seen = 0;
    const auto sym = [&](std::size_t i) {
      const std::uint32_t v = kTable[static_cast<unsigned char>(text[i])];
      seen |= v;
      return v;
    };
    std::size_t i = 0;
#if defined(VELNOR_BASE64_SSSE3)
    if (has_ssse3()) {
      i = decode_fast(reinterpret_cast<const unsigned char*>(text.data()), n, p);
      p += i / 4 * 3;
    }
#endif
    for (; i + 4 <= n; i += 4) {
      const std::uint32_t v = (sym(i) << 18) | (sym(i + 1) << 12) | (sym(i + 2) << 6) | sym(i + 3);
      *p++ = static_cast<std::uint8_t>(v >> 16);
      *p++ = static_cast<std::uint8_t>(v >> 8);
      *p++ = static_cast<std::uint8_t>(v);
    }
    std::uint32_t unused = 0;  // bits of the last symbol past the data
    if (tail >= 2) {
      const std::uint32_t a = sym(i);
      const std::uint32_t b = sym(i + 1);
      std::uint32_t v = (a << 18) | (b << 12);
      unused = tail == 2 ? (b & 0x0F) : 0;
      if (tail == 3) {
        const std::uint32_t c = sym(i + 2);
        v |= c << 6;
        unused = c & 0x03;
      }
      *p++ = static_cast<std::uint8_t>(v >> 16);
      if (tail == 3) *p = static_cast<std::uint8_t>(v >> 8);
    }
    if ((seen & ~std::uint32_t{0x3F}) == 0 && unused == 0) return out;
  }
  return std::unexpected(first_fault(text));
}

}  // namespace velnor::base64url
