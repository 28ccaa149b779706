#include "core/context.hpp"

#include <time.h>

#include <algorithm>
#include <utility>

#include "core/hex.hpp"
#include "core/internal/crypto.hpp"
#include "core/internal/json_reader.hpp"
#include "core/internal/json_write.hpp"
#include "core/internal/per_thread.hpp"
#include "core/internal/small_stack.hpp"

namespace velnor {

namespace {

// Insertion sort is stable and allocation-free; arguments rarely have more
// than a handful of members.
constexpr std::size_t kSmallObject = 16;

bool key_less(const JsonValue::Member& a, const JsonValue::Member& b) {
  // std::string compares through char_traits<char>, i.e. as unsigned bytes.
  return a.first < b.first;
}

}  // namespace

void JsonValue::sort_unique(Object& members) {
  bool repeated = false;
  if (members.size() <= kSmallObject) {
    // Each member moves left past the larger keys and stops at the largest
    // key not above its own. When an equal key was given before it, that
    // is where it stops, so comparing at the stop finds every repeat.
    for (std::size_t i = 1; i < members.size(); ++i) {
      int order = members[i].first.compare(members[i - 1].first);
      if (order >= 0) {
        repeated |= order == 0;
        continue;
      }
      Member moving = std::move(members[i]);
      std::size_t j = i;
      do {
        members[j] = std::move(members[j - 1]);
        --j;
      } while (j > 0 && (order = moving.first.compare(members[j - 1].first)) < 0);
      repeated |= j > 0 && order == 0;
      members[j] = std::move(moving);
    }
  } else {
    std::stable_sort(members.begin(), members.end(), key_less);
    repeated = true;
  }
  if (!repeated) return;
  // Equal keys now sit together in input order; keep the last of each run.
  std::size_t out = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
    if (out != i) members[out] = std::move(members[i]);
    ++out;
  }
  members.erase(members.begin() + static_cast<std::ptrdiff_t>(out), members.end());
}

JsonValue JsonValue::boolean(bool b) {
  JsonValue v;
  v.kind_ = Kind::Bool;
  v.bool_ = b;
  return v;
}

JsonValue JsonValue::number(std::string text) {
  JsonValue v;
  std::construct_at(&v.text_, std::move(text));
  v.kind_ = Kind::Number;
  return v;
}

JsonValue JsonValue::string(std::string s) {
  JsonValue v;
  std::construct_at(&v.text_, std::move(s));
  v.kind_ = Kind::String;
  return v;
}

JsonValue JsonValue::array(Array elements) {
  JsonValue v;
  std::construct_at(&v.items_, std::move(elements));
  v.kind_ = Kind::Array;
  return v;
}

JsonValue JsonValue::object(Object members) {
  sort_unique(members);
  JsonValue v;
  std::construct_at(&v.members_, std::move(members));
  v.kind_ = Kind::Object;
  return v;
}

JsonValue::JsonValue(const JsonValue& other) : kind_(Kind::Null), bool_(other.bool_) {
  // Build into a local, so that a failed allocation frees what was copied.
  // Containers are copied empty first and filled from the work list; a
  // container not reached yet is null, so the partial tree stays valid.
  JsonValue root;
  std::vector<std::pair<const JsonValue*, JsonValue*>> work;
  auto shallow = [&work](const JsonValue& src, JsonValue& dst) {
    dst.bool_ = src.bool_;
    switch (src.kind_) {
      case Kind::Null:
      case Kind::Bool:
        dst.kind_ = src.kind_;
        break;
      case Kind::Number:
      case Kind::String:
        std::construct_at(&dst.text_, src.text_);
        dst.kind_ = src.kind_;
        break;
      case Kind::Array:
      case Kind::Object:
        work.emplace_back(&src, &dst);
        break;
    }
  };
  shallow(other, root);
  while (!work.empty()) {
    auto [src, dst] = work.back();
    work.pop_back();
    if (src->kind_ == Kind::Array) {
      std::construct_at(&dst->items_);
      dst->kind_ = Kind::Array;
      dst->items_.resize(src->items_.size());
      for (std::size_t i = 0; i < src->items_.size(); ++i) shallow(src->items_[i], dst->items_[i]);
    } else {
      std::construct_at(&dst->members_);
      dst->kind_ = Kind::Object;
      dst->members_.resize(src->members_.size());
      for (std::size_t i = 0; i < src->members_.size(); ++i) {
        dst->members_[i].first = src->members_[i].first;
        shallow(src->members_[i].second, dst->members_[i].second);
      }
    }
  }
  take(root);
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

void JsonValue::destroy_tree() noexcept {
  // Children are freed from the back. A child that is a container is
  // descended into, remembering where it was found in its `up_`; once
  // empty, it releases its storage, turns null and is popped from there.
  // Popping only ever destroys a leaf, so no destructor recurses.
  JsonValue* cur = this;
  cur->up_ = nullptr;
  for (;;) {
    JsonValue* last = nullptr;
    if (cur->kind_ == Kind::Array) {
      if (!cur->items_.empty()) last = &cur->items_.back();
    } else if (!cur->members_.empty()) {
      last = &cur->members_.back().second;
    }
    if (last != nullptr && last->is_container()) {
      last->up_ = cur;
      cur = last;
      continue;
    }
    if (last != nullptr) {
      if (cur->kind_ == Kind::Array) {
        cur->items_.pop_back();
      } else {
        cur->members_.pop_back();
      }
      continue;
    }
    if (cur->kind_ == Kind::Array) {
      std::destroy_at(&cur->items_);
    } else {
      std::destroy_at(&cur->members_);
    }
    cur->kind_ = Kind::Null;
    if (cur == this) return;
    cur = cur->up_;
  }
}

bool JsonValue::as_bool() const { return bool_; }

const std::string& JsonValue::number_text() const {
  static const std::string kEmpty;
  return kind_ == Kind::Number || kind_ == Kind::String ? text_ : kEmpty;
}

const std::string& JsonValue::as_string() const { return number_text(); }

const JsonValue::Array& JsonValue::as_array() const {
  static const Array kEmpty;
  return kind_ == Kind::Array ? items_ : kEmpty;
}

const JsonValue::Object& JsonValue::as_object() const {
  static const Object kEmpty;
  return kind_ == Kind::Object ? members_ : kEmpty;
}

const JsonValue* JsonValue::find(std::string_view key) const {
  if (kind_ != Kind::Object) return nullptr;
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, std::string_view k) { return std::string_view(m.first) < k; });
  if (it == members_.end() || it->first != key) return nullptr;
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
  struct CanonicalText;
  std::string& canonical = detail::PerThread<std::string, CanonicalText>::get();
  canonical.clear();
  write_canonical(args, canonical);
  crypto::Digest digest = crypto::sha256(crypto::as_bytes(canonical));
  if (canonical.capacity() > kKeepLimit) std::string().swap(canonical);
  return digest;
}

std::string Context::args_hash() const { return hex_encode(args_digest().span()); }

std::expected<CtxIn, std::string> read_ctx_in(std::string_view json) { return json::read_ctx_in(json); }

Context into_context(CtxIn&& in) {
  // Moves straight into the members; default construction followed by
  // assignment would set each of them twice.
  return Context{
      .caller = std::move(in.caller),
      .tool = std::move(in.tool),
      .now = in.now_ms ? Instant::from_unix_ms(*in.now_ms) : Instant::now(),
      .args = std::move(in.args),
      .env = std::move(in.env),
  };
}

}  // namespace velnor
