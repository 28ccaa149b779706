// The Redis store without a Redis: URL forms, and a peer that closes every
// connection, in a process that, unlike Python, does not ignore SIGPIPE.
// The real-server tests are in tests/python/test_redis_store.py.
#include "core/redis_nonce_store.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/core/free_port.hpp"

namespace velnor {
namespace {

TEST(RedisUrl, Forms) {
  struct Case {
    std::string_view url;
    std::string_view where;  // empty: refused
    std::uint32_t db;
    std::string_view user, password;
  };
  const Case cases[] = {
      {"redis://localhost", "localhost:6379", 0, "", ""},
      {"redis://h:7000/12", "h:7000", 12, "", ""},
      {"redis://[::1]:7000", "[::1]:7000", 0, "", ""},
      {"redis://:p%40%3as@h", "h:6379", 0, "", "p@:s"},
      {"redis://gw:pw@h/3", "h:6379", 3, "gw", "pw"},
      {"redis://a:b@c@h", "h:6379", 0, "a", "b@c"},
      {"unix:///run/r.sock?db=2", "/run/r.sock", 2, "", ""},
      {"unix://:pw@/run/r.sock", "/run/r.sock", 0, "", "pw"},
      {"redis://h:65536", "", 0, "", ""},
      {"redis://h/4294967296", "", 0, "", ""},
      {"redis://h:+1", "", 0, "", ""},
      {"redis://:%4@h", "", 0, "", ""},
      {"unix://", "", 0, "", ""},
      {"tcp://h", "", 0, "", ""},
  };
  for (const Case& c : cases) {
    auto a = parse_redis_url(c.url);
    if (c.where.empty()) {
      ASSERT_FALSE(a.has_value()) << c.url;
      EXPECT_TRUE(a.error().starts_with("invalid Redis URL: ")) << a.error();
      continue;
    }
    ASSERT_TRUE(a.has_value()) << c.url << ": " << a.error();
    EXPECT_EQ(a->where(), c.where);
    EXPECT_EQ(a->db, c.db);
    EXPECT_EQ(a->user, c.user);
    EXPECT_EQ(std::string(a->password.begin(), a->password.end()), c.password);
    EXPECT_EQ(a->has_password, !c.password.empty());
  }
}

// Accepts connections on 127.0.0.1, reads a little, and closes them.
class ClosingPeer {
 public:
  ClosingPeer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd_, 16), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        char buf[64];
        (void)::recv(c, buf, sizeof buf, 0);
        ::close(c);
      }
    });
  }
  ~ClosingPeer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(RedisNonceStore, PeerClosingEveryConnectionIsUnavailableNeverFresh) {
  ClosingPeer peer;
  auto store = RedisNonceStore::create("redis://127.0.0.1:" + std::to_string(peer.port()), "p:", 500);
  ASSERT_TRUE(store.has_value());
  const NonceKey key{};
  for (int i = 0; i < 20; ++i) {
    const NonceClaim c = (*store)->claim(key, 1, 0);
    EXPECT_EQ(c.kind, NonceClaim::Kind::Unavailable);
    EXPECT_TRUE(c.reason == "connection closed by the server" || c.reason.starts_with("connection lost: "))
        << c.reason;
  }
  EXPECT_EQ((*store)->idle_connections(), 0u);
}

TEST(RedisNonceStore, NothingListeningIsUnavailable) {
  // A port that was free a moment ago; nothing listens on it.
  const int port = test_support::free_port();
  auto store = *RedisNonceStore::create("redis://127.0.0.1:" + std::to_string(port));
  const NonceClaim c = store->claim(NonceKey{}, 1, 0);
  EXPECT_EQ(c.kind, NonceClaim::Kind::Unavailable);
  EXPECT_EQ(c.reason, "cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused");
  EXPECT_FALSE(store->ping().has_value());
  EXPECT_EQ(RedisNonceStore::create("redis://h", "p", 0).error(), "timeout_ms must be between 1 and 3600000");
}

}  // namespace
}  // namespace velnor
