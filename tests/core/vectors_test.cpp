// The published vectors in tests/vectors/, read with Boost.JSON: every chain
// link, digest, signing input and Ed25519 signature is recomputed with
// OpenSSL (one-shot HMAC, EVP digests and EVP Ed25519, none of which the
// library's own paths use) and every token, receipt and proof is produced
// again by the library and compared byte for byte.
#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "core/audit.hpp"
#include "core/capability.hpp"
#include "core/context.hpp"
#include "core/hex.hpp"
#include "core/issuer.hpp"
#include "core/nonce_store.hpp"
#include "core/proof.hpp"
#include "core/verifier.hpp"
#include "tests/core/openssl_oracle.hpp"

namespace velnor {
namespace {

namespace bj = boost::json;
using oracle::openssl_hmac;

bj::object load(std::string_view name) {
  std::ifstream in(std::string(VELNOR_VECTORS_DIR) + "/" + std::string(name), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return bj::parse(text.str()).as_object();
}

std::string str(const bj::value& v) { return std::string(v.as_string()); }
Bytes hex(const bj::value& v) { return *hex_decode(v.as_string()); }
crypto::ByteView view(std::string_view s) { return crypto::as_bytes(s); }

const bj::array& section(const bj::object& doc, std::string_view key) { return doc.at(key).as_array(); }

Bytes openssl_sha256(crypto::ByteView data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  static const std::uint8_t zero = 0;
  EVP_Digest(data.empty() ? &zero : data.data(), data.size(), out, &len, EVP_sha256(), nullptr);
  return Bytes(out, out + len);
}

struct PkeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

Bytes openssl_ed25519_public(const Bytes& seed) {
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  Bytes out(32);
  std::size_t len = out.size();
  if (!key || EVP_PKEY_get_raw_public_key(key.get(), out.data(), &len) != 1) return {};
  return out;
}

Bytes openssl_ed25519_sign(const Bytes& seed, const Bytes& message) {
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  MdCtx ctx(EVP_MD_CTX_new());
  Bytes sig(64);
  std::size_t len = sig.size();
  if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), sig.data(), &len, message.data(), message.size()) != 1) {
    return {};
  }
  return sig;
}

bool openssl_ed25519_verify(const Bytes& public_key, const Bytes& message, const Bytes& sig) {
  Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
  MdCtx ctx(EVP_MD_CTX_new());
  return key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), message.data(), message.size()) == 1;
}

// Strict unpadded base64url, written here rather than taken from the
// library so that a token's bytes are checked against a second decoder.
std::optional<std::string> b64url_decode(std::string_view text) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    const auto at = kAlphabet.find(c);
    if (at == std::string_view::npos) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(at);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xffu));
    }
  }
  if (bits >= 6 || (acc & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

bj::object token_doc(const bj::value& token) {
  auto json = b64url_decode(token.as_string());
  EXPECT_TRUE(json.has_value());
  return bj::parse(json.value_or("{}")).as_object();
}

// The object with its members sorted by name at every level.
bj::value sorted(const bj::value& v) {
  if (v.is_array()) {
    bj::array out;
    for (const auto& e : v.as_array()) out.push_back(sorted(e));
    return out;
  }
  if (!v.is_object()) return v;
  std::vector<std::pair<std::string, bj::value>> members;
  for (const auto& m : v.as_object()) members.emplace_back(std::string(m.key()), sorted(m.value()));
  std::ranges::sort(members, {}, &std::pair<std::string, bj::value>::first);
  bj::object out;
  for (auto& [k, value] : members) out.emplace(k, std::move(value));
  return out;
}

// 'v', the version byte, then the receipt without its signature, members
// sorted, written by Boost.JSON's serializer.
std::string independent_signing_input(std::string_view receipt_json) {
  bj::object receipt = bj::parse(receipt_json).as_object();
  receipt.erase("signature");
  std::string out = "v";
  out.push_back(static_cast<char>(receipt.at("version").to_number<std::uint8_t>()));
  out += bj::serialize(sorted(receipt));
  return out;
}

Context context_of(const bj::value& ctx_json) {
  auto in = read_ctx_in(ctx_json.as_string());
  EXPECT_TRUE(in.has_value()) << in.error();
  return into_context(std::move(*in));
}

Capability parse_token(const bj::value& token) {
  auto cap = Capability::parse(token.as_string());
  EXPECT_TRUE(cap.has_value());
  return cap.value_or(Capability{});
}

Auditor auditor_of(const bj::value& key) { return *Auditor::create(hex(key)); }

Verifier proof_verifier(const bj::object& v) {
  return Verifier::create(hex(v.at("root_key")))
      .with_audience(str(v.at("audience")))
      .with_nonce_store(*MemoryNonceStore::create());
}

TEST(Vectors, ChainLinksAndTokens) {
  const bj::object doc = load("tokens.json");
  ASSERT_FALSE(section(doc, "chains").empty());
  for (const auto& item : section(doc, "chains")) {
    const bj::object& v = item.as_object();
    SCOPED_TRACE(str(v.at("name")));
    const Bytes root = hex(v.at("root_key"));
    const std::string identifier = str(v.at("identifier"));
    std::vector<std::string> caveats;
    for (const auto& c : v.at("caveats").as_array()) caveats.push_back(str(c));

    std::vector<Bytes> messages{Bytes(identifier.begin(), identifier.end())};
    std::optional<Bytes> holder;
    if (!v.at("holder_key").is_null()) {
      holder = hex(v.at("holder_key"));
      Bytes m{'_', '_', 'h', 'o', 'k', ':'};
      m.insert(m.end(), holder->begin(), holder->end());
      messages.push_back(m);
    }
    for (const auto& p : caveats) messages.emplace_back(p.begin(), p.end());
    const bj::array& links = v.at("links").as_array();
    ASSERT_EQ(links.size(), messages.size());
    Bytes key = root;
    for (std::size_t i = 0; i < links.size(); ++i) {
      const bj::object& link = links[i].as_object();
      EXPECT_EQ(hex(link.at("key")), key);
      EXPECT_EQ(hex(link.at("message")), messages[i]);
      key = openssl_hmac(key, messages[i]);
      EXPECT_EQ(hex(link.at("link")), key) << "link " << i;
    }
    EXPECT_EQ(hex(v.at("signature")), key);

    CapabilityBuilder builder = Issuer::from_key(root).issue(identifier);
    if (holder) builder = *std::move(builder).holder_of_key(*holder);
    for (const auto& p : caveats) builder = std::move(builder).caveat(p);
    const Capability built = std::move(builder).build();
    EXPECT_EQ(built.signature, key);
    EXPECT_EQ(built.serialize(), str(v.at("token")));
    std::string json;
    write_capability_json(built, json);
    EXPECT_EQ(json, str(v.at("token_json")));
    EXPECT_EQ(b64url_decode(v.at("token").as_string()), json);
    EXPECT_EQ(parse_token(v.at("token")), built);
  }
}

TEST(Vectors, ChainVerdicts) {
  const bj::object doc = load("tokens.json");
  for (const auto& item : section(doc, "verifications")) {
    const bj::object& v = item.as_object();
    SCOPED_TRACE(str(v.at("name")));
    const Bytes root = hex(v.at("root_key"));
    const bj::object token = token_doc(v.at("token"));
    const std::string identifier = str(token.at("identifier"));
    Bytes link = openssl_hmac(root, view(identifier));
    if (const auto* h = token.if_contains("holder_of_key"); h && !h->is_null()) {
      std::string m = "__hok:";
      const Bytes holder = hex(*h);
      m.append(holder.begin(), holder.end());
      link = openssl_hmac(link, view(m));
    }
    for (const auto& c : token.at("caveats").as_array()) {
      link = openssl_hmac(link, view(str(c.at("predicate"))));
    }
    const bool genuine = link == hex(token.at("signature"));
    EXPECT_EQ(genuine, v.at("error").is_null());

    auto verified = Verifier::create(root).verify(parse_token(v.at("token")));
    EXPECT_EQ(verified.has_value(), genuine);
    if (!verified) {
      EXPECT_EQ(verified.error().display(), str(v.at("error")));
    }
  }
}

TEST(Vectors, TokensThatDoNotRead) {
  const bj::object doc = load("tokens.json");
  for (const auto& item : section(doc, "parse_errors")) {
    const bj::object& v = item.as_object();
    SCOPED_TRACE(str(v.at("name")));
    auto cap = Capability::parse(v.at("token").as_string());
    ASSERT_FALSE(cap.has_value());
    EXPECT_EQ(cap.error().display(), str(v.at("error")));
  }
}

TEST(Vectors, Attenuations) {
  const bj::object doc = load("attenuations.json");
  ASSERT_FALSE(section(doc, "vectors").empty());
  for (const auto& item : section(doc, "vectors")) {
    const bj::object& v = item.as_object();
    SCOPED_TRACE(str(v.at("name")));
    const bj::object parent = token_doc(v.at("parent_token"));
    const bj::object child = token_doc(v.at("token"));
    const std::string predicate = str(v.at("predicate"));
    const Bytes link = openssl_hmac(hex(parent.at("signature")), view(predicate));
    EXPECT_EQ(hex(v.at("link").at("link")), link);
    EXPECT_EQ(hex(child.at("signature")), link);
    bj::array caveats = parent.at("caveats").as_array();
    caveats.push_back(bj::object{{"predicate", predicate}});
    EXPECT_EQ(child.at("caveats"), caveats);
    EXPECT_EQ(child.at("identifier"), parent.at("identifier"));

    const Capability attenuated = parse_token(v.at("parent_token")).attenuate(predicate);
    EXPECT_EQ(attenuated.serialize(), str(v.at("token")));
    EXPECT_TRUE(Verifier::create(hex(v.at("root_key"))).verify(attenuated).has_value());
  }
}

bool keys_sorted_everywhere(const bj::value& v) {
  if (v.is_array()) return std::ranges::all_of(v.as_array(), keys_sorted_everywhere);
  if (!v.is_object()) return true;
  std::string_view previous;
  bool first = true;
  for (const auto& m : v.as_object()) {
    if (!first && !(previous < m.key())) return false;
    first = false;
    previous = m.key();
    if (!keys_sorted_everywhere(m.value())) return false;
  }
  return true;
}

TEST(Vectors, CanonicalArguments) {
  const bj::object doc = load("canonical_args.json");
  ASSERT_FALSE(section(doc, "vectors").empty());
  for (const auto& item : section(doc, "vectors")) {
    const bj::object& v = item.as_object();
    SCOPED_TRACE(str(v.at("name")));
    const std::string canonical = str(v.at("canonical"));
    EXPECT_EQ(hex_encode(openssl_sha256(view(canonical))), str(v.at("sha256")));
    const bj::value reparsed = bj::parse(canonical);
    EXPECT_TRUE(keys_sorted_everywhere(reparsed));
    EXPECT_EQ(canonical.find_first_of(" \n"), std::string::npos);

    auto in = read_ctx_in(R"({"caller":"c","tool":"t","args":)" + str(v.at("args_json")) + "}");
    ASSERT_TRUE(in.has_value()) << in.error();
    const Context context = into_context(std::move(*in));
    std::string written;
    write_canonical(context.args, written);
    EXPECT_EQ(written, canonical);
    EXPECT_EQ(context.args_hash(), str(v.at("sha256")));
  }
}

// What every receipt vector shares: the signing input three ways (the file,
// the library, Boost.JSON) and the signature under OpenSSL's HMAC.
Receipt check_receipt(const bj::object& v) {
  const std::string receipt_json = str(v.at("receipt"));
  const Bytes signed_bytes = hex(v.at("signing_input"));
  const std::string file_input(signed_bytes.begin(), signed_bytes.end());
  EXPECT_EQ(independent_signing_input(receipt_json), file_input);
  EXPECT_EQ(openssl_hmac(hex(v.at("audit_key")), signed_bytes), hex(v.at("signature")));

  auto receipt = Receipt::from_json(receipt_json);
  EXPECT_TRUE(receipt.has_value());
  if (!receipt) return {};
  EXPECT_EQ(signing_input(*receipt).value_or(""), file_input);
  EXPECT_EQ(receipt->to_json(), receipt_json);
  EXPECT_TRUE(auditor_of(v.at("audit_key")).verify(*receipt).has_value());
  const Context context = context_of(v.at("context_json"));
  EXPECT_EQ(receipt->context_summary.args_hash, hex_encode(openssl_sha256([&] {
              std::string canonical;
              write_canonical(context.args, canonical);
              return Bytes(canonical.begin(), canonical.end());
            }())));
  return *receipt;
}

TEST(Vectors, Version1Receipts) {
  const bj::object doc = load("receipts.json");
  ASSERT_FALSE(section(doc, "version_1").empty());
  for (const auto& item : section(doc, "version_1")) {
    const bj::object& v = item.as_object();
    SCOPED_TRACE(str(v.at("name")));
    const Receipt receipt = check_receipt(v);
    EXPECT_EQ(receipt.version, 1);
    EXPECT_EQ(hex(v.at("signing_input"))[1], 0x01);

    const Verifier verifier = Verifier::create(hex(v.at("root_key")));
    const Auditor auditor = auditor_of(v.at("audit_key"));
    const Capability cap = parse_token(v.at("token"));
    const Context context = context_of(v.at("context_json"));
    auto produced = verifier.verify_with_context(cap, context, auditor);
    ASSERT_TRUE(produced.has_value());
    EXPECT_EQ(produced->to_json(), str(v.at("receipt")));
    std::string text;
    ASSERT_TRUE(verifier.verify_with_context_json(cap, context, auditor, text).has_value());
    EXPECT_EQ(text, str(v.at("receipt")));
  }
}

TEST(Vectors, Version2Receipts) {
  const bj::object doc = load("receipts.json");
  ASSERT_FALSE(section(doc, "version_2").empty());
  for (const auto& item : section(doc, "version_2")) {
    const bj::object& v = item.as_object();
    SCOPED_TRACE(str(v.at("name")));
    const Receipt receipt = check_receipt(v);
    EXPECT_EQ(receipt.version, 2);
    ASSERT_TRUE(receipt.proof.has_value());
    auto proof = decode_proof(v.at("proof").as_string());
    ASSERT_TRUE(proof.has_value());
    EXPECT_EQ(receipt.proof->audience, proof->audience);
    EXPECT_EQ(receipt.proof->nonce, proof->nonce);
    EXPECT_EQ(receipt.proof->signature, proof->signature);

    const Verifier verifier = proof_verifier(v);
    const Auditor auditor = auditor_of(v.at("audit_key"));
    const Capability cap = parse_token(v.at("token"));
    const Context context = context_of(v.at("context_json"));
    for (const auto& prior : v.at("prior_proofs").as_array()) {
      EXPECT_TRUE(verifier.verify_with_proof(cap, context, prior.as_string(), auditor).has_value());
    }
    auto produced = verifier.verify_with_proof(cap, context, v.at("proof").as_string(), auditor);
    ASSERT_TRUE(produced.has_value()) << produced.error().display();
    EXPECT_EQ(produced->to_json(), str(v.at("receipt")));
  }
}

TEST(Vectors, AlteredReceipts) {
  const bj::object doc = load("receipts.json");
  for (const auto& item : section(doc, "rejected")) {
    const bj::object& v = item.as_object();
    SCOPED_TRACE(str(v.at("name")));
    auto receipt = Receipt::from_json(v.at("receipt").as_string());
    std::optional<std::string> error;
    if (!receipt) {
      error = "invalid receipt JSON: " + receipt.error();
    } else if (auto checked = auditor_of(v.at("audit_key")).verify(*receipt); !checked) {
      error = checked.error().display();
    }
    if (v.at("error").is_null()) {
      EXPECT_EQ(error, std::nullopt);
    } else {
      EXPECT_EQ(error, str(v.at("error")));
    }
  }
}

TEST(Vectors, ProofSignedBytesAndSignatures) {
  const bj::object doc = load("proofs.json");
  ASSERT_FALSE(section(doc, "vectors").empty());
  for (const auto& item : section(doc, "vectors")) {
    const bj::object& v = item.as_object();
    SCOPED_TRACE(str(v.at("name")));
    const Bytes seed = hex(v.at("holder_seed"));
    const Bytes holder = hex(v.at("holder_key"));
    const Bytes signed_bytes = hex(v.at("signed_bytes"));
    const Bytes signature = hex(v.at("signature"));
    EXPECT_EQ(openssl_ed25519_public(seed), holder);
    EXPECT_EQ(openssl_ed25519_sign(seed, signed_bytes), signature);
    EXPECT_TRUE(openssl_ed25519_verify(holder, signed_bytes, signature));

    const bj::object token = token_doc(v.at("token"));
    const bj::object ctx = bj::parse(v.at("context_json").as_string()).as_object();
    const Context context = context_of(v.at("context_json"));
    std::string canonical;
    write_canonical(context.args, canonical);
    Bytes expected(kProofDomain.begin(), kProofDomain.end());
    for (const Bytes& part : {openssl_sha256(hex(token.at("signature"))),
                              openssl_sha256(view(str(v.at("audience")))),
                              openssl_sha256(view(str(ctx.at("caller")))),
                              openssl_sha256(view(str(ctx.at("tool")))),
                              openssl_sha256(view(canonical))}) {
      expected.insert(expected.end(), part.begin(), part.end());
    }
    const auto issued_at = v.at("issued_at_ms").to_number<std::uint64_t>();
    for (int shift = 56; shift >= 0; shift -= 8) expected.push_back(static_cast<std::uint8_t>(issued_at >> shift));
    const Bytes nonce = hex(v.at("nonce"));
    expected.insert(expected.end(), nonce.begin(), nonce.end());
    EXPECT_EQ(expected, signed_bytes);
    Bytes parts;
    for (const auto& part : v.at("signed_parts").as_object()) {
      const Bytes b = hex(part.value());
      parts.insert(parts.end(), b.begin(), b.end());
    }
    EXPECT_EQ(parts, signed_bytes);

    const Capability cap = parse_token(v.at("token"));
    const ProofMessage m = proof_message(cap, str(v.at("audience")), context, issued_at, nonce);
    EXPECT_EQ(Bytes(m.begin(), m.end()), signed_bytes);

    // The library signs at the context's time, so give it the proof's.
    Context at_issue = context;
    at_issue.now = Instant::from_unix_ms(issued_at);
    auto key = HolderKey::from_seed(seed);
    ASSERT_TRUE(key.has_value());
    auto proof = key->prove_with_nonce(cap, at_issue, str(v.at("audience")), nonce);
    ASSERT_TRUE(proof.has_value());
    EXPECT_EQ(proof->signature, signature);
    EXPECT_EQ(encode_proof(*proof), str(v.at("proof")));
    std::string proof_json;
    write_proof_json(proof_json, *proof);
    EXPECT_EQ(proof_json, str(v.at("proof_json")));
    EXPECT_EQ(b64url_decode(v.at("proof").as_string()), proof_json);
  }
}

TEST(Vectors, ProofsThatMustNotBeTrusted) {
  const bj::object doc = load("proofs.json");
  ASSERT_FALSE(section(doc, "rejected").empty());
  for (const auto& item : section(doc, "rejected")) {
    const bj::object& v = item.as_object();
    SCOPED_TRACE(str(v.at("name")));
    auto receipt = proof_verifier(v).verify_with_proof(parse_token(v.at("token")), context_of(v.at("context_json")),
                                                       v.at("proof").as_string(), auditor_of(v.at("audit_key")));
    ASSERT_FALSE(receipt.has_value());
    EXPECT_EQ(receipt.error().display(), str(v.at("error")));
  }
}

}  // namespace
}  // namespace velnor
