// Reading a small context and hashing its arguments: both run on every
// verification.
#include <benchmark/benchmark.h>

#include <string>

#include "core/context.hpp"

namespace {

constexpr std::string_view kCtx =
    R"({"nowMs":1700000000000,"caller":"agent-1","tool":"search","args":{"query":"weather in Paris","limit":10}})";

void BM_ReadCtxIn(benchmark::State& state) {
  for (auto _ : state) {
    auto in = velnor::read_ctx_in(kCtx);
    benchmark::DoNotOptimize(in);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCtx.size()));
}
BENCHMARK(BM_ReadCtxIn);

// What a verification does with the text before any hashing.
void BM_ReadIntoContext(benchmark::State& state) {
  for (auto _ : state) {
    auto in = velnor::read_ctx_in(kCtx);
    velnor::Context ctx = velnor::into_context(std::move(*in));
    benchmark::DoNotOptimize(ctx);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCtx.size()));
}
BENCHMARK(BM_ReadIntoContext);

void BM_ArgsHash(benchmark::State& state) {
  auto in = velnor::read_ctx_in(R"({"caller":"a","tool":"t","args":{"query":"weather in Paris","limit":10}})");
  const velnor::Context ctx = velnor::into_context(std::move(*in));
  for (auto _ : state) {
    std::string h = ctx.args_hash();
    benchmark::DoNotOptimize(h);
  }
}
BENCHMARK(BM_ArgsHash);

// An unknown member nested far deeper than one parser run reaches.
void BM_ReadCtxInDeepUnknownMember(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string text = R"({"caller":"a","tool":"t","args":1,"zz":)" + std::string(n, '[') + std::string(n, ']') + "}";
  for (auto _ : state) {
    auto in = velnor::read_ctx_in(text);
    benchmark::DoNotOptimize(in);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadCtxInDeepUnknownMember)->Arg(1000)->Arg(100'000);

}  // namespace
