// One whole verification of a typical capability, next to the bare hashing
// it cannot avoid, so the overhead of everything else (parsing caveats,
// evaluating them, building and writing the receipt) shows as the ratio of
// the two in one run on one machine.
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>

#include "core/audit.hpp"
#include "core/context.hpp"
#include "core/issuer.hpp"
#include "core/verifier.hpp"

namespace velnor {
namespace {

constexpr std::string_view kRoot = "root-key-of-the-issuing-service";
constexpr std::string_view kAuditKey = "audit-key-of-the-verifier";
constexpr std::string_view kIdentifier = "cap-7f3a9c";
constexpr std::string_view kCaveats[] = {"now <= @2030-01-01T00:00:00Z", R"(tool == "search")",
                                         "arg.limit <= 50"};

// The context the Python binding receives for the typical call.
constexpr std::string_view kContextJson =
    R"({"nowMs":1700000000000,"caller":"agent-1","tool":"search",)"
    R"("args":{"query":"weather in Paris","limit":10}})";

struct Fixture {
  Verifier verifier = Verifier::create(crypto::as_bytes(kRoot));
  Auditor auditor = *Auditor::create(crypto::as_bytes(kAuditKey));
  Capability cap;
  Context ctx;

  Fixture() {
    CapabilityBuilder b = Issuer::from_key(crypto::as_bytes(kRoot)).issue(std::string(kIdentifier));
    for (auto c : kCaveats) b = std::move(b).caveat(std::string(c));
    cap = std::move(b).build();
    ctx.caller = "agent-1";
    ctx.tool = "search";
    ctx.now = Instant::from_unix_ms(1700000000000);
    ctx.args = JsonValue::object({{"query", JsonValue::string("weather in Paris")},
                                  {"limit", JsonValue::number("10")}});
  }
};

void BM_VerifyWithContext(benchmark::State& state) {
  const Fixture f;
  for (auto _ : state) {
    auto receipt = f.verifier.verify_with_context(f.cap, f.ctx, f.auditor);
    if (!receipt || receipt->outcome.kind != Outcome::Kind::Allowed) {
      state.SkipWithError("typical capability was not allowed");
      break;
    }
    benchmark::DoNotOptimize(receipt);
  }
}
BENCHMARK(BM_VerifyWithContext);

// What the Python binding does per call: read the context JSON, verify, and
// write the receipt text into a reused buffer.
void BM_VerifyFromJson(benchmark::State& state) {
  const Fixture f;
  std::string out;
  for (auto _ : state) {
    auto in = read_ctx_in(kContextJson);
    if (!in) {
      state.SkipWithError("context did not read");
      break;
    }
    const Context ctx = into_context(std::move(*in));
    auto receipt = f.verifier.verify_with_context(f.cap, ctx, f.auditor);
    if (!receipt || receipt->outcome.kind != Outcome::Kind::Allowed) {
      state.SkipWithError("typical capability was not allowed");
      break;
    }
    out.clear();
    receipt->write_json(out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_VerifyFromJson);

// The same, written straight to text without the Receipt record, which is
// the path the Python binding takes.
void BM_VerifyFromJsonToText(benchmark::State& state) {
  const Fixture f;
  std::string out;
  for (auto _ : state) {
    auto in = read_ctx_in(kContextJson);
    if (!in) {
      state.SkipWithError("context did not read");
      break;
    }
    const Context ctx = into_context(std::move(*in));
    out.clear();
    if (!f.verifier.verify_with_context_json(f.cap, ctx, f.auditor, out)) {
      state.SkipWithError("chain did not check out");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_VerifyFromJsonToText);

// The floor: the root step under the root key's prepared states, three
// links with keys used once, the comparison with the token's signature,
// SHA-256 of the canonical arguments, and the receipt HMAC under a key
// prepared once. The same hashing as the Python harness's floor, through
// this library's own hash calls.
void BM_HashingFloor(benchmark::State& state) {
  const Fixture f;
  std::string canonical;
  write_canonical(f.ctx.args, canonical);
  const std::string input = *signing_input(f.auditor.sign(f.cap, f.ctx, Outcome::allowed()));
  const crypto::HmacKey root_key(crypto::as_bytes(kRoot));
  const crypto::HmacKey receipt_key(crypto::as_bytes(kAuditKey));
  for (auto _ : state) {
    crypto::Digest link = root_key.sign(crypto::as_bytes(kIdentifier));
    for (auto c : kCaveats) link = crypto::hmac_sha256(link.span(), crypto::as_bytes(c));
    benchmark::DoNotOptimize(crypto::constant_time_equal(link.span(), f.cap.signature));
    const crypto::Digest args = crypto::sha256(crypto::as_bytes(canonical));
    const crypto::Digest sig = receipt_key.sign(crypto::as_bytes(input));
    benchmark::DoNotOptimize(args);
    benchmark::DoNotOptimize(sig);
  }
}
BENCHMARK(BM_HashingFloor);

// The parts of the pipeline on their own, to see where time goes.
void BM_ChainOnly(benchmark::State& state) {
  const Fixture f;
  for (auto _ : state) benchmark::DoNotOptimize(f.verifier.verify(f.cap));
}
BENCHMARK(BM_ChainOnly);

void BM_EvaluateAll(benchmark::State& state) {
  const Fixture f;
  for (auto _ : state) benchmark::DoNotOptimize(evaluate_all(f.cap.caveats, f.ctx));
}
BENCHMARK(BM_EvaluateAll);

void BM_AuditorSign(benchmark::State& state) {
  const Fixture f;
  for (auto _ : state) benchmark::DoNotOptimize(f.auditor.sign(f.cap, f.ctx, Outcome::allowed()));
}
BENCHMARK(BM_AuditorSign);

void BM_ReceiptToJson(benchmark::State& state) {
  const Fixture f;
  const Receipt r = f.auditor.sign(f.cap, f.ctx, Outcome::allowed());
  for (auto _ : state) benchmark::DoNotOptimize(r.to_json());
}
BENCHMARK(BM_ReceiptToJson);

}  // namespace
}  // namespace velnor
