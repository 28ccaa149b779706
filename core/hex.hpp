// Lowercase hexadecimal, two digits per byte, high nibble first.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velnor {

using Bytes = std::vector<std::uint8_t>;

std::string hex_encode(std::span<const std::uint8_t> bytes);
void hex_append(std::string& out, std::span<const std::uint8_t> bytes);
// Writes 2 * bytes.size() digits at `out`.
void hex_write(char* out, std::span<const std::uint8_t> bytes);

// Accepts either case. Fails with "hex string has odd length" or
// "invalid digit found in string" (any non-hex byte, non-ASCII included).
std::expected<Bytes, std::string_view> hex_decode(std::string_view text);

}  // namespace velnor
