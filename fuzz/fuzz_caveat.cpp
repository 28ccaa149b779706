// Caveat predicates: parse, then evaluate against a fixed context that has
// every kind of argument value, so the evaluator's paths are reachable.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/caveat_dsl.hpp"
#include "core/context.hpp"

namespace {

const velnor::Context& fixed_context() {
  static const velnor::Context ctx = [] {
    auto in = velnor::read_ctx_in(
        R"({"nowMs":1700000000123,"caller":"agent-1","tool":"search",)"
        R"("args":{"limit":10,"f":1.5,"e":1E3,"big":1e400,"neg":-0,"s":"x\ny",)"
        R"("n":null,"b":true,"a":[1,2],"o":{"k":{"d":"deep"}}},"env":{"REGION":"eu"}})");
    if (!in) __builtin_trap();
    return velnor::into_context(std::move(*in));
  }();
  return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 16) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto expr = velnor::parse(text);
  if (!expr) {
    if (expr.error().kind != velnor::DslError::Kind::Parse) __builtin_trap();
    (void)expr.error().display();
    return 0;
  }
  auto result = velnor::eval_expr(*expr, fixed_context());
  if (!result) (void)result.error().display();
  return 0;
}
