// The request being authorized, its JSON argument value, and the canonical
// argument hash recorded in receipts.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/internal/crypto.hpp"

namespace velnor {

// A JSON value whose numbers keep their exact source text ("1.50", "-0" and
// "1E3" stay as written). An object holds each key once, members kept in
// ascending order of the keys' UTF-8 bytes; when the input repeats a key
// the later member wins. Copy, destruction and canonical writing use an
// explicit stack, so nesting depth never turns into recursion depth.
class JsonValue {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };
  using Array = std::vector<JsonValue>;
  using Member = std::pair<std::string, JsonValue>;
  using Object = std::vector<Member>;

  JsonValue() noexcept;  // null
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
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue();

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
  void destroy() noexcept;

  Kind kind_;
  bool bool_ = false;
  std::string text_;  // number text or string
  void* children_ = nullptr;  // Array* or Object*, owned
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
