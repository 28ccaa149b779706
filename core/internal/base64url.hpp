// Unpadded base64url (RFC 4648 section 5), decoded strictly: the alphabet
// only, no padding, zero unused bits in the last symbol. Each byte string
// therefore has exactly one accepted encoding.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace velnor::base64url {

void encode_append(std::string& out, std::span<const std::uint8_t> bytes);
std::string encode(std::span<const std::uint8_t> bytes);
std::expected<std::vector<std::uint8_t>, Base64Error> decode(std::string_view text);

}  // namespace velnor::base64url
