// Storage for key bytes: the one type the core keeps them in while it works
// with them (the HMAC pads while a key is prepared, an Ed25519 secret key
// for its life). Wiped however its scope is left; never copied.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/internal/crypto.hpp"

namespace velnor {

template <std::size_t N>
class SecretArray {
 public:
  SecretArray() = default;
  ~SecretArray() { crypto::wipe(bytes_.data(), N); }
  SecretArray(const SecretArray&) = delete;
  SecretArray& operator=(const SecretArray&) = delete;

  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  static constexpr std::size_t size() { return N; }
  std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
  std::span<const std::uint8_t, N> view() const { return bytes_; }

 private:
  std::array<std::uint8_t, N> bytes_{};
};

}  // namespace velnor
