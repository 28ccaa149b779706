// Proof of possession: what an agent holding the private half of a
// capability's holder key sends with each call, and what a receipt records
// of it.
//
// The holder signs, with Ed25519, these 199 bytes (kProofMessageLen):
//   "velnor-proof/1" NUL                      15 bytes
//   SHA-256(capability signature)             32
//   SHA-256(audience, UTF-8)                  32
//   SHA-256(caller, UTF-8)                    32
//   SHA-256(tool, UTF-8)                      32
//   canonical argument digest of the context  32
//   issued_at_ms, unsigned 64-bit big-endian   8
//   nonce                                     16
// The chain signature itself is never signed or recorded: it is the key that
// extends the chain, so only its hash is.
//
// The proof text is unpadded base64url of the compact JSON
// {"audience":A,"issued_at_ms":N,"nonce":"<32 hex>","signature":"<128 hex>"},
// read with the rules of core/internal/json_reader.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/capability.hpp"
#include "core/context.hpp"
#include "core/hex.hpp"
#include "core/internal/crypto.hpp"
#include "core/internal/ed25519.hpp"

namespace velnor {

inline constexpr std::size_t kNonceLen = 16;
inline constexpr std::size_t kProofMessageLen = 199;
inline constexpr std::string_view kProofDomain{"velnor-proof/1\0", 15};

using ProofMessage = std::array<std::uint8_t, kProofMessageLen>;

// The proof document an agent sends. Read proofs always carry a nonce of
// kNonceLen bytes and a signature of ed25519::kSignatureLen bytes.
struct Proof {
  std::string audience;
  std::uint64_t issued_at_ms = 0;
  Bytes nonce;
  Bytes signature;
  bool operator==(const Proof&) const = default;
};

// What a version-2 receipt records of the proof it accepted or refused:
// enough for anyone with the holder's public key to check later that the
// holder asked for this call.
struct ProofRecord {
  std::string audience;
  Bytes holder_key;
  std::uint64_t issued_at_ms = 0;
  Bytes nonce;
  Bytes signature;
  bool operator==(const ProofRecord&) const = default;
};

// The bytes the holder signs, for a call described by `context` (its caller,
// tool and argument digest) at `issued_at_ms`.
ProofMessage proof_message(const Capability& cap, std::string_view audience,
                           const Context& context, std::uint64_t issued_at_ms,
                           crypto::ByteView nonce);

// Compact JSON of the proof document, members in the order above.
void write_proof_json(std::string& out, const Proof& proof);
// The proof text: base64url of write_proof_json.
std::string encode_proof(const Proof& proof);
// Reads proof text. Errors: "base64 decode failed: {}" with the decoder's
// text, or the JSON reader's description with its position, e.g.
// "missing field `nonce` at line 1 column 80" or
// "invalid length 15, expected 16 bytes at line 1 column 60".
std::expected<Proof, std::string> decode_proof(std::string_view text);

namespace json {
// The proof's JSON document. Nonce exactly 16 bytes, signature exactly 64,
// else "invalid length N, expected 16 bytes" (or 64).
std::expected<Proof, std::string> read_proof(std::string_view text);
}  // namespace json

// An agent's Ed25519 key, made from its 32-byte seed. The seed is not kept
// apart from libsodium's expanded key, which is wiped with the object.
class HolderKey {
 public:
  // Refuses any seed that is not ed25519::kSeedLen bytes with
  // "holder key seed must be 32 bytes".
  static std::expected<HolderKey, std::string> from_seed(crypto::ByteView seed);

  const ed25519::PublicKey& public_key() const { return key_->public_key(); }

  // A proof for calling `context.tool` as `context.caller` with its
  // arguments, addressed to `audience`, issued at the context's time, with
  // a fresh nonce from the OS CSPRNG. Refuses a capability not bound to this
  // key with "capability is not bound to this holder key".
  std::expected<std::string, std::string> prove(const Capability& cap, const Context& context,
                                                std::string_view audience) const;
  // The same with a given nonce, for reproducible proofs (test vectors).
  std::expected<Proof, std::string> prove_with_nonce(const Capability& cap, const Context& context,
                                                     std::string_view audience,
                                                     crypto::ByteView nonce) const;

 private:
  explicit HolderKey(crypto::ByteView seed);
  std::shared_ptr<const ed25519::SecretKey> key_;  // immutable, so shared by copies
};

// Whole milliseconds since the epoch of an instant; 0 before it, the largest
// value past what 64 bits hold.
std::uint64_t unix_ms(const Instant& t);

}  // namespace velnor
