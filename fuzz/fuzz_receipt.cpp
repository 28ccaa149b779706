// Receipt JSON: read, verify under a fixed audit key, and check that what
// was read is written back and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/audit.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 18) return 0;
  static const auto auditor =
      velnor::Auditor::create(velnor::crypto::as_bytes("fuzz-audit-key-0123456789"));
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto receipt = velnor::Receipt::from_json(text);
  if (!receipt) return 0;
  auto verdict = auditor->verify(*receipt);
  if (!verdict) (void)verdict.error().display();

  const std::string json = receipt->to_json();
  auto again = velnor::Receipt::from_json(json);
  if (!again || !(*again == *receipt) || again->to_json() != json) __builtin_trap();
  return 0;
}
