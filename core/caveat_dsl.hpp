// The caveat predicate language: its tree, literals, parser and evaluator.
//
// parse() is a pure function of the predicate text; nothing is cached. All
// failures are DslError values. Parse failures carry byte offsets into the
// whole predicate. Evaluation failures name the identifier or the types
// involved; their display texts end up in signed receipts, so they are
// part of the external interface.
//
// Deep input never exhausts the stack: parenthesised groups nest at most
// kMaxGroupDepth levels, AND/OR chains of any length are parsed in a loop,
// and trees are evaluated and destroyed without recursion.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>
#include <expected>

#include "core/context.hpp"

namespace velnor {

struct DslError;

enum class Unit : std::uint8_t { Usd, Eur, Gbp, Cents, Ms, S };

// "usd", ..., or "(none)" for an absent unit.
std::string fmt_unit(std::optional<Unit> unit);

enum class CmpOp : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge, Matches, StartsWith };

// "==", "!=", "<", "<=", ">", ">=", "matches", "starts_with".
std::string_view cmp_op_symbol(CmpOp op);

struct Str {
  std::string text;
  bool operator==(const Str&) const = default;
};

struct Number {
  double value = 0;
  std::optional<Unit> unit;
  bool float_syntax = false;  // the source text was float-syntactic
  bool operator==(const Number&) const = default;
};

// An instant since 1970-01-01T00:00:00Z, floored (see Instant).
using Timestamp = Instant;

// A literal in the tree, and the runtime value of evaluation.
struct Value {
  std::variant<Str, Number, Timestamp> v;

  // "string", "number", "number(usd)", ..., "timestamp".
  std::string type_name() const;
  bool operator==(const Value&) const = default;
};

// A dotted path (`arg.limit`), kept as its text: one or more non-empty
// segments joined with ".". One string rather than a vector of segments,
// because a verification parses every caveat afresh and nearly every path
// fits a string's inline buffer, so reading one allocates nothing.
struct Ident {
  std::string text;
  const std::string& joined() const { return text; }
  bool operator==(const Ident&) const = default;
};

struct Compare {
  Ident ident;
  CmpOp op = CmpOp::Eq;
  Value value;
  bool operator==(const Compare&) const = default;
};

// The expression tree. A node is a comparison, or AND / OR of two children
// it owns exclusively. Destruction walks the tree with an explicit stack, so
// a left-nested chain a million levels deep is freed without recursion.
class Expr {
 public:
  enum class Kind : std::uint8_t { Compare, And, Or };

  static Expr compare(Compare c);
  static Expr make_and(Expr left, Expr right);
  static Expr make_or(Expr left, Expr right);

  Expr(Expr&&) noexcept = default;
  Expr& operator=(Expr&& other) noexcept;
  Expr(const Expr&) = delete;
  Expr& operator=(const Expr&) = delete;
  ~Expr();

  Kind kind() const { return kind_; }
  // Preconditions: kind() == Compare for compare(); And/Or for left()/right().
  const Compare& compare() const { return *std::get_if<Compare>(&node_); }
  const Expr& left() const { return *std::get_if<Children>(&node_)->left; }
  const Expr& right() const { return *std::get_if<Children>(&node_)->right; }

 private:
  // Reads predicates; it fills each comparison inside its node rather than
  // building it elsewhere and moving it in.
  class Parser;
  friend std::expected<Expr, DslError> parse(std::string_view predicate);

  struct Children {
    std::unique_ptr<Expr> left;
    std::unique_ptr<Expr> right;
  };

  Expr() = default;
  static Expr join(Kind kind, Expr&& left, Expr&& right);
  void release_iteratively() noexcept;

  Kind kind_ = Kind::Compare;
  // A comparison lives inside its node: a verification parses every caveat
  // afresh, and most caveats are a single comparison, so a separate
  // allocation per leaf would be paid on every call. An inner node is then
  // as large as a leaf; a long chain needs a few percent more memory than
  // with out-of-line comparisons, and one allocation fewer per term.
  std::variant<Compare, Children> node_;
};

struct DslError {
  enum class Kind : std::uint8_t { Parse, UnknownIdentifier, TypeMismatch };

  Kind kind = Kind::Parse;
  std::string message;   // Parse: the message; UnknownIdentifier: the path
  std::string expected;  // TypeMismatch only
  std::string got;       // TypeMismatch only

  static DslError parse(std::string message);
  static DslError unknown_identifier(std::string path);
  static DslError type_mismatch(std::string expected, std::string got);

  // "parse error: {}", "unknown identifier: {}",
  // "type mismatch: expected {}, got {}".
  std::string display() const;
  bool operator==(const DslError&) const = default;
};

// Deepest nesting of parentheses parse() accepts; one more is refused with
// "parentheses nested deeper than 64 levels at byte {}" (offset of the '('
// that opens the 65th level).
inline constexpr std::size_t kMaxGroupDepth = 64;

// Parses one predicate. Every failure is DslError::Parse; the messages name
// what was expected and the byte offset where it was not found. Input that
// is not UTF-8 (possible only from C++ callers) is refused inside string
// literals with "invalid UTF-8 in string literal at byte {}" and elsewhere
// fails like any other unexpected character, shown as U+FFFD.
std::expected<Expr, DslError> parse(std::string_view predicate);

// --- literal helpers (also exposed for tests) ------------------------------

// Succeeds when bytes[index] == expected; otherwise the message
// "expected {:?} at position {}, got {:?}", the byte shown as the character
// with its value as code point ("got EOF" when index is past the end).
std::expected<void, std::string> expect_byte(std::string_view bytes, std::size_t index,
                                             char expected);
// Decimal value of an all-ASCII-digit field, else "expected ASCII digits,
// got {:?}" (the bytes decoded lossily). Callers pass at most 9 digits;
// a value above 2^32 - 1 gives "number too large to fit in target type".
std::expected<std::uint32_t, std::string> parse_uint_exact(std::string_view bytes);
// Days from 1970-01-01 to the date in the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int32_t year, std::uint32_t month, std::uint32_t day);

// Decimal text to the nearest double, ties to even. Accepts an optional '-',
// one or more digits, an optional '.' with one or more digits, and an
// optional exponent ('e' or 'E', optional sign, digits): the number literals
// of predicates and of JSON. A magnitude beyond the double range gives
// infinity of the same sign; one below the smallest subnormal gives a zero
// of the same sign. Any other text (including "inf", "nan", "+1", "") gives
// no value. Runs in time linear in the text.
std::optional<double> decimal_to_double(std::string_view text);

// --- evaluation -------------------------------------------------------------

enum class Ordering : std::int8_t { Less = -1, Equal = 0, Greater = 1 };

std::expected<bool, DslError> eval_expr(const Expr& expr, const Context& context);
std::expected<Value, DslError> resolve_ident(const Ident& ident, const Context& context);
std::optional<Value> json_to_value(const JsonValue& json);
std::expected<bool, DslError> ordered_to_bool(CmpOp op, Ordering ordering);

}  // namespace velnor
