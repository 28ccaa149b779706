// Storage for key bytes, wiped with crypto::wipe however their scope is
// left: SecretArray for keys of a fixed size (the HMAC pads while a key is
// prepared, an Ed25519 secret key for its life; never copied), SecretBytes
// for secrets of any length (a store's password), whose every buffer is
// wiped before it goes back to the allocator, including the old buffer left
// behind when the vector grows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

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

template <class T>
struct CleansingAllocator {
  using value_type = T;
  CleansingAllocator() noexcept = default;
  template <class U>
  CleansingAllocator(const CleansingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    if (p != nullptr) crypto::wipe(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const CleansingAllocator<U>&) const noexcept {
    return true;
  }
};

using SecretBytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

}  // namespace velnor
