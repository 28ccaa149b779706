#include "core/internal/quote.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "core/internal/hex_codec.hpp"

namespace velnor::text {
namespace {

struct Range {
  char32_t lo;
  char32_t hi;  // inclusive
};

// Sorted, non-overlapping. Noncharacters U+xFFFE/U+xFFFF of the lower planes
// are handled arithmetically in is_printable().
constexpr Range kNonPrintable[] = {
    {0x0000, 0x001F}, {0x007F, 0x009F},  // C0 controls; DEL and C1 controls
    {0x00AD, 0x00AD},                    // soft hyphen
    {0x0300, 0x036F}, {0x0483, 0x0489},  // combining diacritical marks; Cyrillic marks
    // Hebrew points
    {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2}, {0x05C4, 0x05C5}, {0x05C7, 0x05C7},
    // Arabic number signs (format), marks, letter mark, end of ayah
    {0x0600, 0x0605}, {0x0610, 0x061A}, {0x061C, 0x061C}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DD}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED},
    // Syriac abbreviation mark and marks
    {0x070F, 0x070F}, {0x0711, 0x0711}, {0x0730, 0x074A},
    {0x180B, 0x180F},  // Mongolian variation selectors and vowel separator
    {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},  // combining diacritical marks extended, supplement
    // zero-width space, joiners, direction marks; line/paragraph separators,
    // bidi embeddings; word joiner, invisible operators; bidi isolates,
    // deprecated format characters
    {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x2064}, {0x2066, 0x206F},
    {0x20D0, 0x20FF},                    // combining marks for symbols
    {0x302A, 0x302F}, {0x3099, 0x309A},  // ideographic tone marks; kana voicing marks
    {0xD800, 0xDFFF},  // surrogates (never decoded, listed for completeness)
    {0xE000, 0xF8FF},  // private use
    {0xFDD0, 0xFDEF},  // noncharacters
    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},  // variation selectors; combining half marks
    {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB},  // byte order mark; interlinear annotation
    {0x101FD, 0x101FD}, {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F},  // Egyptian hieroglyph format controls
    {0x1BCA0, 0x1BCA3},  // shorthand format controls
    // musical combining marks and format controls
    {0x1D167, 0x1D169}, {0x1D173, 0x1D182}, {0x1D185, 0x1D18B}, {0x1D1AA, 0x1D1AD},
    {0x1E000, 0x1E02A}, {0x1E8D0, 0x1E8D6}, {0x1E944, 0x1E94A},  // Glagolitic and other marks
    {0x40000, 0x10FFFF},  // unassigned planes, tags, selectors, private use
};

void append_escaped(std::string& out, char32_t c, char32_t quote) {
  switch (c) {
    case U'\\': out += "\\\\"; return;
    case U'\n': out += "\\n"; return;
    case U'\r': out += "\\r"; return;
    case U'\t': out += "\\t"; return;
    case U'\0': out += "\\0"; return;
    default: break;
  }
  if (c == quote) {
    out += '\\';
    out += static_cast<char>(c);
    return;
  }
  if (is_printable(c)) {
    append_utf8(out, c);
    return;
  }
  char buf[8];
  int n = 0;
  auto v = static_cast<std::uint32_t>(c);
  do {
    buf[n++] = hex::kDigits[v & 0xF];
    v >>= 4;
  } while (v != 0);
  out += "\\u{";
  while (n > 0) out += buf[--n];
  out += '}';
}

}  // namespace

bool is_printable(char32_t c) {
  if (c >= 0x20 && c < 0x7F) return true;
  if (c > 0x10FFFF) return false;
  if ((c & 0xFFFE) == 0xFFFE) return false;  // U+xFFFE, U+xFFFF
  auto it = std::upper_bound(std::begin(kNonPrintable), std::end(kNonPrintable), c,
                             [](char32_t v, const Range& r) { return v < r.lo; });
  if (it == std::begin(kNonPrintable)) return true;
  return c > std::prev(it)->hi;
}

void append_utf8(std::string& out, char32_t c) {
  auto v = static_cast<std::uint32_t>(c);
  if (v < 0x80) {
    out += static_cast<char>(v);
  } else if (v < 0x800) {
    out += static_cast<char>(0xC0 | (v >> 6));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else if (v < 0x10000) {
    out += static_cast<char>(0xE0 | (v >> 12));
    out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (v >> 18));
    out += static_cast<char>(0x80 | ((v >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  }
}

DecodedChar decode_utf8(std::string_view s, std::size_t pos) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t b0 = byte(pos);
  if (b0 < 0x80) return {b0, 1, true};

  std::size_t need;
  char32_t cp;
  // Bounds of the second byte exclude overlong forms, surrogates and values
  // above U+10FFFF (Unicode table 3-7), so the later bytes only need to be
  // continuation bytes.
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {0xFFFD, 1, false};
  }
  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (pos + i >= s.size()) return {0xFFFD, i, false};
    const std::uint8_t b = byte(pos + i);
    if (b < lo || b > hi) return {0xFFFD, i, false};
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, need + 1, true};
}

void append_quoted_str(std::string& out, std::string_view s) {
  out += '"';
  std::size_t pos = 0;
  while (pos < s.size()) {
    // Runs of plain ASCII are copied in one go; they are the common case.
    std::size_t run = pos;
    while (run < s.size()) {
      const auto b = static_cast<std::uint8_t>(s[run]);
      if (b < 0x20 || b >= 0x7F || b == '"' || b == '\\') break;
      ++run;
    }
    out.append(s.substr(pos, run - pos));
    pos = run;
    if (pos == s.size()) break;
    const DecodedChar d = decode_utf8(s, pos);
    append_escaped(out, d.cp, U'"');
    pos += d.len;
  }
  out += '"';
}

std::string quoted_str(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  append_quoted_str(out, s);
  return out;
}

void append_quoted_char(std::string& out, char32_t c) {
  out += '\'';
  append_escaped(out, c, U'\'');
  out += '\'';
}

std::string quoted_char(char32_t c) {
  std::string out;
  append_quoted_char(out, c);
  return out;
}

}  // namespace velnor::text
