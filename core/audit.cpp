#include "core/audit.hpp"

#include <limits>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "core/capability_json.hpp"
#include "core/hex.hpp"
#include "core/internal/json_reader.hpp"
#include "core/internal/json_write.hpp"
#include "core/internal/per_thread.hpp"
#include "core/proof_json.hpp"

namespace velnor {
namespace {

constexpr std::string_view kInvalidSignature = "invalid signature";

// --- reading ------------------------------------------------------------------

struct SummarySchema : json::RecordRules {
  using Record = ContextSummary;
  static constexpr std::string_view kName = "struct ContextSummary";
  static constexpr std::tuple kFields{
      json::field<&ContextSummary::caller, json::String>("caller"),
      json::field<&ContextSummary::tool, json::String>("tool"),
      json::field<&ContextSummary::args_hash, json::String>("args_hash"),
  };
};

// The outcome: an object carrying "kind" ("allowed" or "denied", anywhere
// among its members) and, for "denied", "reason"; faults of "reason" count
// only for a denied outcome and are then reported at the closing brace. Its
// array form is ["allowed"] or ["denied", reason].
class OutcomeFrame {
 public:
  using Value = Outcome;
  static constexpr std::string_view kExpecting = "internally tagged enum Outcome";
  static constexpr std::string_view kTag = "variant identifier";

  // As the sink of the receipt's member.
  static bool store(json::Reader& r, Outcome&, const json::Scalar& s) { return r.fail_type(s, kExpecting); }
  static bool open(json::Reader& r, Outcome& o, json::Shape s) {
    r.clear_deferred();
    r.push<OutcomeFrame>(o, s);
    return true;
  }

  static bool key(json::Reader& r, json::Frame& f, std::string_view k) {
    if (k == "kind") {
      if ((f.seen & 1) != 0) return r.fail(json::field_error("duplicate field", k));
      f.seen |= 1;
      f.slot = 0;
    } else if (k == "reason") {
      // An allowed outcome ignores its other members, so whether this is a
      // fault is only known once the tag has been read.
      if ((f.seen & 2) != 0) r.defer(json::field_error("duplicate field", k));
      f.seen |= 2;
      f.slot = 1;
    } else {
      f.slot = json::kUnknown;
    }
    return true;
  }

  static bool begin(json::Reader& r, json::Frame& f, json::Shape s) {
    const Member m = next(f);
    if (m == Member::Skip) return r.skip();
    if (!r.within_budget()) return false;
    switch (m) {
      case Member::Tag:
        return r.fail_type(s, kTag);
      case Member::Reason:
        r.defer(json::type_error(json::found(s), json::String::kExpecting));
        return r.skip();
      default:
        return r.fail_type(s, json::String::kExpecting);
    }
  }

  static bool scalar(json::Reader& r, json::Frame& f, const json::Scalar& s) {
    Outcome& o = f.as<Outcome>();
    switch (next(f)) {
      case Member::Skip:
        return true;
      case Member::Tag:
        return store_tag(r, o, s);
      case Member::Reason:
        if (s.kind == json::Scalar::Kind::String) {
          o.reason.assign(s.text);
        } else {
          r.defer(json::type_error(json::found(s), json::String::kExpecting));
        }
        return true;
      case Member::StrictReason:
        return json::String::store(r, o.reason, s);
    }
    return true;
  }

  static bool end(json::Reader& r, json::Frame& f);

  static constexpr json::FrameOps kOps{&begin, &scalar, &key, &end};

 private:
  // What the next value is: the tag, the reason whose faults wait for the
  // tag (object form), the reason of a denied outcome (array form), or
  // something to skip.
  enum class Member : std::uint8_t { Skip, Tag, Reason, StrictReason };

  static Member next(json::Frame& f) {
    if (f.shape == json::Shape::Object) {
      if (f.slot == 0) return Member::Tag;
      return f.slot == 1 ? Member::Reason : Member::Skip;
    }
    const std::size_t i = f.count++;
    if (i == 0) return Member::Tag;
    return i == 1 && f.as<Outcome>().kind == Outcome::Kind::Denied ? Member::StrictReason : Member::Skip;
  }

  static bool store_tag(json::Reader& r, Outcome& o, const json::Scalar& s) {
    if (s.kind != json::Scalar::Kind::String) return r.fail_type(s, kTag);
    if (s.text == "allowed") {
      o.kind = Outcome::Kind::Allowed;
    } else if (s.text == "denied") {
      o.kind = Outcome::Kind::Denied;
    } else {
      return r.fail("unknown variant `" + std::string(s.text) + "`, expected `allowed` or `denied`");
    }
    return true;
  }
};

bool OutcomeFrame::end(json::Reader& r, json::Frame& f) {
  Outcome& o = f.as<Outcome>();
  if (f.shape == json::Shape::Object) {
    if ((f.seen & 1) == 0) return r.fail("missing field `kind`");
    if (o.kind == Outcome::Kind::Allowed) {
      o.reason.clear();
    } else {
      if (!r.deferred().empty()) return r.fail(r.deferred());
      if ((f.seen & 2) == 0) return r.fail("missing field `reason`");
    }
  } else {
    if (f.count == 0) return r.fail(json::length_error(0, kExpecting));
    const std::size_t n = f.count - 1;  // elements after the tag
    if (o.kind == Outcome::Kind::Allowed && n != 0) {
      return r.fail(json::length_error(n, "unit variant Outcome::Allowed"));
    }
    if (o.kind == Outcome::Kind::Denied && n != 1) {
      return r.fail(json::length_error(n, "struct variant Outcome::Denied with 1 element"));
    }
  }
  r.pop();
  return true;
}

// A receipt of version 1 knows no "proof": the member is skipped as any
// unknown one when the version has come first as written, and dropped when
// it came before.
struct ReceiptSchema : json::RecordRules {
  using Record = Receipt;
  static constexpr std::string_view kName = "struct Receipt";
  static constexpr std::size_t kProof = 4;
  static constexpr std::tuple kFields{
      json::field<&Receipt::version, json::UInt<std::uint8_t>>("version"),
      json::field<&Receipt::capability_identifier, json::String>("capability_identifier"),
      json::field<&Receipt::caveats, CaveatListSink>("caveats"),
      json::field<&Receipt::context_summary, json::Record<SummarySchema>>("context_summary"),
      json::optional_field<&Receipt::proof, json::OptionalRecord<ProofRecordSchema>>("proof"),
      json::field<&Receipt::outcome, OutcomeFrame>("outcome"),
      json::field<&Receipt::timestamp_ms, json::UInt<std::uint64_t>>("timestamp_ms"),
      json::field<&Receipt::signature, json::Hex<>>("signature"),
  };
  static_assert(std::get<kProof>(kFields).name == "proof");

  static bool has_proof(const Receipt& r) { return r.version == RECEIPT_PROOF_VERSION; }
  static bool member_skipped(const Receipt& r, std::uint32_t seen, std::size_t i) {
    return i == kProof && (seen & 1) != 0 && !has_proof(r);
  }
  static std::size_t element_field(const Receipt& r, std::size_t e) {
    return e >= kProof && !has_proof(r) ? e + 1 : e;
  }
  static bool required(const Receipt& r, std::size_t i, bool declared) {
    return declared || (i == kProof && has_proof(r));
  }
  static std::size_t elements(const Receipt& r, std::size_t fields) { return has_proof(r) ? fields : fields - 1; }
  static void finish(Receipt& r) {
    if (!has_proof(r)) r.proof.reset();
  }
};

// --- writing ------------------------------------------------------------------

// Member names and punctuation of the signing input and the receipt JSON,
// so a size estimate can be made before writing.
constexpr std::size_t kFixedJsonOverhead = 192;
constexpr std::size_t kPerCaveatOverhead = 16;  // {"predicate":""},
constexpr std::size_t kHeadOverhead = 64;       // names and brackets around the identifier and caveats
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
  const ProofRecord* proof = nullptr;  // version 2
  std::string_view head = {};          // written already, or empty
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

// Kind first, then the reason; an Allowed outcome has no reason member
// whatever the record's reason field holds, so a stray reason on an allowed
// record neither changes the signature nor leaks into the JSON.
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
// signing input, so that a receipt is written once, in the signing order,
// and its JSON assembled from those parts without escaping anything again.
struct Marks {
  struct Part {
    std::size_t begin = 0, end = 0;
  };
  Part head;        // "capability_identifier" to the summary's opening brace
  Part args_hash;   // the string
  Part who;         // "caller" and "tool"
  Part outcome;     // the object
  Part proof;       // the object; empty without a proof
  Part timestamp;   // the digits
};

// From "capability_identifier" to the context summary's opening brace: the
// signing input and the receipt JSON both carry it word for word.
void append_head(std::string& out, std::string_view identifier, std::span<const Caveat> caveats) {
  out.append(R"("capability_identifier":)");
  json::append_string(out, identifier);
  out.append(R"(,"caveats":)");
  write_caveats_json(out, caveats);
  out.append(R"(,"context_summary":{)");
}

// Records where the text written by `write` starts and ends in `out`.
template <class Write>
void mark(std::string& out, std::size_t base, Marks::Part& part, Write&& write) {
  part.begin = out.size() - base;
  write();
  part.end = out.size() - base;
}

// The signed bytes. Members go out already in ascending byte order of their
// names at every level, which is what sorting a tree of the record would
// give; the top-level signature is not part of what it signs.
void append_signing_input(std::string& out, const ReceiptView& r, Marks& m) {
  out.reserve(out.size() + estimated_size(r));
  const std::size_t base = out.size();
  out.push_back(static_cast<char>(kSigningInputTag));
  out.push_back(static_cast<char>(r.version));
  out.push_back('{');
  mark(out, base, m.head, [&] {
    if (r.head.empty()) {
      append_head(out, r.capability_identifier, r.caveats);
    } else {
      out.append(r.head);
    }
  });
  out.append(R"("args_hash":)");
  mark(out, base, m.args_hash, [&] { json::append_string(out, r.args_hash); });
  out.push_back(',');
  mark(out, base, m.who, [&] {
    out.append(R"("caller":)");
    json::append_string(out, r.caller);
    out.append(R"(,"tool":)");
    json::append_string(out, r.tool);
  });
  out.append(R"(},"outcome":)");
  mark(out, base, m.outcome, [&] { append_outcome(out, r.outcome); });
  if (r.proof != nullptr) {
    out.append(R"(,"proof":)");
    mark(out, base, m.proof, [&] { write_proof_record_json(out, *r.proof); });
  }
  out.append(R"(,"timestamp_ms":)");
  mark(out, base, m.timestamp, [&] { json::append_uint(out, r.timestamp_ms); });
  out.append(R"(,"version":)");
  json::append_uint(out, r.version);
  out.push_back('}');
}

// The receipt JSON, members in declaration order, from the parts of its
// signing input and the signature.
void append_receipt_json(std::string& out, std::string_view input, const Marks& m, std::uint8_t version,
                         std::span<const std::uint8_t> signature) {
  auto part = [&](const Marks::Part& p) { out.append(input.substr(p.begin, p.end - p.begin)); };
  out.reserve(out.size() + input.size() + 2 * signature.size() + 64);
  out.append(R"({"version":)");
  json::append_uint(out, version);
  out.push_back(',');
  part(m.head);
  part(m.who);
  out.append(R"(,"args_hash":)");
  part(m.args_hash);
  out.push_back('}');
  if (m.proof.end != m.proof.begin) {
    out.append(R"(,"proof":)");
    part(m.proof);
  }
  out.append(R"(,"outcome":)");
  part(m.outcome);
  out.append(R"(,"timestamp_ms":)");
  part(m.timestamp);
  out.append(R"(,"signature":)");
  json::append_hex(out, signature);
  out.push_back('}');
}

// The signing input in a per-thread buffer: it is hashed and dropped, so
// signing and checking need no allocation of their own once the buffer has
// grown to a typical receipt.
std::string_view signing_buffer(const ReceiptView& r, Marks& marks) {
  struct SigningInput;
  std::string& buf = detail::scratch_text<SigningInput>();
  append_signing_input(buf, r, marks);
  return buf;
}

Bytes to_bytes(const crypto::Digest& d) { return Bytes(d.bytes.begin(), d.bytes.end()); }

}  // namespace

void Receipt::write_json(std::string& out) const {
  Marks marks;
  const std::string_view input = signing_buffer(view_of(*this), marks);
  append_receipt_json(out, input, marks, version, signature);
}

std::string Receipt::to_json() const {
  std::string out;
  write_json(out);
  return out;
}

std::expected<Receipt, std::string> Receipt::from_json(std::string_view text) {
  return json::read_receipt(text);
}

namespace json {

std::expected<Receipt, std::string> read_receipt(std::string_view text) { return read<Record<ReceiptSchema>>(text); }

}  // namespace json

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
  std::string out;
  Marks unused;
  append_signing_input(out, view_of(receipt), unused);
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

Receipt Auditor::signed_receipt(std::uint8_t version, const Capability& cap, const Context& context,
                                Outcome outcome, std::optional<ProofRecord> proof) const {
  Receipt r;
  r.version = version;
  r.capability_identifier = cap.identifier;
  r.caveats = cap.caveats;
  r.context_summary.caller = context.caller;
  r.context_summary.tool = context.tool;
  r.context_summary.args_hash = context.args_hash();
  r.proof = std::move(proof);
  r.outcome = std::move(outcome);
  r.timestamp_ms = unix_ms(context.now);
  Marks unused;
  r.signature = to_bytes(key_.sign(crypto::as_bytes(signing_buffer(view_of(r), unused))));
  return r;
}

Receipt Auditor::sign(const Capability& cap, const Context& context, Outcome outcome) const {
  return signed_receipt(RECEIPT_SCHEMA_VERSION, cap, context, std::move(outcome), std::nullopt);
}

Receipt Auditor::sign_with_proof(const Capability& cap, const Context& context, Outcome outcome,
                                 ProofRecord proof) const {
  return signed_receipt(RECEIPT_PROOF_VERSION, cap, context, std::move(outcome), std::move(proof));
}

void write_receipt_head(const Capability& cap, std::string& out) {
  // Escaping only grows the text, so this is room for nearly every head in
  // one allocation.
  std::size_t n = kHeadOverhead + cap.identifier.size();
  for (const Caveat& c : cap.caveats) n += c.predicate.size() + kPerCaveatOverhead;
  out.reserve(out.size() + n);
  append_head(out, cap.identifier, cap.caveats);
}

void write_receipt_head(const WrittenParts& parts, std::string& out) {
  out.reserve(out.size() + kHeadOverhead + parts.identifier.size() + parts.caveats.size());
  out.append(R"("capability_identifier":)");
  out.append(parts.identifier);
  out.append(R"(,"caveats":)");
  out.append(parts.caveats);
  out.append(R"(,"context_summary":{)");
}

void Auditor::sign_json(const Capability& cap, const Context& context, const Outcome& outcome,
                        std::string& out, std::string_view head) const {
  char hash_hex[2 * crypto::kDigestLen];
  hex_write(hash_hex, context.args_digest().span());
  const std::string_view args_hash(hash_hex, sizeof hash_hex);
  const ReceiptView view{RECEIPT_SCHEMA_VERSION, cap.identifier, cap.caveats, context.caller,
                         context.tool, args_hash, outcome, unix_ms(context.now), nullptr, head};
  Marks marks;
  const std::string_view input = signing_buffer(view, marks);
  const crypto::Digest signature = key_.sign(crypto::as_bytes(input));
  append_receipt_json(out, input, marks, RECEIPT_SCHEMA_VERSION, signature.span());
}

std::expected<void, AuditError> Auditor::verify(const Receipt& receipt) const {
  if (receipt.version != RECEIPT_SCHEMA_VERSION && receipt.version != RECEIPT_PROOF_VERSION) {
    AuditError e;
    e.kind = AuditError::Kind::UnsupportedVersion;
    e.got = receipt.version;
    e.expected = receipt.version < RECEIPT_SCHEMA_VERSION ? RECEIPT_SCHEMA_VERSION : RECEIPT_PROOF_VERSION;
    return std::unexpected(std::move(e));
  }
  Marks unused;
  const crypto::Digest expected = key_.sign(crypto::as_bytes(signing_buffer(view_of(receipt), unused)));
  if (!crypto::constant_time_equal(receipt.signature, expected.span())) {
    return std::unexpected(AuditError{});
  }
  return {};
}

}  // namespace velnor
