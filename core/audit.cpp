#include "core/audit.hpp"

#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include "core/hex.hpp"
#include "core/internal/json_reader.hpp"
#include "core/internal/json_write.hpp"
#include "core/internal/per_thread.hpp"

namespace velnor {
namespace {

constexpr std::string_view kInvalidSignature = "invalid signature";

// Member names and punctuation of the signing input and the receipt JSON,
// so a size estimate can be made before writing.
constexpr std::size_t kFixedJsonOverhead = 192;
constexpr std::size_t kPerCaveatOverhead = 16;  // {"predicate":""},
constexpr std::size_t kProofOverhead = 320;     // names and 224 hex digits

// What the writers read: a stored Receipt, or the parts of one that is
// being signed and written out in one go without building the record.
struct ReceiptView {
  std::uint8_t version;
  std::string_view capability_identifier;
  std::span<const Caveat> caveats;
  std::string_view caller;
  std::string_view tool;
  std::string_view args_hash;
  const Outcome& outcome;
  std::uint64_t timestamp_ms;
  std::span<const std::uint8_t> signature;
  const ProofRecord* proof = nullptr;  // version 2
};

ReceiptView view_of(const Receipt& r) {
  return {r.version,
          r.capability_identifier,
          r.caveats,
          r.context_summary.caller,
          r.context_summary.tool,
          r.context_summary.args_hash,
          r.outcome,
          r.timestamp_ms,
          r.signature,
          r.proof ? &*r.proof : nullptr};
}

// Unescaped size of everything variable in a receipt. Escaping can only
// grow it, so this is a lower bound that covers nearly every receipt in one
// allocation without walking the strings twice.
std::size_t estimated_size(const ReceiptView& r) {
  std::size_t n = kFixedJsonOverhead + r.capability_identifier.size() + r.caller.size() +
                  r.tool.size() + r.args_hash.size() + r.outcome.reason.size() +
                  2 * crypto::kDigestLen;
  for (const Caveat& c : r.caveats) n += c.predicate.size() + kPerCaveatOverhead;
  if (r.proof != nullptr) n += kProofOverhead + r.proof->audience.size();
  return n;
}

void append_caveats(std::string& out, std::span<const Caveat> caveats) {
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

// Kind first, then the reason; an Allowed outcome has no reason member
// whatever the record's reason field holds, so a stray reason on an allowed
// record neither changes the signature nor leaks into the JSON.
// Members in name order, which is also the order the receipt JSON writes.
void append_proof(std::string& out, const ProofRecord& p) {
  out.append(R"({"audience":)");
  json::append_string(out, p.audience);
  out.append(R"(,"holder_key":")");
  hex_append(out, p.holder_key);
  out.append(R"(","issued_at_ms":)");
  json::append_uint(out, p.issued_at_ms);
  out.append(R"(,"nonce":")");
  hex_append(out, p.nonce);
  out.append(R"(","signature":")");
  hex_append(out, p.signature);
  out.append(R"("})");
}

void append_outcome(std::string& out, const Outcome& outcome) {
  if (outcome.kind == Outcome::Kind::Allowed) {
    out.append(R"({"kind":"allowed"})");
    return;
  }
  out.append(R"({"kind":"denied","reason":)");
  json::append_string(out, outcome.reason);
  out.push_back('}');
}

// Where the parts that the receipt JSON repeats word for word lie in the
// signing input, so that signing and writing a receipt escape each string
// once: the head runs from "capability_identifier" to the opening brace of
// the summary, `who` is its caller and tool, the tail runs from the
// summary's closing brace to the end of the timestamp.
struct Marks {
  std::size_t head_begin = 0, head_end = 0;
  std::size_t who_begin = 0, who_end = 0;
  std::size_t tail_end = 0;
};

// The signed bytes. Members go out already in ascending byte order of their
// names at every level, which is what sorting a tree of the record would
// give; the top-level signature is not part of what it signs.
void append_signing_input(std::string& out, const ReceiptView& r, Marks& m) {
  out.reserve(out.size() + estimated_size(r));
  const std::size_t base = out.size();
  auto pos = [&] { return out.size() - base; };
  out.push_back(static_cast<char>(kSigningInputTag));
  out.push_back(static_cast<char>(r.version));
  out.push_back('{');
  m.head_begin = pos();
  out.append(R"("capability_identifier":)");
  json::append_string(out, r.capability_identifier);
  out.append(R"(,"caveats":)");
  append_caveats(out, r.caveats);
  out.append(R"(,"context_summary":{)");
  m.head_end = pos();
  out.append(R"("args_hash":)");
  json::append_string(out, r.args_hash);
  out.push_back(',');
  m.who_begin = pos();
  out.append(R"("caller":)");
  json::append_string(out, r.caller);
  out.append(R"(,"tool":)");
  json::append_string(out, r.tool);
  m.who_end = pos();
  out.append(R"(},"outcome":)");
  append_outcome(out, r.outcome);
  if (r.proof != nullptr) {
    out.append(R"(,"proof":)");
    append_proof(out, *r.proof);
  }
  out.append(R"(,"timestamp_ms":)");
  json::append_uint(out, r.timestamp_ms);
  m.tail_end = pos();
  out.append(R"(,"version":)");
  json::append_uint(out, r.version);
  out.push_back('}');
}

void append_receipt_json(std::string& out, const ReceiptView& r) {
  out.reserve(out.size() + estimated_size(r));
  out.append(R"({"version":)");
  json::append_uint(out, r.version);
  out.append(R"(,"capability_identifier":)");
  json::append_string(out, r.capability_identifier);
  out.append(R"(,"caveats":)");
  append_caveats(out, r.caveats);
  out.append(R"(,"context_summary":{"caller":)");
  json::append_string(out, r.caller);
  out.append(R"(,"tool":)");
  json::append_string(out, r.tool);
  out.append(R"(,"args_hash":)");
  json::append_string(out, r.args_hash);
  out.push_back('}');
  if (r.proof != nullptr) {
    out.append(R"(,"proof":)");
    append_proof(out, *r.proof);
  }
  out.append(R"(,"outcome":)");
  append_outcome(out, r.outcome);
  out.append(R"(,"timestamp_ms":)");
  json::append_uint(out, r.timestamp_ms);
  out.append(R"(,"signature":")");
  hex_append(out, r.signature);
  out.append(R"("})");
}

// Whole milliseconds since the epoch; instants before it record 0. An
// instant past what 64-bit milliseconds can hold (only reachable by building
// a Context by hand) records the largest value rather than wrapping to a
// small, plausible-looking time.
std::uint64_t to_unix_ms(const Instant& t) { return unix_ms(t); }

// The signing input in a per-thread buffer: it is hashed and dropped, so
// signing and checking need no allocation of their own once the buffer has
// grown to a typical receipt. One that grew for an unusually large receipt
// is given back on the next call.
std::string_view signing_buffer(const ReceiptView& r, Marks& marks) {
  constexpr std::size_t kKeepLimit = 16 * 1024;
  std::string& buf = detail::PerThread<std::string, Marks>::get();
  if (buf.capacity() > kKeepLimit) std::string().swap(buf);
  buf.clear();
  append_signing_input(buf, r, marks);
  return buf;
}

std::string_view signing_buffer(const ReceiptView& r) {
  Marks unused;
  return signing_buffer(r, unused);
}

// The receipt JSON of a freshly signed receipt, assembled from the escaped
// parts of its signing input. Produces exactly what append_receipt_json
// writes for the same record.
void append_receipt_from_signed(std::string& out, std::string_view input, const Marks& m,
                                std::string_view args_hash, const crypto::Digest& signature) {
  const std::string_view head = input.substr(m.head_begin, m.head_end - m.head_begin);
  const std::string_view who = input.substr(m.who_begin, m.who_end - m.who_begin);
  const std::string_view tail = input.substr(m.who_end, m.tail_end - m.who_end);
  out.reserve(out.size() + input.size() + 2 * crypto::kDigestLen + 64);
  out.append(R"({"version":)");
  json::append_uint(out, RECEIPT_SCHEMA_VERSION);
  out.push_back(',');
  out.append(head);
  out.append(who);
  out.append(R"(,"args_hash":)");
  json::append_string(out, args_hash);
  out.append(tail);
  out.append(R"(,"signature":")");
  hex_append(out, signature.span());
  out.append(R"("})");
}

Bytes to_bytes(const crypto::Digest& d) { return Bytes(d.bytes.begin(), d.bytes.end()); }

}  // namespace

void Receipt::write_json(std::string& out) const { append_receipt_json(out, view_of(*this)); }

std::string Receipt::to_json() const {
  std::string out;
  write_json(out);
  return out;
}

std::expected<Receipt, std::string> Receipt::from_json(std::string_view text) {
  return json::read_receipt(text);
}

std::string AuditError::display() const {
  switch (kind) {
    case Kind::InvalidSignature:
      return std::string(kInvalidSignature);
    case Kind::UnsupportedVersion:
      return "unsupported receipt schema version: got " + std::to_string(got) + ", expected " +
             std::to_string(expected);
    case Kind::Json:
      return "json: " + json;
  }
  return std::string(kInvalidSignature);
}

std::expected<std::string, std::string> signing_input(const Receipt& receipt) {
  const ReceiptView view = view_of(receipt);
  std::string out;
  Marks unused;
  append_signing_input(out, view, unused);
  return out;
}

crypto::Digest hmac_sign(crypto::ByteView key, crypto::ByteView data) {
  return crypto::hmac_sha256(key, data);
}

std::expected<Auditor, std::string> Auditor::create(crypto::ByteView key) {
  if (key.size() < MIN_AUDIT_KEY_LEN) {
    return std::unexpected("Auditor: key length " + std::to_string(key.size()) +
                           " < MIN_AUDIT_KEY_LEN (" + std::to_string(MIN_AUDIT_KEY_LEN) +
                           "); see audit");
  }
  return Auditor(key);
}

Receipt Auditor::sign_with_proof(const Capability& cap, const Context& context, Outcome outcome,
                                 ProofRecord proof) const {
  Receipt r;
  r.version = RECEIPT_PROOF_VERSION;
  r.capability_identifier = cap.identifier;
  r.caveats = cap.caveats;
  r.context_summary.caller = context.caller;
  r.context_summary.tool = context.tool;
  r.context_summary.args_hash = context.args_hash();
  r.proof = std::move(proof);
  r.outcome = std::move(outcome);
  r.timestamp_ms = to_unix_ms(context.now);
  r.signature = to_bytes(key_.sign(crypto::as_bytes(signing_buffer(view_of(r)))));
  return r;
}

Receipt Auditor::sign(const Capability& cap, const Context& context, Outcome outcome) const {
  Receipt r;
  r.version = RECEIPT_SCHEMA_VERSION;
  r.capability_identifier = cap.identifier;
  r.caveats = cap.caveats;
  r.context_summary.caller = context.caller;
  r.context_summary.tool = context.tool;
  r.context_summary.args_hash = context.args_hash();
  r.outcome = std::move(outcome);
  r.timestamp_ms = to_unix_ms(context.now);

  r.signature = to_bytes(key_.sign(crypto::as_bytes(signing_buffer(view_of(r)))));
  return r;
}

void Auditor::sign_json(const Capability& cap, const Context& context, const Outcome& outcome,
                        std::string& out) const {
  char hash_hex[2 * crypto::kDigestLen];
  hex_write(hash_hex, context.args_digest().span());
  const std::string_view args_hash(hash_hex, sizeof hash_hex);
  const ReceiptView view{RECEIPT_SCHEMA_VERSION, cap.identifier, cap.caveats, context.caller,
                         context.tool, args_hash, outcome, to_unix_ms(context.now), {}};
  Marks marks;
  const std::string_view input = signing_buffer(view, marks);
  const crypto::Digest signature = key_.sign(crypto::as_bytes(input));
  append_receipt_from_signed(out, input, marks, args_hash, signature);
}

std::expected<void, AuditError> Auditor::verify(const Receipt& receipt) const {
  if (receipt.version != RECEIPT_SCHEMA_VERSION && receipt.version != RECEIPT_PROOF_VERSION) {
    AuditError e;
    e.kind = AuditError::Kind::UnsupportedVersion;
    e.got = receipt.version;
    e.expected = receipt.version < RECEIPT_SCHEMA_VERSION ? RECEIPT_SCHEMA_VERSION : RECEIPT_PROOF_VERSION;
    return std::unexpected(std::move(e));
  }
  const crypto::Digest expected = key_.sign(crypto::as_bytes(signing_buffer(view_of(receipt))));
  if (!crypto::constant_time_equal(receipt.signature, expected.span())) {
    return std::unexpected(AuditError{});
  }
  return {};
}

}  // namespace velnor
