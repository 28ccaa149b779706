#include "core/internal/json_reader.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/system/errc.hpp>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/internal/hex_codec.hpp"
#include "core/internal/quote.hpp"

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

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
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

struct Diagnosis {
  std::string_view desc;
  std::size_t consumed;
};

// Names the syntax fault Boost stopped at. Everything before the stop was
// accepted by Boost, so a light forward scan is enough to know whether it
// lies in a string, an escape, a number, and what the grammar expected.
// Only runs once, on failure.
class Diagnoser {
 public:
  explicit Diagnoser(std::string_view text) : text_(text) {}

  Diagnosis run(std::size_t p, const bj::error_code& ec) {
    if (ec == bj::error::illegal_leading_surrogate || ec == bj::error::illegal_trailing_surrogate ||
        ec == bj::error::expected_utf16_escape) {
      return {"invalid unicode code point", p + 1};
    }
    if (ec == bj::error::expected_hex_digit) return {"invalid escape", p + 1};
    if (ec == bj::error::too_deep) return {"recursion limit exceeded", p + 1};
    const bool eof = ec == bj::error::incomplete || p >= text_.size();
    const std::size_t stop = eof ? text_.size() : p;
    for (std::size_t i = 0; i < stop; ++i) {
      if (auto bad = step(i, stop)) return *bad;
    }
    return eof ? at_end() : at_fault(p);
  }

 private:
  enum class Expect : std::uint8_t { Value, Key, Colon, CommaOrClose, Done };

  Expect after_value() const { return open_.empty() ? Expect::Done : Expect::CommaOrClose; }

  // Reads text_[i]; may move `i` to the last byte of a multi-byte character.
  std::optional<Diagnosis> step(std::size_t& i, std::size_t stop) {
    const auto c = static_cast<unsigned char>(text_[i]);
    if (in_string_) return step_string(i, stop, c);
    if (literal_left_ > 0) {
      if (--literal_left_ == 0) expect_ = after_value();
      return std::nullopt;
    }
    if (in_number_) {
      if (is_number_char(static_cast<char>(c))) {
        number_last_ = static_cast<char>(c);
        return std::nullopt;
      }
      in_number_ = false;
      expect_ = after_value();
    }
    step_grammar(c);
    return std::nullopt;
  }

  std::optional<Diagnosis> step_string(std::size_t& i, std::size_t stop, unsigned char c) {
    // Boost may stop a few bytes into a bad UTF-8 sequence; name the
    // sequence here, or the scan would read its bytes as grammar.
    if (c >= 0x80 && escape_ == 0) {
      const text::DecodedChar d = text::decode_utf8(text_, i);
      if (!d.valid || i + d.len > stop) return Diagnosis{"invalid UTF-8", i + 1};
      high_ = false;
      i += d.len - 1;
      return std::nullopt;
    }
    if (escape_ == 1) {
      escape_ = c == 'u' ? 2 : 0;
      unit_ = 0;
      if (c != 'u') high_ = false;
    } else if (escape_ >= 2) {
      const unsigned digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
      unit_ = unit_ * 16 + digit;
      if (++escape_ == 6) {
        escape_ = 0;
        high_ = unit_ >= 0xD800 && unit_ <= 0xDBFF;
      }
    } else if (c == '\\') {
      escape_ = 1;
    } else if (c == '"') {
      in_string_ = false;
      high_ = false;
      expect_ = is_key_ ? Expect::Colon : after_value();
    } else {
      high_ = false;
    }
    return std::nullopt;
  }

  void step_grammar(unsigned char c) {
    if (is_space(static_cast<char>(c))) return;
    switch (c) {
      case '"':
        in_string_ = true;
        is_key_ = expect_ == Expect::Key;
        break;
      case '[':
      case '{':
        open_.push_back(c == '{' ? Shape::Object : Shape::Array);
        expect_ = c == '{' ? Expect::Key : Expect::Value;
        break;
      case ']':
      case '}':
        if (!open_.empty()) open_.pop_back();
        expect_ = after_value();
        break;
      case ':':
        expect_ = Expect::Value;
        break;
      case ',':
        expect_ = top() == Shape::Array ? Expect::Value : Expect::Key;
        break;
      case 't':
      case 'n':
        literal_left_ = 3;
        break;
      case 'f':
        literal_left_ = 4;
        break;
      default:
        in_number_ = true;
        number_last_ = static_cast<char>(c);
        break;
    }
  }

  Shape top() const { return open_.empty() ? Shape::Array : open_.back(); }

  Diagnosis at_end() const {
    const std::size_t n = text_.size();
    if (in_string_) return {"EOF while parsing a string", n};
    if (open_.empty() || (expect_ == Expect::Value && !in_number_ && literal_left_ == 0)) {
      return {"EOF while parsing a value", n};
    }
    return {top() == Shape::Array ? "EOF while parsing a list" : "EOF while parsing an object", n};
  }

  Diagnosis at_fault(std::size_t p) {
    const auto c = static_cast<unsigned char>(text_[p]);
    if (in_string_) {
      if (escape_ == 1) return {high_ ? "invalid unicode code point" : "invalid escape", p + 1};
      if (escape_ >= 2) return {"invalid escape", p + 1};
      if (high_) return {"invalid unicode code point", p + 1};
      if (c < 0x20) return {"control character (\\u0000-\\u001F) found while parsing a string", p + 1};
      return {"invalid UTF-8", p + 1};
    }
    if (literal_left_ > 0) return {"expected value", p + 1};
    if (in_number_) {
      const bool continues = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             c == '.' || c == '+' || c == '-';
      const bool unfinished = number_last_ < '0' || number_last_ > '9';
      if (continues || unfinished) return {"invalid number", p + 1};
      expect_ = after_value();
    }
    switch (expect_) {
      case Expect::Value:
        return {"expected value", p + 1};
      case Expect::Key:
        return {"key must be a string", p + 1};
      case Expect::Colon:
        return {"expected `:`", p + 1};
      case Expect::CommaOrClose:
        return {top() == Shape::Array ? "expected `,` or `]`" : "expected `,` or `}`", p + 1};
      case Expect::Done:
        break;
    }
    return {"trailing characters", p + 1};
  }

  std::string_view text_;
  std::vector<Shape> open_;
  Expect expect_ = Expect::Value;
  bool in_string_ = false;
  bool is_key_ = false;
  int escape_ = 0;     // 0 none, 1 after '\', 2..5 inside \uXXXX
  unsigned unit_ = 0;  // the \u value being read
  bool high_ = false;  // a high surrogate escape was just read
  bool in_number_ = false;
  std::size_t literal_left_ = 0;
  char number_last_ = 0;
};

// How many children each container of `text` has, in the order the
// containers open: commas at its level, plus one when it is not empty.
// A lexical scan only; for text that is not JSON the counts may be wrong,
// which costs at most a regrowth before the parser refuses the text.
std::vector<std::uint32_t> count_children(std::string_view text) {
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
    if (is_space(c)) continue;
    switch (c) {
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

struct Handler {
  static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();

  explicit Handler(Reader* reader) : r(reader) {}
  Reader* r;

  static std::string_view sv(bj::string_view s) { return {s.data(), s.size()}; }
  static bool cancel_if(bool ok, bj::error_code& ec) {
    if (!ok) ec = boost::system::errc::make_error_code(boost::system::errc::operation_canceled);
    return ok;
  }

  bool on_document_begin(bj::error_code&) { return true; }
  bool on_document_end(bj::error_code&) { return true; }
  bool on_array_begin(bj::error_code& ec) { return cancel_if(r->on_begin(Shape::Array), ec); }
  bool on_array_end(std::size_t, bj::error_code& ec) { return cancel_if(r->on_end(), ec); }
  bool on_object_begin(bj::error_code& ec) { return cancel_if(r->on_begin(Shape::Object), ec); }
  bool on_object_end(std::size_t, bj::error_code& ec) { return cancel_if(r->on_end(), ec); }
  bool on_string_part(bj::string_view s, std::size_t, bj::error_code&) {
    r->on_part(sv(s));
    return true;
  }
  bool on_string(bj::string_view s, std::size_t, bj::error_code& ec) { return cancel_if(r->on_string(sv(s)), ec); }
  bool on_key_part(bj::string_view s, std::size_t, bj::error_code&) {
    r->on_part(sv(s));
    return true;
  }
  bool on_key(bj::string_view s, std::size_t, bj::error_code& ec) { return cancel_if(r->on_key(sv(s)), ec); }
  bool on_number_part(bj::string_view s, bj::error_code&) {
    r->on_part(sv(s));
    return true;
  }
  bool on_int64(std::int64_t v, bj::string_view s, bj::error_code& ec) {
    return cancel_if(r->on_number(sv(s), Scalar::Int::Signed, static_cast<std::uint64_t>(v)), ec);
  }
  bool on_uint64(std::uint64_t v, bj::string_view s, bj::error_code& ec) {
    return cancel_if(r->on_number(sv(s), Scalar::Int::Unsigned, v), ec);
  }
  bool on_double(double, bj::string_view s, bj::error_code& ec) {
    return cancel_if(r->on_number(sv(s), Scalar::Int::None, 0), ec);
  }
  bool on_bool(bool b, bj::error_code& ec) { return cancel_if(r->on_bool(b), ec); }
  bool on_null(bj::error_code& ec) { return cancel_if(r->on_null(), ec); }
  bool on_comment_part(bj::string_view, bj::error_code&) { return true; }
  bool on_comment(bj::string_view, bj::error_code&) { return true; }
};

// The number whose exponent Boost stopped in at `p`: everything before `p`
// passed Boost's grammar, and only exponent digits can follow.
std::size_t number_start(std::string_view text, std::size_t p) {
  while (p > 0 && is_number_char(text[p - 1])) --p;
  return p;
}

std::size_t number_end(std::string_view text, std::size_t p) {
  while (p < text.size() && text[p] >= '0' && text[p] <= '9') ++p;
  return p;
}

}  // namespace

bool is_integer_text(std::string_view t) {
  // A plain loop: find_first_of would call memchr once per character.
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

std::string_view found(Shape s) { return s == Shape::Array ? "sequence" : "map"; }

std::string type_error(std::string_view what, std::string_view expected) {
  std::string m = "invalid type: ";
  m += what;
  m += ", expected ";
  m += expected;
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

std::string elements_text(std::string_view record, std::size_t n) {
  return std::string(record) + " with " + std::to_string(n) + (n == 1 ? " element" : " elements");
}

std::expected<std::uint64_t, std::string> to_uint(const Scalar& s, std::uint64_t max, std::string_view expected) {
  if (s.kind != Scalar::Kind::Number) return std::unexpected(type_error(found(s), expected));
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
      if (!is_integer_text(s.text)) return std::unexpected(type_error(found(s), expected));
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
  if (!ok || v > max) return std::unexpected("invalid value: " + found(s) + ", expected " + std::string(expected));
  return v;
}

bool store_hex(Reader& r, std::vector<std::uint8_t>& v, const Scalar& s, std::size_t length) {
  if (s.kind != Scalar::Kind::String) return r.fail_type(s, "a hex string");
  auto bytes = hex::decode(s.text);
  if (!bytes) return r.fail(std::string(bytes.error()));
  if (length != 0 && bytes->size() != length) {
    return r.fail(length_error(bytes->size(), std::to_string(length) + " bytes"));
  }
  v = std::move(*bytes);
  return true;
}

void Reader::ShapeStack::push(Shape s) {
  const std::size_t word = size_ / 64;
  if (word >= kInline && word - kInline >= more_.size()) more_.push_back(0);
  std::uint64_t& w = word < kInline ? inline_[word] : more_[word - kInline];
  const std::uint64_t bit = std::uint64_t{1} << (size_ % 64);
  w = s == Shape::Object ? (w | bit) : (w & ~bit);
  ++size_;
}

Shape Reader::ShapeStack::at(std::size_t i) const {
  if (i >= size_) return Shape::Array;
  const std::size_t word = i / 64;
  const std::uint64_t w = word < kInline ? inline_[word] : more_[word - kInline];
  return ((w >> (i % 64)) & 1) != 0 ? Shape::Object : Shape::Array;
}

std::optional<std::string> Reader::run() {
  bj::parse_options opt;
  opt.max_depth = std::numeric_limits<std::size_t>::max();  // the window bounds it
  bj::basic_parser<Handler> parser(opt, this);
  // Below a few kilobytes the counts cost more time than growing by
  // doubling, and what doubling can waste there is a constant.
  if (text_.size() > kPrecountFrom) children_ = count_children(text_);
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
        pos += n;
        if (auto err = after_exponent_overflow(pos, resume)) return err;
        if (!resume) return std::nullopt;
        continue;
      }
      const Diagnosis d = Diagnoser(text_).run(pos + n, ec);
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

// Boost keeps the exponent in an int, but RFC 8259 puts no bound on it and
// only a number's text is ever kept. Delivers the number Boost stopped in
// at `pos` and goes on behind it as after a deep skipped value.
std::optional<std::string> Reader::after_exponent_overflow(std::size_t& pos, bool& resume) {
  const std::size_t end = number_end(text_, pos);
  const std::size_t start = number_start(text_, pos);
  part_.clear();
  if (!on_number(text_.substr(start, end - start), Scalar::Int::None, 0)) return locate(fault_, text_, end);
  pos = end;
  resume = depth_ != 0;
  if (!resume) {
    const std::size_t rest = text_.find_first_not_of(" \t\n\r", pos);
    if (pos < text_.size() && rest != std::string_view::npos) return locate("trailing characters", text_, rest + 1);
  }
  return std::nullopt;
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

bool Reader::window_full() {
  window_full_ = true;
  return false;
}

bool Reader::on_begin(Shape s) {
  if (run_depth_ >= kWindow) return window_full();
  ++run_depth_;
  if (synthetic_) return true;
  expected_ = opened_ < children_.size() ? children_[opened_] : 0;
  ++opened_;
  adjust_ = 1;
  ++depth_;
  shapes_.push(s);
  Frame& f = frames_.back();
  if (f.ops == nullptr) return true;
  return f.ops->begin(*this, f, s);
}

bool Reader::on_end() {
  --run_depth_;
  if (synthetic_) return true;
  adjust_ = 1;
  --depth_;
  shapes_.pop();
  Frame& f = frames_.back();
  if (f.ops == nullptr) {
    if (depth_ == f.base) frames_.pop_back();
    return true;
  }
  return f.ops->end(*this, f);
}

bool Reader::on_key(std::string_view s) {
  if (synthetic_) return true;
  adjust_ = 1;
  const std::string_view k = assemble(s);
  Frame& f = frames_.back();
  const bool ok = f.ops == nullptr || f.ops->key(*this, f, k);
  part_.clear();
  return ok;
}

bool Reader::scalar(const Scalar& s) {
  Frame& f = frames_.back();
  return f.ops == nullptr || f.ops->scalar(*this, f, s);
}

bool Reader::on_string(std::string_view s) {
  if (synthetic_) return true;
  adjust_ = 1;
  const bool ok = scalar({Scalar::Kind::String, false, assemble(s)});
  part_.clear();
  return ok;
}

bool Reader::on_number(std::string_view s, Scalar::Int in, std::uint64_t bits) {
  if (synthetic_) return true;
  adjust_ = 0;
  const bool ok = scalar({Scalar::Kind::Number, false, assemble(s), in, bits});
  part_.clear();
  return ok;
}

bool Reader::on_bool(bool b) {
  if (synthetic_) return true;
  adjust_ = b ? 4 : 5;
  return scalar({Scalar::Kind::Bool, b, {}});
}

bool Reader::on_null() {
  if (synthetic_) return true;
  adjust_ = 4;
  return scalar({Scalar::Kind::Null, false, {}});
}

}  // namespace velnor::json
