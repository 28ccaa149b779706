// A replay-protection store a verifier can hold. No operation of the
// library calls it yet; it is held by shared ownership so a service can
// hand one store to many verifiers.
#pragma once

#include <cstdint>
#include <string_view>

namespace velnor {

class NonceStore {
 public:
  virtual ~NonceStore();
  // Records `nonce` as seen until `expires_at_ms`. Returns false when it
  // was already recorded and has not expired, i.e. a replay.
  virtual bool check_and_insert(std::string_view nonce, std::uint64_t expires_at_ms) = 0;
};

}  // namespace velnor
