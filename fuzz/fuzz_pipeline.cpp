// The whole road of one verification: token text and context text in,
// receipt out, receipt checked again. The input is "<token>\0<context>".
// When the first part is not a token, its lines become the caveats of a
// capability minted under the verifier's own key, so the fuzzer reaches
// caveat evaluation and signing instead of stopping at the chain check.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/audit.hpp"
#include "core/capability.hpp"
#include "core/context.hpp"
#include "core/internal/quote.hpp"
#include "core/issuer.hpp"
#include "core/verifier.hpp"

namespace {

constexpr std::string_view kRootKey = "fuzz-root-key";
constexpr std::string_view kAuditKey = "fuzz-audit-key-0123456789";

velnor::Capability mint(std::string_view lines) {
  auto issuer = velnor::Issuer::from_key(velnor::crypto::as_bytes(kRootKey));
  auto builder = issuer.issue("fuzz");
  while (!lines.empty()) {
    std::size_t nl = lines.find('\n');
    std::string_view line = lines.substr(0, nl);
    builder = std::move(builder).caveat(std::string(line));
    lines = nl == std::string_view::npos ? std::string_view() : lines.substr(nl + 1);
  }
  return std::move(builder).build();
}

// Identifiers and predicates are text: the binding hands over only valid
// UTF-8, and a token with anything else would not read back.
bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    auto c = velnor::text::decode_utf8(s, i);
    if (!c.valid) return false;
    i += c.len;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 18) return 0;
  static const auto verifier = velnor::Verifier::create(velnor::crypto::as_bytes(kRootKey));
  static const auto auditor = velnor::Auditor::create(velnor::crypto::as_bytes(kAuditKey));

  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::size_t cut = all.find('\0');
  std::string_view first = all.substr(0, cut);
  std::string_view ctx_text =
      cut == std::string_view::npos ? std::string_view(R"({"nowMs":0,"caller":"a","tool":"t","args":{}})")
                                    : all.substr(cut + 1);

  auto parsed = velnor::Capability::parse(first);
  if (!parsed && !valid_utf8(first)) return 0;
  velnor::Capability cap = parsed ? std::move(*parsed) : mint(first);

  auto in = velnor::read_ctx_in(ctx_text);
  if (!in) return 0;
  if (!in->now_ms) in->now_ms = 1700000000000;
  velnor::Context ctx = velnor::into_context(std::move(*in));

  auto receipt = verifier.verify_with_context(cap, ctx, *auditor);
  if (!receipt) {
    if (!parsed) __builtin_trap();  // a capability we minted must pass the chain
    return 0;
  }
  auto back = velnor::Receipt::from_json(receipt->to_json());
  if (!back || !(*back == *receipt) || !auditor->verify(*back)) __builtin_trap();
  return 0;
}
