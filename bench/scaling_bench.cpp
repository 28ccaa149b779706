// Cost against input size for the inputs an attacker controls. Google
// Benchmark fits each family to a complexity curve (the "BigO" and "RMS"
// rows): every one of these should come out O(N).
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/audit.hpp"
#include "core/capability.hpp"
#include "core/caveat_dsl.hpp"
#include "core/context.hpp"
#include "core/issuer.hpp"
#include "core/verifier.hpp"

namespace velnor {
namespace {

constexpr std::string_view kRoot = "scaling-root-key";

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

void BM_ParseAndChain(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string pred = repeat("a == 1 AND ", n) + "a == 1";
  for (auto _ : state) benchmark::DoNotOptimize(parse(pred));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseAndChain)->RangeMultiplier(8)->Range(64, 1 << 18)->Complexity(benchmark::oN);

void BM_EvalAndChain(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  auto ctx = into_context(*read_ctx_in(R"({"nowMs":0,"caller":"a","tool":"t","args":{"a":1}})"));
  const Expr e = *parse(repeat("arg.a == 1 AND ", n) + "arg.a == 1");
  for (auto _ : state) benchmark::DoNotOptimize(eval_expr(e, ctx));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_EvalAndChain)->RangeMultiplier(8)->Range(64, 1 << 18)->Complexity(benchmark::oN);

void BM_SkipDeepUnknownMember(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string doc = R"({"x":)" + std::string(n, '[') + std::string(n, ']') +
                          R"(,"caller":"a","tool":"t","args":{}})";
  for (auto _ : state) benchmark::DoNotOptimize(read_ctx_in(doc));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SkipDeepUnknownMember)->RangeMultiplier(8)->Range(64, 1 << 18)->Complexity(benchmark::oN);

void BM_TokenWithCaveats(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  CapabilityBuilder b = Issuer::from_key(crypto::as_bytes(kRoot)).issue("cap");
  for (std::size_t i = 0; i < n; ++i) b = std::move(b).caveat(R"(tool == "search")");
  const std::string token = std::move(b).build().serialize();
  for (auto _ : state) benchmark::DoNotOptimize(Capability::parse(token));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_TokenWithCaveats)->RangeMultiplier(8)->Range(8, 1 << 15)->Complexity(benchmark::oN);

void BM_VerifyWithCaveats(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  CapabilityBuilder b = Issuer::from_key(crypto::as_bytes(kRoot)).issue("cap");
  for (std::size_t i = 0; i < n; ++i) b = std::move(b).caveat(R"(tool == "search")");
  const Capability cap = std::move(b).build();
  const Verifier verifier = Verifier::create(crypto::as_bytes(kRoot));
  const Auditor auditor = *Auditor::create(crypto::as_bytes("scaling-audit-key-0123"));
  const Context ctx = into_context(*read_ctx_in(R"({"nowMs":0,"caller":"a","tool":"search","args":{}})"));
  for (auto _ : state) benchmark::DoNotOptimize(verifier.verify_with_context(cap, ctx, auditor));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_VerifyWithCaveats)->RangeMultiplier(10)->Range(1, 1000)->Complexity(benchmark::oN);

void BM_ArgsHashOfSize(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Context ctx = into_context(
      *read_ctx_in(R"({"nowMs":0,"caller":"a","tool":"t","args":{"blob":")" + std::string(n, 'x') + R"("}})"));
  for (auto _ : state) benchmark::DoNotOptimize(ctx.args_hash());
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_ArgsHashOfSize)->RangeMultiplier(10)->Range(100, 1000000)->Complexity(benchmark::oN);

}  // namespace
}  // namespace velnor
