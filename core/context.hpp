// The request being authorized, its JSON argument value, and the canonical
// argument hash recorded in receipts.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/internal/crypto.hpp"

namespace velnor {

namespace json {
class TreeBuilder;
}

// A JSON value whose numbers keep their exact source text ("1.50", "-0" and
// "1E3" stay as written). An object holds each key once, members kept in
// ascending order of the keys' UTF-8 bytes; when the input repeats a key
// the later member wins. Copy, comparison and canonical writing use an
// explicit stack and destruction walks the tree in place, so nesting depth
// never turns into recursion depth.
class JsonValue {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };
  using Array = std::vector<JsonValue>;
  using Member = std::pair<std::string, JsonValue>;
  using Object = std::vector<Member>;

  JsonValue() noexcept : kind_(Kind::Null) {}  // null
  static JsonValue null() { return JsonValue(); }
  static JsonValue boolean(bool b);
  // `text` must be an RFC 8259 number; the reader guarantees it.
  static JsonValue number(std::string text);
  static JsonValue string(std::string s);
  static JsonValue array(Array elements);
  // Sorts by key bytes; of repeated keys, the last one given is kept.
  static JsonValue object(Object members);

  JsonValue(const JsonValue& other);
  JsonValue& operator=(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept : kind_(Kind::Null) { take(other); }
  JsonValue& operator=(JsonValue&& other) noexcept {
    if (this != &other) {
      destroy();
      take(other);
    }
    return *this;
  }
  ~JsonValue() { destroy(); }

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::Null; }
  // Preconditions: the matching kind.
  bool as_bool() const;
  const std::string& number_text() const;
  const std::string& as_string() const;
  const Array& as_array() const;
  const Object& as_object() const;  // sorted, unique keys

  // The member named `key` of an object, or nullptr (also for non-objects).
  const JsonValue* find(std::string_view key) const;

  bool operator==(const JsonValue& other) const;

 private:
  // The reader fills a tree in place as parser events arrive, which the
  // value-returning factories above would make a chain of moves.
  friend class json::TreeBuilder;

  bool is_container() const { return kind_ == Kind::Array || kind_ == Kind::Object; }
  // Frees whatever the value holds and leaves it null. Nested containers
  // are taken apart iteratively, so depth never becomes recursion depth and
  // tearing down never allocates.
  void destroy() noexcept {
    switch (kind_) {
      case Kind::Null:
      case Kind::Bool:
        break;
      case Kind::Number:
      case Kind::String:
        std::destroy_at(&text_);
        break;
      case Kind::Array:
      case Kind::Object:
        destroy_tree();
        break;
    }
    kind_ = Kind::Null;
  }
  void destroy_tree() noexcept;
  // Precondition: this value is null; `other` is left null.
  void take(JsonValue& other) noexcept {
    switch (other.kind_) {
      case Kind::Null:
      case Kind::Bool:
        break;
      case Kind::Number:
      case Kind::String:
        std::construct_at(&text_, std::move(other.text_));
        std::destroy_at(&other.text_);
        break;
      case Kind::Array:
        std::construct_at(&items_, std::move(other.items_));
        std::destroy_at(&other.items_);
        break;
      case Kind::Object:
        std::construct_at(&members_, std::move(other.members_));
        std::destroy_at(&other.members_);
        break;
    }
    kind_ = other.kind_;
    bool_ = other.bool_;
    other.kind_ = Kind::Null;
  }
  // Sorts by key bytes and keeps the last of each run of equal keys.
  static void sort_unique(Object& members);

  Kind kind_;
  bool bool_ = false;
  // Which member is alive follows kind_: text_ for numbers (their source
  // text) and strings, items_ for arrays, members_ for objects, none for
  // null and booleans.
  union {
    std::string text_;
    Array items_;
    Object members_;
  };
  // Teardown only: the container this one was found in.
  JsonValue* up_ = nullptr;
};

// Appends the canonical text: no whitespace, members sorted by key bytes at
// every level, numbers as their source text, strings escaped minimally.
void write_canonical(const JsonValue& value, std::string& out);

// An instant relative to the Unix epoch, floored: 1.5 s before the epoch
// is {-2, 500'000'000}. Seconds cover every "nowMs" up to 2^64 - 1.
struct Instant {
  std::int64_t secs = 0;
  std::uint32_t nanos = 0;  // 0 ..= 999'999'999
  bool operator==(const Instant&) const = default;

  static Instant from_unix_ms(std::uint64_t ms);
  static Instant now();  // the wall clock, nanosecond resolution
};

using Env = std::map<std::string, std::string, std::less<>>;

struct Context {
  std::string caller;
  std::string tool;
  Instant now;
  JsonValue args;
  Env env;

  // Lowercase hex SHA-256 of write_canonical(args): 64 characters.
  std::string args_hash() const;
  // The same hash as bytes, for writers that format it themselves.
  crypto::Digest args_digest() const;
};

// The context as read from the caller's JSON: "nowMs", "caller", "tool",
// "args", "env". Exists only between reading and building the Context.
struct CtxIn {
  std::optional<std::uint64_t> now_ms;
  std::string caller;
  std::string tool;
  JsonValue args;
  Env env;  // empty when absent or null
};

// Reads one context JSON document. Errors are the reader's description
// followed by " at line L column C", for example
// "missing field `caller` at line 1 column 2".
std::expected<CtxIn, std::string> read_ctx_in(std::string_view json);

// Moves the fields into a Context; reads the wall clock once when no
// "nowMs" was given.
Context into_context(CtxIn&& in);

}  // namespace velnor
