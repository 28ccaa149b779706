// The context reader under a memory limit: the input, repeated into a list
// of arguments of about 64 KiB, is read, turned into a Context
// and hashed, and the run fails when the peak heap of that exceeds 16 bytes
// per input byte plus a small constant. The allocator is replaced here to
// count what each allocation really occupies.
#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "core/context.hpp"

namespace {

std::size_t g_live = 0;
std::size_t g_peak = 0;

void* counted_alloc(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  g_live += malloc_usable_size(p) + sizeof(std::size_t);
  if (g_live > g_peak) g_peak = g_live;
  return p;
}

void counted_free(void* p) noexcept {
  if (p == nullptr) return;
  g_live -= malloc_usable_size(p) + sizeof(std::size_t);
  std::free(p);
}

constexpr std::size_t kTarget = 64 * 1024;
constexpr std::size_t kConstant = 256 * 1024;

}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
// The standard library takes sort buffers through the non-throwing forms.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted_alloc(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_free(p); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 1 << 14) return 0;
  const std::string_view item(reinterpret_cast<const char*>(data), size);
  // As an element of the arguments, and as the whole document.
  std::string list = R"({"nowMs":0,"caller":"a","tool":"t","args":[)";
  while (list.size() < kTarget) {
    list += item;
    list += ',';
  }
  list.back() = ']';
  list += '}';
  for (const std::string_view text : {std::string_view(list), item}) {
    const std::size_t before = g_live;
    g_peak = before;
    {
      auto in = velnor::read_ctx_in(text);
      if (in) {
        in->now_ms = 0;
        const velnor::Context ctx = velnor::into_context(std::move(*in));
        if (ctx.args_hash().size() != 64) __builtin_trap();
      }
    }
    if (g_peak - before > 16 * text.size() + kConstant) __builtin_trap();
  }
  return 0;
}
