// Peak heap memory of reading hostile documents, counted by replacing the
// global allocator in this test binary. Every shape stays within 16 bytes
// per input byte plus a small constant, measured at 10 MB per shape.
#include <malloc.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "core/audit.hpp"
#include "core/capability.hpp"
#include "core/context.hpp"
#include "core/internal/base64url.hpp"

namespace {

// What the allocator really hands out: the usable size plus the chunk
// header, so a one-byte allocation counts as the 32 bytes it costs.
std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};

void* counted_alloc(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  const std::size_t live = g_live += malloc_usable_size(p) + sizeof(std::size_t);
  std::size_t peak = g_peak.load();
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
  return p;
}

void counted_free(void* p) noexcept {
  if (p == nullptr) return;
  g_live -= malloc_usable_size(p) + sizeof(std::size_t);
  std::free(p);
}

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

namespace velnor {
namespace {

constexpr std::size_t kTarget = 10 * 1000 * 1000;
constexpr double kPerByte = 16.0;
constexpr std::size_t kConstant = 1 << 20;

// `head`, then `item` joined by `sep` until the text is about 10 MB, then `tail`.
std::string fill(std::string_view head, const std::function<std::string(std::size_t)>& item,
                 std::string_view sep, std::string_view tail) {
  std::string s(head);
  for (std::size_t i = 0; s.size() < kTarget; ++i) {
    if (i != 0) s += sep;
    s += item(i);
  }
  s += tail;
  return s;
}

std::string same(std::string_view item, std::size_t) { return std::string(item); }

// A key that differs for every i, as short as it can be in printable ASCII.
std::string distinct_key(std::size_t i) {
  std::string k;
  do {
    k.push_back(static_cast<char>('a' + i % 26));
    i /= 26;
  } while (i != 0);
  return k;
}

// `"<prefix><key i>":<value>`, built by appending: g++ 12 warns falsely
// about chains of string concatenation.
std::string member(std::size_t i, std::string_view prefix, std::string_view value) {
  std::string m = "\"";
  m += prefix;
  m += distinct_key(i);
  m += "\":";
  m += value;
  return m;
}

// Peak bytes above what was live before `read` ran, `read` included until
// its result is dropped.
std::size_t peak_of(const std::function<void()>& read) {
  const std::size_t before = g_live.load();
  g_peak = before;
  read();
  return g_peak.load() - before;
}

struct Shape {
  const char* name;
  std::string text;
};

void expect_bounded(const Shape& s, const std::function<bool(const std::string&)>& read) {
  bool ok = false;
  const std::size_t peak = peak_of([&] { ok = read(s.text); });
  EXPECT_TRUE(ok) << s.name;
  const double per_byte = static_cast<double>(peak) / static_cast<double>(s.text.size());
  EXPECT_LE(peak, static_cast<std::size_t>(kPerByte * static_cast<double>(s.text.size())) + kConstant)
      << s.name << ": " << peak << " bytes for " << s.text.size() << " (" << per_byte << " per byte)";
  std::printf("%-34s %6.2f bytes per input byte\n", s.name, per_byte);
}

// Reading the context and everything a verification does with it: the
// Context, the argument hash.
bool verify_path(const std::string& text) {
  auto in = read_ctx_in(text);
  if (!in) return false;
  const Context ctx = into_context(std::move(*in));
  return ctx.args_hash().size() == 64;
}

TEST(MemoryBound, ContextShapes) {
  const std::string head = R"({"nowMs":0,"caller":"a","tool":"t","args":)";
  auto args = [&](std::string_view open, auto item, std::string_view sep, std::string_view close) {
    return fill(head + std::string(open), item, sep, std::string(close) + "}");
  };
  using namespace std::placeholders;
  const Shape shapes[] = {
      {"empty objects", args("[", std::bind(same, "{}", _1), ",", "]")},
      {"empty arrays", args("[", std::bind(same, "[]", _1), ",", "]")},
      {"arrays in arrays", args("[", std::bind(same, "[[[]]]", _1), ",", "]")},
      {"one-element arrays", args("[", std::bind(same, "[0]", _1), ",", "]")},
      {"small numbers", args("[", std::bind(same, "0", _1), ",", "]")},
      {"short strings", args("[", std::bind(same, "\"\"", _1), ",", "]")},
      {"one-letter strings", args("[", std::bind(same, "\"a\"", _1), ",", "]")},
      {"fifteen-letter strings", args("[", std::bind(same, "\"aaaaaaaaaaaaaaa\"", _1), ",", "]")},
      {"repeated empty key", args("{", std::bind(same, "\"\":0", _1), ",", "}")},
      {"distinct short keys", args("{", std::bind(member, _1, "", "0"), ",", "}")},
      {"long keys", args("{", std::bind(member, _1, std::string(1000, 'k'), "{}"),
                         ",", "}")},
      {"objects in objects", args("{", std::bind(same, "\"\":{\"\":{}}", _1), ",", "}")},
      {"deep nesting within the budget", head + std::string(125, '[') +
                                             fill("", std::bind(same, "[0]", _1), ",", "") +
                                             std::string(125, ']') + "}"},
      {"env with distinct keys", fill(R"({"caller":"a","tool":"t","args":{},"env":{)",
                                      std::bind(member, _1, "", "\"\""), ",", "}}")},
      {"deep unknown member", R"({"caller":"a","tool":"t","args":{},"x":)" + std::string(kTarget / 2, '[') +
                                  std::string(kTarget / 2, ']') + "}"},
      {"many empty unknown members", fill(R"({"caller":"a","tool":"t","args":{},)",
                                          std::bind(same, "\"x\":{}", _1), ",", "}")},
  };
  for (const Shape& s : shapes) expect_bounded(s, verify_path);
}

TEST(MemoryBound, TokenShapes) {
  auto token = [](std::string json) {
    return base64url::encode({reinterpret_cast<const std::uint8_t*>(json.data()), json.size()});
  };
  using namespace std::placeholders;
  const Shape shapes[] = {
      {"token: empty caveats, array form",
       token(fill(R"(["i",null,[)", std::bind(same, "[\"\"]", _1), ",", R"(],""])"))},
      {"token: empty caveats, object form",
       token(fill(R"({"identifier":"i","caveats":[)", std::bind(same, R"({"predicate":""})", _1), ",",
                  R"(],"signature":""})"))},
      {"token: deep unknown member",
       token(R"({"x":)" + std::string(kTarget / 3, '[') + std::string(kTarget / 3, ']') +
             R"(,"identifier":"i","caveats":[],"signature":""})")},
  };
  for (const Shape& s : shapes) {
    expect_bounded(s, [](const std::string& t) { return Capability::parse(t).has_value(); });
  }
}

TEST(MemoryBound, ReceiptShapes) {
  const std::string tail =
      R"(],"context_summary":["a","t","h"],"outcome":["allowed"],"timestamp_ms":0,"signature":""})";
  using namespace std::placeholders;
  const Shape shapes[] = {
      {"receipt: empty caveats", fill(R"({"version":1,"capability_identifier":"c","caveats":[)",
                                      std::bind(same, "[\"\"]", _1), ",", tail)},
      {"receipt: empty unknown arrays", fill(R"({"version":1,"capability_identifier":"c","x":[)",
                                             std::bind(same, "[]", _1), ",", "],\"caveats\":[" + tail)},
  };
  for (const Shape& s : shapes) {
    expect_bounded(s, [](const std::string& t) { return Receipt::from_json(t).has_value(); });
  }
}

}  // namespace
}  // namespace velnor
