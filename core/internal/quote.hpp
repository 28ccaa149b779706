// The {:?} quoting of messages and denial reasons: a text between double
// quotes or a character between single quotes, with backslash escapes for
// the enclosing quote, backslash, \n \r \t \0, and \u{h} for control and
// non-printable characters. Invalid UTF-8 never reaches the output raw:
// each maximal invalid subsequence becomes one U+FFFD, as a lossy UTF-8
// decoder would show it.
//
// What counts as non-printable (escaped as \u{h}): C0 and C1 controls and
// DEL; invisible format characters (soft hyphen, zero-width and joiner
// characters, bidirectional embeddings, overrides and isolates, the byte
// order mark, interlinear annotation marks); the line and paragraph
// separators; the common blocks of combining marks and variation selectors
// (they would attach to the opening quote or the previous character and hide
// what the text really holds); private use; noncharacters; and the planes
// that hold nothing but unassigned code points, tags and variation selectors
// (U+40000..U+EFFFF). Unassigned code points inside the lower planes are
// shown unchanged: tracking the Unicode version would need a generated
// table, and they render as a visible replacement glyph anyway.
#pragma once

#include <string>
#include <string_view>

namespace velnor::text {

// Appends `s` (UTF-8) between double quotes with escapes.
void append_quoted_str(std::string& out, std::string_view s);
std::string quoted_str(std::string_view s);

// Appends the character `c` between single quotes with escapes.
void append_quoted_char(std::string& out, char32_t c);
std::string quoted_char(char32_t c);

// Decodes one UTF-8 character at s[pos] (precondition: pos < s.size()).
// Returns the code point and its byte length (1 to 4). Overlong forms,
// surrogates and values above U+10FFFF are invalid. An invalid or truncated
// sequence yields U+FFFD with `valid` false and `len` the length of its
// maximal invalid subpart (1 to 3), so callers always make progress.
struct DecodedChar {
  char32_t cp;
  std::size_t len;
  bool valid = true;
};
DecodedChar decode_utf8(std::string_view s, std::size_t pos);

// Appends the UTF-8 encoding of `c` (a Unicode scalar value).
void append_utf8(std::string& out, char32_t c);

// True for the characters that {:?} shows unchanged (apart from the quote
// and backslash escapes).
bool is_printable(char32_t c);

}  // namespace velnor::text
