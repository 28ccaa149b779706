// Unpadded base64url (RFC 4648 section 5), decoded strictly: the alphabet
// only, no padding, zero unused bits in the last symbol. Each byte string
// therefore has exactly one accepted encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velnor {

// Why a token is not canonical unpadded base64url.
struct Base64Error {
  enum class Kind : std::uint8_t { InvalidPadding, InvalidSymbol, InvalidLength, InvalidLastSymbol };
  Kind kind = Kind::InvalidSymbol;
  std::uint8_t symbol = 0;  // InvalidSymbol, InvalidLastSymbol
  std::size_t offset = 0;   // InvalidSymbol, InvalidLastSymbol: byte offset;
                            // InvalidLength: the input length

  // "Invalid padding", "Invalid symbol 43, offset 5.",
  // "Invalid input length: 5", "Invalid last symbol 66, offset 2."
  std::string display() const;
  bool operator==(const Base64Error&) const = default;
};

}  // namespace velnor

namespace velnor::base64url {

void encode_append(std::string& out, std::span<const std::uint8_t> bytes);
std::string encode(std::span<const std::uint8_t> bytes);
std::expected<std::vector<std::uint8_t>, Base64Error> decode(std::string_view text);

}  // namespace velnor::base64url
