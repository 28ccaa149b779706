// Replay protection for proofs of possession. A verifier claims each proof's
// nonce key once; a store says whether the key is fresh, already claimed and
// still live, or whether it cannot answer (then the verifier denies: a store
// that cannot be asked must never let a proof through twice).
//
// Stores are shared: one store may serve many verifiers, and claims may
// arrive from any number of threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace velnor {

inline constexpr std::size_t kNonceKeyLen = 32;
using NonceKey = std::array<std::uint8_t, kNonceKeyLen>;

struct NonceClaim {
  enum class Kind : std::uint8_t { Fresh, Replay, Unavailable };
  Kind kind = Kind::Unavailable;
  std::string reason;  // Unavailable: why, for "nonce store unavailable: {}"

  static NonceClaim fresh() { return {Kind::Fresh, {}}; }
  static NonceClaim replay() { return {Kind::Replay, {}}; }
  static NonceClaim unavailable(std::string why) { return {Kind::Unavailable, std::move(why)}; }
};

class NonceStore {
 public:
  virtual ~NonceStore();
  // Claims `key` until `expires_at_ms` (inclusive), at time `now_ms` as the
  // verification sees it. Fresh: the key was not live and now is. Replay: it
  // was live; nothing changes. Unavailable: the store could not decide; it
  // must not have recorded the key as claimed by anyone else. Must not
  // throw: every failure is an Unavailable claim.
  virtual NonceClaim claim(const NonceKey& key, std::uint64_t expires_at_ms,
                           std::uint64_t now_ms) noexcept = 0;
};

// The embedded store for one process. Memory grows with the number of live
// keys, up to `capacity`; when that many are live it refuses new claims
// rather than forget one that could still be replayed. Keys whose time has
// passed are reclaimed as claims arrive, so the store's notion of time is
// the verifications' own (the context time), never a clock of its own.
class MemoryNonceStore final : public NonceStore {
 public:
  static constexpr std::size_t kDefaultCapacity = 1'000'000;

  // Refuses a capacity of 0 with "nonce store capacity must be at least 1".
  static std::expected<std::shared_ptr<MemoryNonceStore>, std::string> create(
      std::size_t capacity = kDefaultCapacity);

  NonceClaim claim(const NonceKey& key, std::uint64_t expires_at_ms,
                   std::uint64_t now_ms) noexcept override;

  std::size_t capacity() const { return capacity_; }
  // Keys held, live or not yet reclaimed.
  std::size_t size() const;

  explicit MemoryNonceStore(std::size_t capacity);

 private:
  struct KeyHash {
    std::uint64_t k0, k1;  // random per store, so bucket collisions cannot be planned
    std::size_t operator()(const NonceKey& key) const noexcept;
  };
  struct Expiry {
    std::uint64_t at;
    const NonceKey* key;  // points into the map, whose nodes do not move
    // Heap order: the earliest time on top.
    static bool later(const Expiry& a, const Expiry& b) { return a.at > b.at; }
  };
  using Map = std::unordered_map<NonceKey, std::uint64_t, KeyHash>;

  // Drops up to `limit` keys whose time is before `now_ms`, oldest first.
  void reclaim(std::uint64_t now_ms, std::size_t limit);
  // Room for one more heap entry; may throw bad_alloc.
  void make_room();
  // Adds to the heap; the caller has made room.
  void push(Expiry e);

  const std::size_t capacity_;
  mutable std::mutex mu_;
  Map live_;
  std::vector<Expiry> by_expiry_;  // a heap
};

}  // namespace velnor
