#include "core/internal/json_write.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/internal/hex_codec.hpp"

namespace velnor::json {
namespace {

// 0 = copy unchanged; otherwise the letter of the short escape, or 'u'.
constexpr char kEscape[256] = {
    'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'b', 't', 'n', 'u', 'f', 'r', 'u', 'u',
    'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u',
    0,   0,   '"', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '\\', 0,  0,   0,
};

// True when one of the eight bytes of `w` is below 0x20, '"' or '\\'. Exact
// for "any byte"; which byte it was is left to the table.
bool needs_escape(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  const std::uint64_t quote = w ^ (kOnes * '"');
  const std::uint64_t backslash = w ^ (kOnes * '\\');
  const std::uint64_t control = (w - kOnes * 0x20) & ~w;
  const std::uint64_t has_quote = (quote - kOnes) & ~quote;
  const std::uint64_t has_backslash = (backslash - kOnes) & ~backslash;
  return ((control | has_quote | has_backslash) & kHigh) != 0;
}

std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

#if defined(__SSE2__)
// Bit k set when byte k of the sixteen at `p` must be escaped.
unsigned escape_mask16(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  // Unsigned c <= 0x1f exactly when min(c, 0x1f) == c.
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v);
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
}
#endif

// Index of the first byte at or after `i` that must be escaped, or
// s.size(). Every JSON string the library writes goes through here, most of
// them clean, so the scan takes sixteen bytes at a time where it can. The
// tail of a longer string is checked as its last sixteen (or eight) bytes,
// overlapping bytes already known to be clean; nothing is read outside `s`.
std::size_t first_to_escape(std::string_view s, std::size_t i) {
  const std::size_t n = s.size();
  const char* d = s.data();
#if defined(__SSE2__)
  if (n >= 16) {
    for (; n - i >= 16; i += 16) {
      if (const unsigned m = escape_mask16(d + i); m != 0) return i + static_cast<std::size_t>(std::countr_zero(m));
    }
    // Bit k of the shifted mask is position i + k.
    const unsigned m = escape_mask16(d + n - 16) >> (16 - (n - i));
    return m != 0 ? i + static_cast<std::size_t>(std::countr_zero(m)) : n;
  }
#endif
  for (; n - i >= 8; i += 8) {
    if (needs_escape(load8(d + i))) break;
  }
  if (n - i < 8 && n >= 8 && !needs_escape(load8(d + n - 8))) return n;
  while (i < n && kEscape[static_cast<unsigned char>(d[i])] == 0) ++i;
  return i;
}

// Bytes append_string writes for `s`.
std::size_t string_size(std::string_view s) {
  std::size_t size = s.size() + 2;
  for (std::size_t i = first_to_escape(s, 0); i < s.size(); i = first_to_escape(s, i + 1)) {
    size += kEscape[static_cast<unsigned char>(s[i])] == 'u' ? 5 : 1;
  }
  return size;
}

// Writes `s` escaped at `p`, into room of string_size(s); returns the end.
char* put_string(char* p, std::string_view s) {
  const std::size_t n = s.size();
  *p++ = '"';
  std::size_t run = 0;  // start of the pending unescaped run
  for (std::size_t i = first_to_escape(s, 0); i < n; i = first_to_escape(s, run)) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::memcpy(p, s.data() + run, i - run);
    p += i - run;
    *p++ = '\\';
    if (kEscape[c] == 'u') {
      const char u[5] = {'u', '0', '0', hex::kDigits[c >> 4], hex::kDigits[c & 0xF]};
      std::memcpy(p, u, sizeof u);
      p += sizeof u;
    } else {
      *p++ = kEscape[c];
    }
    run = i + 1;
  }
  if (n != run) std::memcpy(p, s.data() + run, n - run);
  p += n - run;
  *p++ = '"';
  return p;
}

}  // namespace

void append_string(std::string& out, std::string_view s) {
  const std::size_t n = s.size();
  const std::size_t old = out.size();
  if (first_to_escape(s, 0) == n) {
    // Nothing to escape, the usual case: one scan and one copy.
    const std::size_t size = old + n + 2;
    out.resize_and_overwrite(size, [&](char* p, std::size_t) {
      p[old] = '"';
      if (n != 0) std::memcpy(p + old + 1, s.data(), n);
      p[old + n + 1] = '"';
      return size;
    });
    return;
  }
  const std::size_t size = old + string_size(s);
  out.resize_and_overwrite(size, [&](char* p, std::size_t) {
    put_string(p + old, s);
    return size;
  });
}

void append_uint(std::string& out, unsigned long long v) {
  if (v < 10) {  // receipt versions
    out.push_back(static_cast<char>('0' + v));
    return;
  }
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  out.push_back('"');
  hex::append(out, bytes);
  out.push_back('"');
}

}  // namespace velnor::json
