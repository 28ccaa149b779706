#include "core/internal/json_reader.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/system/errc.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/audit.hpp"
#include "core/capability.hpp"
#include "core/context.hpp"
#include "core/hex.hpp"
#include "core/proof.hpp"
#include "core/internal/quote.hpp"
#include "core/internal/small_stack.hpp"

namespace velnor::json {
namespace {

namespace bj = boost::json;

// Boost's parser descends one C++ call per nesting level, so one parser
// run is never allowed to open more than kWindow containers. When a skipped
// value goes deeper, the run is cancelled at the opening bracket and a new
// run starts there; when that value ends, a further run resumes the
// enclosing containers behind a synthetic prefix that reopens up to
// kResumeLevels of them. Every byte is parsed once and the call depth stays
// bounded whatever the nesting, so unknown members nest without limit.
constexpr std::size_t kWindow = 256;
constexpr std::size_t kResumeLevels = kWindow / 2;
// Documents longer than this have their containers' children counted first.
constexpr std::size_t kPrecountFrom = 4096;

enum class Shape : std::uint8_t { Array, Object };

// The shapes of all open containers, one bit per level.
class ShapeStack {
 public:
  void push(Shape s) {
    const std::size_t word = size_ / 64;
    if (word >= kInline && word - kInline >= more_.size()) more_.push_back(0);
    std::uint64_t& w = word < kInline ? inline_[word] : more_[word - kInline];
    const std::uint64_t bit = std::uint64_t{1} << (size_ % 64);
    w = s == Shape::Object ? (w | bit) : (w & ~bit);
    ++size_;
  }
  // Popping or reading an empty stack is a caller's bug; it must not read
  // out of bounds, so it degrades to "no container".
  void pop() {
    if (size_ != 0) --size_;
  }
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  Shape at(std::size_t i) const {
    if (i >= size_) return Shape::Array;
    const std::size_t word = i / 64;
    const std::uint64_t w = word < kInline ? inline_[word] : more_[word - kInline];
    return ((w >> (i % 64)) & 1) != 0 ? Shape::Object : Shape::Array;
  }
  Shape top() const { return at(size_ - 1); }

 private:
  static constexpr std::size_t kInline = 4;
  std::array<std::uint64_t, kInline> inline_{};
  std::vector<std::uint64_t> more_;
  std::size_t size_ = 0;
};

// What the next value must be.
enum class Type : std::uint8_t {
  String,
  Hex,
  OptHex,
  U8,
  U64,
  OptU64,
  Args,
  Env,
  EnvValue,
  CaveatList,
  Caveat,
  Summary,
  Outcome,
  OutcomeTag,
  OutcomeReason,
  Capability,
  Receipt,
  CtxIn,
  // Proof documents and the proof a version-2 receipt records: hex strings
  // of one exact length, and the two records.
  Nonce,
  Ed25519Key,
  Ed25519Sig,
  Proof,
  ProofRecord,
  Skip,
};

std::string_view expecting(Type t) {
  switch (t) {
    case Type::String:
    case Type::EnvValue:
    case Type::OutcomeReason:
      return "a string";
    case Type::Hex:
    case Type::OptHex:
    case Type::Nonce:
    case Type::Ed25519Key:
    case Type::Ed25519Sig:
      return "a hex string";
    case Type::U8:
      return "u8";
    case Type::U64:
    case Type::OptU64:
      return "u64";
    case Type::Env:
      return "a map";
    case Type::CaveatList:
      return "a sequence";
    case Type::Caveat:
      return "struct Caveat";
    case Type::Summary:
      return "struct ContextSummary";
    case Type::Outcome:
      return "internally tagged enum Outcome";
    case Type::OutcomeTag:
      return "variant identifier";
    case Type::Capability:
      return "struct Capability";
    case Type::Receipt:
      return "struct Receipt";
    case Type::CtxIn:
      return "struct CtxIn";
    case Type::Proof:
      return "struct Proof";
    case Type::ProofRecord:
      return "struct ProofRecord";
    case Type::Args:
    case Type::Skip:
      break;
  }
  return "any value";
}

// What a frame is reading.
enum class Rec : std::uint8_t {
  Root,
  Capability,
  Caveat,
  Receipt,
  Summary,
  CtxIn,
  Proof,
  ProofRecord,
  CaveatList,
  Outcome,
  Env,
  Value,
  Skip,
};

// The address of one member of a record, given the record's address.
using MemberAt = void* (*)(void*);

template <class C, class M>
C record_of(M C::*);

template <auto P>
void* member(void* record) {
  using C = decltype(record_of(P));
  return &(static_cast<C*>(record)->*P);
}

struct Field {
  std::string_view name;
  Type type;
  bool required;
  MemberAt at;
};

struct Record {
  std::string_view length;  // the expected thing in length errors
  const Field* fields;
  std::size_t count;
  int (*find)(std::string_view key);  // the index of the field so named, or -1
};

constexpr Field kCapabilityFields[] = {
    {"identifier", Type::String, true, &member<&Capability::identifier>},
    {"holder_of_key", Type::OptHex, false, &member<&Capability::holder_of_key>},
    {"caveats", Type::CaveatList, true, &member<&Capability::caveats>},
    {"signature", Type::Hex, true, &member<&Capability::signature>},
};
constexpr Field kCaveatFields[] = {{"predicate", Type::String, true, &member<&Caveat::predicate>}};
constexpr Field kReceiptFields[] = {
    {"version", Type::U8, true, &member<&Receipt::version>},
    {"capability_identifier", Type::String, true, &member<&Receipt::capability_identifier>},
    {"caveats", Type::CaveatList, true, &member<&Receipt::caveats>},
    {"context_summary", Type::Summary, true, &member<&Receipt::context_summary>},
    // Required in version 2 only; a version-1 receipt skips it (kReceiptProof).
    {"proof", Type::ProofRecord, false, &member<&Receipt::proof>},
    {"outcome", Type::Outcome, true, &member<&Receipt::outcome>},
    {"timestamp_ms", Type::U64, true, &member<&Receipt::timestamp_ms>},
    {"signature", Type::Hex, true, &member<&Receipt::signature>},
};
constexpr std::size_t kReceiptProof = 4;
constexpr std::uint8_t kReceiptProofVersion = 2;
constexpr Field kProofFields[] = {
    {"audience", Type::String, true, &member<&Proof::audience>},
    {"issued_at_ms", Type::U64, true, &member<&Proof::issued_at_ms>},
    {"nonce", Type::Nonce, true, &member<&Proof::nonce>},
    {"signature", Type::Ed25519Sig, true, &member<&Proof::signature>},
};
constexpr Field kProofRecordFields[] = {
    {"audience", Type::String, true, &member<&ProofRecord::audience>},
    {"holder_key", Type::Ed25519Key, true, &member<&ProofRecord::holder_key>},
    {"issued_at_ms", Type::U64, true, &member<&ProofRecord::issued_at_ms>},
    {"nonce", Type::Nonce, true, &member<&ProofRecord::nonce>},
    {"signature", Type::Ed25519Sig, true, &member<&ProofRecord::signature>},
};
constexpr Field kSummaryFields[] = {
    {"caller", Type::String, true, &member<&ContextSummary::caller>},
    {"tool", Type::String, true, &member<&ContextSummary::tool>},
    {"args_hash", Type::String, true, &member<&ContextSummary::args_hash>},
};
constexpr Field kCtxFields[] = {
    {"nowMs", Type::OptU64, false, &member<&CtxIn::now_ms>}, {"caller", Type::String, true, &member<&CtxIn::caller>},
    {"tool", Type::String, true, &member<&CtxIn::tool>},     {"args", Type::Args, true, &member<&CtxIn::args>},
    {"env", Type::Env, false, &member<&CtxIn::env>},
};

// The names are constants here, so each comparison compiles to a length
// check and a few word compares rather than a call to memcmp.
template <const auto& Fields, std::size_t... I>
int field_index(std::string_view k, std::index_sequence<I...>) {
  int index = -1;
  (void)((k.size() == Fields[I].name.size() &&
                  std::memcmp(k.data(), Fields[I].name.data(), Fields[I].name.size()) == 0
              ? (index = static_cast<int>(I), true)
              : false) ||
         ...);
  return index;
}

template <const auto& Fields>
int field_index(std::string_view k) {
  return field_index<Fields>(k, std::make_index_sequence<std::size(Fields)>());
}

template <const auto& Fields>
constexpr Record make_record(std::string_view length) {
  return {length, Fields, std::size(Fields), &field_index<Fields>};
}

const Record& record(Rec r) {
  static constexpr Record kCapability = make_record<kCapabilityFields>("struct Capability with 4 elements");
  static constexpr Record kCaveat = make_record<kCaveatFields>("struct Caveat with 1 element");
  static constexpr Record kReceipt = make_record<kReceiptFields>("struct Receipt with 7 elements");
  static constexpr Record kSummary = make_record<kSummaryFields>("struct ContextSummary with 3 elements");
  static constexpr Record kCtx = make_record<kCtxFields>("struct CtxIn with 5 elements");
  static constexpr Record kProof = make_record<kProofFields>("struct Proof with 4 elements");
  static constexpr Record kProofRecord = make_record<kProofRecordFields>("struct ProofRecord with 5 elements");
  switch (r) {
    case Rec::Capability:
      return kCapability;
    case Rec::Caveat:
      return kCaveat;
    case Rec::Receipt:
      return kReceipt;
    case Rec::Summary:
      return kSummary;
    case Rec::Proof:
      return kProof;
    case Rec::ProofRecord:
      return kProofRecord;
    default:
      return kCtx;
  }
}

Rec rec_of(Type t) {
  switch (t) {
    case Type::Caveat:
      return Rec::Caveat;
    case Type::Summary:
      return Rec::Summary;
    case Type::Capability:
      return Rec::Capability;
    case Type::Receipt:
      return Rec::Receipt;
    case Type::Proof:
      return Rec::Proof;
    case Type::ProofRecord:
      return Rec::ProofRecord;
    default:
      return Rec::CtxIn;
  }
}

constexpr std::int16_t kUnknown = -1;

struct Frame {
  Rec rec;
  Shape shape;
  std::int16_t slot;    // object form: the field the next value fills, or kUnknown
  std::uint32_t seen;   // object form: one bit per field already named
  std::size_t count;    // array form: elements begun so far
  void* dest;           // the record being filled; Value: the container being built
  std::size_t base;     // Skip: depth at which the value ends
};

struct Target {
  Type type;
  void* dest;
};

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

// A plain loop: find_first_of would call memchr once per character.
bool is_integer_text(std::string_view t) {
  for (const char c : t) {
    if (c == '.' || c == 'e' || c == 'E') return false;
  }
  return true;
}

std::string found(const Scalar& s) {
  switch (s.kind) {
    case Scalar::Kind::Null:
      return "null";
    case Scalar::Kind::Bool:
      return s.b ? "boolean `true`" : "boolean `false`";
    case Scalar::Kind::Number:
      return std::string(is_integer_text(s.text) ? "integer `" : "floating point `") + std::string(s.text) + "`";
    case Scalar::Kind::String:
      return "string " + text::quoted_str(s.text);
  }
  return {};
}

// The byte length a hex string of this type must decode to; 0 for any.
std::size_t exact_length(Type t) {
  switch (t) {
    case Type::Nonce:
      return kNonceLen;
    case Type::Ed25519Key:
      return ed25519::kPublicKeyLen;
    case Type::Ed25519Sig:
      return ed25519::kSignatureLen;
    default:
      return 0;
  }
}

std::string_view found(Shape s) { return s == Shape::Array ? "sequence" : "map"; }

std::string type_error(std::string_view what, Type t) {
  std::string m = "invalid type: ";
  m += what;
  m += ", expected ";
  m += expecting(t);
  return m;
}

std::string length_error(std::size_t n, std::string_view expected) {
  return "invalid length " + std::to_string(n) + ", expected " + std::string(expected);
}

std::string field_error(std::string_view what, std::string_view name) {
  std::string m(what);
  m += " `";
  m += name;
  m += '`';
  return m;
}

// "line L column C" of the last of the first `consumed` bytes: 1-based, the
// column counting bytes since the last line feed. Nothing consumed is
// column 0.
std::string locate(std::string_view desc, std::string_view text, std::size_t consumed) {
  consumed = std::min(consumed, text.size());
  std::size_t line = 1;
  std::size_t column = 0;
  if (consumed > 0) {
    const std::size_t last = consumed - 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < last; ++i) {
      if (text[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    column = last - line_start + 1;
  }
  std::string m(desc);
  m += " at line ";
  m += std::to_string(line);
  m += " column ";
  m += std::to_string(column);
  return m;
}

// Names the syntax fault Boost stopped at. Everything before `p` was
// accepted by Boost, so a light forward scan is enough to know whether `p`
// lies in a string, an escape, a number, and what the grammar expected.
// Only runs once, on failure.
struct Diagnosis {
  std::string_view desc;
  std::size_t consumed;
};

Diagnosis diagnose(std::string_view text, std::size_t p, const bj::error_code& ec) {
  if (ec == bj::error::illegal_leading_surrogate || ec == bj::error::illegal_trailing_surrogate ||
      ec == bj::error::expected_utf16_escape) {
    return {"invalid unicode code point", p + 1};
  }
  if (ec == bj::error::expected_hex_digit) return {"invalid escape", p + 1};
  if (ec == bj::error::too_deep) return {"recursion limit exceeded", p + 1};
  const bool eof = ec == bj::error::incomplete || p >= text.size();
  const std::size_t stop = eof ? text.size() : p;

  enum class Expect : std::uint8_t { Value, Key, Colon, CommaOrClose, Done };
  ShapeStack open;
  auto after_value = [&open] { return open.empty() ? Expect::Done : Expect::CommaOrClose; };
  Expect expect = Expect::Value;
  bool in_string = false;
  bool is_key = false;
  int escape = 0;       // 0 none, 1 after '\', 2..5 inside \uXXXX
  unsigned unit = 0;    // the \u value being read
  bool high = false;    // a high surrogate escape was just read
  bool in_number = false;
  std::size_t literal_left = 0;
  char number_last = 0;

  for (std::size_t i = 0; i < stop; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (in_string) {
      // Boost may stop a few bytes into a bad UTF-8 sequence; name the
      // sequence here, or the scan would read its bytes as grammar.
      if (c >= 0x80 && escape == 0) {
        const text::DecodedChar d = text::decode_utf8(text, i);
        if (!d.valid || i + d.len > stop) return {"invalid UTF-8", i + 1};
        high = false;
        i += d.len - 1;
        continue;
      }
      if (escape == 1) {
        escape = c == 'u' ? 2 : 0;
        unit = 0;
        if (c != 'u') high = false;
      } else if (escape >= 2) {
        const unsigned digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        unit = unit * 16 + digit;
        if (++escape == 6) {
          escape = 0;
          high = unit >= 0xD800 && unit <= 0xDBFF;
        }
      } else if (c == '\\') {
        escape = 1;
      } else if (c == '"') {
        in_string = false;
        high = false;
        expect = is_key ? Expect::Colon : after_value();
      } else {
        high = false;
      }
      continue;
    }
    if (literal_left > 0) {
      if (--literal_left == 0) expect = after_value();
      continue;
    }
    if (in_number) {
      if ((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-') {
        number_last = static_cast<char>(c);
        continue;
      }
      in_number = false;
      expect = after_value();
    }
    switch (c) {
      case ' ':
      case '\t':
      case '\n':
      case '\r':
        break;
      case '"':
        in_string = true;
        is_key = expect == Expect::Key;
        break;
      case '[':
        open.push(Shape::Array);
        expect = Expect::Value;
        break;
      case '{':
        open.push(Shape::Object);
        expect = Expect::Key;
        break;
      case ']':
      case '}':
        open.pop();
        expect = after_value();
        break;
      case ':':
        expect = Expect::Value;
        break;
      case ',':
        expect = open.top() == Shape::Array ? Expect::Value : Expect::Key;
        break;
      case 't':
      case 'n':
        literal_left = 3;
        break;
      case 'f':
        literal_left = 4;
        break;
      default:
        in_number = true;
        number_last = static_cast<char>(c);
        break;
    }
  }

  if (eof) {
    const std::size_t n = text.size();
    if (in_string) return {"EOF while parsing a string", n};
    if (open.empty() || (expect == Expect::Value && !in_number && literal_left == 0)) {
      return {"EOF while parsing a value", n};
    }
    return {open.top() == Shape::Array ? "EOF while parsing a list" : "EOF while parsing an object", n};
  }
  const auto c = static_cast<unsigned char>(text[p]);
  if (in_string) {
    if (escape == 1) return {high ? "invalid unicode code point" : "invalid escape", p + 1};
    if (escape >= 2) return {"invalid escape", p + 1};
    if (high) return {"invalid unicode code point", p + 1};
    if (c < 0x20) return {"control character (\\u0000-\\u001F) found while parsing a string", p + 1};
    return {"invalid UTF-8", p + 1};
  }
  if (literal_left > 0) return {"expected value", p + 1};
  if (in_number) {
    const bool continues = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           c == '.' || c == '+' || c == '-';
    const bool unfinished = number_last < '0' || number_last > '9';
    if (continues || unfinished) return {"invalid number", p + 1};
    expect = after_value();
  }
  switch (expect) {
    case Expect::Value:
      return {"expected value", p + 1};
    case Expect::Key:
      return {"key must be a string", p + 1};
    case Expect::Colon:
      return {"expected `:`", p + 1};
    case Expect::CommaOrClose:
      return {open.top() == Shape::Array ? "expected `,` or `]`" : "expected `,` or `}`", p + 1};
    case Expect::Done:
      break;
  }
  return {"trailing characters", p + 1};
}

}  // namespace

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

namespace {

// How many children each container of `text` has, in the order the
// containers open: commas at its level, plus one when it is not empty.
// A lexical scan only; for text that is not JSON the counts may be wrong,
// which costs at most a regrowth before the parser refuses the text.
std::vector<std::uint32_t> expected_children(std::string_view text) {
  constexpr std::uint32_t kNotEmpty = std::uint32_t{1} << 31;
  std::vector<std::uint32_t> counts;
  counts.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '[') +
                                          std::count(text.begin(), text.end(), '{')));
  std::vector<std::uint32_t> open;
  auto mark = [&] {
    if (!open.empty()) counts[open.back()] |= kNotEmpty;
  };
  auto finish = [&] {
    std::uint32_t& n = counts[open.back()];
    n = (n & ~kNotEmpty) + ((n & kNotEmpty) != 0 ? 1 : 0);
    open.pop_back();
  };
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case ' ':
      case '\t':
      case '\n':
      case '\r':
        break;
      case '[':
      case '{':
        mark();
        counts.push_back(0);
        open.push_back(static_cast<std::uint32_t>(counts.size() - 1));
        break;
      case ']':
      case '}':
        if (!open.empty()) finish();
        break;
      case ',':
        if (!open.empty()) {
          std::uint32_t& n = counts[open.back()];
          if ((n & ~kNotEmpty) < kNotEmpty - 1) ++n;
        }
        break;
      case '"':
        mark();
        in_string = true;
        break;
      default:
        mark();
        break;
    }
  }
  while (!open.empty()) finish();
  return counts;
}

class Reader {
 public:
  Reader(std::string_view text, Type root, void* out, std::size_t budget)
      : text_(text), root_(root), out_(out), budget_(budget) {
    push_frame(Rec::Root, Shape::Array, out);
  }

  std::optional<std::string> run();

  // Parser events. Each returns false after recording why.
  bool begin(Shape s, bj::error_code& ec);
  bool end(bj::error_code& ec);
  // Keys, strings and numbers never interleave, so one buffer collects the
  // parts of whichever is being read.
  void part(std::string_view s) {
    if (!synthetic_) part_.append(s);
  }
  bool key(std::string_view s, bj::error_code& ec);
  bool string(std::string_view s, bj::error_code& ec);
  bool number(std::string_view s, Scalar::Int in, std::uint64_t bits, bj::error_code& ec);
  bool boolean(bool b, bj::error_code& ec);
  bool null(bj::error_code& ec);

 private:
  // Whole text of a string, key or number that may have come in parts.
  std::string_view assemble(std::string_view last) {
    if (part_.empty()) return last;
    part_.append(last);
    return part_;
  }

  bool cancel(bj::error_code& ec) {
    ec = boost::system::errc::make_error_code(boost::system::errc::operation_canceled);
    return false;
  }
  bool fail(bj::error_code& ec, std::string msg) {
    fault_ = std::move(msg);
    return cancel(ec);
  }

  bool scalar(const Scalar& s, bj::error_code& ec);
  Target target();
  bool store(const Target& t, const Scalar& s, bj::error_code& ec);
  bool store_uint(const Target& t, const Scalar& s, std::uint64_t max, bj::error_code& ec, std::uint64_t& out);
  bool open(const Target& t, Shape s, bj::error_code& ec);
  bool record_key(Frame& f, std::string_view k, bj::error_code& ec);
  bool outcome_key(Frame& f, std::string_view k, bj::error_code& ec);
  bool close_record(bj::error_code& ec);
  // Whether the receipt being read is of the version that records a proof.
  static bool receipt_has_proof(const Frame& f) {
    return static_cast<const Receipt*>(f.dest)->version == kReceiptProofVersion;
  }
  bool close_outcome(bj::error_code& ec);
  void open_value(JsonValue& v, Shape s) {
    TreeBuilder::open(v, s, expected_);
    push_frame(Rec::Value, s, &v);
  }
  // Fills the new frame where it lies: copying in a frame assembled
  // elsewhere would read it back before its parts had been stored.
  void push_frame(Rec rec, Shape s, void* dest, std::size_t base = 0) {
    Frame& f = frames_.emplace_back();
    f.rec = rec;
    f.shape = s;
    f.slot = kUnknown;
    f.dest = dest;
    f.base = base;
  }
  void defer(std::string msg) {
    if (deferred_.empty()) deferred_ = std::move(msg);
  }
  void build_prefix();
  // The number whose exponent Boost stopped in at `p`: everything before
  // `p` passed Boost's grammar, and only exponent digits can follow.
  std::size_t number_start(std::size_t p) const {
    auto in_number = [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-'; };
    while (p > 0 && in_number(text_[p - 1])) --p;
    return p;
  }
  std::size_t number_end(std::size_t p) const {
    while (p < text_.size() && text_[p] >= '0' && text_[p] <= '9') ++p;
    return p;
  }

  std::string_view text_;
  Type root_;
  void* out_;
  std::size_t budget_;  // nesting budget of typed values; 0 = none

  // Inline room for the usual shallow document, so reading a context
  // allocates only for the values it keeps.
  detail::SmallStack<Frame, 8> frames_;
  ShapeStack shapes_;        // every open container of the document
  std::size_t depth_ = 0;    // == shapes_.size()
  std::size_t run_depth_ = 0;  // containers opened in the current parser run
  bool synthetic_ = false;   // the parser is reading our resume prefix
  bool window_full_ = false;

  std::string part_;
  std::string env_key_;
  std::string deferred_;  // first fault of an outcome, reported only if it is denied
  std::string prefix_;

  // Children of every container in opening order, and how many have opened.
  std::vector<std::uint32_t> children_;
  std::size_t opened_ = 0;
  std::size_t expected_ = 0;  // children of the container being opened

  std::string fault_;
  std::size_t adjust_ = 0;  // parser offset to "bytes consumed" for the current event
};

struct Handler {
  static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();

  explicit Handler(Reader* reader) : r(reader) {}
  Reader* r;

  static std::string_view sv(bj::string_view s) { return {s.data(), s.size()}; }

  bool on_document_begin(bj::error_code&) { return true; }
  bool on_document_end(bj::error_code&) { return true; }
  bool on_array_begin(bj::error_code& ec) { return r->begin(Shape::Array, ec); }
  bool on_array_end(std::size_t, bj::error_code& ec) { return r->end(ec); }
  bool on_object_begin(bj::error_code& ec) { return r->begin(Shape::Object, ec); }
  bool on_object_end(std::size_t, bj::error_code& ec) { return r->end(ec); }
  bool on_string_part(bj::string_view s, std::size_t, bj::error_code&) {
    r->part(sv(s));
    return true;
  }
  bool on_string(bj::string_view s, std::size_t, bj::error_code& ec) { return r->string(sv(s), ec); }
  bool on_key_part(bj::string_view s, std::size_t, bj::error_code&) {
    r->part(sv(s));
    return true;
  }
  bool on_key(bj::string_view s, std::size_t, bj::error_code& ec) { return r->key(sv(s), ec); }
  bool on_number_part(bj::string_view s, bj::error_code&) {
    r->part(sv(s));
    return true;
  }
  bool on_int64(std::int64_t v, bj::string_view s, bj::error_code& ec) {
    return r->number(sv(s), Scalar::Int::Signed, static_cast<std::uint64_t>(v), ec);
  }
  bool on_uint64(std::uint64_t v, bj::string_view s, bj::error_code& ec) {
    return r->number(sv(s), Scalar::Int::Unsigned, v, ec);
  }
  bool on_double(double, bj::string_view s, bj::error_code& ec) { return r->number(sv(s), Scalar::Int::None, 0, ec); }
  bool on_bool(bool b, bj::error_code& ec) { return r->boolean(b, ec); }
  bool on_null(bj::error_code& ec) { return r->null(ec); }
  bool on_comment_part(bj::string_view, bj::error_code&) { return true; }
  bool on_comment(bj::string_view, bj::error_code&) { return true; }
};

std::optional<std::string> Reader::run() {
  bj::parse_options opt;
  opt.max_depth = std::numeric_limits<std::size_t>::max();  // the window bounds it
  bj::basic_parser<Handler> parser(opt, this);
  // Below a few kilobytes the counts cost more time than growing by
  // doubling, and what doubling can waste there is a constant.
  if (text_.size() > kPrecountFrom) children_ = expected_children(text_);
  const char* data = text_.data() != nullptr ? text_.data() : "";
  std::size_t pos = 0;
  bool resume = false;
  for (;;) {
    parser.reset();
    run_depth_ = 0;
    bj::error_code ec;
    if (resume) {
      build_prefix();
      synthetic_ = true;
      parser.write_some(true, prefix_.data(), prefix_.size(), ec);
      synthetic_ = false;
      if (ec) return locate("internal error", text_, pos);  // the prefix is well-formed
    }
    const std::size_t n = parser.write_some(false, data + pos, text_.size() - pos, ec);
    if (ec) {
      if (window_full_) {
        window_full_ = false;
        pos += n;  // at the bracket that did not fit; a fresh run starts there
        resume = false;
        continue;
      }
      if (!fault_.empty()) return locate(fault_, text_, pos + n + adjust_);
      if (ec == bj::error::exponent_overflow) {
        // Boost keeps the exponent in an int, but RFC 8259 puts no bound on
        // it and we only ever use a number's text. Deliver the number here
        // and go on behind it as after a deep skipped value.
        const std::size_t end = number_end(pos + n);
        const std::size_t start = number_start(pos + n);
        part_.clear();
        bj::error_code nec;
        if (!number(text_.substr(start, end - start), Scalar::Int::None, 0, nec)) {
          return locate(fault_, text_, end);
        }
        pos = end;
        resume = depth_ != 0;
        if (!resume) {
          if (pos < text_.size() && text_.find_first_not_of(" \t\n\r", pos) != std::string_view::npos) {
            return locate("trailing characters", text_, text_.find_first_not_of(" \t\n\r", pos) + 1);
          }
          return std::nullopt;
        }
        continue;
      }
      const Diagnosis d = diagnose(text_, pos + n, ec);
      return locate(d.desc, text_, d.consumed);
    }
    pos += n;
    if (depth_ == 0) {
      if (pos < text_.size()) return locate("trailing characters", text_, pos + 1);
      return std::nullopt;
    }
    resume = true;
  }
}

void Reader::build_prefix() {
  prefix_.clear();
  const std::size_t k = std::min(depth_, kResumeLevels);
  for (std::size_t i = depth_ - k; i < depth_; ++i) {
    const bool object = shapes_.at(i) == Shape::Object;
    prefix_ += object ? "{\"\":" : "[";
  }
  // The innermost container has just finished a value.
  prefix_ += "null";
}

bool Reader::begin(Shape s, bj::error_code& ec) {
  if (run_depth_ >= kWindow) {
    window_full_ = true;
    return cancel(ec);
  }
  ++run_depth_;
  if (synthetic_) return true;
  expected_ = opened_ < children_.size() ? children_[opened_] : 0;
  ++opened_;
  adjust_ = 1;
  ++depth_;
  shapes_.push(s);
  Frame& f = frames_.back();
  if (f.rec == Rec::Skip) return true;
  if (f.rec == Rec::Value) {
    if (budget_ != 0 && depth_ >= budget_) return fail(ec, "recursion limit exceeded");
    open_value(TreeBuilder::next(*static_cast<JsonValue*>(f.dest)), s);
    return true;
  }
  const Target t = target();
  if (t.type != Type::Skip && budget_ != 0 && depth_ >= budget_) return fail(ec, "recursion limit exceeded");
  return open(t, s, ec);
}

bool Reader::end(bj::error_code& ec) {
  --run_depth_;
  if (synthetic_) return true;
  adjust_ = 1;
  --depth_;
  shapes_.pop();
  Frame& f = frames_.back();
  switch (f.rec) {
    case Rec::Skip:
      if (depth_ == f.base) frames_.pop_back();
      return true;
    case Rec::Value:
      TreeBuilder::close(*static_cast<JsonValue*>(f.dest));
      frames_.pop_back();
      return true;
    case Rec::CaveatList:
    case Rec::Env:
      frames_.pop_back();
      return true;
    case Rec::Outcome:
      return close_outcome(ec);
    default:
      return close_record(ec);
  }
}

bool Reader::key(std::string_view s, bj::error_code& ec) {
  if (synthetic_) return true;
  adjust_ = 1;
  const std::string_view k = assemble(s);
  Frame& f = frames_.back();
  bool ok = true;
  switch (f.rec) {
    case Rec::Skip:
      break;
    case Rec::Value:
      TreeBuilder::key(*static_cast<JsonValue*>(f.dest), k);
      break;
    case Rec::Env:
      env_key_.assign(k);
      break;
    case Rec::Outcome:
      ok = outcome_key(f, k, ec);
      break;
    default:
      ok = record_key(f, k, ec);
      break;
  }
  part_.clear();
  return ok;
}

bool Reader::record_key(Frame& f, std::string_view k, bj::error_code& ec) {
  const int i = record(f.rec).find(k);
  if (i < 0) {
    f.slot = kUnknown;
    return true;
  }
  const std::uint32_t bit = std::uint32_t{1} << i;
  // A repeated member is refused even when its first value was null.
  if ((f.seen & bit) != 0) return fail(ec, field_error("duplicate field", k));
  f.seen |= bit;
  f.slot = static_cast<std::int16_t>(i);
  return true;
}

bool Reader::outcome_key(Frame& f, std::string_view k, bj::error_code& ec) {
  if (k == "kind") {
    if ((f.seen & 1) != 0) return fail(ec, field_error("duplicate field", k));
    f.seen |= 1;
    f.slot = 0;
  } else if (k == "reason") {
    // An allowed outcome ignores its other members, so whether this is a
    // fault is only known once the tag has been read.
    if ((f.seen & 2) != 0) defer(field_error("duplicate field", k));
    f.seen |= 2;
    f.slot = 1;
  } else {
    f.slot = kUnknown;
  }
  return true;
}

bool Reader::string(std::string_view s, bj::error_code& ec) {
  if (synthetic_) return true;
  adjust_ = 1;
  const bool ok = scalar({Scalar::Kind::String, false, assemble(s)}, ec);
  part_.clear();
  return ok;
}

bool Reader::number(std::string_view s, Scalar::Int in, std::uint64_t bits, bj::error_code& ec) {
  if (synthetic_) return true;
  adjust_ = 0;
  const bool ok = scalar({Scalar::Kind::Number, false, assemble(s), in, bits}, ec);
  part_.clear();
  return ok;
}

bool Reader::boolean(bool b, bj::error_code& ec) {
  if (synthetic_) return true;
  adjust_ = b ? 4 : 5;
  return scalar({Scalar::Kind::Bool, b, {}}, ec);
}

bool Reader::null(bj::error_code& ec) {
  if (synthetic_) return true;
  adjust_ = 4;
  return scalar({Scalar::Kind::Null, false, {}}, ec);
}

bool Reader::scalar(const Scalar& s, bj::error_code& ec) {
  const Frame& f = frames_.back();
  if (f.rec == Rec::Skip) return true;
  if (f.rec == Rec::Value) {
    TreeBuilder::scalar(TreeBuilder::next(*static_cast<JsonValue*>(f.dest)), s);
    return true;
  }
  return store(target(), s, ec);
}

Target Reader::target() {
  Frame& f = frames_.back();
  switch (f.rec) {
    case Rec::Root:
      return {root_, out_};
    case Rec::CaveatList:
      ++f.count;
      return {Type::Caveat, &static_cast<std::vector<Caveat>*>(f.dest)->emplace_back()};
    case Rec::Env:
      return {Type::EnvValue, f.dest};
    case Rec::Outcome: {
      auto* o = static_cast<Outcome*>(f.dest);
      if (f.shape == Shape::Object) {
        if (f.slot == 0) return {Type::OutcomeTag, o};
        if (f.slot == 1) return {Type::OutcomeReason, &o->reason};
        return {Type::Skip, nullptr};
      }
      const std::size_t i = f.count++;
      if (i == 0) return {Type::OutcomeTag, o};
      if (i == 1 && o->kind == Outcome::Kind::Denied) return {Type::String, &o->reason};
      return {Type::Skip, nullptr};
    }
    default: {
      const Record& r = record(f.rec);
      std::size_t i = 0;
      if (f.shape == Shape::Object) {
        if (f.slot < 0) return {Type::Skip, nullptr};
        i = static_cast<std::size_t>(f.slot);
        // A version-1 receipt knows no proof: skipped as any unknown member,
        // when the version has come first as written.
        if (f.rec == Rec::Receipt && i == kReceiptProof && (f.seen & 1) != 0 && !receipt_has_proof(f)) {
          return {Type::Skip, nullptr};
        }
      } else {
        // Elements past the last field are read and counted so that the
        // length error can name how many there were.
        i = f.count++;
        if (f.rec == Rec::Receipt && i >= kReceiptProof && !receipt_has_proof(f)) ++i;
        if (i >= r.count) return {Type::Skip, nullptr};
      }
      return {r.fields[i].type, r.fields[i].at(f.dest)};
    }
  }
}

bool Reader::store_uint(const Target& t, const Scalar& s, std::uint64_t max, bj::error_code& ec,
                        std::uint64_t& out) {
  if (s.kind != Scalar::Kind::Number) return fail(ec, type_error(found(s), t.type));
  std::uint64_t v = 0;
  bool ok = false;
  switch (s.in) {
    case Scalar::Int::Signed:
      // "-0" is an integer zero like "0".
      ok = static_cast<std::int64_t>(s.bits) >= 0;
      v = s.bits;
      break;
    case Scalar::Int::Unsigned:
      ok = true;
      v = s.bits;
      break;
    case Scalar::Int::None: {
      // Fractions and exponents, and integers too large for 64 bits.
      if (!is_integer_text(s.text)) return fail(ec, type_error(found(s), t.type));
      const std::string_view digits = s.text.front() == '-' ? s.text.substr(1) : s.text;
      const bool zero = digits.find_first_not_of('0') == std::string_view::npos;
      ok = zero;
      if (!zero && s.text.front() != '-') {
        const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
        ok = r.ec == std::errc() && r.ptr == digits.data() + digits.size();
      }
      if (zero) v = 0;
      break;
    }
  }
  if (!ok || v > max) return fail(ec, "invalid value: " + found(s) + ", expected " + std::string(expecting(t.type)));
  out = v;
  return true;
}

bool Reader::store(const Target& t, const Scalar& s, bj::error_code& ec) {
  const bool is_string = s.kind == Scalar::Kind::String;
  const bool is_null = s.kind == Scalar::Kind::Null;
  switch (t.type) {
    case Type::Skip:
      return true;
    case Type::String:
      if (!is_string) break;
      static_cast<std::string*>(t.dest)->assign(s.text);
      return true;
    case Type::EnvValue:
      if (!is_string) break;
      static_cast<Env*>(t.dest)->insert_or_assign(env_key_, std::string(s.text));
      return true;
    case Type::Hex:
    case Type::OptHex:
    case Type::Nonce:
    case Type::Ed25519Key:
    case Type::Ed25519Sig: {
      if (is_null && t.type == Type::OptHex) {
        static_cast<std::optional<Bytes>*>(t.dest)->reset();
        return true;
      }
      if (!is_string) break;
      auto bytes = hex_decode(s.text);
      if (!bytes) return fail(ec, std::string(bytes.error()));
      if (const std::size_t want = exact_length(t.type); want != 0 && bytes->size() != want) {
        return fail(ec, length_error(bytes->size(), std::to_string(want) + " bytes"));
      }
      if (t.type != Type::OptHex) {
        *static_cast<Bytes*>(t.dest) = std::move(*bytes);
      } else {
        *static_cast<std::optional<Bytes>*>(t.dest) = std::move(*bytes);
      }
      return true;
    }
    case Type::U8: {
      std::uint64_t v = 0;
      if (!store_uint(t, s, 255, ec, v)) return false;
      *static_cast<std::uint8_t*>(t.dest) = static_cast<std::uint8_t>(v);
      return true;
    }
    case Type::U64:
    case Type::OptU64: {
      if (is_null && t.type == Type::OptU64) {
        static_cast<std::optional<std::uint64_t>*>(t.dest)->reset();
        return true;
      }
      std::uint64_t v = 0;
      if (!store_uint(t, s, std::numeric_limits<std::uint64_t>::max(), ec, v)) return false;
      if (t.type == Type::U64) {
        *static_cast<std::uint64_t*>(t.dest) = v;
      } else {
        *static_cast<std::optional<std::uint64_t>*>(t.dest) = v;
      }
      return true;
    }
    case Type::Args: {
      auto* v = static_cast<JsonValue*>(t.dest);
      *v = JsonValue();
      TreeBuilder::scalar(*v, s);
      return true;
    }
    case Type::Env:
      if (!is_null) break;
      static_cast<Env*>(t.dest)->clear();
      return true;
    case Type::OutcomeTag: {
      if (!is_string) break;
      auto* o = static_cast<Outcome*>(t.dest);
      if (s.text == "allowed") {
        o->kind = Outcome::Kind::Allowed;
      } else if (s.text == "denied") {
        o->kind = Outcome::Kind::Denied;
      } else {
        return fail(ec, "unknown variant `" + std::string(s.text) + "`, expected `allowed` or `denied`");
      }
      return true;
    }
    case Type::OutcomeReason:
      if (is_string) {
        static_cast<std::string*>(t.dest)->assign(s.text);
      } else {
        defer(type_error(found(s), t.type));
      }
      return true;
    default:
      break;
  }
  return fail(ec, type_error(found(s), t.type));
}

bool Reader::open(const Target& t, Shape s, bj::error_code& ec) {
  auto push = [this, s](Rec rec, void* dest, std::size_t base = 0) { push_frame(rec, s, dest, base); };
  switch (t.type) {
    case Type::Skip:
      push(Rec::Skip, nullptr, depth_ - 1);
      return true;
    case Type::Args: {
      auto* v = static_cast<JsonValue*>(t.dest);
      *v = JsonValue();
      open_value(*v, s);
      return true;
    }
    case Type::Env:
      if (s != Shape::Object) break;
      push(Rec::Env, t.dest);
      return true;
    case Type::CaveatList:
      if (s != Shape::Array) break;
      static_cast<std::vector<Caveat>*>(t.dest)->reserve(expected_);
      push(Rec::CaveatList, t.dest);
      return true;
    case Type::Caveat:
    case Type::Summary:
    case Type::Capability:
    case Type::Receipt:
    case Type::CtxIn:
    case Type::Proof:
      push(rec_of(t.type), t.dest);
      return true;
    case Type::ProofRecord:
      push(Rec::ProofRecord, &static_cast<std::optional<ProofRecord>*>(t.dest)->emplace());
      return true;
    case Type::Outcome:
      deferred_.clear();
      push(Rec::Outcome, t.dest);
      return true;
    case Type::OutcomeReason:
      defer(type_error(found(s), t.type));
      push(Rec::Skip, nullptr, depth_ - 1);
      return true;
    default:
      break;
  }
  return fail(ec, type_error(found(s), t.type));
}

bool Reader::close_record(bj::error_code& ec) {
  const Frame& f = frames_.back();
  const Record& r = record(f.rec);
  const bool receipt = f.rec == Rec::Receipt;
  if (f.shape == Shape::Object) {
    // Missing members are named in declaration order.
    for (std::size_t i = 0; i < r.count; ++i) {
      const bool required = r.fields[i].required || (receipt && i == kReceiptProof && receipt_has_proof(f));
      if (required && (f.seen & (std::uint32_t{1} << i)) == 0) {
        return fail(ec, field_error("missing field", r.fields[i].name));
      }
    }
  } else if (receipt && receipt_has_proof(f)) {
    if (f.count != r.count) return fail(ec, length_error(f.count, "struct Receipt with 8 elements"));
  } else if (f.count + (receipt ? 1 : 0) != r.count) {
    return fail(ec, length_error(f.count, r.length));
  }
  // What a version-1 receipt carried under "proof" (read only when it came
  // before the version) is not part of it.
  if (receipt && !receipt_has_proof(f)) static_cast<Receipt*>(f.dest)->proof.reset();
  frames_.pop_back();
  return true;
}

bool Reader::close_outcome(bj::error_code& ec) {
  const Frame& f = frames_.back();
  auto* o = static_cast<Outcome*>(f.dest);
  if (f.shape == Shape::Object) {
    if ((f.seen & 1) == 0) return fail(ec, "missing field `kind`");
    if (o->kind == Outcome::Kind::Allowed) {
      o->reason.clear();
    } else {
      if (!deferred_.empty()) return fail(ec, deferred_);
      if ((f.seen & 2) == 0) return fail(ec, "missing field `reason`");
    }
  } else {
    if (f.count == 0) return fail(ec, length_error(0, "internally tagged enum Outcome"));
    const std::size_t n = f.count - 1;  // elements after the tag
    if (o->kind == Outcome::Kind::Allowed && n != 0) {
      return fail(ec, length_error(n, "unit variant Outcome::Allowed"));
    }
    if (o->kind == Outcome::Kind::Denied && n != 1) {
      return fail(ec, length_error(n, "struct variant Outcome::Denied with 1 element"));
    }
  }
  frames_.pop_back();
  return true;
}

// The result is filled where the caller receives it.
template <class T>
std::expected<T, std::string> read(std::string_view text, Type root, std::size_t budget) {
  std::expected<T, std::string> out;
  Reader reader(text, root, &*out, budget);
  if (auto err = reader.run()) out = std::unexpected(std::move(*err));
  return out;
}

// Nesting budget of the context input: the outer value and everything
// inside "args" and "env" together may nest 127 levels.
constexpr std::size_t kCtxBudget = 128;

}  // namespace

std::expected<Capability, std::string> read_capability(std::string_view text) {
  return read<Capability>(text, Type::Capability, 0);
}

std::expected<Receipt, std::string> read_receipt(std::string_view text) {
  return read<Receipt>(text, Type::Receipt, 0);
}

std::expected<Proof, std::string> read_proof(std::string_view text) {
  return read<Proof>(text, Type::Proof, 0);
}

std::expected<CtxIn, std::string> read_ctx_in(std::string_view text) {
  return read<CtxIn>(text, Type::CtxIn, kCtxBudget);
}

}  // namespace velnor::json
