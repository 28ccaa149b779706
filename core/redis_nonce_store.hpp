// A nonce store that many gateway processes share: each claim is one Redis
// round trip, SET <prefix><hex key> 1 NX PXAT <expiry ms>, through hiredis.
// The expiry is absolute, so every gateway and the server agree on when a
// nonce lapses whatever each gateway's own clock says; the server's clock
// decides when the key goes away.
//
// Fails closed: a refused or dropped connection, a timeout, an error reply
// or a reply of any unexpected type is an Unavailable claim (the verifier
// then denies), never Fresh. No claim takes longer than the timeout: the
// connection (when one is needed), authentication, database selection and
// the command share one deadline, and every wait is a poll() bounded by it.
// Name resolution of a host name is the one step the deadline cannot bound;
// give an address where that matters.
//
// Connections are pooled: a claim takes an idle connection or opens one (at
// most one connection attempt per claim, so a server that is down is not
// hammered), and gives it back only after a complete, well-formed exchange.
// A connection that saw any fault is closed, as is an idle one the server
// has closed meanwhile (found before it is used, so a restarted server costs
// no denial). Thread-safe; one store may serve many verifiers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/internal/secret.hpp"
#include "core/nonce_store.hpp"

struct redisContext;

namespace velnor {

// Where the store connects, from one of the two URL forms
//   redis://[[user]:password@]host[:port][/db]   (port 6379, db 0 by default)
//   unix://[[user]:password@]/path/to.sock[?db=N]
// A host may be a name, an IPv4 address or a bracketed IPv6 address. The
// user name and password are percent-decoded; the user name selects an ACL
// user (without one, AUTH authenticates the default user).
struct RedisAddress {
  enum class Kind : std::uint8_t { Tcp, Unix };
  Kind kind = Kind::Tcp;
  std::string host;  // Tcp
  int port = 6379;   // Tcp
  std::string path;  // Unix
  std::uint32_t db = 0;
  std::string user;
  SecretBytes password;  // wiped on free
  bool has_password = false;

  // "host:port" or the socket path, for messages; never the credentials.
  std::string where() const;
};

// Refuses every other form with "invalid Redis URL: {}" saying what is
// wrong; the message never repeats the URL, which may hold a password.
std::expected<RedisAddress, std::string> parse_redis_url(std::string_view url);

class RedisNonceStore final : public NonceStore {
 public:
  static constexpr std::string_view kDefaultPrefix = "velnor:nonce:";
  static constexpr std::uint32_t kDefaultTimeoutMs = 50;
  static constexpr std::uint32_t kMaxTimeoutMs = 3'600'000;
  // Idle connections kept for reuse; more threads than this still work,
  // the extra connections are closed after their claim.
  static constexpr std::size_t kMaxIdle = 16;

  // Validates the URL and the timeout ("timeout_ms must be between 1 and
  // 3600000"); does not connect, so a gateway can start while the server is
  // briefly away (its claims are denied until it is back).
  static std::expected<std::shared_ptr<RedisNonceStore>, std::string> create(
      std::string_view url, std::string prefix = std::string(kDefaultPrefix),
      std::uint32_t timeout_ms = kDefaultTimeoutMs);

  NonceClaim claim(const NonceKey& key, std::uint64_t expires_at_ms,
                   std::uint64_t now_ms) noexcept override;
  // One PING through the pool, under the same deadline: a health check, and
  // the baseline a claim is measured against. The error is the reason a
  // claim would give.
  std::expected<void, std::string> ping() noexcept;

  const std::string& prefix() const { return prefix_; }
  std::uint32_t timeout_ms() const { return timeout_ms_; }
  // Idle connections held right now.
  std::size_t idle_connections() const;

  RedisNonceStore(RedisAddress address, std::string prefix, std::uint32_t timeout_ms);
  ~RedisNonceStore() override;
  RedisNonceStore(const RedisNonceStore&) = delete;
  RedisNonceStore& operator=(const RedisNonceStore&) = delete;

 private:
  using Clock = std::chrono::steady_clock;
  struct ContextFree {
    void operator()(redisContext* c) const noexcept;
  };
  using Connection = std::unique_ptr<redisContext, ContextFree>;
  struct Reply;

  // An idle connection that still looks usable, or a new one.
  std::expected<Connection, std::string> acquire(Clock::time_point deadline);
  std::expected<Connection, std::string> connect(Clock::time_point deadline);
  void release(Connection c);
  // Sends one command and reads its one reply before `deadline`. Any
  // failure leaves the connection unusable.
  std::expected<Reply, std::string> exchange(redisContext& c, std::span<const std::string_view> argv,
                                             Clock::time_point deadline, bool secret = false);
  // acquire, exchange, release: what claim and ping share.
  std::expected<Reply, std::string> command(std::span<const std::string_view> argv);

  const RedisAddress address_;
  const std::string prefix_;
  const std::uint32_t timeout_ms_;
  mutable std::mutex mu_;
  std::vector<Connection> idle_;
};

}  // namespace velnor
