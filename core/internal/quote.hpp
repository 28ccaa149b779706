// The {:?} quoting of messages and denial reasons: a text between double
// quotes or a character between single quotes, with backslash escapes for
// the enclosing quote, backslash, \n \r \t \0, and \u{h} for control and
// non-printable characters. Invalid UTF-8 never reaches the output raw:
// each byte that does not start a valid sequence becomes U+FFFD, as a lossy
// UTF-8 decoder would show it.
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

// Decodes one UTF-8 character at s[pos]. Returns the code point and its
// byte length (1 to 4). An invalid or truncated sequence yields U+FFFD with
// length 1, so callers always make progress.
struct DecodedChar {
  char32_t cp;
  std::size_t len;
};
DecodedChar decode_utf8(std::string_view s, std::size_t pos);

}  // namespace velnor::text
