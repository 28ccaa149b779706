#include "core/internal/json_write.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

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

// Index of the first byte that must be escaped, or s.size().
std::size_t first_to_escape(std::string_view s, std::size_t i) {
  const std::size_t n = s.size();
  while (n - i >= 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, sizeof w);
    if (needs_escape(w)) break;
    i += 8;
  }
  while (i < n && kEscape[static_cast<unsigned char>(s[i])] == 0) ++i;
  return i;
}

}  // namespace

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::size_t n = s.size();
  std::size_t i = first_to_escape(s, 0);
  const std::size_t old = out.size();
  if (i == n) {
    // Nothing to escape, the usual case: one write of the whole literal.
    const std::size_t size = old + n + 2;
    out.resize_and_overwrite(size, [&](char* p, std::size_t) {
      p[old] = '"';
      if (n != 0) std::memcpy(p + old + 1, s.data(), n);
      p[old + n + 1] = '"';
      return size;
    });
    return;
  }
  out.reserve(old + n + 2);
  out.push_back('"');
  std::size_t run = 0;  // start of the pending unescaped run
  while (i < n) {
    const auto c = static_cast<unsigned char>(s[i]);
    out.append(s.data() + run, i - run);
    if (kEscape[c] == 'u') {
      const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(u, 6);
    } else {
      const char pair[2] = {'\\', kEscape[c]};
      out.append(pair, 2);
    }
    run = i + 1;
    i = first_to_escape(s, run);
  }
  out.append(s.data() + run, n - run);
  out.push_back('"');
}

void append_uint(std::string& out, unsigned long long v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace velnor::json
