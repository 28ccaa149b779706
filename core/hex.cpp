#include "core/hex.hpp"

#include "core/internal/hex_codec.hpp"

namespace velnor {

void hex_write(char* out, std::span<const std::uint8_t> bytes) { hex::write(out, bytes); }

void hex_append(std::string& out, std::span<const std::uint8_t> bytes) { hex::append(out, bytes); }

std::string hex_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  hex::append(out, bytes);
  return out;
}

std::expected<Bytes, std::string_view> hex_decode(std::string_view text) { return hex::decode(text); }

}  // namespace velnor
