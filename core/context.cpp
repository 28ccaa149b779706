#include "core/context.hpp"

#include <time.h>

#include <algorithm>
#include <tuple>
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

std::size_t JsonValue::sort_unique(Member* members, std::size_t n) {
  bool repeated = false;
  if (n <= kSmallObject) {
    // Each member moves left past the larger keys and stops at the largest
    // key not above its own. When an equal key was given before it, that
    // is where it stops, so comparing at the stop finds every repeat.
    for (std::size_t i = 1; i < n; ++i) {
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
    // Stable; its buffer holds at most half the members, which the memory
    // bound of a read allows for.
    std::stable_sort(members, members + n, key_less);
    repeated = true;
  }
  if (!repeated) return n;
  // Equal keys now sit together in input order; keep the last of each run.
  std::size_t out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 1 < n && members[i + 1].first == members[i].first) continue;
    if (out != i) members[out] = std::move(members[i]);
    ++out;
  }
  std::destroy(members + out, members + n);
  return out;
}

JsonValue::Block* JsonValue::allocate(Kind kind, std::size_t capacity) {
  const std::size_t each = kind == Kind::Array ? sizeof(JsonValue) : sizeof(Member);
  auto* b = static_cast<Block*>(::operator new(sizeof(Block) + capacity * each));
  b->capacity = capacity;
  return b;
}

void JsonValue::release(Block* b, Kind kind, std::size_t capacity) noexcept {
  const std::size_t each = kind == Kind::Array ? sizeof(JsonValue) : sizeof(Member);
  ::operator delete(b, sizeof(Block) + capacity * each);
}

void JsonValue::set_text(Kind kind, std::string_view text) {
  if (text.size() <= kInline) {
    if (!text.empty()) std::memcpy(raw_, text.data(), text.size());
    small_ = static_cast<std::uint8_t>(text.size() + 1);
  } else {
    char* p = static_cast<char*>(::operator new(text.size()));
    std::memcpy(p, text.data(), text.size());
    set_ptr(p);
    set_count(text.size());
    small_ = 0;
  }
  kind_ = kind;
}

void JsonValue::make_container(Kind kind, std::size_t capacity) {
  set_ptr(capacity == 0 ? nullptr : allocate(kind, capacity));
  set_count(0);
  kind_ = kind;
}

void JsonValue::reserve_one() {
  Block* b = block();
  const std::size_t n = count();
  if (b != nullptr && n < b->capacity) return;
  // Only reached when the expected count was wrong or unknown.
  const std::size_t capacity = n < 2 ? 4 : n * 2;
  Block* grown = allocate(kind_, capacity);
  if (kind_ == Kind::Array) {
    auto* to = reinterpret_cast<JsonValue*>(grown + 1);
    for (std::size_t i = 0; i < n; ++i) std::construct_at(to + i, std::move(items()[i]));
  } else {
    auto* to = reinterpret_cast<Member*>(grown + 1);
    for (std::size_t i = 0; i < n; ++i) {
      std::construct_at(to + i, std::move(members()[i]));
      std::destroy_at(members() + i);
    }
  }
  if (b != nullptr) release(b, kind_, b->capacity);
  set_ptr(grown);
}

JsonValue JsonValue::boolean(bool b) {
  JsonValue v;
  v.kind_ = Kind::Bool;
  v.raw_[0] = b ? 1 : 0;
  return v;
}

JsonValue JsonValue::number(std::string_view text) {
  JsonValue v;
  v.set_text(Kind::Number, text);
  return v;
}

JsonValue JsonValue::string(std::string_view s) {
  JsonValue v;
  v.set_text(Kind::String, s);
  return v;
}

JsonValue JsonValue::array(Array elements) {
  JsonValue v;
  v.make_container(Kind::Array, elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) std::construct_at(v.items() + i, std::move(elements[i]));
  v.set_count(elements.size());
  return v;
}

JsonValue JsonValue::object(Object members) {
  JsonValue v;
  v.make_container(Kind::Object, members.size());
  for (std::size_t i = 0; i < members.size(); ++i) std::construct_at(v.members() + i, std::move(members[i]));
  v.set_count(members.size());
  if (v.block() != nullptr) v.set_count(sort_unique(v.members(), members.size()));
  return v;
}

JsonValue::JsonValue(const JsonValue& other) {
  set_null();
  // Build into a local, so that a failed allocation frees what was copied.
  // Containers are copied empty first and filled from the work list; a
  // container not reached yet is empty, so the partial tree stays valid.
  JsonValue root;
  std::vector<std::pair<const JsonValue*, JsonValue*>> work;
  auto shallow = [&work](const JsonValue& src, JsonValue& dst) {
    switch (src.kind_) {
      case Kind::Null:
        break;
      case Kind::Bool:
        dst.raw_[0] = src.raw_[0];
        dst.kind_ = Kind::Bool;
        break;
      case Kind::Number:
      case Kind::String:
        dst.set_text(src.kind_, src.as_string());
        break;
      case Kind::Array:
      case Kind::Object:
        dst.make_container(src.kind_, src.count());
        work.emplace_back(&src, &dst);
        break;
    }
  };
  shallow(other, root);
  while (!work.empty()) {
    auto [src, dst] = work.back();
    work.pop_back();
    const std::size_t n = src->count();
    if (src->kind_ == Kind::Array) {
      for (std::size_t i = 0; i < n; ++i) {
        std::construct_at(dst->items() + i);
        dst->set_count(i + 1);
        shallow(src->items()[i], dst->items()[i]);
      }
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        std::construct_at(dst->members() + i, std::piecewise_construct, std::forward_as_tuple(src->members()[i].first),
                          std::forward_as_tuple());
        dst->set_count(i + 1);
        shallow(src->members()[i].second, dst->members()[i].second);
      }
    }
  }
  take(root);
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

void JsonValue::destroy() noexcept {
  switch (kind_) {
    case Kind::Null:
    case Kind::Bool:
      break;
    case Kind::Number:
    case Kind::String:
      if (small_ == 0) ::operator delete(ptr(), count());
      break;
    case Kind::Array:
    case Kind::Object:
      destroy_tree();
      break;
  }
  set_null();
}

void JsonValue::destroy_tree() noexcept {
  // Children are freed from the back. A child that is a container with
  // children is descended into, remembering in its block where it was
  // found; once empty, it releases its block, turns null and is popped
  // from there. Popping only ever destroys a leaf, so nothing recurses.
  JsonValue* cur = this;
  for (;;) {
    const std::size_t n = cur->count();
    if (n != 0) {
      JsonValue& last = cur->kind_ == Kind::Array ? cur->items()[n - 1] : cur->members()[n - 1].second;
      if (last.is_container() && last.count() != 0) {
        last.block()->up = cur;
        cur = &last;
        continue;
      }
      if (cur->kind_ == Kind::Array) {
        std::destroy_at(&last);
      } else {
        std::destroy_at(cur->members() + n - 1);
      }
      cur->set_count(n - 1);
      continue;
    }
    // Empty now. The capacity was overwritten on the way down, but the
    // sized delete only needs what operator new was given, which a plain
    // delete does not: so free unsized.
    JsonValue* up = cur == this || cur->block() == nullptr ? nullptr : cur->block()->up;
    if (cur->block() != nullptr) ::operator delete(cur->block());
    cur->set_null();
    if (cur == this) return;
    cur = up;
  }
}

bool JsonValue::as_bool() const { return kind_ == Kind::Bool && raw_[0] != 0; }

std::string_view JsonValue::number_text() const {
  if (kind_ != Kind::Number && kind_ != Kind::String) return {};
  if (small_ != 0) return {reinterpret_cast<const char*>(raw_), static_cast<std::size_t>(small_ - 1)};
  return {static_cast<const char*>(ptr()), count()};
}

std::string_view JsonValue::as_string() const { return number_text(); }

std::span<const JsonValue> JsonValue::as_array() const {
  if (kind_ != Kind::Array || count() == 0) return {};
  return {items(), count()};
}

std::span<const JsonValue::Member> JsonValue::as_object() const {
  if (kind_ != Kind::Object || count() == 0) return {};
  return {members(), count()};
}

const JsonValue* JsonValue::find(std::string_view key) const {
  const auto m = as_object();
  auto it = std::lower_bound(m.begin(), m.end(), key,
                             [](const Member& x, std::string_view k) { return std::string_view(x.first) < k; });
  if (it == m.end() || it->first != key) return nullptr;
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
        if (a->as_bool() != b->as_bool()) return false;
        break;
      case Kind::Number:
      case Kind::String:
        if (a->as_string() != b->as_string()) return false;
        break;
      case Kind::Array: {
        const auto x = a->as_array();
        const auto y = b->as_array();
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i) work.emplace_back(&x[i], &y[i]);
        break;
      }
      case Kind::Object: {
        const auto x = a->as_object();
        const auto y = b->as_object();
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

namespace {

// `flush(out)` is offered the text so far after each piece, so a caller
// can hash it in blocks instead of holding the whole text.
template <class Flush>
void write_canonical_in_pieces(const JsonValue& value, std::string& out, Flush&& flush) {
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
    flush(out);
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

}  // namespace

void write_canonical(const JsonValue& value, std::string& out) {
  write_canonical_in_pieces(value, out, [](std::string&) {});
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
  // Large arguments are hashed in blocks as they are written, so the
  // text never has to exist whole beside the tree.
  constexpr std::size_t kBlock = 8 * 1024;
  struct CanonicalText;
  std::string& canonical = detail::scratch_text<CanonicalText>();
  std::optional<crypto::Sha256> stream;
  write_canonical_in_pieces(args, canonical, [&stream](std::string& text) {
    if (text.size() < kBlock) return;
    if (!stream) stream.emplace();
    stream->update(crypto::as_bytes(text));
    text.clear();
  });
  crypto::Digest digest;
  if (stream) {
    stream->update(crypto::as_bytes(canonical));
    digest = stream->finish();
  } else {
    digest = crypto::sha256(crypto::as_bytes(canonical));
  }
  detail::trim_scratch(canonical);
  return digest;
}

std::string Context::args_hash() const { return hex_encode(args_digest().span()); }

// --- reading the context input ----------------------------------------------

namespace json {

// Fills "args" in place: each container is built where it will stay, the
// value of an object member right behind its key, so nothing is moved
// after it is read. Each container is given room for the children the
// document shows it has, so none grows by doubling.
class TreeBuilder {
 public:
  using Kind = JsonValue::Kind;
  // Turns the null `v` into an empty container with room for `expected`
  // children.
  static void open(JsonValue& v, Shape s, std::size_t expected) {
    v.make_container(s == Shape::Array ? Kind::Array : Kind::Object, expected);
  }
  // Gives an object its sorted, unique keys once its last member is in.
  static void close(JsonValue& v) {
    if (v.kind_ == Kind::Object && v.count() > 1) v.set_count(JsonValue::sort_unique(v.members(), v.count()));
  }
  static void key(JsonValue& object, std::string_view k) {
    object.reserve_one();
    const std::size_t n = object.count();
    std::construct_at(object.members() + n, std::piecewise_construct, std::forward_as_tuple(k),
                      std::forward_as_tuple());
    object.set_count(n + 1);
  }
  // Where the next value of an open container goes: a new element, or the
  // member whose key came last.
  static JsonValue& next(JsonValue& container) {
    if (container.kind_ == Kind::Array) {
      container.reserve_one();
      const std::size_t n = container.count();
      std::construct_at(container.items() + n);
      container.set_count(n + 1);
      return container.items()[n];
    }
    return container.members()[container.count() - 1].second;
  }
  // Precondition: `v` is null.
  static void scalar(JsonValue& v, const Scalar& s) {
    switch (s.kind) {
      case Scalar::Kind::Null:
        return;
      case Scalar::Kind::Bool:
        v.raw_[0] = s.b ? 1 : 0;
        v.kind_ = Kind::Bool;
        return;
      case Scalar::Kind::Number:
        v.set_text(Kind::Number, s.text);
        return;
      case Scalar::Kind::String:
        v.set_text(Kind::String, s.text);
        return;
    }
  }
};

}  // namespace json

namespace {

// The frame of one container inside "args".
struct TreeFrame {
  using Value = JsonValue;
  using Builder = json::TreeBuilder;

  // Precondition: `v` is null.
  static void open(json::Reader& r, JsonValue& v, json::Shape s) {
    Builder::open(v, s, r.expected_children());
    r.push<TreeFrame>(v, s);
  }

  static bool begin(json::Reader& r, json::Frame& f, json::Shape s) {
    if (!r.within_budget()) return false;
    open(r, Builder::next(f.as<JsonValue>()), s);
    return true;
  }
  static bool scalar(json::Reader&, json::Frame& f, const json::Scalar& s) {
    Builder::scalar(Builder::next(f.as<JsonValue>()), s);
    return true;
  }
  static bool key(json::Reader&, json::Frame& f, std::string_view k) {
    Builder::key(f.as<JsonValue>(), k);
    return true;
  }
  static bool end(json::Reader& r, json::Frame& f) {
    Builder::close(f.as<JsonValue>());
    r.pop();
    return true;
  }
  static constexpr json::FrameOps kOps{&begin, &scalar, &key, &end};
};

// "args": any value, kept whole.
struct ArgsSink {
  using Value = JsonValue;
  static bool store(json::Reader&, JsonValue& v, const json::Scalar& s) {
    v = JsonValue();
    json::TreeBuilder::scalar(v, s);
    return true;
  }
  static bool open(json::Reader& r, JsonValue& v, json::Shape s) {
    v = JsonValue();
    TreeFrame::open(r, v, s);
    return true;
  }
};

// "env": an object of strings, or null for none. Of repeated names the
// last value is kept.
struct EnvFrame {
  using Value = Env;
  static constexpr std::string_view kExpecting = "a map";

  static bool store(json::Reader& r, Env& env, const json::Scalar& s) {
    if (s.kind != json::Scalar::Kind::Null) return r.fail_type(s, kExpecting);
    env.clear();
    return true;
  }
  static bool open(json::Reader& r, Env& env, json::Shape s) {
    if (s != json::Shape::Object) return r.fail_type(s, kExpecting);
    r.push<EnvFrame>(env, s);
    return true;
  }

  static bool begin(json::Reader& r, json::Frame&, json::Shape s) {
    return r.within_budget() && r.fail_type(s, json::String::kExpecting);
  }
  static bool scalar(json::Reader& r, json::Frame& f, const json::Scalar& s) {
    if (s.kind != json::Scalar::Kind::String) return r.fail_type(s, json::String::kExpecting);
    f.as<Env>().insert_or_assign(r.key_buffer(), std::string(s.text));
    return true;
  }
  static bool key(json::Reader& r, json::Frame&, std::string_view k) {
    r.key_buffer().assign(k);
    return true;
  }
  static bool end(json::Reader& r, json::Frame&) {
    r.pop();
    return true;
  }
  static constexpr json::FrameOps kOps{&begin, &scalar, &key, &end};
};

struct CtxInSchema : json::RecordRules {
  using Record = CtxIn;
  static constexpr std::string_view kName = "struct CtxIn";
  static constexpr std::tuple kFields{
      json::optional_field<&CtxIn::now_ms, json::Nullable<json::UInt<std::uint64_t>>>("nowMs"),
      json::field<&CtxIn::caller, json::String>("caller"),
      json::field<&CtxIn::tool, json::String>("tool"),
      json::field<&CtxIn::args, ArgsSink>("args"),
      json::optional_field<&CtxIn::env, EnvFrame>("env"),
  };
};

// Nesting budget of the context input: the outer value and everything
// inside "args" and "env" together may nest 127 levels.
constexpr std::size_t kCtxBudget = 128;

}  // namespace

namespace json {

std::expected<CtxIn, std::string> read_ctx_in(std::string_view text) {
  return read<Record<CtxInSchema>>(text, kCtxBudget);
}

}  // namespace json

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
