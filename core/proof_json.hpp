// The proof's records as JSON, for the documents that embed them (a
// version-2 receipt records the proof it decided on).
#pragma once

#include <string>
#include <string_view>
#include <tuple>

#include "core/internal/ed25519.hpp"
#include "core/internal/json_reader.hpp"
#include "core/proof.hpp"

namespace velnor {

using NonceSink = json::Hex<kNonceLen>;
using Ed25519SignatureSink = json::Hex<ed25519::kSignatureLen>;

// The members a proof and the record of it share: "audience" first, then
// `middle`, then what the holder signed with it.
template <class R, class... Middle>
constexpr auto signed_fields(Middle... middle) {
  return std::tuple{json::field<&R::audience, json::String>("audience"), middle...,
                    json::field<&R::issued_at_ms, json::UInt<std::uint64_t>>("issued_at_ms"),
                    json::field<&R::nonce, NonceSink>("nonce"),
                    json::field<&R::signature, Ed25519SignatureSink>("signature")};
}

struct ProofRecordSchema : json::RecordRules {
  using Record = ProofRecord;
  static constexpr std::string_view kName = "struct ProofRecord";
  static constexpr auto kFields = signed_fields<ProofRecord>(
      json::field<&ProofRecord::holder_key, json::Hex<ed25519::kPublicKeyLen>>("holder_key"));
};

// Members in name order, which is also the order the receipt JSON and its
// signing input write.
void write_proof_record_json(std::string& out, const ProofRecord& record);

}  // namespace velnor
