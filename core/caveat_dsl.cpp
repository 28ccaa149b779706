#include "core/caveat_dsl.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string.h>  // memmem (glibc): Two-Way search, linear worst case
#include <utility>
#include <vector>

#include "core/context.hpp"
#include "core/internal/quote.hpp"
#include "core/internal/small_stack.hpp"

// Early return of the error of a std::expected; the _ASSIGN form binds the
// value to a new local.
#define VELNOR_TRY_ASSIGN(lhs, expr)                                \
  auto lhs##_r = (expr);                                            \
  if (!lhs##_r) return std::unexpected(std::move(lhs##_r).error()); \
  auto lhs = *std::move(lhs##_r)

#define VELNOR_TRY(expr)                                              \
  do {                                                                \
    auto try_r_ = (expr);                                             \
    if (!try_r_) return std::unexpected(std::move(try_r_).error());   \
  } while (0)

namespace velnor {

// --- small value helpers ----------------------------------------------------

std::string fmt_unit(std::optional<Unit> unit) {
  if (!unit) return "(none)";
  switch (*unit) {
    case Unit::Usd: return "usd";
    case Unit::Eur: return "eur";
    case Unit::Gbp: return "gbp";
    case Unit::Cents: return "cents";
    case Unit::Ms: return "ms";
    case Unit::S: return "s";
  }
  return "(none)";
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

std::string Ident::joined() const {
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i != 0) out += '.';
    out += path[i];
  }
  return out;
}

// --- Expr -------------------------------------------------------------------

Expr Expr::compare(Compare c) {
  Expr e;
  e.kind_ = Kind::Compare;
  e.cmp_ = std::make_unique<Compare>(std::move(c));
  return e;
}

Expr Expr::make_and(Expr left, Expr right) {
  Expr e;
  e.kind_ = Kind::And;
  e.left_ = std::make_unique<Expr>(std::move(left));
  e.right_ = std::make_unique<Expr>(std::move(right));
  return e;
}

Expr Expr::make_or(Expr left, Expr right) {
  Expr e = make_and(std::move(left), std::move(right));
  e.kind_ = Kind::Or;
  return e;
}

Expr& Expr::operator=(Expr&& other) noexcept {
  if (this == &other) return *this;
  // Take other's parts first: other may live inside our own subtree.
  Kind kind = other.kind_;
  auto cmp = std::move(other.cmp_);
  auto left = std::move(other.left_);
  auto right = std::move(other.right_);
  release_iteratively();
  kind_ = kind;
  cmp_ = std::move(cmp);
  left_ = std::move(left);
  right_ = std::move(right);
  return *this;
}

Expr::~Expr() { release_iteratively(); }

// Frees the subtrees without recursion and without allocating: a node with
// a left child is rotated right until the chain of pending nodes (linked
// through right_) starts with a childless node, which is then freed. Every
// rotation moves one node off the left spine, so the walk is linear.
void Expr::release_iteratively() noexcept {
  if (!left_ && !right_) return;
  std::unique_ptr<Expr> cur = std::move(left_);
  std::unique_ptr<Expr> rest = std::move(right_);
  for (int pass = 0; pass < 2; ++pass) {
    while (cur) {
      if (cur->left_) {
        std::unique_ptr<Expr> l = std::move(cur->left_);
        cur->left_ = std::move(l->right_);
        l->right_ = std::move(cur);
        cur = std::move(l);
      } else {
        std::unique_ptr<Expr> next = std::move(cur->right_);
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

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_alpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ident_start(unsigned char c) { return is_alpha(c) || c == '_'; }
bool is_ident_char(unsigned char c) { return is_ident_start(c) || is_digit(c); }

}  // namespace

std::optional<double> decimal_to_double(std::string_view text) {
  // Validate the shape ourselves: from_chars would also take "inf", "nan"
  // and hexadecimal-looking forms. While at it, estimate the decimal
  // exponent of the leading significant digit, which decides whether an
  // out-of-range result overflowed or underflowed.
  std::size_t i = 0;
  const std::size_t n = text.size();
  const bool negative = i < n && text[i] == '-';
  if (negative) ++i;
  const std::size_t int_start = i;
  std::int64_t lead_exp = 0;  // decimal exponent of the first nonzero digit
  bool seen_nonzero = false;
  while (i < n && is_digit(static_cast<unsigned char>(text[i]))) {
    if (seen_nonzero) {
      ++lead_exp;
    } else if (text[i] != '0') {
      seen_nonzero = true;
    }
    ++i;
  }
  if (i == int_start) return std::nullopt;
  if (i < n && text[i] == '.') {
    ++i;
    const std::size_t frac_start = i;
    std::int64_t zeros = 0;
    while (i < n && is_digit(static_cast<unsigned char>(text[i]))) {
      if (!seen_nonzero) {
        if (text[i] == '0') {
          ++zeros;
        } else {
          seen_nonzero = true;
          lead_exp = -(zeros + 1);
        }
      }
      ++i;
    }
    if (i == frac_start) return std::nullopt;
  }
  std::int64_t exp = 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
      exp_negative = text[i] == '-';
      ++i;
    }
    const std::size_t exp_start = i;
    while (i < n && is_digit(static_cast<unsigned char>(text[i]))) {
      // Saturate: any exponent beyond a billion is out of range either way.
      if (exp < 1'000'000'000) exp = exp * 10 + (text[i] - '0');
      ++i;
    }
    if (i == exp_start) return std::nullopt;
    if (exp_negative) exp = -exp;
  }
  if (i != n) return std::nullopt;

  double value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + n, value);
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves value untouched here. Overflow needs a magnitude of
    // about 1e308 and underflow one below about 1e-324, so the sign of the
    // leading digit's exponent tells them apart.
    const bool overflow = seen_nonzero && lead_exp + exp >= 0;
    value = overflow ? HUGE_VAL : 0.0;
    return negative ? -value : value;
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

// Unit names in the order of Unit, which is also the order in messages.
constexpr std::pair<std::string_view, Unit> kUnits[] = {
    {"usd", Unit::Usd}, {"eur", Unit::Eur}, {"gbp", Unit::Gbp},
    {"cents", Unit::Cents}, {"ms", Unit::Ms}, {"s", Unit::S},
};

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

// Reads the text after '@' (non-empty) and returns the reason of the first
// failing check.
std::expected<Timestamp, std::string> read_timestamp(std::string_view t) {
  if (t.size() < 19) {
    return std::unexpected("too short (" + std::to_string(t.size()) + " bytes, need >= 19)");
  }
  VELNOR_TRY_ASSIGN(year, parse_year(t.substr(0, 4)));
  VELNOR_TRY(expect_byte(t, 4, '-'));
  VELNOR_TRY_ASSIGN(month, parse_uint_exact(t.substr(5, 2)));
  VELNOR_TRY(expect_byte(t, 7, '-'));
  VELNOR_TRY_ASSIGN(day, parse_uint_exact(t.substr(8, 2)));
  if (t[10] != 'T' && t[10] != 't') {
    return std::unexpected("expected 'T' at position 10, got " +
                           text::quoted_char(static_cast<unsigned char>(t[10])));
  }
  VELNOR_TRY_ASSIGN(hour, parse_uint_exact(t.substr(11, 2)));
  VELNOR_TRY(expect_byte(t, 13, ':'));
  VELNOR_TRY_ASSIGN(minute, parse_uint_exact(t.substr(14, 2)));
  VELNOR_TRY(expect_byte(t, 16, ':'));
  VELNOR_TRY_ASSIGN(second, parse_uint_exact(t.substr(17, 2)));

  std::size_t p = 19;
  std::uint32_t nanos = 0;
  if (t.size() > 19 && t[19] == '.') {
    std::size_t j = 20;
    while (j < t.size() && is_digit(static_cast<unsigned char>(t[j]))) ++j;
    if (j == 20) return std::unexpected(std::string("expected digits after '.'"));
    // Digits past the ninth are ignored: truncation, not rounding.
    std::string nine(t.substr(20, std::min<std::size_t>(9, j - 20)));
    nine.resize(9, '0');
    VELNOR_TRY_ASSIGN(frac, parse_uint_exact(nine));
    nanos = frac;
    p = j;
  }

  if (p == t.size()) {
    return std::unexpected(std::string("missing timezone designator (need 'Z' or '+HH:MM')"));
  }
  std::int64_t offset_adjust = 0;  // added to the local time to give UTC
  std::size_t end;
  const char zone = t[p];
  if (zone == 'Z' || zone == 'z') {
    end = p + 1;
  } else if (zone == '+' || zone == '-') {
    if (t.size() < p + 6) return std::unexpected(std::string("offset truncated"));
    if (t[p + 3] != ':') {
      return std::unexpected(std::string("expected ':' at offset's HH:MM separator"));
    }
    VELNOR_TRY_ASSIGN(off_h, parse_uint_exact(t.substr(p + 1, 2)));
    VELNOR_TRY_ASSIGN(off_m, parse_uint_exact(t.substr(p + 4, 2)));
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
  return Timestamp{secs, nanos};
}

// One left-to-right pass over the predicate. Recursion happens only for
// parenthesised groups, bounded by kMaxGroupDepth; AND/OR chains loop.
class Parser {
 public:
  explicit Parser(std::string_view input) : input_(input) {}

  std::expected<Expr, DslError> parse_predicate() {
    skip_ws();
    if (at_end()) return fail("empty predicate");
    // The tree stays inside one expected all the way up: unwrapping and
    // rewrapping at every level would move every node several times.
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

 private:
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

  bool consume_keyword(std::string_view kw) {
    if (!input_.substr(pos_).starts_with(kw)) return false;
    const std::size_t after = pos_ + kw.size();
    if (after < input_.size() && is_ident_char(byte_at(after))) return false;
    pos_ = after;
    return true;
  }

  // One return of one local in each: the tree is built in the caller's
  // slot rather than moved out level by level.
  std::expected<Expr, DslError> parse_or_expr() {
    auto result = parse_and_expr();
    while (result) {
      skip_ws();
      if (!consume_keyword("OR")) break;
      skip_ws();
      auto rhs = parse_and_expr();
      if (!rhs) {
        result = std::unexpected(std::move(rhs).error());
        break;
      }
      *result = Expr::make_or(*std::move(result), *std::move(rhs));
    }
    return result;
  }

  std::expected<Expr, DslError> parse_and_expr() {
    auto result = parse_unary();
    while (result) {
      skip_ws();
      if (!consume_keyword("AND")) break;
      skip_ws();
      auto rhs = parse_unary();
      if (!rhs) {
        result = std::unexpected(std::move(rhs).error());
        break;
      }
      *result = Expr::make_and(*std::move(result), *std::move(rhs));
    }
    return result;
  }

  std::expected<Expr, DslError> parse_unary() {
    skip_ws();
    if (next_is('(')) {
      if (depth_ == kMaxGroupDepth) {
        return fail("parentheses nested deeper than " + std::to_string(kMaxGroupDepth) +
                    " levels at byte " + std::to_string(pos_));
      }
      ++pos_;
      ++depth_;
      skip_ws();
      auto inner = parse_or_expr();
      if (!inner) return inner;
      skip_ws();
      if (!next_is(')')) return fail_found("expected ')' to close group");
      ++pos_;
      --depth_;
      return inner;
    }

    // The dotted path is checked first and its segments copied out after,
    // so the path vector is allocated once at its final size.
    const std::size_t path_start = pos_;
    std::size_t segments = 0;
    for (;;) {
      if (!skip_bare_ident()) return fail_found("expected identifier");
      ++segments;
      if (!next_is('.')) break;
      ++pos_;
    }
    Compare cmp;
    cmp.ident.path.reserve(segments);
    const std::string_view path = input_.substr(path_start, pos_ - path_start);
    for (std::size_t at = 0;;) {
      const std::size_t dot = path.find('.', at);
      cmp.ident.path.emplace_back(path.substr(at, dot - at));
      if (dot == std::string_view::npos) break;
      at = dot + 1;
    }
    skip_ws();
    VELNOR_TRY_ASSIGN(op, parse_operator());
    cmp.op = op;
    skip_ws();
    // Read straight into the node: literals are moved no further.
    VELNOR_TRY(parse_literal(cmp.value));
    return Expr::compare(std::move(cmp));
  }

  // Steps over one identifier; false, consuming nothing, when none starts here.
  bool skip_bare_ident() {
    if (at_end() || !is_ident_start(byte_at(pos_))) return false;
    while (!at_end() && is_ident_char(byte_at(pos_))) ++pos_;
    return true;
  }

  std::expected<std::string, DslError> parse_bare_ident() {
    if (at_end() || !is_ident_start(byte_at(pos_))) return fail_found("expected identifier");
    const std::size_t start = pos_;
    while (!at_end() && is_ident_char(byte_at(pos_))) ++pos_;
    return std::string(input_.substr(start, pos_ - start));
  }

  bool word_at(std::string_view word) const {
    const std::string_view rest = input_.substr(pos_);
    if (!rest.starts_with(word)) return false;
    return rest.size() == word.size() || !is_ident_char(static_cast<unsigned char>(rest[word.size()]));
  }

  std::expected<CmpOp, DslError> parse_operator() {
    const std::string_view rest = input_.substr(pos_);
    if (word_at("starts_with")) {
      pos_ += 11;
      return CmpOp::StartsWith;
    }
    if (word_at("matches")) {
      pos_ += 7;
      return CmpOp::Matches;
    }
    if (rest.starts_with("==")) { pos_ += 2; return CmpOp::Eq; }
    if (rest.starts_with("!=")) { pos_ += 2; return CmpOp::Ne; }
    if (rest.starts_with("<=")) { pos_ += 2; return CmpOp::Le; }
    if (rest.starts_with(">=")) { pos_ += 2; return CmpOp::Ge; }
    if (rest.starts_with("<")) { pos_ += 1; return CmpOp::Lt; }
    if (rest.starts_with(">")) { pos_ += 1; return CmpOp::Gt; }
    return fail("expected operator (==, !=, <=, >=, <, >, matches, starts_with) at byte " +
                std::to_string(pos_));
  }

  std::expected<void, DslError> parse_literal(Value& into) {
    if (!at_end()) {
      const unsigned char c = byte_at(pos_);
      if (c == '"') return parse_string(into);
      if (c == '-' || is_digit(c)) return store(into, parse_number());
      if (c == '@') return store(into, parse_timestamp());
    }
    return fail_found("expected value (string, number, or timestamp)");
  }

  static std::expected<void, DslError> store(Value& into, std::expected<Value, DslError> v) {
    if (!v) return std::unexpected(std::move(v).error());
    into = *std::move(v);
    return {};
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

  std::expected<Value, DslError> parse_number() {
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
    Number num;
    // The text has the shape decimal_to_double accepts, so it always yields.
    num.value = decimal_to_double(input_.substr(start, pos_ - start)).value_or(0.0);
    num.float_syntax = float_syntax;
    if (next_is('_')) {
      ++pos_;
      VELNOR_TRY_ASSIGN(name, parse_bare_ident());
      bool found = false;
      for (const auto& [unit_name, unit] : kUnits) {
        if (name == unit_name) {
          num.unit = unit;
          found = true;
          break;
        }
      }
      if (!found) {
        return fail("unknown unit " + text::quoted_str(name) +
                    " (allowed: usd, eur, gbp, cents, ms, s)");
      }
    }
    return Value{num};
  }

  std::expected<Value, DslError> parse_timestamp() {
    ++pos_;  // '@'
    const std::size_t start = pos_;
    while (!at_end()) {
      const char c = input_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r') break;
      ++pos_;
    }
    const std::string_view t = input_.substr(start, pos_ - start);
    if (t.empty()) return fail("expected RFC3339 timestamp after '@'");
    auto ts = read_timestamp(t);
    if (!ts) return fail("invalid timestamp " + text::quoted_str(t) + ": " + ts.error());
    return Value{*ts};
  }

  std::string_view input_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;  // open parenthesised groups
};

}  // namespace

std::expected<Expr, DslError> parse(std::string_view predicate) {
  return Parser(predicate).parse_predicate();
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

std::optional<Value> json_to_value(const JsonValue& json) {
  switch (json.kind()) {
    case JsonValue::Kind::String:
      return Value{Str{json.as_string()}};
    case JsonValue::Kind::Number: {
      const std::string& t = json.number_text();
      const std::optional<double> d = decimal_to_double(t);
      if (!d || !std::isfinite(*d)) return std::nullopt;
      Number num;
      num.value = *d;
      num.float_syntax = std::ranges::any_of(t, [](char c) { return c == '.' || c == 'e' || c == 'E'; });
      return Value{num};
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

std::expected<bool, DslError> compare_values(const Value& left, CmpOp op, const Value& right) {
  if (left.v.index() != right.v.index()) {
    return std::unexpected(DslError::type_mismatch(right.type_name(), left.type_name()));
  }
  if (const auto* l = std::get_if<Str>(&left.v)) {
    const auto& r = std::get<Str>(right.v);
    switch (op) {
      case CmpOp::Eq: return l->text == r.text;
      case CmpOp::Ne: return l->text != r.text;
      case CmpOp::Matches: return contains(l->text, r.text);
      case CmpOp::StartsWith: return std::string_view(l->text).starts_with(r.text);
      default:
        return std::unexpected(DslError::type_mismatch(
            "number or timestamp on left for ordering operator",
            "string vs string with `" + std::string(cmp_op_symbol(op)) + "`"));
    }
  }
  if (const auto* l = std::get_if<Number>(&left.v)) {
    const auto& r = std::get<Number>(right.v);
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
  const auto& l = std::get<Timestamp>(left.v);
  const auto& r = std::get<Timestamp>(right.v);
  Ordering ord = order_of(l.secs, r.secs);
  if (ord == Ordering::Equal) ord = order_of(l.nanos, r.nanos);
  return ordered_to_bool(op, ord);
}

}  // namespace

std::expected<Value, DslError> resolve_ident(const Ident& ident, const Context& context) {
  const auto& path = ident.path;
  auto unknown = [&] { return std::unexpected(DslError::unknown_identifier(ident.joined())); };
  if (path.empty()) return unknown();
  const std::string_view root = path[0];
  if (root == "caller" && path.size() == 1) return Value{Str{context.caller}};
  if (root == "tool" && path.size() == 1) return Value{Str{context.tool}};
  if (root == "now" && path.size() == 1) {
    return Value{Timestamp{context.now.secs, context.now.nanos}};
  }
  if (root == "env" && path.size() == 2) {
    const auto it = context.env.find(path[1]);
    if (it == context.env.end()) return unknown();
    return Value{Str{it->second}};
  }
  if (root == "arg" && path.size() >= 2) {
    const JsonValue* cur = &context.args;
    for (std::size_t i = 1; i < path.size(); ++i) {
      cur = cur->find(path[i]);  // nullptr for non-objects and missing keys
      if (cur == nullptr) return unknown();
    }
    if (auto v = json_to_value(*cur)) return *std::move(v);
    return std::unexpected(DslError::type_mismatch(
        "string or integer at arg path",
        std::string(json_kind_name(*cur)) + " at " + ident.joined()));
  }
  return unknown();
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
    VELNOR_TRY_ASSIGN(lhs, resolve_ident(c.ident, context));
    VELNOR_TRY_ASSIGN(result, compare_values(lhs, c.op, c.value));

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
