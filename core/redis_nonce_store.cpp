#include "core/redis_nonce_store.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <hiredis/hiredis.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>

#include <openssl/crypto.h>

#include "core/hex.hpp"

namespace velnor {
namespace {

// A reply longer than this is not one of the few our commands can get; a
// server that sends more is not Redis as we know it, and reading it all
// would let it make us hold any amount of memory.
constexpr std::size_t kMaxReplyBytes = 64 * 1024;
// Server texts put into denial reasons are cut to this and kept to
// printable ASCII, so a hostile server can neither bloat receipts nor put
// bytes into them that are not UTF-8.
constexpr std::size_t kMaxQuotedBytes = 160;

std::unexpected<std::string> url_error(std::string_view why) {
  return std::unexpected("invalid Redis URL: " + std::string(why));
}

std::string printable(std::string_view text) {
  std::string out;
  const std::size_t n = std::min(text.size(), kMaxQuotedBytes);
  out.reserve(n + 3);
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    out.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
  }
  if (text.size() > n) out.append("...");
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding of the user information; `out` may be secret storage.
template <class Out>
bool percent_decode(std::string_view in, Out& out) {
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out.push_back(static_cast<typename Out::value_type>(in[i]));
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int hi = hex_value(in[i + 1]);
    const int lo = hex_value(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<typename Out::value_type>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

template <class T>
bool parse_decimal(std::string_view text, T& value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// The user information before the last '@' of the authority, if any.
std::expected<void, std::string> take_credentials(std::string_view& authority, RedisAddress& a) {
  const std::size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return {};
  const std::string_view info = authority.substr(0, at);
  authority.remove_prefix(at + 1);
  const std::size_t colon = info.find(':');
  if (colon == std::string_view::npos) {
    return url_error("credentials must be written user:password@ or :password@");
  }
  if (!percent_decode(info.substr(0, colon), a.user)) return url_error("bad percent escape in the user name");
  if (!percent_decode(info.substr(colon + 1), a.password)) return url_error("bad percent escape in the password");
  if (a.password.empty()) return url_error("empty password");
  a.has_password = true;
  return {};
}

std::expected<void, std::string> parse_db(std::string_view text, RedisAddress& a) {
  if (!parse_decimal(text, a.db) || a.db > static_cast<std::uint32_t>(std::numeric_limits<int>::max())) {
    return url_error("the database must be a number from 0 to 2147483647");
  }
  return {};
}

std::expected<void, std::string> parse_tcp(std::string_view rest, RedisAddress& a) {
  const std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (authority.find_first_of("?#") != std::string_view::npos || (slash != std::string_view::npos &&
      rest.substr(slash).find_first_of("?#") != std::string_view::npos)) {
    return url_error("redis:// URLs take no query or fragment");
  }
  if (auto ok = take_credentials(authority, a); !ok) return ok;
  std::string_view port_text;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return url_error("unclosed '[' in the host");
    a.host = std::string(authority.substr(1, close - 1));
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (!after.starts_with(':')) return url_error("unexpected text after the host");
      port_text = after.substr(1);
      if (port_text.empty()) return url_error("empty port");
    }
  } else {
    const std::size_t colon = authority.find(':');
    a.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      port_text = authority.substr(colon + 1);
      if (port_text.empty()) return url_error("empty port");
    }
  }
  if (a.host.empty()) return url_error("no host");
  if (a.host.find_first_of(" \t\r\n@[]/") != std::string::npos || a.host.find('\0') != std::string::npos) {
    return url_error("invalid character in the host");
  }
  if (!port_text.empty() && (!parse_decimal(port_text, a.port) || a.port < 1 || a.port > 65535)) {
    return url_error("the port must be a number from 1 to 65535");
  }
  if (slash != std::string_view::npos) {
    const std::string_view db = rest.substr(slash + 1);
    if (!db.empty()) return parse_db(db, a);
  }
  return {};
}

std::expected<void, std::string> parse_unix(std::string_view rest, RedisAddress& a) {
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return url_error("unix:// needs an absolute socket path");
  std::string_view authority = rest.substr(0, slash);
  rest.remove_prefix(slash);
  if (auto ok = take_credentials(authority, a); !ok) return ok;
  if (!authority.empty()) return url_error("unix:// takes no host; write unix:///path/to.sock");
  const std::size_t query = rest.find('?');
  a.path = std::string(rest.substr(0, query));
  if (a.path.size() < 2 || a.path.find('\0') != std::string::npos || a.path.find('#') != std::string::npos) {
    return url_error("unix:// needs an absolute socket path");
  }
  if (query != std::string_view::npos) {
    const std::string_view q = rest.substr(query + 1);
    if (!q.starts_with("db=")) return url_error("the only query parameter is db=N");
    return parse_db(q.substr(3), a);
  }
  return {};
}

}  // namespace

std::string RedisAddress::where() const {
  if (kind == Kind::Unix) return path;
  if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
  return host + ":" + std::to_string(port);
}

std::expected<RedisAddress, std::string> parse_redis_url(std::string_view url) {
  RedisAddress a;
  if (url.starts_with("redis://")) {
    a.kind = RedisAddress::Kind::Tcp;
    if (auto ok = parse_tcp(url.substr(8), a); !ok) return std::unexpected(std::move(ok.error()));
  } else if (url.starts_with("unix://")) {
    a.kind = RedisAddress::Kind::Unix;
    if (auto ok = parse_unix(url.substr(7), a); !ok) return std::unexpected(std::move(ok.error()));
  } else {
    return url_error("expected redis://[:password@]host[:port][/db] or unix:///path/to.sock[?db=N]");
  }
  return a;
}

// --- the store ------------------------------------------------------------------

struct RedisNonceStore::Reply {
  int type = 0;
  std::string text;  // status, error or string replies
};

void RedisNonceStore::ContextFree::operator()(redisContext* c) const noexcept { redisFree(c); }

RedisNonceStore::RedisNonceStore(RedisAddress address, std::string prefix, std::uint32_t timeout_ms)
    : address_(std::move(address)), prefix_(std::move(prefix)), timeout_ms_(timeout_ms) {}

RedisNonceStore::~RedisNonceStore() = default;

std::expected<std::shared_ptr<RedisNonceStore>, std::string> RedisNonceStore::create(
    std::string_view url, std::string prefix, std::uint32_t timeout_ms) {
  if (timeout_ms < 1 || timeout_ms > kMaxTimeoutMs) {
    return std::unexpected(std::string("timeout_ms must be between 1 and 3600000"));
  }
  auto address = parse_redis_url(url);
  if (!address) return std::unexpected(std::move(address.error()));
  return std::make_shared<RedisNonceStore>(*std::move(address), std::move(prefix), timeout_ms);
}

std::size_t RedisNonceStore::idle_connections() const {
  const std::lock_guard lock(mu_);
  return idle_.size();
}

namespace {

using Clock = std::chrono::steady_clock;

std::string timed_out(std::uint32_t timeout_ms) {
  return "timed out after " + std::to_string(timeout_ms) + " ms";
}

// Waits for `events` on `fd` until `deadline`. False on timeout; an error
// of poll itself is reported like one of the socket.
std::expected<bool, std::string> wait_for(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 3'600'000)));
    if (rc > 0) return true;
    if (rc == 0) continue;  // the deadline is rechecked above
    if (errno != EINTR) return std::unexpected(std::string("poll: ") + std::strerror(errno));
  }
}

// Whether an idle connection is still open: we never leave a request
// outstanding, so anything readable (data, end of stream, an error) means
// the server closed it or broke the protocol.
bool still_open(const redisContext& c) {
  pollfd p{c.fd, POLLIN, 0};
  return c.err == 0 && ::poll(&p, 1, 0) == 0;
}

timeval as_timeval(Clock::duration d) {
  const auto us = std::max<long long>(1, std::chrono::duration_cast<std::chrono::microseconds>(d).count());
  return timeval{static_cast<time_t>(us / 1'000'000), static_cast<suseconds_t>(us % 1'000'000)};
}

std::string_view reply_kind(int type) {
  switch (type) {
    case REDIS_REPLY_STRING:
      return "bulk string";
    case REDIS_REPLY_ARRAY:
      return "array";
    case REDIS_REPLY_INTEGER:
      return "integer";
    case REDIS_REPLY_NIL:
      return "nil";
    case REDIS_REPLY_STATUS:
      return "status";
    case REDIS_REPLY_ERROR:
      return "error";
  }
  return "unknown";
}

}  // namespace

std::expected<RedisNonceStore::Connection, std::string> RedisNonceStore::connect(Clock::time_point deadline) {
  const timeval tv = as_timeval(deadline - Clock::now());
  Connection c(address_.kind == RedisAddress::Kind::Unix
                   ? redisConnectUnixWithTimeout(address_.path.c_str(), tv)
                   : redisConnectWithTimeout(address_.host.c_str(), address_.port, tv));
  if (c == nullptr) return std::unexpected(std::string("out of memory"));
  if (c->err != 0) {
    return std::unexpected("cannot connect to " + address_.where() + ": " + printable(c->errstr));
  }
  if (Clock::now() >= deadline) return std::unexpected(timed_out(timeout_ms_));
  if (address_.has_password) {
    const std::string_view password(reinterpret_cast<const char*>(address_.password.data()),
                                    address_.password.size());
    std::vector<std::string_view> argv{"AUTH"};
    if (!address_.user.empty()) argv.emplace_back(address_.user);
    argv.push_back(password);
    auto r = exchange(*c, argv, deadline, /*secret=*/true);
    if (!r) return std::unexpected(std::move(r.error()));
    if (r->type != REDIS_REPLY_STATUS || r->text != "OK") {
      return std::unexpected("authentication failed: " + printable(r->text));
    }
  }
  if (address_.db != 0) {
    const std::string db = std::to_string(address_.db);
    const std::string_view argv[] = {"SELECT", db};
    auto r = exchange(*c, argv, deadline);
    if (!r) return std::unexpected(std::move(r.error()));
    if (r->type != REDIS_REPLY_STATUS || r->text != "OK") {
      return std::unexpected("cannot select database " + db + ": " + printable(r->text));
    }
  }
  return c;
}

std::expected<RedisNonceStore::Connection, std::string> RedisNonceStore::acquire(Clock::time_point deadline) {
  for (;;) {
    Connection c;
    {
      const std::lock_guard lock(mu_);
      if (idle_.empty()) break;
      c = std::move(idle_.back());
      idle_.pop_back();
    }
    if (still_open(*c)) return c;
    // Closed while idle (a restarted or stopped server): dropped without a
    // denial, and the next idle one is looked at.
  }
  return connect(deadline);
}

void RedisNonceStore::release(Connection c) {
  const std::lock_guard lock(mu_);
  if (idle_.size() < kMaxIdle) idle_.push_back(std::move(c));
}

std::expected<RedisNonceStore::Reply, std::string> RedisNonceStore::exchange(
    redisContext& c, std::span<const std::string_view> argv, Clock::time_point deadline, bool secret) {
  // Marked broken first: only a complete exchange makes it usable again.
  c.err = REDIS_ERR_IO;
  std::vector<const char*> args;
  std::vector<std::size_t> lens;
  args.reserve(argv.size());
  lens.reserve(argv.size());
  for (std::string_view a : argv) {
    args.push_back(a.data());
    lens.push_back(a.size());
  }
  char* cmd = nullptr;
  const int len = redisFormatCommandArgv(&cmd, static_cast<int>(args.size()), args.data(), lens.data());
  if (len < 0 || cmd == nullptr) return std::unexpected(std::string("out of memory"));
  // The formatted command of AUTH holds the password.
  struct Command {
    char* text;
    std::size_t size;
    bool secret;
    ~Command() {
      if (secret) OPENSSL_cleanse(text, size);
      redisFreeCommand(text);
    }
  } command{cmd, static_cast<std::size_t>(len), secret};

  // Written by us rather than by hiredis: send() with MSG_NOSIGNAL, so a
  // connection the server dropped gives an error here instead of a SIGPIPE
  // that would end a process that does not ignore it.
  std::size_t sent = 0;
  while (sent < command.size) {
    auto ready = wait_for(c.fd, POLLOUT, deadline);
    if (!ready) return std::unexpected(std::move(ready.error()));
    if (!*ready) return std::unexpected(timed_out(timeout_ms_));
    const ssize_t n = ::send(c.fd, command.text + sent, command.size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return std::unexpected(std::string("connection lost: ") + std::strerror(errno));
    }
    sent += static_cast<std::size_t>(n);
  }

  std::size_t received = 0;
  char buf[4096];
  for (;;) {
    void* raw = nullptr;
    if (redisReaderGetReply(c.reader, &raw) != REDIS_OK) {
      return std::unexpected("protocol error: " + printable(c.reader->errstr));
    }
    if (raw != nullptr) {
      std::unique_ptr<redisReply, void (*)(void*)> reply(static_cast<redisReply*>(raw), freeReplyObject);
      Reply out{reply->type, {}};
      if (reply->str != nullptr) out.text.assign(reply->str, reply->len);
      c.err = 0;
      return out;
    }
    auto ready = wait_for(c.fd, POLLIN, deadline);
    if (!ready) return std::unexpected(std::move(ready.error()));
    if (!*ready) return std::unexpected(timed_out(timeout_ms_));
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return std::unexpected(std::string("connection closed by the server"));
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return std::unexpected(std::string("connection lost: ") + std::strerror(errno));
    }
    received += static_cast<std::size_t>(n);
    if (received > kMaxReplyBytes) return std::unexpected(std::string("reply too long"));
    if (redisReaderFeed(c.reader, buf, static_cast<std::size_t>(n)) != REDIS_OK) {
      return std::unexpected(std::string("out of memory"));
    }
  }
}

std::expected<RedisNonceStore::Reply, std::string> RedisNonceStore::command(
    std::span<const std::string_view> argv) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
  auto c = acquire(deadline);
  if (!c) return std::unexpected(std::move(c.error()));
  auto reply = exchange(**c, argv, deadline);
  if (!reply) return reply;  // the connection is closed with `c`
  // An error reply leaves the stream in step; any other reply we did not
  // expect says the peer is not speaking our protocol, and the caller
  // closes nothing it still needs: the connection goes back only when the
  // reply is one the caller may get.
  if (reply->type == REDIS_REPLY_STATUS || reply->type == REDIS_REPLY_NIL || reply->type == REDIS_REPLY_ERROR) {
    release(*std::move(c));
  }
  return reply;
}

NonceClaim RedisNonceStore::claim(const NonceKey& key, std::uint64_t expires_at_ms,
                                  std::uint64_t /*now_ms: the server's clock decides*/) noexcept {
  try {
    std::string name;
    name.reserve(prefix_.size() + 2 * key.size());
    name.append(prefix_);
    hex_append(name, key);
    // PXAT takes a positive signed 64-bit time; 0 would be refused, and a
    // time in the past stores the key already expired, which is what such a
    // claim deserves.
    const std::uint64_t at = std::clamp<std::uint64_t>(expires_at_ms, 1, std::numeric_limits<std::int64_t>::max());
    const std::string at_text = std::to_string(at);
    const std::string_view argv[] = {"SET", name, "1", "NX", "PXAT", at_text};
    auto reply = command(argv);
    if (!reply) return NonceClaim::unavailable(std::move(reply.error()));
    if (reply->type == REDIS_REPLY_STATUS && reply->text == "OK") return NonceClaim::fresh();
    if (reply->type == REDIS_REPLY_NIL) return NonceClaim::replay();
    if (reply->type == REDIS_REPLY_ERROR) return NonceClaim::unavailable("error reply: " + printable(reply->text));
    return NonceClaim::unavailable("unexpected " + std::string(reply_kind(reply->type)) + " reply");
  } catch (const std::bad_alloc&) {
    return NonceClaim::unavailable("out of memory");
  } catch (...) {
    return NonceClaim::unavailable("internal error");
  }
}

std::expected<void, std::string> RedisNonceStore::ping() noexcept {
  try {
    const std::string_view argv[] = {"PING"};
    auto reply = command(argv);
    if (!reply) return std::unexpected(std::move(reply.error()));
    if (reply->type == REDIS_REPLY_STATUS && reply->text == "PONG") return {};
    if (reply->type == REDIS_REPLY_ERROR) return std::unexpected("error reply: " + printable(reply->text));
    return std::unexpected("unexpected " + std::string(reply_kind(reply->type)) + " reply");
  } catch (const std::bad_alloc&) {
    return std::unexpected(std::string("out of memory"));
  } catch (...) {
    return std::unexpected(std::string("internal error"));
  }
}

}  // namespace velnor
