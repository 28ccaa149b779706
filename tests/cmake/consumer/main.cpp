// Mints, serializes, parses and verifies a capability with the installed
// library; prints "allowed" only when the chain verifies.
#include <cstdio>
#include <string>

#include "core/capability.hpp"
#include "core/issuer.hpp"
#include "core/verifier.hpp"

int main() {
  const std::string root = "consumer-root-key";
  auto cap = velnor::Issuer::from_key(velnor::crypto::as_bytes(root))
                 .issue("agent-1")
                 .caveat("tool == \"search\"")
                 .build();
  auto parsed = velnor::Capability::parse(cap.serialize());
  if (!parsed) return 1;
  auto verified = velnor::Verifier::create(velnor::crypto::as_bytes(root)).verify(*parsed);
  if (!verified) return 2;
  std::puts("allowed");
  return 0;
}
