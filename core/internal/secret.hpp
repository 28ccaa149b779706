// Storage for key material: every buffer that ever held a key is wiped
// before it goes back to the allocator, including the old buffer left
// behind when a vector grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <openssl/crypto.h>

namespace velnor {

template <class T>
struct CleansingAllocator {
  using value_type = T;
  CleansingAllocator() noexcept = default;
  template <class U>
  CleansingAllocator(const CleansingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    if (p != nullptr) OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const CleansingAllocator<U>&) const noexcept { return true; }
};

using SecretBytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

}  // namespace velnor
