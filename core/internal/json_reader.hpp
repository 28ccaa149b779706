// A reader of JSON documents into records, on Boost.JSON's event parser.
// It knows no document: each module describes its records with typed field
// tables (json::Field) and, where a document has rules of its own, a frame
// of its own (json::FrameOps); this layer runs the parser, keeps the frames,
// names faults and converts scalars. Every error is a description followed
// by " at line L column C" (1-based, in the decoded JSON text).
//
// Position: L and C locate the last byte the reader had consumed when it
// detected the fault. C counts bytes since the last line feed (a line feed
// is the last column of the line it ends); nothing consumed is column 0.
// So a fault found in a value points at the value's last byte (the closing
// quote of a string or key, the last digit of a number, the last letter of
// a literal), a container of the wrong type at its opening bracket, a
// missing field or wrong length at the closing bracket, a syntax fault at the
// offending byte, trailing characters at the first of them, and an
// unexpected end at the last byte of the text.
//
// What is accepted, for every document: one RFC 8259 value with optional
// whitespace around it; valid UTF-8 only, and no lone surrogate escapes.
// Members come in any order; members the record does not know are skipped
// at every level (still checked for well-formedness, nested to any depth);
// a known member twice is refused, also when its first value was null. A
// record may instead be written as an array of its members in declaration
// order. Numbers of any size and any exponent are accepted where they are
// kept as text or skipped.
//
// Descriptions:
//   syntax     "expected value", "key must be a string", "expected `:`",
//              "expected `,` or `]`", "expected `,` or `}`", "invalid number",
//              "invalid escape", "invalid unicode code point", "invalid UTF-8",
//              "control character (\u0000-\u001F) found while parsing a string",
//              "EOF while parsing a value" (also "a string", "a list",
//              "an object"), "trailing characters",
//              "recursion limit exceeded" (documents read with a budget)
//   records    "missing field `x`" (first missing in declaration order),
//              "duplicate field `x`",
//              "invalid type: {found}, expected {thing}",
//              "invalid value: integer `256`, expected u8",
//              "invalid length N, expected {thing with K elements}" for an
//              array form with N elements, too few or too many,
//              "hex string has odd length", "invalid digit found in string"
//   {found}    null, boolean `true`, integer `5`, floating point `1.5`
//              (numbers as written), string "abc" (quoted with escapes),
//              sequence, map
//   {thing}    a string, a hex string, u8, u64, a sequence, a map, or the
//              record's own name ("struct Capability")
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/internal/small_stack.hpp"

namespace velnor::json {

enum class Shape : std::uint8_t { Array, Object };

// One scalar as the parser delivered it.
struct Scalar {
  enum class Kind : std::uint8_t { Null, Bool, Number, String };
  // What the parser made of a number: integers that fit 64 bits arrive
  // with their value, everything else only as text.
  enum class Int : std::uint8_t { None, Signed, Unsigned };
  Kind kind;
  bool b = false;
  std::string_view text;  // number source text or decoded string
  Int in = Int::None;
  std::uint64_t bits = 0;  // the integer; Signed: two's complement
};

// Whether number text is written as an integer (no fraction, no exponent).
bool is_integer_text(std::string_view number);

// The {found} and {thing} parts of messages.
std::string found(const Scalar& s);
std::string_view found(Shape s);
std::string type_error(std::string_view found, std::string_view expected);
std::string length_error(std::size_t n, std::string_view expected);
std::string field_error(std::string_view what, std::string_view name);
// "struct X with N elements" ("1 element").
std::string elements_text(std::string_view record, std::size_t n);

class Reader;

// What reads the values inside one open container. `dest` of the frame is
// the object being filled; only the FrameOps a push<> paired with it ever
// casts it back, so the pairing is checked when it compiles.
struct Frame;
struct FrameOps {
  bool (*begin)(Reader&, Frame&, Shape);  // a container opens inside
  bool (*scalar)(Reader&, Frame&, const Scalar&);
  bool (*key)(Reader&, Frame&, std::string_view);
  bool (*end)(Reader&, Frame&);  // this frame's own container closes
};

inline constexpr std::int16_t kUnknown = -1;

struct Frame {
  const FrameOps* ops;  // nullptr: a value being skipped
  void* dest;
  Shape shape;
  std::int16_t slot;   // object form: the field the next value fills, or kUnknown
  std::uint32_t seen;  // object form: one bit per field already named
  std::size_t count;   // array form: elements begun so far
  std::size_t base;    // skipped value: depth at which it ends

  template <class T>
  T& as() const {
    return *static_cast<T*>(dest);
  }
};

class Reader {
 public:
  // `budget`: nesting depth at which containers the document keeps are
  // refused with "recursion limit exceeded"; 0 for none.
  Reader(std::string_view text, std::size_t budget) : text_(text), budget_(budget) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Reads the whole text into `root` through the frame `Root` reads with;
  // the error is the located description.
  template <class Root>
  std::optional<std::string> read(typename Root::Value& root) {
    push<Root>(root, Shape::Array);
    return run();
  }

  // --- for frames ----------------------------------------------------------
  // Each returns false after recording why, so a frame can return them.
  bool fail(std::string msg) {
    fault_ = std::move(msg);
    return false;
  }
  bool fail_type(const Scalar& s, std::string_view expected) { return fail(type_error(found(s), expected)); }
  bool fail_type(Shape s, std::string_view expected) { return fail(type_error(found(s), expected)); }
  // Refuses a container kept at or past the nesting budget.
  bool within_budget() { return budget_ == 0 || depth_ < budget_ || fail("recursion limit exceeded"); }

  // A fault that counts only if the frame later finds it matters; the first
  // one is kept.
  void defer(std::string msg) {
    if (deferred_.empty()) deferred_ = std::move(msg);
  }
  const std::string& deferred() const { return deferred_; }
  void clear_deferred() { deferred_.clear(); }
  // Room for the frame that reads an object's keys as data.
  std::string& key_buffer() { return key_; }
  // Children of the container being opened, as a lexical count found them
  // (0 when not counted).
  std::size_t expected_children() const { return expected_; }

  // The frame `Ops` reads `dest` with; `Ops::kOps` and `Ops::Value` pair them.
  template <class Ops>
  void push(typename Ops::Value& dest, Shape s) {
    push_frame(&Ops::kOps, s, &dest, 0);
  }
  // Skips the container that has just opened.
  bool skip() {
    push_frame(nullptr, shapes_.top(), nullptr, depth_ - 1);
    return true;
  }
  void pop() { frames_.pop_back(); }

  // Parser events; public for the parser's handler only.
  bool on_begin(Shape s);
  bool on_end();
  void on_part(std::string_view s) {
    if (!synthetic_) part_.append(s);
  }
  bool on_key(std::string_view s);
  bool on_string(std::string_view s);
  bool on_number(std::string_view s, Scalar::Int in, std::uint64_t bits);
  bool on_bool(bool b);
  bool on_null();
  bool window_full();

 private:
  // The shapes of all open containers, one bit per level.
  class ShapeStack {
   public:
    void push(Shape s);
    // Popping or reading an empty stack is a caller's bug; it must not read
    // out of bounds, so it degrades to "no container".
    void pop() {
      if (size_ != 0) --size_;
    }
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    Shape at(std::size_t i) const;
    Shape top() const { return at(size_ - 1); }

   private:
    static constexpr std::size_t kInline = 4;
    std::array<std::uint64_t, kInline> inline_{};
    std::vector<std::uint64_t> more_;
    std::size_t size_ = 0;
  };

  std::optional<std::string> run();
  std::optional<std::string> after_exponent_overflow(std::size_t& pos, bool& resume);
  void build_prefix();
  bool scalar(const Scalar& s);
  // Whole text of a string, key or number that may have come in parts.
  std::string_view assemble(std::string_view last) {
    if (part_.empty()) return last;
    part_.append(last);
    return part_;
  }
  // Fills the new frame where it lies: copying in a frame assembled
  // elsewhere would read it back before its parts had been stored.
  void push_frame(const FrameOps* ops, Shape s, void* dest, std::size_t base) {
    Frame& f = frames_.emplace_back();
    f.ops = ops;
    f.shape = s;
    f.slot = kUnknown;
    f.dest = dest;
    f.base = base;
  }

  std::string_view text_;
  std::size_t budget_;

  // Inline room for the usual shallow document, so reading a context
  // allocates only for the values it keeps.
  detail::SmallStack<Frame, 8> frames_;
  ShapeStack shapes_;          // every open container of the document
  std::size_t depth_ = 0;      // == shapes_.size()
  std::size_t run_depth_ = 0;  // containers opened in the current parser run
  bool synthetic_ = false;     // the parser is reading our resume prefix
  bool window_full_ = false;

  std::string part_;
  std::string key_;
  std::string deferred_;
  std::string prefix_;

  // Children of every container in opening order, and how many have opened.
  std::vector<std::uint32_t> children_;
  std::size_t opened_ = 0;
  std::size_t expected_ = 0;  // children of the container being opened

  std::string fault_;
  std::size_t adjust_ = 0;  // parser offset to "bytes consumed" for the current event
};

// Reads `text` into a new value through the sink `Sink`.
template <class Sink>
std::expected<typename Sink::Value, std::string> read(std::string_view text, std::size_t budget = 0);

// --- sinks: where one value goes ---------------------------------------------
// A sink names the C++ type it fills (`Value`) and converts a scalar into it
// (`store`) or opens a container for it (`open`, which pushes the frame that
// reads it or refuses the shape).

// Scalars only: any container is refused as the wrong type.
template <class Derived>
struct ScalarSink {
  template <class V>
  static bool open(Reader& r, V&, Shape s) {
    return r.fail_type(s, Derived::kExpecting);
  }
};

struct String : ScalarSink<String> {
  using Value = std::string;
  static constexpr std::string_view kExpecting = "a string";
  static bool store(Reader& r, std::string& v, const Scalar& s) {
    if (s.kind != Scalar::Kind::String) return r.fail_type(s, kExpecting);
    v.assign(s.text);
    return true;
  }
};

// The integer value of a number that is a whole number from 0 to `max`,
// written any way JSON allows ("-0", "1e2" is refused as a float); the
// message otherwise.
std::expected<std::uint64_t, std::string> to_uint(const Scalar& s, std::uint64_t max, std::string_view expected);

template <class T>
struct UInt : ScalarSink<UInt<T>> {
  static_assert(std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint64_t>);
  using Value = T;
  static constexpr std::string_view kExpecting = std::is_same_v<T, std::uint8_t> ? "u8" : "u64";
  static bool store(Reader& r, T& v, const Scalar& s) {
    auto n = to_uint(s, std::numeric_limits<T>::max(), kExpecting);
    if (!n) return r.fail(std::move(n.error()));
    v = static_cast<T>(*n);
    return true;
  }
};

// Hex digits of either case; `Length` bytes exactly, or any length for 0:
// "invalid length N, expected 16 bytes".
template <std::size_t Length = 0>
struct Hex : ScalarSink<Hex<Length>> {
  using Value = std::vector<std::uint8_t>;
  static constexpr std::string_view kExpecting = "a hex string";
  static bool store(Reader& r, Value& v, const Scalar& s);
};
bool store_hex(Reader& r, std::vector<std::uint8_t>& v, const Scalar& s, std::size_t length);
template <std::size_t Length>
bool Hex<Length>::store(Reader& r, Value& v, const Scalar& s) {
  return store_hex(r, v, s, Length);
}

// null leaves the value empty; anything else goes to `Sink`.
template <class Sink>
struct Nullable : ScalarSink<Nullable<Sink>> {
  using Value = std::optional<typename Sink::Value>;
  static constexpr std::string_view kExpecting = Sink::kExpecting;
  static bool store(Reader& r, Value& v, const Scalar& s) {
    if (s.kind == Scalar::Kind::Null) {
      v.reset();
      return true;
    }
    typename Sink::Value read{};
    if (!Sink::store(r, read, s)) return false;
    v = std::move(read);
    return true;
  }
};

// --- field tables --------------------------------------------------------------

template <class C, class M>
C record_of(M C::*);
template <class C, class M>
M member_of(M C::*);

// One member of a record: its JSON name, whether it must appear, and the
// sink that fills it. A sink for another type than the member's does not
// compile.
template <auto Member, class Sink>
struct Field {
  using Record = decltype(record_of(Member));
  static_assert(std::is_same_v<decltype(member_of(Member)), typename Sink::Value>,
                "the sink fills another type than this member");
  std::string_view name;
  bool required = true;

  static bool store(Reader& r, Record& rec, const Scalar& s) { return Sink::store(r, rec.*Member, s); }
  static bool open(Reader& r, Record& rec, Shape s) { return Sink::open(r, rec.*Member, s); }
};

template <auto Member, class Sink>
constexpr Field<Member, Sink> field(std::string_view name) {
  return {name, true};
}
template <auto Member, class Sink>
constexpr Field<Member, Sink> optional_field(std::string_view name) {
  return {name, false};
}

// The default rules of a record: every field in the table, in both forms.
// A schema derives from it and replaces what its document does otherwise.
struct RecordRules {
  // Object form: whether member `i`, named by now, is read as unknown.
  template <class R>
  static bool member_skipped(const R&, std::uint32_t /*seen*/, std::size_t /*i*/) {
    return false;
  }
  // Array form: the field that element `e` fills (>= the field count: none).
  template <class R>
  static std::size_t element_field(const R&, std::size_t e) {
    return e;
  }
  // Object form: whether field `i` must be present.
  template <class R>
  static bool required(const R&, std::size_t /*i*/, bool declared) {
    return declared;
  }
  // Array form: the number of elements required (`fields`: every field).
  template <class R>
  static std::size_t elements(const R&, std::size_t fields) {
    return fields;
  }
  // Called once the record is complete and accepted.
  template <class R>
  static void finish(R&) {}
};

// The frame that reads a record described by `Schema`: a struct with
// `Record`, `kName` ("struct Capability"), a constexpr tuple `kFields` of
// fields, and the rules of RecordRules, which it derives from.
template <class Schema>
class RecordFrame {
 public:
  using Value = typename Schema::Record;
  static constexpr std::size_t kCount = std::tuple_size_v<std::remove_cvref_t<decltype(Schema::kFields)>>;
  static_assert(kCount <= 32, "one bit per field in Frame::seen");

  static bool begin(Reader& r, Frame& f, Shape s) {
    const std::size_t i = next_field(f);
    if (i == kCount) return r.skip();
    if (!r.within_budget()) return false;
    Value& rec = f.as<Value>();
    return with_field(i, [&](auto fld) { return decltype(fld)::open(r, rec, s); });
  }
  static bool scalar(Reader& r, Frame& f, const Scalar& s) {
    const std::size_t i = next_field(f);
    if (i == kCount) return true;
    Value& rec = f.as<Value>();
    return with_field(i, [&](auto fld) { return decltype(fld)::store(r, rec, s); });
  }
  static bool key(Reader& r, Frame& f, std::string_view k) {
    const int i = index_of(k, std::make_index_sequence<kCount>());
    if (i < 0) {
      f.slot = kUnknown;
      return true;
    }
    const std::uint32_t bit = std::uint32_t{1} << i;
    // A repeated member is refused even when its first value was null.
    if ((f.seen & bit) != 0) return r.fail(field_error("duplicate field", k));
    f.seen |= bit;
    f.slot = static_cast<std::int16_t>(i);
    return true;
  }
  static bool end(Reader& r, Frame& f);

  static constexpr FrameOps kOps{&begin, &scalar, &key, &end};

 private:
  static std::size_t next_field(Frame& f) {
    const Value& rec = f.as<Value>();
    if (f.shape == Shape::Object) {
      if (f.slot < 0) return kCount;
      const auto i = static_cast<std::size_t>(f.slot);
      return Schema::member_skipped(rec, f.seen, i) ? kCount : i;
    }
    // Elements past the last field are read and counted so that the length
    // error can name how many there were.
    const std::size_t i = Schema::element_field(rec, f.count++);
    return i < kCount ? i : kCount;
  }

  template <class F, std::size_t... I>
  static bool with_field(std::size_t i, F&& fn, std::index_sequence<I...>) {
    bool ok = true;
    (void)((i == I ? (ok = fn(std::get<I>(Schema::kFields)), true) : false) || ...);
    return ok;
  }
  template <class F>
  static bool with_field(std::size_t i, F&& fn) {
    return with_field(i, std::forward<F>(fn), std::make_index_sequence<kCount>());
  }

  // The names are constants here, so each comparison compiles to a length
  // check and a few word compares rather than a call to memcmp.
  template <std::size_t... I>
  static int index_of(std::string_view k, std::index_sequence<I...>) {
    int index = -1;
    (void)((k.size() == std::get<I>(Schema::kFields).name.size() &&
                    std::memcmp(k.data(), std::get<I>(Schema::kFields).name.data(),
                                std::get<I>(Schema::kFields).name.size()) == 0
                ? (index = static_cast<int>(I), true)
                : false) ||
           ...);
    return index;
  }

  template <std::size_t... I>
  static std::string_view missing(const Value& rec, std::uint32_t seen, std::index_sequence<I...>) {
    std::string_view name;
    // Missing members are named in declaration order.
    (void)(((Schema::required(rec, I, std::get<I>(Schema::kFields).required) &&
             (seen & (std::uint32_t{1} << I)) == 0)
                ? (name = std::get<I>(Schema::kFields).name, true)
                : false) ||
           ...);
    return name;
  }
};

template <class Schema>
bool RecordFrame<Schema>::end(Reader& r, Frame& f) {
  Value& rec = f.as<Value>();
  if (f.shape == Shape::Object) {
    const std::string_view name = missing(rec, f.seen, std::make_index_sequence<kCount>());
    if (!name.empty()) return r.fail(field_error("missing field", name));
  } else if (const std::size_t want = Schema::elements(rec, kCount); f.count != want) {
    return r.fail(length_error(f.count, elements_text(Schema::kName, want)));
  }
  Schema::finish(rec);
  r.pop();
  return true;
}

// A record read with the frame above; any scalar is the wrong type.
template <class Schema>
struct Record {
  using Value = typename Schema::Record;
  static bool store(Reader& r, Value&, const Scalar& s) { return r.fail_type(s, Schema::kName); }
  static bool open(Reader& r, Value& v, Shape s) {
    r.push<RecordFrame<Schema>>(v, s);
    return true;
  }
};

inline constexpr std::size_t kListStart = 4;

// An array of values of `Sink`, each element appended as it begins.
template <class Sink>
class List {
 public:
  using Value = std::vector<typename Sink::Value>;
  static bool store(Reader& r, Value&, const Scalar& s) { return r.fail_type(s, "a sequence"); }
  static bool open(Reader& r, Value& v, Shape s) {
    if (s != Shape::Array) return r.fail_type(s, "a sequence");
    // Room for a few elements even when the count is not known (short
    // documents are not counted first): nearly every list is a handful of
    // caveats, which then never regrow.
    v.reserve(std::max<std::size_t>(r.expected_children(), kListStart));
    r.push<List>(v, s);
    return true;
  }

  static bool begin(Reader& r, Frame& f, Shape s) {
    auto& e = f.as<Value>().emplace_back();
    return r.within_budget() && Sink::open(r, e, s);
  }
  static bool scalar(Reader& r, Frame& f, const Scalar& s) { return Sink::store(r, f.as<Value>().emplace_back(), s); }
  static bool key(Reader&, Frame&, std::string_view) { return true; }
  static bool end(Reader& r, Frame&) {
    r.pop();
    return true;
  }
  static constexpr FrameOps kOps{&begin, &scalar, &key, &end};
};

// A record inside an optional, made when its container opens; a scalar,
// null included, is the wrong type.
template <class Schema>
struct OptionalRecord {
  using Value = std::optional<typename Schema::Record>;
  static bool store(Reader& r, Value&, const Scalar& s) { return r.fail_type(s, Schema::kName); }
  static bool open(Reader& r, Value& v, Shape s) { return Record<Schema>::open(r, v.emplace(), s); }
};

// The frame a document's root value is read in.
template <class Sink>
struct RootFrame {
  using Value = typename Sink::Value;
  static bool begin(Reader& r, Frame& f, Shape s) { return r.within_budget() && Sink::open(r, f.as<Value>(), s); }
  static bool scalar(Reader& r, Frame& f, const Scalar& s) { return Sink::store(r, f.as<Value>(), s); }
  static bool key(Reader&, Frame&, std::string_view) { return true; }
  static bool end(Reader&, Frame&) { return true; }
  static constexpr FrameOps kOps{&begin, &scalar, &key, &end};
};

// The result is filled where the caller receives it.
template <class Sink>
std::expected<typename Sink::Value, std::string> read(std::string_view text, std::size_t budget) {
  std::expected<typename Sink::Value, std::string> out;
  Reader reader(text, budget);
  if (auto err = reader.read<RootFrame<Sink>>(*out)) out = std::unexpected(std::move(*err));
  return out;
}

}  // namespace velnor::json
