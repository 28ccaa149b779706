#include "core/context.hpp"

#include <time.h>

#include <algorithm>
#include <utility>

#include "core/hex.hpp"
#include "core/internal/crypto.hpp"
#include "core/internal/json_reader.hpp"
#include "core/internal/json_write.hpp"
#include "core/internal/small_stack.hpp"

namespace velnor {

// The heap part of an array or object. `up` is scratch space for the
// iterative destructor: it links a node to the node it was found in, so
// tearing down a deep tree needs neither recursion nor a work list (and so
// cannot fail for lack of memory while it frees memory).
struct JsonNode {
  JsonValue::Array items;
  JsonValue::Object members;
  JsonNode* up = nullptr;
};

namespace {

JsonNode* node_of(void* p) { return static_cast<JsonNode*>(p); }

// Insertion sort is stable and allocation-free; arguments rarely have more
// than a handful of members.
constexpr std::size_t kSmallObject = 16;

bool key_less(const JsonValue::Member& a, const JsonValue::Member& b) {
  // std::string compares through char_traits<char>, i.e. as unsigned bytes.
  return a.first < b.first;
}

}  // namespace

JsonValue::JsonValue() noexcept : kind_(Kind::Null) {}

JsonValue JsonValue::boolean(bool b) {
  JsonValue v;
  v.kind_ = Kind::Bool;
  v.bool_ = b;
  return v;
}

JsonValue JsonValue::number(std::string text) {
  JsonValue v;
  v.kind_ = Kind::Number;
  v.text_ = std::move(text);
  return v;
}

JsonValue JsonValue::string(std::string s) {
  JsonValue v;
  v.kind_ = Kind::String;
  v.text_ = std::move(s);
  return v;
}

JsonValue JsonValue::array(Array elements) {
  JsonValue v;
  auto* node = new JsonNode;
  node->items = std::move(elements);
  v.kind_ = Kind::Array;
  v.children_ = node;
  return v;
}

JsonValue JsonValue::object(Object members) {
  if (members.size() <= kSmallObject) {
    for (std::size_t i = 1; i < members.size(); ++i) {
      for (std::size_t j = i; j > 0 && key_less(members[j], members[j - 1]); --j) {
        std::swap(members[j], members[j - 1]);
      }
    }
  } else {
    std::stable_sort(members.begin(), members.end(), key_less);
  }
  // Equal keys now sit together in input order; keep the last of each run.
  std::size_t out = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
    if (out != i) members[out] = std::move(members[i]);
    ++out;
  }
  members.resize(out);
  JsonValue v;
  auto* node = new JsonNode;
  node->members = std::move(members);
  v.kind_ = Kind::Object;
  v.children_ = node;
  return v;
}

JsonValue::JsonValue(const JsonValue& other) : kind_(other.kind_), bool_(other.bool_), text_(other.text_) {
  if (other.children_ == nullptr) return;
  // Build into a local so that a failed allocation frees what was copied.
  JsonValue root;
  root.kind_ = other.kind_;
  root.children_ = new JsonNode;
  std::vector<std::pair<const JsonNode*, JsonNode*>> work;
  work.emplace_back(node_of(other.children_), node_of(root.children_));
  auto shallow = [&work](const JsonValue& src, JsonValue& dst) {
    dst.kind_ = src.kind_;
    dst.bool_ = src.bool_;
    dst.text_ = src.text_;
    if (src.children_ != nullptr) {
      dst.children_ = new JsonNode;
      work.emplace_back(node_of(src.children_), node_of(dst.children_));
    }
  };
  while (!work.empty()) {
    auto [src, dst] = work.back();
    work.pop_back();
    dst->items.resize(src->items.size());
    for (std::size_t i = 0; i < src->items.size(); ++i) shallow(src->items[i], dst->items[i]);
    dst->members.resize(src->members.size());
    for (std::size_t i = 0; i < src->members.size(); ++i) {
      dst->members[i].first = src->members[i].first;
      shallow(src->members[i].second, dst->members[i].second);
    }
  }
  children_ = std::exchange(root.children_, nullptr);
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

JsonValue::JsonValue(JsonValue&& other) noexcept
    : kind_(other.kind_), bool_(other.bool_), text_(std::move(other.text_)),
      children_(std::exchange(other.children_, nullptr)) {
  other.kind_ = Kind::Null;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    destroy();
    kind_ = std::exchange(other.kind_, Kind::Null);
    bool_ = other.bool_;
    text_ = std::move(other.text_);
    children_ = std::exchange(other.children_, nullptr);
  }
  return *this;
}

JsonValue::~JsonValue() { destroy(); }

void JsonValue::destroy() noexcept {
  JsonNode* cur = node_of(std::exchange(children_, nullptr));
  if (cur != nullptr) cur->up = nullptr;
  // Children are freed from the back. An element that owns a node is
  // detached and descended into; `up` brings us back once it is empty.
  while (cur != nullptr) {
    JsonValue* last = nullptr;
    if (!cur->items.empty()) {
      last = &cur->items.back();
    } else if (!cur->members.empty()) {
      last = &cur->members.back().second;
    }
    if (last == nullptr) {
      JsonNode* up = cur->up;
      delete cur;
      cur = up;
      continue;
    }
    if (last->children_ != nullptr) {
      JsonNode* child = node_of(std::exchange(last->children_, nullptr));
      child->up = cur;
      cur = child;
      continue;
    }
    if (!cur->items.empty()) {
      cur->items.pop_back();
    } else {
      cur->members.pop_back();
    }
  }
}

bool JsonValue::as_bool() const { return bool_; }
const std::string& JsonValue::number_text() const { return text_; }
const std::string& JsonValue::as_string() const { return text_; }

const JsonValue::Array& JsonValue::as_array() const {
  static const Array kEmpty;
  return children_ != nullptr ? node_of(children_)->items : kEmpty;
}

const JsonValue::Object& JsonValue::as_object() const {
  static const Object kEmpty;
  return children_ != nullptr ? node_of(children_)->members : kEmpty;
}

const JsonValue* JsonValue::find(std::string_view key) const {
  if (kind_ != Kind::Object) return nullptr;
  const Object& members = as_object();
  auto it = std::lower_bound(members.begin(), members.end(), key,
                             [](const Member& m, std::string_view k) { return std::string_view(m.first) < k; });
  if (it == members.end() || it->first != key) return nullptr;
  return &it->second;
}

bool JsonValue::operator==(const JsonValue& other) const {
  std::vector<std::pair<const JsonValue*, const JsonValue*>> work{{this, &other}};
  while (!work.empty()) {
    auto [a, b] = work.back();
    work.pop_back();
    if (a->kind_ != b->kind_) return false;
    switch (a->kind_) {
      case Kind::Null:
        break;
      case Kind::Bool:
        if (a->bool_ != b->bool_) return false;
        break;
      case Kind::Number:
      case Kind::String:
        if (a->text_ != b->text_) return false;
        break;
      case Kind::Array: {
        const Array& x = a->as_array();
        const Array& y = b->as_array();
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i) work.emplace_back(&x[i], &y[i]);
        break;
      }
      case Kind::Object: {
        const Object& x = a->as_object();
        const Object& y = b->as_object();
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i) {
          if (x[i].first != y[i].first) return false;
          work.emplace_back(&x[i].second, &y[i].second);
        }
        break;
      }
    }
  }
  return true;
}

void write_canonical(const JsonValue& value, std::string& out) {
  // One entry per open array or object: the container and the next index.
  struct Open {
    const JsonValue* v;
    std::size_t next;
  };
  detail::SmallStack<Open, 16> open;
  const JsonValue* cur = &value;
  for (;;) {
    if (cur != nullptr) {
      switch (cur->kind()) {
        case JsonValue::Kind::Null:
          out += "null";
          break;
        case JsonValue::Kind::Bool:
          out += cur->as_bool() ? "true" : "false";
          break;
        case JsonValue::Kind::Number:
          out += cur->number_text();
          break;
        case JsonValue::Kind::String:
          json::append_string(out, cur->as_string());
          break;
        case JsonValue::Kind::Array:
          out.push_back('[');
          open.push_back({cur, 0});
          break;
        case JsonValue::Kind::Object:
          out.push_back('{');
          open.push_back({cur, 0});
          break;
      }
      cur = nullptr;
    }
    if (open.empty()) return;
    Open& top = open.back();
    const bool is_array = top.v->kind() == JsonValue::Kind::Array;
    const std::size_t size = is_array ? top.v->as_array().size() : top.v->as_object().size();
    if (top.next == size) {
      out.push_back(is_array ? ']' : '}');
      open.pop_back();
      continue;
    }
    if (top.next > 0) out.push_back(',');
    if (is_array) {
      cur = &top.v->as_array()[top.next];
    } else {
      const JsonValue::Member& m = top.v->as_object()[top.next];
      json::append_string(out, m.first);
      out.push_back(':');
      cur = &m.second;
    }
    ++top.next;
  }
}

Instant Instant::from_unix_ms(std::uint64_t ms) {
  return {static_cast<std::int64_t>(ms / 1000), static_cast<std::uint32_t>(ms % 1000) * 1'000'000u};
}

Instant Instant::now() {
  timespec ts{};
  // POSIX keeps tv_nsec in [0, 1e9) also before the epoch, which is the
  // floored representation Instant uses.
  clock_gettime(CLOCK_REALTIME, &ts);
  return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

crypto::Digest Context::args_digest() const {
  // One buffer per thread: the canonical text is needed only until it is
  // hashed. One that grew for unusually large arguments is given back.
  constexpr std::size_t kKeepLimit = 16 * 1024;
  thread_local std::string canonical;
  canonical.clear();
  write_canonical(args, canonical);
  crypto::Digest digest = crypto::sha256(crypto::as_bytes(canonical));
  if (canonical.capacity() > kKeepLimit) std::string().swap(canonical);
  return digest;
}

std::string Context::args_hash() const { return hex_encode(args_digest().span()); }

std::expected<CtxIn, std::string> read_ctx_in(std::string_view json) { return json::read_ctx_in(json); }

Context into_context(CtxIn&& in) {
  Context ctx;
  ctx.caller = std::move(in.caller);
  ctx.tool = std::move(in.tool);
  ctx.now = in.now_ms ? Instant::from_unix_ms(*in.now_ms) : Instant::now();
  ctx.args = std::move(in.args);
  ctx.env = std::move(in.env);
  return ctx;
}

}  // namespace velnor
