#include "core/issuer.hpp"

#include <utility>

#include "core/revocation.hpp"

namespace velnor {

std::string BuilderError::display() const {
  switch (kind) {
    case Kind::WrongKeyLength:
      return "ed25519 public keys are exactly 32 bytes; got " + std::to_string(length);
    case Kind::AfterCaveat:
      return "holder_of_key must be set before any .caveat() calls";
    case Kind::HolderAlreadySet:
      return "holder_of_key already set; a capability is bound to at most one holder key";
  }
  return "holder_of_key must be set before any .caveat() calls";
}

std::expected<void, BuilderError> CapabilityBuilder::check_holder_key(crypto::ByteView key) {
  if (key.size() != kHolderKeyLen)
    return std::unexpected(BuilderError{BuilderError::Kind::WrongKeyLength, key.size()});
  return {};
}

std::expected<CapabilityBuilder, BuilderError> CapabilityBuilder::holder_of_key(
    crypto::ByteView key) && {
  // Every refusal returns before the first write to cap_, which is what
  // keeps the caller's builder usable after one.
  if (auto ok = check_holder_key(key); !ok) return std::unexpected(ok.error());
  if (!cap_.caveats.empty()) return std::unexpected(BuilderError{BuilderError::Kind::AfterCaveat});
  // A second holder step would stand where the verifier expects the first
  // caveat, so the capability could never verify.
  if (cap_.holder_of_key)
    return std::unexpected(BuilderError{BuilderError::Kind::HolderAlreadySet});
  // Both allocations come before the first change, so running out of
  // memory cannot leave a builder whose signature and key disagree.
  const crypto::Digest link = chain_holder_of_key(cap_.signature, key);
  Bytes signature(link.bytes.begin(), link.bytes.end());
  Bytes holder(key.begin(), key.end());
  cap_.signature = std::move(signature);
  cap_.holder_of_key = std::move(holder);
  return std::move(*this);
}

CapabilityBuilder CapabilityBuilder::caveat(std::string predicate) && {
  cap_ = std::move(cap_).attenuate(std::move(predicate));
  return std::move(*this);
}

Capability CapabilityBuilder::build() && { return std::move(cap_); }

Issuer Issuer::from_key(crypto::ByteView key) { return Issuer(key); }

CapabilityBuilder Issuer::issue(std::string identifier) const {
  const crypto::Digest root = chain_root(root_, identifier);
  CapabilityBuilder b;
  b.cap_.identifier = std::move(identifier);
  b.cap_.signature.assign(root.bytes.begin(), root.bytes.end());
  return b;
}

}  // namespace velnor

namespace velnor {

std::string Issuer::revocation_list(std::vector<std::string> identifiers, std::uint64_t version) const {
  return RevocationList::sign(root_, std::move(identifiers), version);
}

}  // namespace velnor
