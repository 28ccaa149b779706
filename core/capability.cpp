#include "core/capability.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <optional>
#include <tuple>
#include <utility>

#include "core/capability_json.hpp"
#include "core/internal/base64url.hpp"
#include "core/internal/hex_codec.hpp"
#include "core/internal/json_reader.hpp"
#include "core/internal/json_write.hpp"

namespace velnor {
namespace {

constexpr std::string_view kHolderPrefix = "__hok:";

// Overwrites in place: the old value is the link before this one, which
// would let whoever finds it in freed memory strip the newest caveat.
void store_link(Bytes& signature, const crypto::Digest& link) {
  signature.assign(link.bytes.begin(), link.bytes.end());
}

struct CapabilitySchema : json::RecordRules {
  using Record = Capability;
  static constexpr std::string_view kName = "struct Capability";
  static constexpr std::tuple kFields{
      json::field<&Capability::identifier, json::String>("identifier"),
      json::optional_field<&Capability::holder_of_key, json::Nullable<json::Hex<>>>("holder_of_key"),
      json::field<&Capability::caveats, CaveatListSink>("caveats"),
      json::field<&Capability::signature, json::Hex<>>("signature"),
  };
};

// Reads the document exactly as write_capability_json writes it, for
// identifiers and predicates of printable ASCII: members in the writer's
// order, no whitespace, only quotes and backslashes escaped, digests as 64
// hex digits.
// Such a document means the same to the general reader, so on this subset
// both give the same record; anything else (other text, other spellings,
// every malformed document) is left to the general reader, which alone
// produces errors. The form is what every token this library mints has, and
// reading it this way costs a few instructions a byte instead of a parser
// event per value.
class CanonicalReader {
 public:
  explicit CanonicalReader(std::string_view text) : text_(text) {}

  // The parts as written in the text; set by a successful read.
  const WrittenParts& parts() const { return parts_; }

  std::optional<Capability> read() {
    Capability cap;
    const std::size_t identifier = pos_ + std::string_view(R"({"identifier":)").size();
    if (!word(R"({"identifier":")") || !plain(cap.identifier)) return std::nullopt;
    parts_.identifier = text_.substr(identifier, pos_ - identifier);
    if (word(R"(,"holder_of_key":")")) {
      if (!digest(cap.holder_of_key.emplace())) return std::nullopt;
    }
    if (!word(R"(,"caveats":[)")) return std::nullopt;
    const std::size_t caveats = pos_ - 1;
    do {
      if (!word(R"({"predicate":")") || !plain(cap.caveats.emplace_back().predicate) || !word("}")) {
        return std::nullopt;
      }
    } while (word(","));
    parts_.caveats = text_.substr(caveats, pos_ + 1 - caveats);
    if (!word(R"(],"signature":")") || !digest(cap.signature) || !word("}") || pos_ != text_.size()) {
      return std::nullopt;
    }
    return cap;
  }

 private:
  bool word(std::string_view w) {
    if (text_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }

  // Up to the closing quote, which is consumed. Of the escapes only the two
  // the writer uses for printable text, \" and \\, are taken here.
  bool plain(std::string& out) {
    std::size_t run = pos_;
    for (; pos_ < text_.size(); ++pos_) {
      pos_ = skip_printable(pos_);
      if (pos_ == text_.size()) break;
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        out.append(text_.substr(run, pos_ - run));
        ++pos_;
        return true;
      }
      if (c == '\\') {
        const char next = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
        if (next != '"' && next != '\\') return false;
        out.append(text_.substr(run, pos_ - run));
        ++pos_;  // the escaped character starts the next run
        run = pos_;
        continue;
      }
      if (c < 0x20 || c > 0x7E) return false;
    }
    return false;
  }

  // The first index from `i` of a byte that is not printable ASCII or is a
  // quote or backslash; text_.size() when there is none.
  std::size_t skip_printable(std::size_t i) const {
    const char* d = text_.data();
#if defined(__SSE2__)
    for (; text_.size() - i >= 16; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
      // Bytes from 0x7F up and below 0x20: outside [0x20, 0x7E] as a signed
      // byte range shifted so that 0x20 sits at -128.
      const __m128i shifted = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0xA0)));
      const __m128i outside = _mm_cmpgt_epi8(shifted, _mm_set1_epi8(static_cast<char>(0x7E - 0xA0)));
      const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
      if (const int m = _mm_movemask_epi8(_mm_or_si128(outside, special)); m != 0) {
        return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(m)));
      }
    }
#endif
    for (; i < text_.size(); ++i) {
      const auto c = static_cast<unsigned char>(d[i]);
      if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') return i;
    }
    return i;
  }

  bool digest(Bytes& out) {
    constexpr std::size_t kDigits = 2 * crypto::kDigestLen;
    if (text_.size() - pos_ < kDigits + 1 || text_[pos_ + kDigits] != '"') return false;
    // Either case reads as the same bytes, as it does for the general reader.
    auto bytes = hex::decode(text_.substr(pos_, kDigits));
    if (!bytes) return false;
    out = std::move(*bytes);
    pos_ += kDigits + 1;
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  WrittenParts parts_;
};

}  // namespace

crypto::Digest chain_root(const crypto::HmacKey& root, std::string_view identifier) {
  return root.sign(crypto::as_bytes(identifier));
}

// Every intermediate link is a key to the rest of the chain: whoever saw one
// could drop the caveats after it. They stay in Digests, which wipe
// themselves, and each is overwritten by the next.
crypto::Digest chain_signature(const crypto::HmacKey& root, const Capability& cap) {
  crypto::Digest link = chain_root(root, cap.identifier);
  if (cap.holder_of_key) link = chain_holder_of_key(link.span(), *cap.holder_of_key);
  for (const Caveat& c : cap.caveats) link = chain_caveat(link.span(), c);
  return link;
}

crypto::Digest chain_caveat(crypto::ByteView key, const Caveat& caveat) {
  return crypto::hmac_sha256(key, crypto::as_bytes(caveat.predicate));
}

crypto::Digest chain_holder_of_key(crypto::ByteView key, crypto::ByteView holder_key) {
  return crypto::hmac_sha256(key, crypto::as_bytes(kHolderPrefix), holder_key);
}

Capability Capability::attenuate(std::string predicate) && {
  Caveat caveat{std::move(predicate)};
  store_link(signature, chain_caveat(signature, caveat));
  caveats.push_back(std::move(caveat));
  return std::move(*this);
}

void write_caveats_json(std::string& out, std::span<const Caveat> caveats) {
  out.push_back('[');
  bool first = true;
  for (const Caveat& c : caveats) {
    if (!first) out.push_back(',');
    first = false;
    out.append(R"({"predicate":)");
    json::append_string(out, c.predicate);
    out.push_back('}');
  }
  out.push_back(']');
}

void write_capability_json(const Capability& cap, std::string& out) {
  out.append(R"({"identifier":)");
  json::append_string(out, cap.identifier);
  if (cap.holder_of_key) {
    out.append(R"(,"holder_of_key":)");
    json::append_hex(out, *cap.holder_of_key);
  }
  out.append(R"(,"caveats":)");
  write_caveats_json(out, cap.caveats);
  out.append(R"(,"signature":)");
  json::append_hex(out, cap.signature);
  out.push_back('}');
}

namespace json {

std::expected<Capability, std::string> read_capability(std::string_view text) {
  return read<Record<CapabilitySchema>>(text);
}

}  // namespace json

std::string Capability::serialize() const {
  std::string json;
  json.reserve(128);
  write_capability_json(*this, json);
  return base64url::encode(crypto::as_bytes(json));
}

std::expected<Capability, Error> Capability::parse(std::string_view token) { return parse(token, {}); }

std::expected<Capability, Error> Capability::parse(std::string_view token,
                                                   const std::function<void(const WrittenParts&)>& seen) {
  auto decoded = base64url::decode(token);
  if (!decoded) return std::unexpected(Error::base64(decoded.error()));
  const std::string_view text(reinterpret_cast<const char*>(decoded->data()), decoded->size());
  CanonicalReader canonical(text);
  if (auto cap = canonical.read()) {
    if (seen) seen(canonical.parts());
    return std::move(*cap);
  }
  auto cap = json::read_capability(text);
  if (!cap) {
    return std::unexpected(
        Error::invalid_format("not a valid velnor capability: " + std::move(cap.error())));
  }
  return std::move(*cap);
}

}  // namespace velnor
