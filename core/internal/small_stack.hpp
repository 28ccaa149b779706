// A stack that keeps its first N entries inline, for the explicit stacks of
// the tree walks: nearly every tree is shallow, so the common walk never
// touches the heap, while a deep one still grows without bound on it.
// Entries are plain positions (trivially copyable); the stack is neither
// copied nor moved, since it points into itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <vector>

namespace velnor::detail {

template <typename T, std::size_t N>
class SmallStack {
  static_assert(N > 0 && std::is_trivially_copyable_v<T>);

 public:
  SmallStack() = default;
  SmallStack(const SmallStack&) = delete;
  SmallStack& operator=(const SmallStack&) = delete;

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  void push_back(const T& v) {
    if (size_ == capacity_) grow();
    data_[size_++] = v;
  }

  // A fresh value-initialized entry on top.
  T& emplace_back() {
    if (size_ == capacity_) grow();
    T& t = data_[size_++];
    t = T{};
    return t;
  }

  // Precondition, as for pop_back: not empty.
  T& back() { return data_[size_ - 1]; }

  void pop_back() { --size_; }

 private:
  // Entries live contiguously, inline or in spill_, so that the hot
  // operations above index one array without asking which.
  void grow() {
    const std::size_t capacity = capacity_ * 2;
    spill_.resize(capacity);  // keeps what already spilled
    if (data_ == inline_) std::copy(inline_, inline_ + size_, spill_.begin());
    data_ = spill_.data();
    capacity_ = capacity;
  }

  T inline_[N];  // entries at and above size_ are never read
  std::vector<T> spill_;
  T* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
};

}  // namespace velnor::detail
