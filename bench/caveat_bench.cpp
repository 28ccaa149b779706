#include <benchmark/benchmark.h>

#include <string>

#include "core/caveat_dsl.hpp"
#include "core/context.hpp"

namespace velnor {
namespace {

void BM_Parse(benchmark::State& state, const char* predicate) {
  for (auto _ : state) {
    auto e = parse(predicate);
    benchmark::DoNotOptimize(e);
    if (!e) state.SkipWithError("parse failed");
  }
}
BENCHMARK_CAPTURE(BM_Parse, tool_eq, "tool == \"search\"");
BENCHMARK_CAPTURE(BM_Parse, now_le_timestamp, "now <= @2030-01-01T00:00:00Z");
BENCHMARK_CAPTURE(BM_Parse, limit_and_caller,
                  "arg.limit <= 50 AND caller starts_with \"agent-\"");

Context small_context() {
  Context ctx;
  ctx.caller = "agent-42";
  ctx.tool = "search";
  ctx.now = Instant{1'750'000'000, 123'000'000};
  ctx.args = JsonValue::object({
      {"limit", JsonValue::number("20")},
      {"query", JsonValue::string("capability tokens")},
  });
  ctx.env = {{"region", "eu"}};
  return ctx;
}

// What the verifier does per caveat: parse afresh, then evaluate.
void BM_ParseEval(benchmark::State& state, const char* predicate) {
  const Context ctx = small_context();
  for (auto _ : state) {
    auto e = parse(predicate);
    if (!e) {
      state.SkipWithError("parse failed");
      break;
    }
    auto r = eval_expr(*e, ctx);
    if (!r || !*r) {
      state.SkipWithError("caveat did not hold");
      break;
    }
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK_CAPTURE(BM_ParseEval, now_le_timestamp, "now <= @2030-01-01T00:00:00Z");
BENCHMARK_CAPTURE(BM_ParseEval, tool_eq, "tool == \"search\"");
BENCHMARK_CAPTURE(BM_ParseEval, limit_le, "arg.limit <= 50");
// A context text too long for the small-string buffer.
BENCHMARK_CAPTURE(BM_ParseEval, query_matches, "arg.query matches \"tokens\"");

// Evaluation alone, on a tree parsed once.
void BM_Eval(benchmark::State& state, const char* predicate) {
  const Context ctx = small_context();
  const auto e = parse(predicate);
  if (!e) {
    state.SkipWithError("parse failed");
    return;
  }
  for (auto _ : state) {
    auto r = eval_expr(*e, ctx);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK_CAPTURE(BM_Eval, now_le_timestamp, "now <= @2030-01-01T00:00:00Z");
BENCHMARK_CAPTURE(BM_Eval, tool_eq, "tool == \"search\"");
BENCHMARK_CAPTURE(BM_Eval, limit_le, "arg.limit <= 50");
BENCHMARK_CAPTURE(BM_Eval, query_matches, "arg.query matches \"tokens\"");

void BM_ParseEvalThreeCaveats(benchmark::State& state) {
  const Context ctx = small_context();
  const char* caveats[] = {"now <= @2030-01-01T00:00:00Z", "tool == \"search\"",
                           "arg.limit <= 50"};
  for (auto _ : state) {
    for (const char* c : caveats) {
      auto e = parse(c);
      auto r = eval_expr(*e, ctx);
      benchmark::DoNotOptimize(r);
    }
  }
}
BENCHMARK(BM_ParseEvalThreeCaveats);

// Throughput on long input: a chain of n comparisons.
void BM_ParseChain(benchmark::State& state) {
  std::string s = "a == 1";
  for (std::int64_t i = 1; i < state.range(0); ++i) s += " AND a == 1";
  for (auto _ : state) {
    auto e = parse(s);
    benchmark::DoNotOptimize(e);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(s.size()));
}
BENCHMARK(BM_ParseChain)->Arg(1000)->Arg(100'000);

}  // namespace
}  // namespace velnor
