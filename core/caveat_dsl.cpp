#include "core/caveat_dsl.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string.h>  // memmem (glibc): Two-Way search, linear worst case
#include <utility>
#include <vector>

#include "core/context.hpp"
#include "core/internal/json_reader.hpp"
#include "core/internal/quote.hpp"
#include "core/internal/small_stack.hpp"
#include "core/internal/try.hpp"

namespace velnor {

// --- small value helpers ----------------------------------------------------

namespace {

// Unit names in the order of Unit, which is also the order in messages.
constexpr std::string_view kUnitNames[] = {"usd", "eur", "gbp", "cents", "ms", "s"};

// "usd, eur, gbp, cents, ms, s".
std::string unit_list() {
  std::string out;
  for (const std::string_view name : kUnitNames) {
    if (!out.empty()) out += ", ";
    out += name;
  }
  return out;
}

std::optional<Unit> unit_named(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kUnitNames); ++i) {
    if (name == kUnitNames[i]) return static_cast<Unit>(i);
  }
  return std::nullopt;
}

}  // namespace

std::string fmt_unit(std::optional<Unit> unit) {
  const auto i = unit ? static_cast<std::size_t>(*unit) : std::size(kUnitNames);
  return i < std::size(kUnitNames) ? std::string(kUnitNames[i]) : "(none)";
}

std::string_view cmp_op_symbol(CmpOp op) {
  switch (op) {
    case CmpOp::Eq: return "==";
    case CmpOp::Ne: return "!=";
    case CmpOp::Lt: return "<";
    case CmpOp::Le: return "<=";
    case CmpOp::Gt: return ">";
    case CmpOp::Ge: return ">=";
    case CmpOp::Matches: return "matches";
    case CmpOp::StartsWith: return "starts_with";
  }
  return "?";
}

std::string Value::type_name() const {
  if (std::holds_alternative<Str>(v)) return "string";
  if (const auto* n = std::get_if<Number>(&v)) {
    if (!n->unit) return "number";
    return "number(" + fmt_unit(n->unit) + ")";
  }
  return "timestamp";
}

// --- Expr -------------------------------------------------------------------

Expr Expr::compare(Compare c) {
  Expr e;
  e.node_.emplace<Compare>(std::move(c));
  return e;
}

Expr Expr::make_and(Expr left, Expr right) {
  return join(Kind::And, std::move(left), std::move(right));
}

Expr Expr::make_or(Expr left, Expr right) {
  return join(Kind::Or, std::move(left), std::move(right));
}

// Takes its operands by reference so that each is moved once, straight
// into its new node: a leaf carries its whole comparison along.
Expr Expr::join(Kind kind, Expr&& left, Expr&& right) {
  Expr e;
  e.kind_ = kind;
  e.node_.emplace<Children>(
      Children{std::make_unique<Expr>(std::move(left)), std::make_unique<Expr>(std::move(right))});
  return e;
}

Expr& Expr::operator=(Expr&& other) noexcept {
  if (this == &other) return *this;
  // Take other's parts first: other may live inside our own subtree.
  const Kind kind = other.kind_;
  std::variant<Compare, Children> node = std::move(other.node_);
  release_iteratively();
  kind_ = kind;
  node_ = std::move(node);
  return *this;
}

Expr::~Expr() { release_iteratively(); }

// Frees the subtrees without recursion and without allocating: a node with
// an inner node as left child is rotated right until the remaining tree's
// root has no left child, which is then freed and its right child becomes
// the root. A leaf on the left is freed at once, as it owns nothing. Every
// step frees a node or moves one off the left spine, so the walk is linear.
void Expr::release_iteratively() noexcept {
  auto* const own = std::get_if<Children>(&node_);
  if (own == nullptr || (!own->left && !own->right)) return;
  std::unique_ptr<Expr> cur = std::move(own->left);
  std::unique_ptr<Expr> rest = std::move(own->right);
  for (int pass = 0; pass < 2; ++pass) {
    while (cur) {
      auto* const kids = std::get_if<Children>(&cur->node_);
      if (kids == nullptr) {
        cur.reset();  // a leaf: the last node of the remaining tree
      } else if (kids->left) {
        std::unique_ptr<Expr> l = std::move(kids->left);
        if (auto* const lk = std::get_if<Children>(&l->node_)) {
          kids->left = std::move(lk->right);
          lk->right = std::move(cur);
          cur = std::move(l);
        } else {
          l.reset();
        }
      } else {
        std::unique_ptr<Expr> next = std::move(kids->right);
        cur.reset();  // no children left: its destructor returns at once
        cur = std::move(next);
      }
    }
    cur = std::move(rest);
  }
}

// --- DslError ---------------------------------------------------------------

DslError DslError::parse(std::string message) {
  DslError e;
  e.kind = Kind::Parse;
  e.message = std::move(message);
  return e;
}

DslError DslError::unknown_identifier(std::string path) {
  DslError e;
  e.kind = Kind::UnknownIdentifier;
  e.message = std::move(path);
  return e;
}

DslError DslError::type_mismatch(std::string expected, std::string got) {
  DslError e;
  e.kind = Kind::TypeMismatch;
  e.expected = std::move(expected);
  e.got = std::move(got);
  return e;
}

std::string DslError::display() const {
  switch (kind) {
    case Kind::Parse: return "parse error: " + message;
    case Kind::UnknownIdentifier: return "unknown identifier: " + message;
    case Kind::TypeMismatch: return "type mismatch: expected " + expected + ", got " + got;
  }
  return message;
}

// --- decimal conversion -----------------------------------------------------

namespace {

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
constexpr bool is_alpha(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool is_ident_start(unsigned char c) { return is_alpha(c) || c == '_'; }

// Identifier bytes are tested once per byte of every predicate: a table
// lookup instead of five range checks.
constexpr auto kIdentChar = [] {
  std::array<bool, 256> table{};
  for (unsigned c = 0; c < 256; ++c) {
    const auto b = static_cast<unsigned char>(c);
    table[c] = is_ident_start(b) || is_digit(b);
  }
  return table;
}();

bool is_ident_char(unsigned char c) { return kIdentChar[c]; }

}  // namespace

namespace {

// Plain integers of up to 15 digits, the usual limits and counts, are below
// 2^53 and so exact in a double; they need no rounding decision.
std::optional<double> small_integer(std::string_view text) {
  const bool neg = !text.empty() && text[0] == '-';
  const std::string_view digits = text.substr(neg ? 1 : 0);
  if (digits.empty() || digits.size() > 15) return std::nullopt;
  std::uint64_t v = 0;
  for (const char c : digits) {
    const unsigned d = static_cast<unsigned char>(c) - unsigned{'0'};
    if (d > 9) return std::nullopt;
    v = v * 10 + d;
  }
  const auto magnitude = static_cast<double>(v);
  return neg ? -magnitude : magnitude;
}

// What decides whether an out-of-range number overflowed or underflowed.
struct DecimalShape {
  bool negative = false;
  bool seen_nonzero = false;
  std::int64_t lead_exp = 0;  // decimal exponent of the first nonzero digit
  std::int64_t exp = 0;       // the exponent as written, saturated
};

// Steps over digits from `i`, calling `each` on every one; false when none.
template <class Each>
bool digits(std::string_view text, std::size_t& i, Each&& each) {
  const std::size_t start = i;
  while (i < text.size() && is_digit(static_cast<unsigned char>(text[i]))) each(text[i++]);
  return i != start;
}

// Validates the shape ourselves: from_chars would also take "inf", "nan"
// and hexadecimal-looking forms.
std::optional<DecimalShape> decimal_shape(std::string_view text) {
  DecimalShape d;
  std::size_t i = 0;
  const std::size_t n = text.size();
  d.negative = i < n && text[i] == '-';
  if (d.negative) ++i;
  if (!digits(text, i, [&](char c) {
        if (d.seen_nonzero) {
          ++d.lead_exp;
        } else if (c != '0') {
          d.seen_nonzero = true;
        }
      })) {
    return std::nullopt;
  }
  if (i < n && text[i] == '.') {
    ++i;
    std::int64_t zeros = 0;
    if (!digits(text, i, [&](char c) {
          if (d.seen_nonzero) return;
          if (c == '0') {
            ++zeros;
          } else {
            d.seen_nonzero = true;
            d.lead_exp = -(zeros + 1);
          }
        })) {
      return std::nullopt;
    }
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) exp_negative = text[i++] == '-';
    // Saturate: any exponent beyond a billion is out of range either way.
    if (!digits(text, i, [&](char c) {
          if (d.exp < 1'000'000'000) d.exp = d.exp * 10 + (c - '0');
        })) {
      return std::nullopt;
    }
    if (exp_negative) d.exp = -d.exp;
  }
  if (i != n) return std::nullopt;
  return d;
}

}  // namespace

std::optional<double> decimal_to_double(std::string_view text) {
  if (const auto v = small_integer(text)) return v;
  const std::optional<DecimalShape> shape = decimal_shape(text);
  if (!shape) return std::nullopt;
  double value = 0;
  const std::size_t n = text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + n, value);
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves value untouched here. Overflow needs a magnitude of
    // about 1e308 and underflow one below about 1e-324, so the sign of the
    // leading digit's exponent tells them apart.
    const bool overflow = shape->seen_nonzero && shape->lead_exp + shape->exp >= 0;
    value = overflow ? HUGE_VAL : 0.0;
    return shape->negative ? -value : value;
  }
  if (ec != std::errc() || ptr != text.data() + n) return std::nullopt;
  return value;
}

// --- literal helpers --------------------------------------------------------

std::expected<void, std::string> expect_byte(std::string_view bytes, std::size_t index,
                                             char expected) {
  // The timestamp reader never asks past the end; other callers get an
  // error rather than an out-of-bounds read.
  const bool present = index < bytes.size();
  if (present && bytes[index] == expected) return {};
  // Only a failure pays for the message.
  std::string msg = "expected ";
  text::append_quoted_char(msg, static_cast<char32_t>(static_cast<unsigned char>(expected)));
  msg += " at position " + std::to_string(index) + ", got ";
  if (!present) return std::unexpected(msg + "EOF");
  // The byte is shown as the character with its value as code point.
  text::append_quoted_char(msg, static_cast<char32_t>(static_cast<unsigned char>(bytes[index])));
  return std::unexpected(std::move(msg));
}

std::expected<std::uint32_t, std::string> parse_uint_exact(std::string_view bytes) {
  std::uint64_t v = 0;
  bool all_digits = !bytes.empty();
  for (char c : bytes) {
    if (!is_digit(static_cast<unsigned char>(c))) {
      all_digits = false;
      break;
    }
  }
  if (!all_digits) return std::unexpected("expected ASCII digits, got " + text::quoted_str(bytes));
  for (char c : bytes) {
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > UINT32_MAX) return std::unexpected(std::string("number too large to fit in target type"));
  }
  return static_cast<std::uint32_t>(v);
}

std::int64_t days_from_civil(std::int32_t year, std::uint32_t month, std::uint32_t day) {
  auto floor_div = [](std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
  };
  const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
  const std::int64_t era = floor_div(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t mp = month >= 3 ? static_cast<std::int64_t>(month) - 3
                                     : static_cast<std::int64_t>(month) + 9;
  const std::int64_t doy = (153 * mp + 2) / 5 + static_cast<std::int64_t>(day) - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

namespace {

bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

std::uint32_t month_length(std::int64_t year, std::uint32_t month) {
  switch (month) {
    case 2: return is_leap(year) ? 29 : 28;
    case 4: case 6: case 9: case 11: return 30;
    default: return 31;
  }
}

std::string pad_signed(std::int64_t v, std::size_t width) {
  std::string digits = std::to_string(v < 0 ? -v : v);
  std::string out = v < 0 ? "-" : "";
  const std::size_t len = out.size() + digits.size();
  if (len < width) out.append(width - len, '0');
  return out + digits;
}

// The four year bytes must be whole UTF-8 characters; the reason mirrors a
// strict UTF-8 decoder's report on them.
std::expected<void, std::string> check_year_utf8(std::string_view year) {
  std::size_t i = 0;
  while (i < year.size()) {
    const text::DecodedChar d = text::decode_utf8(year, i);
    if (!d.valid) {
      const auto lead = static_cast<unsigned char>(year[i]);
      const bool truncated = i + d.len == year.size() && lead >= 0xC2 && lead <= 0xF4;
      if (truncated)
        return std::unexpected("non-utf8: incomplete utf-8 byte sequence from index " +
                               std::to_string(i));
      return std::unexpected("non-utf8: invalid utf-8 sequence of " + std::to_string(d.len) +
                             " bytes from index " + std::to_string(i));
    }
    i += d.len;
  }
  return {};
}

std::expected<std::int32_t, std::string> parse_year(std::string_view year) {
  VELNOR_TRY(check_year_utf8(year));
  std::size_t i = 0;
  const bool negative = !year.empty() && year[0] == '-';
  if (!year.empty() && (year[0] == '-' || year[0] == '+')) i = 1;
  std::int32_t v = 0;
  bool ok = i < year.size();
  for (; ok && i < year.size(); ++i) {
    if (!is_digit(static_cast<unsigned char>(year[i]))) {
      ok = false;
    } else {
      v = v * 10 + (year[i] - '0');
    }
  }
  if (!ok) {
    return std::unexpected("bad integer " + text::quoted_str(year) +
                           ": invalid digit found in string");
  }
  return negative ? -v : v;
}

// Value of the ASCII digits t[i] and t[i + 1], or -1 when either is not one.
int two_digits(std::string_view t, std::size_t i) {
  const unsigned hi = static_cast<unsigned char>(t[i]) - unsigned{'0'};
  const unsigned lo = static_cast<unsigned char>(t[i + 1]) - unsigned{'0'};
  if (hi > 9 || lo > 9) return -1;
  return static_cast<int>(hi * 10 + lo);
}

// Every timestamp of every verification passes through here, so the checks
// are done inline and the general helpers, whose results carry a message,
// are asked only once a check has failed: they then fail the same way and
// supply the reason.
std::unexpected<std::string> digits_error(std::string_view field) {
  return std::unexpected(parse_uint_exact(field).error());
}

std::unexpected<std::string> byte_error(std::string_view t, std::size_t i, char want) {
  return std::unexpected(expect_byte(t, i, want).error());
}

struct CivilTime {
  std::int32_t year = 0;
  std::uint32_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// "YYYY-MM-DDTHH:MM:SS" at the start of `t` (at least 19 bytes), fields not
// yet range-checked.
std::expected<void, std::string> read_civil(std::string_view t, CivilTime& out) {
  std::int32_t year;
  if (const int hi = two_digits(t, 0), lo = two_digits(t, 2); hi >= 0 && lo >= 0) {
    year = hi * 100 + lo;
  } else {
    // Signed years and every malformed one.
    VELNOR_TRY_ASSIGN(y, parse_year(t.substr(0, 4)));
    year = y;
  }
  if (t[4] != '-') return byte_error(t, 4, '-');
  const int month_v = two_digits(t, 5);
  if (month_v < 0) return digits_error(t.substr(5, 2));
  if (t[7] != '-') return byte_error(t, 7, '-');
  const int day_v = two_digits(t, 8);
  if (day_v < 0) return digits_error(t.substr(8, 2));
  if (t[10] != 'T' && t[10] != 't') {
    return std::unexpected("expected 'T' at position 10, got " +
                           text::quoted_char(static_cast<unsigned char>(t[10])));
  }
  const int hour_v = two_digits(t, 11);
  if (hour_v < 0) return digits_error(t.substr(11, 2));
  if (t[13] != ':') return byte_error(t, 13, ':');
  const int minute_v = two_digits(t, 14);
  if (minute_v < 0) return digits_error(t.substr(14, 2));
  if (t[16] != ':') return byte_error(t, 16, ':');
  const int second_v = two_digits(t, 17);
  if (second_v < 0) return digits_error(t.substr(17, 2));
  out = {year,
         static_cast<std::uint32_t>(month_v),
         static_cast<std::uint32_t>(day_v),
         static_cast<std::uint32_t>(hour_v),
         static_cast<std::uint32_t>(minute_v),
         static_cast<std::uint32_t>(second_v)};
  return {};
}

// The zone designator at t[p] and nothing after it: the seconds to add to
// the local time to give UTC.
std::expected<std::int64_t, std::string> read_zone(std::string_view t, std::size_t p) {
  if (p == t.size()) {
    return std::unexpected(std::string("missing timezone designator (need 'Z' or '+HH:MM')"));
  }
  std::int64_t offset_adjust = 0;
  std::size_t end;
  const char zone = t[p];
  if (zone == 'Z' || zone == 'z') {
    end = p + 1;
  } else if (zone == '+' || zone == '-') {
    if (t.size() < p + 6) return std::unexpected(std::string("offset truncated"));
    if (t[p + 3] != ':') {
      return std::unexpected(std::string("expected ':' at offset's HH:MM separator"));
    }
    const int off_h = two_digits(t, p + 1);
    if (off_h < 0) return digits_error(t.substr(p + 1, 2));
    const int off_m = two_digits(t, p + 4);
    if (off_m < 0) return digits_error(t.substr(p + 4, 2));
    if (off_h >= 24) return std::unexpected("bad offset hour: " + std::to_string(off_h));
    if (off_m >= 60) return std::unexpected("bad offset minute: " + std::to_string(off_m));
    const std::int64_t off = static_cast<std::int64_t>(off_h) * 3600 + off_m * 60;
    offset_adjust = zone == '+' ? -off : off;
    end = p + 6;
  } else {
    return std::unexpected("expected 'Z' or '+/-HH:MM', got " +
                           text::quoted_char(static_cast<unsigned char>(zone)));
  }
  if (t.size() > end) {
    return std::unexpected("trailing garbage in timestamp starting at byte " +
                           std::to_string(end));
  }
  return offset_adjust;
}

// Reads the text after '@' (non-empty) into `out` and returns the reason of
// the first failing check. The result is written in place: returned inside
// an expected it would be stored field by field and reloaded whole, which
// stalls.
std::expected<void, std::string> read_timestamp(std::string_view t, Timestamp& out) {
  if (t.size() < 19) {
    return std::unexpected("too short (" + std::to_string(t.size()) + " bytes, need >= 19)");
  }
  CivilTime c;
  VELNOR_TRY(read_civil(t, c));
  const auto [year, month, day, hour, minute, second] = c;

  std::size_t p = 19;
  std::uint32_t nanos = 0;
  if (t.size() > 19 && t[19] == '.') {
    std::size_t j = 20;
    while (j < t.size() && is_digit(static_cast<unsigned char>(t[j]))) ++j;
    if (j == 20) return std::unexpected(std::string("expected digits after '.'"));
    // Digits past the ninth are ignored: truncation, not rounding. Nine
    // digits always fit.
    for (std::size_t k = 20; k < 29; ++k) {
      nanos = nanos * 10 + (k < j ? static_cast<std::uint32_t>(t[k] - '0') : 0);
    }
    p = j;
  }

  VELNOR_TRY_ASSIGN(offset_adjust, read_zone(t, p));

  if (month < 1 || month > 12) return std::unexpected("bad month: " + std::to_string(month));
  if (day < 1 || day > month_length(year, month)) {
    return std::unexpected("bad day " + std::to_string(day) + " for " + pad_signed(year, 4) +
                           "-" + pad_signed(month, 2));
  }
  if (hour >= 24) return std::unexpected("bad hour: " + std::to_string(hour));
  if (minute >= 60) return std::unexpected("bad minute: " + std::to_string(minute));
  // 60 is a leap second; it simply counts as the next second.
  if (second >= 61) return std::unexpected("bad second: " + std::to_string(second));

  const std::int64_t secs = days_from_civil(year, month, day) * 86400 +
                            static_cast<std::int64_t>(hour) * 3600 + minute * 60 + second +
                            offset_adjust;
  out.secs = secs;
  out.nanos = nanos;
  return {};
}

}  // namespace

// One left-to-right pass over the predicate. Recursion happens only for
// parenthesised groups, bounded by kMaxGroupDepth; AND/OR chains loop.
class Expr::Parser {
 public:
  explicit Parser(std::string_view input) : input_(input) {}

  std::expected<Expr, DslError> parse_predicate() {
    skip_ws();
    if (at_end()) return fail("empty predicate");
    return parse_whole();
  }

 private:
  // The tree stays inside one expected all the way up: unwrapping and
  // rewrapping at every level would move every node several times. For the
  // same reason the functions every comparison passes through return one
  // local and nothing else, so the compiler can place it in the caller's
  // slot (a function that also returns some other value loses that).
  std::expected<Expr, DslError> parse_whole() {
    auto expr = parse_or_expr();
    if (expr) {
      skip_ws();
      if (!at_end()) {
        std::string msg = "trailing garbage starting with ";
        text::append_quoted_char(msg, peek_char().cp);
        msg += " at byte " + std::to_string(pos_);
        expr = fail(std::move(msg));
      }
    }
    return expr;
  }

  static std::unexpected<DslError> fail(std::string message) {
    return std::unexpected(DslError::parse(std::move(message)));
  }

  bool at_end() const { return pos_ >= input_.size(); }
  unsigned char byte_at(std::size_t i) const { return static_cast<unsigned char>(input_[i]); }
  bool next_is(char c) const { return !at_end() && input_[pos_] == c; }
  text::DecodedChar peek_char() const { return text::decode_utf8(input_, pos_); }

  // "{what}, found EOF" or "{what}, found {char} at byte {pos}".
  std::unexpected<DslError> fail_found(std::string_view what) const {
    std::string msg(what);
    if (at_end()) {
      msg += ", found EOF";
    } else {
      msg += ", found ";
      text::append_quoted_char(msg, peek_char().cp);
      msg += " at byte " + std::to_string(pos_);
    }
    return fail(std::move(msg));
  }

  void skip_ws() {
    while (!at_end() && (input_[pos_] == ' ' || input_[pos_] == '\t')) ++pos_;
  }

  // Whether the word `w` stands here, not followed by an identifier byte.
  bool word_at(std::string_view w) const {
    if (!input_.substr(pos_).starts_with(w)) return false;
    const std::size_t after = pos_ + w.size();
    return after >= input_.size() || !is_ident_char(byte_at(after));
  }

  bool consume_keyword(std::string_view kw) {
    if (!word_at(kw)) return false;
    pos_ += kw.size();
    return true;
  }

  std::expected<Expr, DslError> parse_or_expr() { return parse_chain<&Parser::parse_and_expr>("OR", Kind::Or); }
  std::expected<Expr, DslError> parse_and_expr() { return parse_chain<&Parser::parse_unary>("AND", Kind::And); }

  // Operands read by `Operand` joined by `keyword`, left-nested, in a loop.
  // One return of one local: the tree is built in the caller's slot rather
  // than moved out level by level.
  template <std::expected<Expr, DslError> (Parser::*Operand)()>
  std::expected<Expr, DslError> parse_chain(std::string_view keyword, Kind kind) {
    auto result = (this->*Operand)();
    while (result) {
      skip_ws();
      if (!consume_keyword(keyword)) break;
      skip_ws();
      auto rhs = (this->*Operand)();
      if (!rhs) {
        result = std::unexpected(std::move(rhs).error());
        break;
      }
      *result = join(kind, *std::move(result), *std::move(rhs));
    }
    return result;
  }

  std::expected<Expr, DslError> parse_unary() {
    skip_ws();
    if (next_is('(')) return parse_group();
    return parse_leaf();
  }

  std::expected<Expr, DslError> parse_leaf() {
    // Read straight into the node in the caller's slot; nothing of the
    // comparison is moved afterwards.
    std::expected<Expr, DslError> leaf{Expr()};
    if (auto read = parse_comparison(*std::get_if<Compare>(&leaf->node_)); !read) {
      leaf = std::unexpected(std::move(read).error());
    }
    return leaf;
  }

  std::expected<Expr, DslError> parse_group() {
    if (depth_ == kMaxGroupDepth) {
      return fail("parentheses nested deeper than " + std::to_string(kMaxGroupDepth) +
                  " levels at byte " + std::to_string(pos_));
    }
    ++pos_;
    ++depth_;
    skip_ws();
    auto inner = parse_or_expr();
    if (inner) {
      skip_ws();
      if (next_is(')')) {
        ++pos_;
        --depth_;
      } else {
        inner = fail_found("expected ')' to close group");
      }
    }
    return inner;
  }

  std::expected<void, DslError> parse_comparison(Compare& cmp) {
    const std::size_t path_start = pos_;
    for (;;) {
      if (!skip_bare_ident()) return fail_found("expected identifier");
      if (!next_is('.')) break;
      ++pos_;
    }
    cmp.ident.text.assign(input_.substr(path_start, pos_ - path_start));
    skip_ws();
    VELNOR_TRY_ASSIGN(op, parse_operator());
    cmp.op = op;
    skip_ws();
    return parse_literal(cmp.value);
  }

  // Steps over one identifier; false, consuming nothing, when none starts here.
  bool skip_bare_ident() {
    if (at_end() || !is_ident_start(byte_at(pos_))) return false;
    while (!at_end() && is_ident_char(byte_at(pos_))) ++pos_;
    return true;
  }

  std::expected<CmpOp, DslError> parse_operator() {
    if (!at_end()) {
      const bool then_eq = pos_ + 1 < input_.size() && input_[pos_ + 1] == '=';
      switch (input_[pos_]) {
        case 's':
          if (!word_at("starts_with")) break;
          pos_ += 11;
          return CmpOp::StartsWith;
        case 'm':
          if (!word_at("matches")) break;
          pos_ += 7;
          return CmpOp::Matches;
        case '=':
          if (!then_eq) break;
          pos_ += 2;
          return CmpOp::Eq;
        case '!':
          if (!then_eq) break;
          pos_ += 2;
          return CmpOp::Ne;
        case '<':
          pos_ += then_eq ? 2 : 1;
          return then_eq ? CmpOp::Le : CmpOp::Lt;
        case '>':
          pos_ += then_eq ? 2 : 1;
          return then_eq ? CmpOp::Ge : CmpOp::Gt;
        default:
          break;
      }
    }
    return fail("expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte " +
                std::to_string(pos_));
  }

  std::expected<void, DslError> parse_literal(Value& into) {
    if (!at_end()) {
      const unsigned char c = byte_at(pos_);
      if (c == '"') return parse_string(into);
      if (c == '-' || is_digit(c)) return parse_number(into);
      if (c == '@') return parse_timestamp(into);
    }
    return fail_found("expected value (string, number, or timestamp)");
  }

  std::expected<void, DslError> parse_string(Value& into) {
    ++pos_;  // opening quote
    std::string& out = into.v.emplace<Str>().text;
    for (;;) {
      // Copy plain ASCII runs in one step.
      const std::size_t start = pos_;
      while (!at_end()) {
        const unsigned char b = byte_at(pos_);
        if (b == '"' || b == '\\' || b >= 0x80) break;
        ++pos_;
      }
      out.append(input_.substr(start, pos_ - start));
      if (at_end()) return fail("unterminated string literal");
      const unsigned char b = byte_at(pos_);
      if (b == '"') {
        ++pos_;
        return {};
      }
      if (b == '\\') {
        ++pos_;
        if (at_end()) return fail("unterminated string: trailing backslash");
        const text::DecodedChar e = peek_char();
        if (!e.valid) return fail_invalid_utf8();
        switch (e.cp) {
          case U'"': out += '"'; break;
          case U'\\': out += '\\'; break;
          case U'n': out += '\n'; break;
          case U't': out += '\t'; break;
          default: {
            std::string msg = "invalid escape '\\";
            msg.append(input_.substr(pos_, e.len));
            msg += "' in string literal";
            return fail(std::move(msg));
          }
        }
        pos_ += e.len;
        continue;
      }
      // A multi-byte character. Predicates from Python are always valid
      // UTF-8; bytes that are not would otherwise end up in a Str and in
      // messages, so they are refused here.
      const text::DecodedChar d = peek_char();
      if (!d.valid) return fail_invalid_utf8();
      out.append(input_.substr(pos_, d.len));
      pos_ += d.len;
    }
  }

  std::unexpected<DslError> fail_invalid_utf8() const {
    return fail("invalid UTF-8 in string literal at byte " + std::to_string(pos_));
  }

  std::expected<void, DslError> parse_number(Value& into) {
    const std::size_t start = pos_;
    if (next_is('-')) ++pos_;
    const std::size_t digits = pos_;
    while (!at_end() && is_digit(byte_at(pos_))) ++pos_;
    if (pos_ == digits) return fail("expected digits in number at byte " + std::to_string(start));
    bool float_syntax = false;
    if (next_is('.')) {
      ++pos_;
      const std::size_t frac = pos_;
      while (!at_end() && is_digit(byte_at(pos_))) ++pos_;
      if (pos_ == frac) {
        return fail("expected digits after '.' in number at byte " + std::to_string(start));
      }
      float_syntax = true;
    }
    Number& num = into.v.emplace<Number>();
    // The text has the shape decimal_to_double accepts, so it always yields.
    num.value = decimal_to_double(input_.substr(start, pos_ - start)).value_or(0.0);
    num.float_syntax = float_syntax;
    if (next_is('_')) {
      ++pos_;
      const std::size_t start_name = pos_;
      if (!skip_bare_ident()) return fail_found("expected identifier");
      const std::string_view name = input_.substr(start_name, pos_ - start_name);
      num.unit = unit_named(name);
      if (!num.unit) return fail("unknown unit " + text::quoted_str(name) + " (allowed: " + unit_list() + ")");
    }
    return {};
  }

  std::expected<void, DslError> parse_timestamp(Value& into) {
    ++pos_;  // '@'
    const std::size_t start = pos_;
    while (!at_end()) {
      const auto c = static_cast<unsigned char>(input_[pos_]);
      // One test for the usual byte: all five terminators are at most ' '.
      if (c <= ' ' && (c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r')) break;
      ++pos_;
    }
    const std::string_view t = input_.substr(start, pos_ - start);
    if (t.empty()) return fail("expected RFC3339 timestamp after '@'");
    auto read = read_timestamp(t, into.v.emplace<Timestamp>());
    if (!read) return fail("invalid timestamp " + text::quoted_str(t) + ": " + read.error());
    return {};
  }

  std::string_view input_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;  // open parenthesised groups
};

std::expected<Expr, DslError> parse(std::string_view predicate) {
  return Expr::Parser(predicate).parse_predicate();
}

// --- evaluation -------------------------------------------------------------

std::expected<bool, DslError> ordered_to_bool(CmpOp op, Ordering ordering) {
  switch (op) {
    case CmpOp::Eq: return ordering == Ordering::Equal;
    case CmpOp::Ne: return ordering != Ordering::Equal;
    case CmpOp::Lt: return ordering == Ordering::Less;
    case CmpOp::Le: return ordering != Ordering::Greater;
    case CmpOp::Gt: return ordering == Ordering::Greater;
    case CmpOp::Ge: return ordering != Ordering::Less;
    case CmpOp::Matches:
    case CmpOp::StartsWith:
      break;
  }
  return std::unexpected(DslError::type_mismatch(
      "string for `" + std::string(cmp_op_symbol(op)) + "`", "non-string operand"));
}

namespace {

// Reads a context number into `num` (no unit); false when it is beyond the
// double range. Filling the caller's Number rather than returning one keeps
// the fields from being stored piecewise and then copied as a whole, which
// stalls on reloading what was just stored.
bool read_json_number(std::string_view text, Number& num) {
  const std::optional<double> d = decimal_to_double(text);
  if (!d || !std::isfinite(*d)) return false;
  num.value = *d;
  num.float_syntax = !json::is_integer_text(text);
  return true;
}

// The left operand of a comparison, as the context holds it. Its
// alternatives stand for those of Value in the same order; text is viewed in
// place, since the comparison only reads it and a copy per comparison would
// cost an allocation for every text longer than a few bytes.
using Operand = std::variant<std::string_view, Number, Timestamp>;

Value to_value(const Operand& op) {
  if (const auto* s = std::get_if<std::string_view>(&op)) return Value{Str{std::string(*s)}};
  if (const auto* n = std::get_if<Number>(&op)) return Value{*n};
  return Value{*std::get_if<Timestamp>(&op)};
}

}  // namespace

std::optional<Value> json_to_value(const JsonValue& json) {
  switch (json.kind()) {
    case JsonValue::Kind::String:
      return Value{Str{std::string(json.as_string())}};
    case JsonValue::Kind::Number: {
      Number num;
      if (read_json_number(json.number_text(), num)) return Value{num};
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

namespace {

std::string_view json_kind_name(const JsonValue& json) {
  switch (json.kind()) {
    case JsonValue::Kind::Null: return "null";
    case JsonValue::Kind::Bool: return "bool";
    case JsonValue::Kind::Number: return "non-finite number";
    case JsonValue::Kind::String: return "string";
    case JsonValue::Kind::Array: return "array";
    case JsonValue::Kind::Object: return "object";
  }
  return "null";
}

bool contains(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return true;
  if (needle.size() > hay.size()) return false;
  return ::memmem(hay.data(), hay.size(), needle.data(), needle.size()) != nullptr;
}

template <typename T>
Ordering order_of(const T& a, const T& b) {
  if (a < b) return Ordering::Less;
  if (b < a) return Ordering::Greater;
  return Ordering::Equal;
}

bool is_ordering_or_eq(CmpOp op) { return op != CmpOp::Matches && op != CmpOp::StartsWith; }

std::expected<bool, DslError> compare_operand(const Operand& left, CmpOp op, const Value& right) {
  if (left.index() != right.v.index()) {
    return std::unexpected(DslError::type_mismatch(right.type_name(), to_value(left).type_name()));
  }
  if (const auto* l = std::get_if<std::string_view>(&left)) {
    const std::string_view r = std::get_if<Str>(&right.v)->text;
    switch (op) {
      case CmpOp::Eq: return *l == r;
      case CmpOp::Ne: return *l != r;
      case CmpOp::Matches: return contains(*l, r);
      case CmpOp::StartsWith: return l->starts_with(r);
      default:
        return std::unexpected(DslError::type_mismatch(
            "number or timestamp on left for ordering operator",
            "string vs string with `" + std::string(cmp_op_symbol(op)) + "`"));
    }
  }
  if (const auto* l = std::get_if<Number>(&left)) {
    const auto& r = *std::get_if<Number>(&right.v);
    if (l->unit != r.unit) {
      return std::unexpected(DslError::type_mismatch("number with unit " + fmt_unit(r.unit),
                                                     "number with unit " + fmt_unit(l->unit)));
    }
    if (is_ordering_or_eq(op) && !r.float_syntax && l->float_syntax) {
      return std::unexpected(DslError::type_mismatch(
          "integer-syntactic numeric arg (caveat literal is integer-domain; use _cents form for "
          "sub-unit precision, or reject non-integer args at the tool boundary \u2014 closes "
          "angle finding A.1)",
          "float-syntactic numeric arg"));
    }
    return ordered_to_bool(op, order_of(l->value, r.value));
  }
  const auto& l = *std::get_if<Timestamp>(&left);
  const auto& r = *std::get_if<Timestamp>(&right.v);
  Ordering ord = order_of(l.secs, r.secs);
  if (ord == Ordering::Equal) ord = order_of(l.nanos, r.nanos);
  return ordered_to_bool(op, ord);
}

// The index of the first '.' from `at`, or the size: segments are a few
// bytes, where a loop beats a call to memchr.
std::size_t next_dot(std::string_view path, std::size_t at) {
  while (at < path.size() && path[at] != '.') ++at;
  return at;
}

// Looks the identifier up and leaves the operand in `out`, which is written
// in place for the same reason as in read_json_number.
std::expected<void, DslError> resolve_operand(const Ident& ident, const Context& context,
                                              Operand& out) {
  auto unknown = [&] { return std::unexpected(DslError::unknown_identifier(ident.text)); };
  const std::string_view path = ident.text;
  const std::size_t dot = next_dot(path, 0);
  const std::string_view root = path.substr(0, dot);
  const bool single = dot == path.size();
  const std::string_view rest = single ? std::string_view() : path.substr(dot + 1);
  if (root == "caller" && single) {
    out.emplace<std::string_view>(context.caller);
    return {};
  }
  if (root == "tool" && single) {
    out.emplace<std::string_view>(context.tool);
    return {};
  }
  if (root == "now" && single) {
    out.emplace<Timestamp>(context.now);
    return {};
  }
  if (root == "env" && !single && next_dot(rest, 0) == rest.size()) {
    const auto it = context.env.find(rest);
    if (it == context.env.end()) return unknown();
    out.emplace<std::string_view>(it->second);
    return {};
  }
  if (root == "arg" && !single) {
    const JsonValue* cur = &context.args;
    for (std::size_t at = 0;;) {
      const std::size_t end = next_dot(rest, at);
      cur = cur->find(rest.substr(at, end - at));  // nullptr for non-objects and missing keys
      if (cur == nullptr) return unknown();
      if (end == rest.size()) break;
      at = end + 1;
    }
    if (cur->kind() == JsonValue::Kind::String) {
      out.emplace<std::string_view>(cur->as_string());
      return {};
    }
    if (cur->kind() == JsonValue::Kind::Number &&
        read_json_number(cur->number_text(), out.emplace<Number>())) {
      return {};
    }
    return std::unexpected(DslError::type_mismatch(
        "string or integer at arg path",
        std::string(json_kind_name(*cur)) + " at " + ident.text));
  }
  return unknown();
}

}  // namespace

std::expected<Value, DslError> resolve_ident(const Ident& ident, const Context& context) {
  Operand operand;
  VELNOR_TRY(resolve_operand(ident, context, operand));
  return to_value(operand);
}

// Walks the tree with an explicit stack: chains built by the parser are
// left-nested and as deep as they are long.
std::expected<bool, DslError> eval_expr(const Expr& expr, const Context& context) {
  struct Frame {
    const Expr* node;    // an And or Or whose left operand is being evaluated,
    bool on_right;       // or, once set, its right operand
  };
  detail::SmallStack<Frame, 16> stack;
  const Expr* cur = &expr;
  for (;;) {
    while (cur->kind() != Expr::Kind::Compare) {
      stack.push_back({cur, false});
      cur = &cur->left();
    }
    const Compare& c = cur->compare();
    Operand lhs;
    VELNOR_TRY(resolve_operand(c.ident, context, lhs));
    VELNOR_TRY_ASSIGN(result, compare_operand(lhs, c.op, c.value));

    // Propagate the result up until some node needs its right operand.
    cur = nullptr;
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.on_right) {
        stack.pop_back();  // the node's value is its right operand's
        continue;
      }
      const bool decided = top.node->kind() == Expr::Kind::And ? !result : result;
      if (decided) {
        stack.pop_back();  // short circuit: the right operand is never looked at
        continue;
      }
      top.on_right = true;
      cur = &top.node->right();
      break;
    }
    if (cur == nullptr) return result;
  }
}

}  // namespace velnor
