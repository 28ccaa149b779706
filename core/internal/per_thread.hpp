// One object of a type per thread, for scratch space that hot paths reuse
// (hash contexts, text buffers).
//
// A thread_local with a constructor or destructor is checked against a
// guard on every access, and in a shared object (the Python extension)
// every thread-local access is a call into the dynamic loader: two calls per
// use. Here the hot path reads one trivially initialised pointer; the object
// itself is made on the thread's first use and destroyed at its exit.
#pragma once

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

}  // namespace velnor::detail
