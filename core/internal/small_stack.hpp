// A stack that keeps its first N entries inline, for the explicit stacks of
// the tree walks: nearly every tree is shallow, so the common walk never
// touches the heap, while a deep one still grows without bound on it.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace velnor::detail {

template <typename T, std::size_t N>
class SmallStack {
 public:
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  void push_back(const T& v) {
    if (size_ < N) {
      inline_[size_] = v;
    } else {
      spill_.push_back(v);
    }
    ++size_;
  }

  // A fresh default-constructed entry on top.
  T& emplace_back() {
    if (size_ < N) {
      inline_[size_] = T{};
      return inline_[size_++];
    }
    T& t = spill_.emplace_back();
    ++size_;
    return t;
  }

  T& back() { return size_ <= N ? inline_[size_ - 1] : spill_.back(); }

  void pop_back() {
    if (size_ > N) spill_.pop_back();
    --size_;
  }

 private:
  T inline_[N];  // entries at and above size_ are never read
  std::vector<T> spill_;
  std::size_t size_ = 0;
};

}  // namespace velnor::detail
