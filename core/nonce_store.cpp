#include "core/nonce_store.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "core/internal/ed25519.hpp"

namespace velnor {
namespace {

// Claims reclaim a few expired keys each, so no single claim pays for a
// long idle period; a claim that finds the store full reclaims all it can.
constexpr std::size_t kReclaimPerClaim = 8;

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

std::uint64_t random_word() {
  std::uint64_t w = 0;
  ed25519::random_bytes({reinterpret_cast<std::uint8_t*>(&w), sizeof w});
  return w;
}

}  // namespace

NonceStore::~NonceStore() = default;

std::size_t MemoryNonceStore::KeyHash::operator()(const NonceKey& key) const noexcept {
  std::uint64_t a = 0, b = 0;
  std::memcpy(&a, key.data(), 8);
  std::memcpy(&b, key.data() + 8, 8);
  return static_cast<std::size_t>(mix(a ^ k0) ^ mix(b ^ k1));
}

MemoryNonceStore::MemoryNonceStore(std::size_t capacity)
    : capacity_(capacity), live_(0, KeyHash{random_word(), random_word()}) {}

std::expected<std::shared_ptr<MemoryNonceStore>, std::string> MemoryNonceStore::create(
    std::size_t capacity) {
  if (capacity == 0) return std::unexpected(std::string("nonce store capacity must be at least 1"));
  return std::make_shared<MemoryNonceStore>(capacity);
}

std::size_t MemoryNonceStore::size() const {
  const std::lock_guard lock(mu_);
  return live_.size();
}

void MemoryNonceStore::reclaim(std::uint64_t now_ms, std::size_t limit) {
  while (limit-- > 0 && !by_expiry_.empty() && by_expiry_.front().at < now_ms) {
    std::pop_heap(by_expiry_.begin(), by_expiry_.end(), Expiry::later);
    const Expiry e = by_expiry_.back();
    by_expiry_.pop_back();
    // A key claimed again after it lapsed has a newer entry; only the entry
    // that matches its current time removes it.
    auto it = live_.find(*e.key);
    if (it != live_.end() && it->second == e.at) live_.erase(it);
  }
}

// Geometric growth: reserve(size + 1) alone would reallocate on every claim.
void MemoryNonceStore::make_room() {
  if (by_expiry_.size() == by_expiry_.capacity()) {
    by_expiry_.reserve(std::max<std::size_t>(64, 2 * by_expiry_.capacity()));
  }
}

void MemoryNonceStore::push(Expiry e) {
  by_expiry_.push_back(e);
  std::push_heap(by_expiry_.begin(), by_expiry_.end(), Expiry::later);
}

NonceClaim MemoryNonceStore::claim(const NonceKey& key, std::uint64_t expires_at_ms,
                                   std::uint64_t now_ms) noexcept {
  try {
    const std::lock_guard lock(mu_);
    reclaim(now_ms, kReclaimPerClaim);
    auto it = live_.find(key);
    if (it != live_.end()) {
      if (it->second >= now_ms) return NonceClaim::replay();
      // Lapsed but not yet reclaimed: claimable again.
      make_room();
      it->second = expires_at_ms;
      push({expires_at_ms, &it->first});
      return NonceClaim::fresh();
    }
    if (live_.size() >= capacity_) reclaim(now_ms, std::numeric_limits<std::size_t>::max());
    if (live_.size() >= capacity_) {
      return NonceClaim::unavailable("memory store is full (" + std::to_string(capacity_) +
                                     " live nonces)");
    }
    // Room in the heap first, so a failed allocation leaves no key without
    // its expiry entry.
    make_room();
    const auto pos = live_.emplace(key, expires_at_ms).first;
    push({expires_at_ms, &pos->first});
    return NonceClaim::fresh();
  } catch (const std::bad_alloc&) {
    return NonceClaim::unavailable("out of memory");
  } catch (...) {
    return NonceClaim::unavailable("internal error");
  }
}

}  // namespace velnor
