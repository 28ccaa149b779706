// Token text: whatever parses must serialize and parse back to an equal
// record, and the re-serialized token must be a fixed point.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/capability.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 18) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto cap = velnor::Capability::parse(text);
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
