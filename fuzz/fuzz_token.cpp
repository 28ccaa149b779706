// Token text: whatever parses must serialize and parse back to an equal
// record, and the re-serialized token must be a fixed point. Parsing must
// also agree with the general JSON reader on every decodable text, since
// tokens in the writer's own form are read without it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/capability.hpp"
#include "core/internal/base64url.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 18) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto cap = velnor::Capability::parse(text);
  if (auto decoded = velnor::base64url::decode(text)) {
    const std::string_view json(reinterpret_cast<const char*>(decoded->data()), decoded->size());
    auto general = velnor::json::read_capability(json);
    if (general.has_value() != cap.has_value()) __builtin_trap();
    if (general && !(*general == *cap)) __builtin_trap();
  }
  if (!cap) {
    (void)cap.error().display();
    return 0;
  }
  const std::string token = cap->serialize();
  auto again = velnor::Capability::parse(token);
  if (!again || !(*again == *cap)) __builtin_trap();
  if (again->serialize() != token) __builtin_trap();
  return 0;
}
