#include "core/capability.hpp"

#include <gtest/gtest.h>

#include <string>

#include "core/audit.hpp"
#include "core/internal/base64url.hpp"
#include "core/issuer.hpp"
#include "tests/core/openssl_oracle.hpp"

namespace velnor {
namespace {

using oracle::openssl_hmac;

using crypto::as_bytes;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes link_of(const crypto::Digest& d) { return Bytes(d.bytes.begin(), d.bytes.end()); }


Bytes ref_chain(const Bytes& root, std::string_view id, const std::optional<Bytes>& holder,
                const std::vector<std::string>& caveats) {
  Bytes s = openssl_hmac(root, bytes(id));
  if (holder) {
    Bytes msg = bytes("__hok:");
    msg.insert(msg.end(), holder->begin(), holder->end());
    s = openssl_hmac(s, msg);
  }
  for (const auto& c : caveats) s = openssl_hmac(s, bytes(c));
  return s;
}

Capability issue(const Bytes& root, std::string id, const std::vector<std::string>& caveats,
                 const std::optional<Bytes>& holder = std::nullopt) {
  auto b = Issuer::from_key(root).issue(std::move(id));
  if (holder) b = std::move(b).holder_of_key(*holder).value();
  for (const auto& c : caveats) b = std::move(b).caveat(c);
  return std::move(b).build();
}

std::string json_of(const Capability& c) {
  std::string out;
  write_capability_json(c, out);
  return out;
}

std::string token_of(std::string_view json) { return base64url::encode(as_bytes(json)); }

TEST(Chain, MatchesIndependentComputation) {
  const Bytes k32(32, 0x00);
  const struct {
    const char* name;
    Bytes root;
    std::string id;
    std::optional<Bytes> holder;
    std::vector<std::string> caveats;
  } cases[] = {
      {"empty key and identifier", {}, "", std::nullopt, {}},
      {"plain", bytes("root key"), "cap-1", std::nullopt, {"tool == \"search\"", "arg.limit <= 50"}},
      {"zero holder key is raw bytes", bytes("k"), "id", k32, {"now <= @2030-01-01T00:00:00Z"}},
      {"spaces kept", bytes("k"), "id", std::nullopt, {"  tool == \"a\" ", ""}},
      {"65-byte root", Bytes(65, 0x11), "id", std::nullopt, {"x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Capability cap = issue(c.root, c.id, c.caveats, c.holder);
    EXPECT_EQ(cap.signature, ref_chain(c.root, c.id, c.holder, c.caveats));
    EXPECT_EQ(cap.holder_of_key, c.holder);
    ASSERT_EQ(cap.caveats.size(), c.caveats.size());
    for (std::size_t i = 0; i < c.caveats.size(); ++i) EXPECT_EQ(cap.caveats[i].predicate, c.caveats[i]);
  }
}

TEST(Chain, StepsAreTheExposedFunctions) {
  const Bytes key(32, 0x5a);
  const Bytes holder(32, 0x00);
  Bytes msg = bytes("__hok:");
  msg.insert(msg.end(), holder.begin(), holder.end());
  ASSERT_EQ(msg.size(), 38u);
  EXPECT_EQ(link_of(chain_holder_of_key(key, holder)), openssl_hmac(key, msg));
  EXPECT_EQ(link_of(chain_caveat(key, Caveat{"a == 1"})), openssl_hmac(key, bytes("a == 1")));
}

TEST(Chain, LongRootKeyActsAsItsDigest) {
  for (std::size_t n : {65, 200}) {
    const Bytes root(n, 0x33);
    const auto d = crypto::sha256(root);
    EXPECT_EQ(issue(root, "id", {"x"}).signature, issue(link_of(d), "id", {"x"}).signature);
  }
}

TEST(Chain, BuilderCaveatsEqualAttenuation) {
  const Bytes root = bytes("root");
  const Capability both = issue(root, "id", {"a", "b"});
  EXPECT_EQ(issue(root, "id", {"a"}).attenuate("b"), both);

  const Bytes holder(32, 0x07);
  Capability bound = issue(root, "id", {"a"}, holder).attenuate(" b ");
  EXPECT_EQ(bound.holder_of_key, holder);
  ASSERT_EQ(bound.caveats.size(), 2u);
  EXPECT_EQ(bound.caveats[1].predicate, " b ");
  EXPECT_EQ(bound.signature, ref_chain(root, "id", holder, {"a", " b "}));

  // A parsed token may carry no caveats and a signature of any length.
  Capability bare{"id", std::nullopt, {}, bytes("short")};
  Capability next = std::move(bare).attenuate("c");
  EXPECT_EQ(next.signature, openssl_hmac(bytes("short"), bytes("c")));
}

TEST(Chain, AnyChangeChangesTheSignature) {
  const Bytes root = bytes("root");
  const Bytes base = issue(root, "id", {"a == 1", "b == 2", "c == 3"}).signature;
  const std::vector<std::vector<std::string>> variants = {
      {"b == 2", "a == 1", "c == 3"},   // swapped
      {"a == 1", "b == 2"},             // last removed
      {"b == 2", "c == 3"},             // first removed
      {"a == 1", "b == 2", "c == 3 "},  // trailing space
      {"a == 1", "b == 2", "c == 4"},   // one byte
      {"a == 1b == 2", "c == 3"},       // boundaries moved
  };
  for (const auto& v : variants) EXPECT_NE(issue(root, "id", v).signature, base);
  EXPECT_NE(issue(root, "id2", {"a == 1", "b == 2", "c == 3"}).signature, base);
  EXPECT_NE(issue(bytes("root2"), "id", {"a == 1", "b == 2", "c == 3"}).signature, base);
  EXPECT_NE(issue(root, "id", {"a == 1", "b == 2", "c == 3"}, Bytes(32, 0)).signature, base);
}

TEST(Token, ExactJson) {
  const Bytes sig = {0xde, 0xad, 0xbe, 0xef};
  const struct {
    Capability cap;
    const char* json;
  } cases[] = {
      {{"id", std::nullopt, {{"a"}, {"b"}}, sig},
       R"({"identifier":"id","caveats":[{"predicate":"a"},{"predicate":"b"}],"signature":"deadbeef"})"},
      {{"id", Bytes{0x00, 0xAB}, {}, {}},
       R"({"identifier":"id","holder_of_key":"00ab","caveats":[],"signature":""})"},
      {{"q\"b\\s/\b\f\n\r\t\x01\x1f\x7f\xc3\xa9", std::nullopt, {{"x == \"\xe2\x82\xac\""}}, {}},
       "{\"identifier\":\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xc3\xa9\","
       "\"caveats\":[{\"predicate\":\"x == \\\"\xe2\x82\xac\\\"\"}],\"signature\":\"\"}"},
      {{std::string("a\0b", 3), std::nullopt, {}, {}},
       R"({"identifier":"a\u0000b","caveats":[],"signature":""})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_of(c.cap), c.json);
    EXPECT_EQ(c.cap.serialize(), token_of(c.json));
  }
}

TEST(Token, RoundTrips) {
  const Capability caps[] = {
      issue(bytes("k"), "id", {"tool == \"search\"", "arg.limit <= 50"}),
      issue(bytes("k"), "", {"a"}, Bytes(32, 0xfe)),
      {"\xf0\x9f\x98\x80\n", std::nullopt, {}, {}},
  };
  for (const auto& cap : caps) {
    const std::string token = cap.serialize();
    const auto back = Capability::parse(token);
    ASSERT_TRUE(back.has_value()) << back.error().display();
    EXPECT_EQ(*back, cap);
    EXPECT_EQ(back->serialize(), token);
  }
}

TEST(Token, ParseAllowances) {
  const std::string sig = std::string(64, 'a');
  const Capability want{"id", std::nullopt, {{"p"}}, Bytes(32, 0xaa)};
  const Capability bound{"id", Bytes{0xab, 0xcd}, {{"p"}}, Bytes(32, 0xaa)};
  const struct {
    std::string json;
    Capability cap;
  } cases[] = {
      {R"({"identifier":"id","caveats":[{"predicate":"p"}],"signature":")" + sig + "\"}", want},
      {" {\n\"signature\" : \"" + sig + "\",\t\"caveats\":[ {\"predicate\":\"p\"} ],\"identifier\":\"id\"}\r\n ", want},
      {R"({"identifier":"id","holder_of_key":null,"caveats":[{"predicate":"p"}],"signature":")" + sig + "\"}", want},
      {R"({"identifier":"id","holder_of_key":"ABcd","caveats":[{"predicate":"p"}],"signature":")" + std::string(64, 'A') + "\"}", bound},
      {R"({"x":[1,{"y":2}],"identifier":"id","caveats":[{"z":null,"predicate":"p"}],"signature":")" + sig + "\"}", want},
      {R"(["id",null,[["p"]],")" + sig + "\"]", want},
      {R"(["id","abcd",[{"predicate":"p"}],")" + sig + "\"]", bound},
      {R"({"identifier":"id","caveats":[],"signature":""})", Capability{"id", std::nullopt, {}, {}}},
      {R"({"identifier":"id","caveats":[{"predicate":"(((("}],"signature":"0102"})",
       Capability{"id", std::nullopt, {{"(((("}}, {1, 2}}},
  };
  for (const auto& c : cases) {
    const auto r = Capability::parse(token_of(c.json));
    ASSERT_TRUE(r.has_value()) << c.json << " -> " << r.error().display();
    EXPECT_EQ(*r, c.cap) << c.json;
  }
}

// Tokens in the writer's own form are read without the general JSON
// reader. On every text, including each one-byte change, deletion and cut
// of such documents, parsing must give exactly what the general reader
// gives: the same record, or the same error.
TEST(Token, WritersFormReadsAsTheGeneralReaderDoes) {
  const Capability caps[] = {
      issue(bytes("k"), "agent-1/cap-0001", {"now <= @2030-01-01T00:00:00Z", R"(tool == "search")", "arg.limit <= 50"}),
      issue(bytes("k"), "", {R"(caller == "a\\b\"c")"}, Bytes(32, 0xfe)),
      issue(bytes("k"), "\xc3\xa9\x7f\x01\t", {"x == \"\xe2\x82\xac\""}),
      {"id", std::nullopt, {}, Bytes(32, 7)},
      {"id", std::nullopt, {{"p"}}, Bytes(31, 7)},
  };
  const char replacements[] = {'"', '\\', ',', '}', ']', '[', '{', ' ', ':', 'A', 'F', 'f', 'g', '0', 'n', 'u', '\0', '\x7f', '\x80'};
  std::size_t seen_count = 0;
  auto same = [&seen_count](const std::string& json) {
    std::string head_as_written;
    const auto fast = Capability::parse(token_of(json), [&](const WrittenParts& parts) {
      write_receipt_head(parts, head_as_written);
      ++seen_count;
    });
    const auto general = json::read_capability(json);
    ASSERT_EQ(fast.has_value(), general.has_value()) << json;
    if (fast) {
      EXPECT_EQ(*fast, *general) << json;
      // The parts as written are what a receipt writer makes of the record.
      if (!head_as_written.empty()) {
        std::string head;
        write_receipt_head(*general, head);
        EXPECT_EQ(head_as_written, head) << json;
      }
    } else {
      EXPECT_EQ(fast.error().display(), Error::invalid_format("not a valid velnor capability: " + general.error()).display())
          << json;
    }
  };
  for (const auto& cap : caps) {
    const std::string good = json_of(cap);
    same(good);
    for (std::size_t at = 0; at < good.size(); ++at) {
      for (const char r : replacements) {
        std::string changed = good;
        changed[at] = r;
        same(changed);
      }
      same(good.substr(0, at) + good.substr(at + 1));
      same(good.substr(0, at));
    }
    same(good + " ");
  }
  EXPECT_GT(seen_count, std::size(caps));  // the writer's form was met, and not only unchanged
}

TEST(Token, ParseRefusals) {
  const std::string kFmt = "invalid token format: not a valid velnor capability: ";
  const struct {
    std::string json;
    std::string message;  // the message starts with kFmt + this
  } cases[] = {
      {R"({"identifier":"id","caveats":[]})", "missing field `signature` at line 1 column "},
      {R"({"signature":"","caveats":[]})", "missing field `identifier` at line 1 column "},
      {R"({"signature":""})", "missing field `identifier` at line 1 column "},
      {R"({"identifier":"id","signature":""})", "missing field `caveats` at line 1 column "},
      {R"({"identifier":"id","caveats":[{}],"signature":""})", "missing field `predicate` at line 1 column "},
      {R"({"identifier":"id","identifier":"x","caveats":[],"signature":""})",
       "duplicate field `identifier` at line 1 column "},
      {R"({"identifier":"id","caveats":[],"signature":"abc"})", "hex string has odd length"},
      {R"({"identifier":"id","caveats":[],"signature":"zz"})", "invalid digit found in string"},
      {R"({"identifier":"id","holder_of_key":"0g","caveats":[],"signature":""})",
       "invalid digit found in string"},
      {R"(["id",null,[]])", "invalid length 3, expected struct Capability with 4 elements"},
      {R"({"identifier":"id","caveats":[[]],"signature":""})",
       "invalid length 0, expected struct Caveat with 1 element"},
  };
  for (const auto& c : cases) {
    const auto r = Capability::parse(token_of(c.json));
    ASSERT_FALSE(r.has_value()) << c.json;
    EXPECT_EQ(r.error().kind(), Error::Kind::InvalidFormat);
    EXPECT_TRUE(r.error().display().starts_with(kFmt + c.message)) << r.error().display();
  }
  for (const char* bad : {"{\"identifier\":\"id\",\"caveats\":[],\"signature\":\"\"}x", "[1,2",
                          "", "\xff\xfe", "{\"identifier\":\"\xc3\x28\",\"caveats\":[],\"signature\":\"\"}"}) {
    const auto r = Capability::parse(token_of(bad));
    ASSERT_FALSE(r.has_value()) << bad;
    EXPECT_TRUE(r.error().display().starts_with(kFmt)) << r.error().display();
  }
}

TEST(Token, Base64ComesFirst) {
  const std::string token = issue(Bytes{}, "id", {"a"}).serialize();
  const struct {
    std::string in;
    std::string message;
  } cases[] = {
      {token + "=", "base64 decode failed: "},
      {"Zg==", "base64 decode failed: Invalid padding"},
      {"e30+", "base64 decode failed: Invalid symbol 43, offset 3."},
      {"e30/", "base64 decode failed: Invalid symbol 47, offset 3."},
      {"A", "base64 decode failed: Invalid input length: 1"},
      {"AR", "base64 decode failed: Invalid last symbol 82, offset 1."},
  };
  for (const auto& c : cases) {
    const auto r = Capability::parse(c.in);
    ASSERT_FALSE(r.has_value()) << c.in;
    EXPECT_EQ(r.error().kind(), Error::Kind::Base64);
    EXPECT_TRUE(r.error().display().starts_with(c.message)) << r.error().display();
  }
}

TEST(Token, ErrorDisplays) {
  EXPECT_EQ(Error::invalid_signature().display(), "invalid signature");
  EXPECT_EQ(Error::invalid_format("x").display(), "invalid token format: x");
  EXPECT_EQ(Error::base64({Base64Error::Kind::InvalidPadding}).display(),
            "base64 decode failed: Invalid padding");
}

TEST(Token, TenThousandCaveats) {
  auto b = Issuer::from_key(bytes("k")).issue("big");
  for (int i = 0; i < 10000; ++i) b = std::move(b).caveat("arg.n <= " + std::to_string(i));
  const Capability cap = std::move(b).build();
  const std::string token = cap.serialize();
  const auto back = Capability::parse(token);
  ASSERT_TRUE(back.has_value()) << back.error().display();
  EXPECT_EQ(*back, cap);
}

}  // namespace
}  // namespace velnor
