#include "core/capability.hpp"

#include <tuple>
#include <utility>

#include "core/capability_json.hpp"
#include "core/internal/base64url.hpp"
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

std::expected<Capability, Error> Capability::parse(std::string_view token) {
  auto decoded = base64url::decode(token);
  if (!decoded) return std::unexpected(Error::base64(decoded.error()));
  const std::string_view text(reinterpret_cast<const char*>(decoded->data()), decoded->size());
  auto cap = json::read_capability(text);
  if (!cap) {
    return std::unexpected(
        Error::invalid_format("not a valid velnor capability: " + std::move(cap.error())));
  }
  return std::move(*cap);
}

}  // namespace velnor
