#include "core/verifier.hpp"

#include <algorithm>
#include <functional>
#include <utility>

#include "core/caveat_dsl.hpp"
#include "core/internal/quote.hpp"

namespace velnor {
namespace {

constexpr std::string_view kHolderBoundReason =
    "capability is bound to a holder key; use verify_with_proof";

std::string caveat_error_reason(std::string_view what, std::string_view predicate,
                                const DslError& e) {
  std::string reason(what);
  text::append_quoted_str(reason, predicate);
  reason.append(": ");
  reason.append(e.display());
  return reason;
}

}  // namespace

std::string VerifyError::display() const {
  if (kind_ == Kind::AuditKeyIsRootKey) return "the audit key must differ from the root key";
  return "capability chain integrity: " + inner_.display();
}

RevocationList::RevocationList(std::vector<std::string> identifiers) : ids_(std::move(identifiers)) {
  // std::string compares its chars as unsigned bytes, which is the order the
  // binary search in contains() depends on. Duplicates would only waste space.
  std::ranges::sort(ids_);
  const auto dup = std::ranges::unique(ids_);
  ids_.erase(dup.begin(), dup.end());
}

bool RevocationList::contains(std::string_view identifier) const {
  return std::binary_search(ids_.begin(), ids_.end(), identifier, std::less<>{});
}

std::expected<void, std::string> evaluate_all(std::span<const Caveat> caveats,
                                              const Context& context) {
  for (const Caveat& c : caveats) {
    // Parsed afresh every time: the stored text is what was signed, and a
    // cached tree could drift from it.
    auto expr = parse(c.predicate);
    if (!expr) {
      return std::unexpected(caveat_error_reason("caveat parse error in ", c.predicate, expr.error()));
    }
    auto result = eval_expr(*expr, context);
    if (!result) {
      return std::unexpected(caveat_error_reason("caveat eval error in ", c.predicate, result.error()));
    }
    if (!*result) return std::unexpected("caveat failed: " + c.predicate);
  }
  return {};
}

Verifier Verifier::create(crypto::ByteView root_key) { return Verifier(root_key); }

Verifier Verifier::with_revocations(RevocationList revoked) && {
  revoked_ = std::move(revoked);
  return std::move(*this);
}

Verifier Verifier::with_nonce_store(std::shared_ptr<NonceStore> store) && {
  nonce_store_ = std::move(store);
  return std::move(*this);
}

std::expected<Verified, VerifyError> Verifier::verify(const Capability& cap) const {
  // Every intermediate link is a key to the rest of the chain: whoever saw
  // one could drop the caveats after it. They stay in Digests, which wipe
  // themselves, and each is overwritten by the next.
  crypto::Digest link = root_.sign(crypto::as_bytes(cap.identifier));
  if (cap.holder_of_key) link = chain_holder_of_key(link.span(), *cap.holder_of_key);
  for (const Caveat& c : cap.caveats) link = chain_caveat(link.span(), c);

  if (!crypto::constant_time_equal(link.span(), cap.signature)) {
    return std::unexpected(VerifyError::chain_integrity(Error::invalid_signature()));
  }
  return Verified{cap.identifier, cap.caveats};
}

std::expected<void, VerifyError> Verifier::check_auditor(const Auditor& auditor) const {
  if (auditor.signs_with(root_)) return std::unexpected(VerifyError::audit_key_is_root_key());
  return {};
}

std::expected<Outcome, VerifyError> Verifier::decide(const Capability& cap,
                                                     const Context& context) const {
  if (auto checked = verify(cap); !checked) return std::unexpected(std::move(checked.error()));

  Outcome outcome;
  if (cap.holder_of_key) {
    // Proof of possession is not checked on this path, so a bound
    // capability must never pass on the bearer's word alone.
    outcome = Outcome::denied(std::string(kHolderBoundReason));
  } else if (revoked_ && revoked_->contains(cap.identifier)) {
    outcome = Outcome::denied("capability revoked: " + cap.identifier);
  } else if (auto passed = evaluate_all(cap.caveats, context); !passed) {
    outcome = Outcome::denied(std::move(passed.error()));
  }
  return outcome;
}

std::expected<Receipt, VerifyError> Verifier::verify_with_context(const Capability& cap,
                                                                  const Context& context,
                                                                  const Auditor& auditor) const {
  if (auto ok = check_auditor(auditor); !ok) return std::unexpected(std::move(ok.error()));
  auto outcome = decide(cap, context);
  if (!outcome) return std::unexpected(std::move(outcome.error()));
  return auditor.sign(cap, context, *std::move(outcome));
}

std::expected<void, VerifyError> Verifier::verify_with_context_json(const Capability& cap,
                                                                    const Context& context,
                                                                    const Auditor& auditor,
                                                                    std::string& out) const {
  if (auto ok = check_auditor(auditor); !ok) return std::unexpected(std::move(ok.error()));
  auto outcome = decide(cap, context);
  if (!outcome) return std::unexpected(std::move(outcome.error()));
  auditor.sign_json(cap, context, *outcome, out);
  return {};
}

}  // namespace velnor
