// The token life cycle as an issuing service and a holder see it.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core/capability.hpp"
#include "core/issuer.hpp"

namespace {

const std::vector<std::uint8_t> kRoot(32, 0x42);

velnor::Capability typical() {
  return velnor::Issuer::from_key(kRoot)
      .issue("agent-7f3a/session-19")
      .caveat("now <= @2030-01-01T00:00:00Z")
      .caveat("tool == \"search\"")
      .caveat("arg.limit <= 50")
      .build();
}

void BM_IssueThreeCaveatsSerialize(benchmark::State& state) {
  const velnor::Issuer issuer = velnor::Issuer::from_key(kRoot);
  for (auto _ : state) {
    velnor::Capability cap = issuer.issue("agent-7f3a/session-19")
                                 .caveat("now <= @2030-01-01T00:00:00Z")
                                 .caveat("tool == \"search\"")
                                 .caveat("arg.limit <= 50")
                                 .build();
    benchmark::DoNotOptimize(cap.serialize());
  }
}
BENCHMARK(BM_IssueThreeCaveatsSerialize);

void BM_Serialize(benchmark::State& state) {
  const velnor::Capability cap = typical();
  for (auto _ : state) benchmark::DoNotOptimize(cap.serialize());
}
BENCHMARK(BM_Serialize);

void BM_Parse(benchmark::State& state) {
  const std::string token = typical().serialize();
  state.SetLabel(std::to_string(token.size()) + "-byte token");
  for (auto _ : state) benchmark::DoNotOptimize(velnor::Capability::parse(token));
}
BENCHMARK(BM_Parse);

void BM_Attenuate(benchmark::State& state) {
  const velnor::Capability cap = typical();
  for (auto _ : state) {
    velnor::Capability copy = cap;
    benchmark::DoNotOptimize(std::move(copy).attenuate("arg.limit <= 10"));
  }
}
BENCHMARK(BM_Attenuate);

// Linear growth check: time per caveat should stay flat as the count grows.
void BM_ParseManyCaveats(benchmark::State& state) {
  auto b = velnor::Issuer::from_key(kRoot).issue("big");
  for (int i = 0; i < state.range(0); ++i) b = std::move(b).caveat("arg.n <= " + std::to_string(i));
  const std::string token = std::move(b).build().serialize();
  for (auto _ : state) benchmark::DoNotOptimize(velnor::Capability::parse(token));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseManyCaveats)->Range(100, 10000)->Complexity(benchmark::oN);

}  // namespace
