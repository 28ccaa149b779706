// The request being authorized, its JSON argument value, and the canonical
// argument hash recorded in receipts.
#pragma once

#include <cstdint>
#include <cstring>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <span>
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
//
// A value is 16 bytes: text of up to 14 bytes is held inline, longer text
// and the children of a container in one exact-size allocation (an empty
// container has none). So a tree read from JSON costs memory of the order
// of its text whatever its shape: `[0,0,…]` is 8 bytes per input byte,
// `[{},{},…]` about 5.
class JsonValue {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };
  using Array = std::vector<JsonValue>;
  using Member = std::pair<std::string, JsonValue>;
  using Object = std::vector<Member>;

  JsonValue() noexcept { set_null(); }  // null
  static JsonValue null() { return JsonValue(); }
  static JsonValue boolean(bool b);
  // `text` must be an RFC 8259 number; the reader guarantees it.
  static JsonValue number(std::string_view text);
  static JsonValue string(std::string_view s);
  static JsonValue array(Array elements);
  // Sorts by key bytes; of repeated keys, the last one given is kept.
  static JsonValue object(Object members);

  JsonValue(const JsonValue& other);
  JsonValue& operator=(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept { take(other); }
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
  // Preconditions: the matching kind; otherwise false or empty.
  bool as_bool() const;
  std::string_view number_text() const;
  std::string_view as_string() const;
  std::span<const JsonValue> as_array() const;
  std::span<const Member> as_object() const;  // sorted, unique keys

  // The member named `key` of an object, or nullptr (also for non-objects).
  const JsonValue* find(std::string_view key) const;

  bool operator==(const JsonValue& other) const;

 private:
  // The reader fills a tree in place as parser events arrive, which the
  // value-returning factories above would make a chain of moves.
  friend class json::TreeBuilder;

  // The allocation behind a container: this header, then the children.
  // While the tree is built it holds the capacity; while it is torn down,
  // the container to return to, so that teardown needs no stack.
  struct Block {
    union {
      std::size_t capacity;
      JsonValue* up;
    };
  };
  static constexpr std::size_t kInline = 14;

  bool is_container() const { return kind_ == Kind::Array || kind_ == Kind::Object; }
  void set_null() noexcept {
    std::memset(raw_, 0, sizeof raw_);
    small_ = 0;
    kind_ = Kind::Null;
  }
  void* ptr() const {
    void* p = nullptr;
    std::memcpy(&p, raw_, sizeof p);
    return p;
  }
  void set_ptr(void* p) { std::memcpy(raw_, &p, sizeof p); }
  // Text length (heap text) or child count, 48 bits.
  std::size_t count() const {
    std::uint32_t lo = 0;
    std::uint16_t hi = 0;
    std::memcpy(&lo, raw_ + 8, sizeof lo);
    std::memcpy(&hi, raw_ + 12, sizeof hi);
    return std::size_t{lo} | (std::size_t{hi} << 32);
  }
  void set_count(std::size_t n) {
    const auto lo = static_cast<std::uint32_t>(n);
    const auto hi = static_cast<std::uint16_t>(n >> 32);
    std::memcpy(raw_ + 8, &lo, sizeof lo);
    std::memcpy(raw_ + 12, &hi, sizeof hi);
  }
  Block* block() const { return static_cast<Block*>(ptr()); }
  JsonValue* items() const {
    return block() == nullptr ? nullptr : reinterpret_cast<JsonValue*>(block() + 1);
  }
  Member* members() const {
    return block() == nullptr ? nullptr : reinterpret_cast<Member*>(block() + 1);
  }
  // Turns this null value into text of the given kind.
  void set_text(Kind kind, std::string_view text);
  // Turns this null value into an empty container with room for `capacity`
  // children (none allocated for 0).
  void make_container(Kind kind, std::size_t capacity);
  // Room for one more child, growing the block if the capacity is reached.
  void reserve_one();
  static Block* allocate(Kind kind, std::size_t capacity);
  static void release(Block* b, Kind kind, std::size_t capacity) noexcept;

  // Frees whatever the value holds and leaves it null. Nested containers
  // are taken apart iteratively, so depth never becomes recursion depth and
  // tearing down never allocates.
  void destroy() noexcept;
  void destroy_tree() noexcept;
  // Precondition: this value holds nothing; `other` is left null. A value
  // is only bytes and owned pointers, so moving is copying those bytes.
  void take(JsonValue& other) noexcept {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    small_ = other.small_;
    kind_ = other.kind_;
    other.set_null();
  }
  // Sorts by key bytes and keeps the last of each run of equal keys;
  // returns the new member count and destroys the members dropped.
  static std::size_t sort_unique(Member* members, std::size_t n);

  // Pointer and 48-bit count, or inline text; a boolean in raw_[0].
  alignas(8) unsigned char raw_[kInline];
  std::uint8_t small_;  // inline text: its length + 1; 0 otherwise
  Kind kind_;
};
static_assert(sizeof(JsonValue) == 16);

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

namespace json {
// The same; the reader's entry for the context input document.
std::expected<CtxIn, std::string> read_ctx_in(std::string_view text);
}  // namespace json

// Moves the fields into a Context; reads the wall clock once when no
// "nowMs" was given.
Context into_context(CtxIn&& in);

}  // namespace velnor
