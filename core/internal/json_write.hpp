// The one JSON string escaper: tokens, receipts, signing inputs and the
// canonical argument text all escape exactly the same set of characters.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velnor::json {

// Appends `s` as a JSON string literal, quotes included. Escapes only what
// RFC 8259 requires: '"' and '\\', the short forms \b \f \n \r \t, and
// \u00xx (lowercase hex) for the other characters below U+0020. Every other
// byte, '/', U+007F and non-ASCII included, is copied unchanged.
void append_string(std::string& out, std::string_view s);

// Appends the decimal digits of `v`.
void append_uint(std::string& out, unsigned long long v);

// Appends the bytes as a JSON string of lowercase hex digits.
void append_hex(std::string& out, std::span<const std::uint8_t> bytes);

}  // namespace velnor::json
