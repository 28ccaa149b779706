// One object of a type per thread, for scratch space that hot paths reuse
// (hash contexts, text buffers).
//
// A thread_local with a constructor or destructor is checked against a
// guard on every access, and in a shared object (the Python extension)
// every thread-local access is a call into the dynamic loader: two calls per
// use. Here the hot path reads one trivially initialised pointer; the object
// itself is made on the thread's first use and destroyed at its exit.
#pragma once

#include <cstddef>
#include <string>

namespace velnor::detail {

template <typename T, typename Tag>
class PerThread {
 public:
  static T& get() {
    T* p = ptr_;
    if (p == nullptr) [[unlikely]] p = make();
    return *p;
  }

 private:
  struct Owner {
    T value;
    Owner() { ptr_ = &value; }
    // Anything running later in the thread's teardown gets a fresh object
    // rather than a destroyed one.
    ~Owner() { ptr_ = nullptr; }
  };

  [[gnu::noinline]] static T* make() {
    thread_local Owner owner;
    // After the teardown above a second use rebuilds; that object lives
    // until the process ends, which only a use from a destructor can cause.
    if (ptr_ == nullptr) ptr_ = new T();
    return ptr_;
  }

  static inline thread_local T* ptr_ = nullptr;
};

// Capacity a scratch text keeps between uses: a typical receipt or argument
// text fits, and an unusually large one does not stay behind for the life
// of the thread.
inline constexpr std::size_t kScratchKeep = 16 * 1024;

// Gives back the memory of a scratch text that grew past kScratchKeep.
inline void trim_scratch(std::string& s) {
  if (s.capacity() > kScratchKeep) std::string().swap(s);
}

// The thread's scratch text for `Tag`, empty: text that is written, used
// and dropped (hashed, copied out) needs no allocation of its own once the
// buffer has grown to a typical size.
template <typename Tag>
std::string& scratch_text() {
  std::string& s = PerThread<std::string, Tag>::get();
  trim_scratch(s);
  s.clear();
  return s;
}

}  // namespace velnor::detail
