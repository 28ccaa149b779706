// Lowercase hexadecimal, two digits per byte, high nibble first: the one
// digit table every writer of hex shares, and the strict decoder.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velnor::hex {

inline constexpr char kDigits[] = "0123456789abcdef";

// Writes 2 * bytes.size() digits at `out`.
void write(char* out, std::span<const std::uint8_t> bytes);
void append(std::string& out, std::span<const std::uint8_t> bytes);

// Accepts either case. Fails with "hex string has odd length" or
// "invalid digit found in string" (any non-hex byte, non-ASCII included).
std::expected<std::vector<std::uint8_t>, std::string_view> decode(std::string_view text);

}  // namespace velnor::hex
