#include "core/revocation.hpp"

#include <boost/json/basic_parser_impl.hpp>

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>

#include "core/hex.hpp"
#include "core/internal/base64url.hpp"
#include "core/internal/json_write.hpp"

namespace velnor {
namespace bj = boost::json;

namespace {

// Not UTF-8 (0xFF never is), so no identifier a token can carry signs to it.
constexpr std::string_view kListKeyLabel = "\xff" "velnor revocation list key";
constexpr std::string_view kSigningLabel{"velnor revocation list\0", 23};

void append_u64(std::string& out, std::uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xff));
}

crypto::Digest list_signature(const crypto::HmacKey& root, const std::vector<std::string>& ids,
                              std::uint64_t version) {
  const crypto::Digest list_key = root.sign(crypto::as_bytes(kListKeyLabel));
  std::size_t size = kSigningLabel.size() + 16;
  for (const std::string& id : ids) size += 8 + id.size();
  std::string input;
  input.reserve(size);
  input.append(kSigningLabel);
  append_u64(input, version);
  append_u64(input, ids.size());
  for (const std::string& id : ids) {
    append_u64(input, id.size());
    input.append(id);
  }
  return crypto::hmac_sha256(list_key.span(), crypto::as_bytes(input));
}

void sort_unique(std::vector<std::string>& ids) {
  // std::string compares its chars as unsigned bytes, which is the order the
  // binary search in contains() depends on.
  std::ranges::sort(ids);
  const auto dup = std::ranges::unique(ids);
  ids.erase(dup.begin(), dup.end());
}

}  // namespace

RevocationList::RevocationList(std::vector<std::string> identifiers) : ids_(std::move(identifiers)) {
  sort_unique(ids_);
}

bool RevocationList::contains(std::string_view identifier) const {
  return std::binary_search(ids_.begin(), ids_.end(), identifier, std::less<>{});
}

std::string RevocationList::sign(const crypto::HmacKey& root, std::vector<std::string> identifiers,
                                 std::uint64_t version) {
  sort_unique(identifiers);
  const crypto::Digest sig = list_signature(root, identifiers, version);
  std::string json = "{\"version\":";
  json::append_uint(json, version);
  json.append(",\"identifiers\":[");
  for (std::size_t i = 0; i < identifiers.size(); ++i) {
    if (i > 0) json.push_back(',');
    json::append_string(json, identifiers[i]);
  }
  json.append("],\"signature\":\"");
  hex_append(json, sig.span());
  json.append("\"}");
  return base64url::encode(crypto::as_bytes(json));
}

std::string RevocationError::display() const {
  switch (kind_) {
    case Kind::Malformed:
      return "invalid revocation list: " + why_;
    case Kind::InvalidSignature:
      return "revocation list: invalid signature";
    case Kind::NotNewer:
      return "revocation list version " + std::to_string(version_) + " is not newer than " +
             std::to_string(held_);
  }
  return "revocation list: invalid signature";
}

// The list document's reader: one flat object of three members, read from
// the parser's events. Every fault is recorded where it is seen and stops
// the parse.
class RevocationReader {
 public:
  enum class Field : std::uint8_t { None, Version, Identifiers, Signature };

  std::optional<std::string> fault;
  RevocationList list;
  std::string signature_hex;
  bool seen[4] = {false, false, false, false};

  void seal(std::vector<std::uint8_t> signature) { list.signature_ = std::move(signature); }

  bool fail(std::string why, bj::error_code& ec) {
    if (!fault) fault = std::move(why);
    ec = bj::error::syntax;  // any code: `fault` says what happened
    return false;
  }

  // Depth 1 is the document object, 2 the identifiers array.
  int depth = 0;
  Field field = Field::None;
  std::string part;

  bool value_here(std::string_view what, bj::error_code& ec) {
    if (depth == 0) return fail("expected an object", ec);
    if (depth == 2) return fail("`identifiers` must be an array of strings", ec);
    switch (field) {
      case Field::Version:
        return fail("`version` must be an unsigned 64-bit integer", ec);
      case Field::Identifiers:
        return fail("`identifiers` must be an array of strings", ec);
      case Field::Signature:
        return fail("`signature` must be 64 hex digits", ec);
      case Field::None:
        break;
    }
    return fail(std::string(what), ec);
  }

  bool object_begin(bj::error_code& ec) {
    if (depth != 0) return value_here("unexpected object", ec);
    depth = 1;
    return true;
  }
  bool array_begin(bj::error_code& ec) {
    if (depth != 1 || field != Field::Identifiers) return value_here("unexpected array", ec);
    depth = 2;
    return true;
  }
  bool array_end() {
    depth = 1;
    field = Field::None;
    return true;
  }
  bool object_end(bj::error_code& ec) {
    depth = 0;
    constexpr std::string_view names[] = {"", "version", "identifiers", "signature"};
    for (int i = 1; i < 4; ++i) {
      if (!seen[i]) return fail("missing field `" + std::string(names[i]) + "`", ec);
    }
    return true;
  }
  bool key(std::string_view k, bj::error_code& ec) {
    part.append(k);
    std::string name = std::move(part);
    part = std::string();
    Field f = Field::None;
    if (name == "version") f = Field::Version;
    else if (name == "identifiers") f = Field::Identifiers;
    else if (name == "signature") f = Field::Signature;
    if (f == Field::None) {
      std::string quoted;
      json::append_string(quoted, std::string_view(name).substr(0, 64));
      return fail("unknown field " + quoted, ec);
    }
    auto& s = seen[static_cast<int>(f)];
    if (s) return fail("duplicate field `" + name + "`", ec);
    s = true;
    field = f;
    return true;
  }
  bool string(std::string_view s, bj::error_code& ec) {
    part.append(s);
    if (depth == 2) {
      std::vector<std::string>& ids = list.ids_;
      // Strictly ascending, as the signer writes them: the binary search
      // needs the order, and one list has one text.
      if (!ids.empty() && !(ids.back() < part)) return fail("identifiers are not sorted and unique", ec);
      ids.push_back(std::move(part));
      part = std::string();
      return true;
    }
    if (depth == 1 && field == Field::Signature) {
      signature_hex = std::move(part);
      part = std::string();
      field = Field::None;
      return true;
    }
    return value_here("unexpected string", ec);
  }
  bool number(std::optional<std::uint64_t> v, bj::error_code& ec) {
    if (depth == 1 && field == Field::Version && v) {
      list.version_ = *v;
      field = Field::None;
      return true;
    }
    return value_here("unexpected number", ec);
  }
};

namespace {

struct Handler {
  static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();

  explicit Handler(RevocationReader* reader) : r(reader) {}
  RevocationReader* r;

  static std::string_view sv(bj::string_view s) { return {s.data(), s.size()}; }

  bool on_document_begin(bj::error_code&) { return true; }
  bool on_document_end(bj::error_code&) { return true; }
  bool on_array_begin(bj::error_code& ec) { return r->array_begin(ec); }
  bool on_array_end(std::size_t, bj::error_code&) { return r->array_end(); }
  bool on_object_begin(bj::error_code& ec) { return r->object_begin(ec); }
  bool on_object_end(std::size_t, bj::error_code& ec) { return r->object_end(ec); }
  bool on_string_part(bj::string_view s, std::size_t, bj::error_code&) {
    r->part.append(sv(s));
    return true;
  }
  bool on_string(bj::string_view s, std::size_t, bj::error_code& ec) { return r->string(sv(s), ec); }
  bool on_key_part(bj::string_view s, std::size_t, bj::error_code&) {
    r->part.append(sv(s));
    return true;
  }
  bool on_key(bj::string_view s, std::size_t, bj::error_code& ec) { return r->key(sv(s), ec); }
  bool on_number_part(bj::string_view, bj::error_code&) { return true; }
  bool on_int64(std::int64_t v, bj::string_view, bj::error_code& ec) {
    if (v < 0) return r->number(std::nullopt, ec);
    return r->number(static_cast<std::uint64_t>(v), ec);
  }
  bool on_uint64(std::uint64_t v, bj::string_view, bj::error_code& ec) { return r->number(v, ec); }
  bool on_double(double, bj::string_view, bj::error_code& ec) { return r->number(std::nullopt, ec); }
  bool on_bool(bool, bj::error_code& ec) { return r->value_here("unexpected boolean", ec); }
  bool on_null(bj::error_code& ec) { return r->value_here("unexpected null", ec); }
  bool on_comment_part(bj::string_view, bj::error_code&) { return true; }
  bool on_comment(bj::string_view, bj::error_code&) { return true; }
};

}  // namespace

std::expected<RevocationList, RevocationError> open_revocation_list(std::string_view text,
                                                                    const crypto::HmacKey& root) {
  auto raw = base64url::decode(text);
  if (!raw) return std::unexpected(RevocationError::malformed(raw.error().display()));

  RevocationReader reader;
  bj::parse_options opt;
  opt.max_depth = 2;  // the document's own depth; anything deeper is refused unread
  bj::basic_parser<Handler> parser(opt, &reader);
  bj::error_code ec;
  const char* data = raw->empty() ? "" : reinterpret_cast<const char*>(raw->data());
  const std::size_t used = parser.write_some(false, data, raw->size(), ec);
  if (reader.fault) return std::unexpected(RevocationError::malformed(std::move(*reader.fault)));
  if (ec) {
    if (ec == bj::error::too_deep) return std::unexpected(RevocationError::malformed("`identifiers` must be an array of strings"));
    return std::unexpected(RevocationError::malformed("JSON: " + ec.message()));
  }
  if (used != raw->size()) return std::unexpected(RevocationError::malformed("trailing characters"));

  const auto sig = hex_decode(reader.signature_hex);
  if (!sig || sig->size() != crypto::kDigestLen) {
    return std::unexpected(RevocationError::malformed("`signature` must be 64 hex digits"));
  }
  const crypto::Digest expected = list_signature(root, reader.list.identifiers(), reader.list.version());
  if (!crypto::constant_time_equal(expected.span(), *sig)) {
    return std::unexpected(RevocationError::invalid_signature());
  }
  reader.seal(*sig);
  return std::move(reader.list);
}

}  // namespace velnor
