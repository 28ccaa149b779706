// The capability record, its HMAC-SHA-256 signature chain, attenuation and
// the token text.
//
// Chain under root key K: s = HMAC(K, identifier); if a holder key is set,
// s = HMAC(s, "__hok:" || holder key); then s = HMAC(s, predicate) for each
// caveat in order. The signature is the last s.
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/hex.hpp"
#include "core/internal/crypto.hpp"

namespace velnor {

struct Caveat {
  std::string predicate;  // stored and signed exactly as supplied
  bool operator==(const Caveat&) const = default;
};

// The root step: HMAC under the root key over the identifier.
crypto::Digest chain_root(const crypto::HmacKey& root, std::string_view identifier);
// The caveat step: HMAC keyed with the previous link over the predicate.
crypto::Digest chain_caveat(crypto::ByteView key, const Caveat& caveat);
// The holder step: HMAC keyed with the previous link over "__hok:" followed
// by the raw key bytes.
crypto::Digest chain_holder_of_key(crypto::ByteView key, crypto::ByteView holder_key);

// Identifiers and predicates are UTF-8 text. The Python binding only ever
// hands over valid UTF-8; a C++ caller that stores anything else gets a
// token that the JSON reader refuses to read back.
struct Capability;
// The whole chain of `cap` under `root`: what its signature must be.
crypto::Digest chain_signature(const crypto::HmacKey& root, const Capability& cap);

// What a token in the writer's own form shows of its record as JSON: the
// identifier with its quotes and the caveat list with its brackets, exactly
// as write_capability_json writes them.
struct WrittenParts {
  std::string_view identifier;
  std::string_view caveats;
};

struct Capability {
  std::string identifier;
  std::optional<Bytes> holder_of_key;
  std::vector<Caveat> caveats;
  Bytes signature;

  // Appends a caveat and advances the chain. Needs no key, checks nothing
  // (the predicate is not parsed here; the binding does that first).
  Capability attenuate(std::string predicate) &&;

  // Base64url (unpadded) of the compact JSON document. Never fails.
  std::string serialize() const;

  // Reads a token. Checks form only, never the chain. Errors:
  // Error::Base64, or Error::InvalidFormat carrying
  // "not a valid velnor capability: {} at line L column C".
  static std::expected<Capability, Error> parse(std::string_view token);
  // The same; when the token is in the writer's own form, `seen` is also
  // given its parts as written, valid only during the call, so a caller
  // that needs them as JSON (a receipt does) need not write them again.
  static std::expected<Capability, Error> parse(std::string_view token,
                                                const std::function<void(const WrittenParts&)>& seen);

  bool operator==(const Capability&) const = default;
};

// Compact JSON of the record (the bytes a token encodes).
void write_capability_json(const Capability& cap, std::string& out);

namespace json {
// The token's JSON document, read with the rules of core/internal/json_reader.hpp.
std::expected<Capability, std::string> read_capability(std::string_view text);
}  // namespace json

}  // namespace velnor
