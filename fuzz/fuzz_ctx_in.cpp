// Context JSON: read, convert, hash the arguments, and check that the
// canonical text is stable (writing it, reading it back as arguments, and
// writing again gives the same bytes).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/context.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 18) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto in = velnor::read_ctx_in(text);
  if (!in) return 0;
  if (!in->now_ms) in->now_ms = 0;  // keep runs deterministic
  velnor::Context ctx = velnor::into_context(std::move(*in));
  if (ctx.args_hash().size() != 64) __builtin_trap();

  std::string canon;
  velnor::write_canonical(ctx.args, canon);
  std::string doc = R"({"nowMs":0,"caller":"","tool":"","args":)" + canon + "}";
  auto back = velnor::read_ctx_in(doc);
  // Canonical text of args that were read within the depth budget is
  // always readable again at the same depth.
  if (!back) __builtin_trap();
  std::string canon2;
  velnor::write_canonical(back->args, canon2);
  if (canon2 != canon || !(back->args == ctx.args)) __builtin_trap();
  return 0;
}
