// What a shared nonce store costs. Side by side in one run against one
// private redis-server (started here on a unix socket and a free port of
// 127.0.0.1, stopped at exit): a claim against a bare PING through the same
// store and connection pool (the floor: one round trip), over TCP and over
// the unix socket; and verify_with_proof with a MemoryNonceStore against one
// with a RedisNonceStore, whose difference should be that one round trip.
// Threads(4) shows the pool under contention (items_per_second is per run).
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/audit.hpp"
#include "core/context.hpp"
#include "core/issuer.hpp"
#include "core/nonce_store.hpp"
#include "core/proof.hpp"
#include "core/redis_nonce_store.hpp"
#include "core/verifier.hpp"
#include "tests/core/free_port.hpp"

extern char** environ;

namespace velnor {
namespace {

constexpr std::string_view kRoot = "root-key-of-the-issuing-service";
constexpr std::string_view kAudience = "gateway-eu-1";

using test_support::free_port;

// The private server, for the whole run.
struct Server {
  pid_t pid = -1;
  std::filesystem::path dir;
  std::string tcp_url, unix_url;

  Server() {
    char tmpl[] = "/tmp/velnor-redis-bench-XXXXXX";
    dir = ::mkdtemp(tmpl);
    const std::string sock = (dir / "redis.sock").string();
    const std::string port = std::to_string(free_port());
    const std::string d = dir.string();
    std::vector<std::string> args = {"redis-server", "--bind", "127.0.0.1", "--port", port,
                                     "--unixsocket", sock, "--save", "", "--appendonly", "no",
                                     "--dir", d, "--logfile", (dir / "log").string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid, "redis-server", nullptr, nullptr, argv.data(), environ) != 0) std::abort();
    tcp_url = "redis://127.0.0.1:" + port;
    unix_url = "unix://" + sock;
    auto probe = *RedisNonceStore::create(unix_url, "p:", 1000);
    for (int i = 0; i < 500 && !probe->ping(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ~Server() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Server& server() {
  static Server s;
  return s;
}

std::shared_ptr<RedisNonceStore> store_for(bool tcp) {
  static std::shared_ptr<RedisNonceStore> stores[2];
  auto& s = stores[tcp ? 1 : 0];
  if (!s) s = *RedisNonceStore::create(tcp ? server().tcp_url : server().unix_url, "velnor:bench:", 1000);
  return s;
}

std::uint64_t wall_ms() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

void BM_Ping(benchmark::State& state) {
  auto store = store_for(state.range(0) != 0);
  for (auto _ : state) {
    if (!store->ping()) {
      state.SkipWithError("PING failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

std::atomic<std::uint64_t> next_key{0};

void BM_Claim(benchmark::State& state) {
  auto store = store_for(state.range(0) != 0);
  const std::uint64_t expires = wall_ms() + 300'000;
  NonceKey key{};
  key[31] = static_cast<std::uint8_t>(state.thread_index());
  for (auto _ : state) {
    const std::uint64_t n = next_key.fetch_add(1, std::memory_order_relaxed);
    std::memcpy(key.data(), &n, sizeof n);
    if (store->claim(key, expires, 0).kind != NonceClaim::Kind::Fresh) {
      state.SkipWithError("claim was not fresh");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// range(0): 0 unix socket, 1 TCP.
BENCHMARK(BM_Ping)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_Claim)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_Claim)->Arg(0)->Threads(4)->UseRealTime();

struct ProofFixture {
  std::array<std::uint8_t, 32> seed{9, 8, 7};
  HolderKey holder = *HolderKey::from_seed(seed);
  Capability bound = [this] {
    auto b = *Issuer::from_key(crypto::as_bytes(kRoot)).issue("cap-bench").holder_of_key(holder.public_key());
    return std::move(b).caveat(R"(tool == "search")").build();
  }();
  Auditor auditor = *Auditor::create(crypto::as_bytes(std::string_view("audit-key-of-the-verifier")));
};

// range(0): 0 memory store, 1 Redis over the unix socket, 2 Redis over TCP.
// Proofs are made in batches outside the timed region, for the call's own
// current time (so the Redis keys live, as they would in service).
void BM_VerifyWithProof(benchmark::State& state) {
  static const ProofFixture f;
  std::shared_ptr<NonceStore> store;
  if (state.range(0) == 0) store = *MemoryNonceStore::create(16'000'000);
  else store = store_for(state.range(0) == 2);
  const Verifier gateway = Verifier::create(crypto::as_bytes(kRoot))
                               .with_audience(std::string(kAudience))
                               .with_nonce_store(store);
  const std::string ctx_json = R"({"caller":"agent-1","tool":"search","args":{"limit":10},"nowMs":)" +
                               std::to_string(wall_ms()) + "}";
  const Context ctx = into_context(std::move(*read_ctx_in(ctx_json)));
  constexpr std::size_t kBatch = 2048;
  std::vector<std::string> proofs;
  std::size_t next = kBatch;
  for (auto _ : state) {
    if (next == kBatch) {
      state.PauseTiming();
      proofs.clear();
      for (std::size_t i = 0; i < kBatch; ++i) proofs.push_back(*f.holder.prove(f.bound, ctx, kAudience));
      next = 0;
      state.ResumeTiming();
    }
    auto r = gateway.verify_with_proof(f.bound, ctx, proofs[next++], f.auditor);
    if (!r || r->outcome.kind != Outcome::Kind::Allowed) {
      state.SkipWithError("proof was not accepted");
      break;
    }
    benchmark::DoNotOptimize(r->signature.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_VerifyWithProof)->Arg(0)->Arg(1)->Arg(2)->UseRealTime();

}  // namespace
}  // namespace velnor
