// Request context: argument values, canonical text, argument hash, time.
#include "core/context.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velnor {
namespace {

JsonValue args_of(std::string_view args_json) {
  auto in = read_ctx_in(R"({"caller":"a","tool":"t","args":)" + std::string(args_json) + "}");
  EXPECT_TRUE(in.has_value()) << args_json << ": " << (in ? "" : in.error());
  return in ? std::move(in->args) : JsonValue();
}

std::string canonical(std::string_view args_json) {
  std::string out;
  write_canonical(args_of(args_json), out);
  return out;
}

std::string hash(std::string_view args_json) {
  Context c;
  c.args = args_of(args_json);
  return c.args_hash();
}

TEST(Canonical, TextTable) {
  const struct {
    std::string_view in;
    std::string_view out;
  } cases[] = {
      {R"({ "b": 1, "a": [true, null, "x"] })", R"({"a":[true,null,"x"],"b":1})"},
      {"{\"b\":1,\"B\":2,\"a\":3,\"\xc3\xa9\":4}", "{\"B\":2,\"a\":3,\"b\":1,\"\xc3\xa9\":4}"},
      {R"({"ab":1,"a":2})", R"({"a":2,"ab":1})"},
      {R"({"k":"\u0041"})", R"({"k":"A"})"},
      {R"({"k":"\n\t\u0001/\b\f\r\"\\\u001f\u007f"})", "{\"k\":\"\\n\\t\\u0001/\\b\\f\\r\\\"\\\\\\u001f\x7f\"}"},
      {R"(["\u00e9","\ud83d\ude00","é😀"])", "[\"\xc3\xa9\",\"\xf0\x9f\x98\x80\",\"\xc3\xa9\xf0\x9f\x98\x80\"]"},
      {R"([1, 1.0, 1e0, 1E0, -0, 1.50, 1E+3, 123456789012345678901234567890])",
       "[1,1.0,1e0,1E0,-0,1.50,1E+3,123456789012345678901234567890]"},
      {R"({"z":{"y":1,"x":[{"b":0,"a":0}]},"a":{}})", R"({"a":{},"z":{"x":[{"a":0,"b":0}],"y":1}})"},
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"({"a":{"x":1},"a":null})", R"({"a":null})"},
      {"[]", "[]"},
      {"{}", "{}"},
      {"[1,2]", "[1,2]"},
      {R"("x")", R"("x")"},
      {"null", "null"},
      {"false", "false"},
      {"\"a\\u0000b\"", "\"a\\u0000b\""},
  };
  for (const auto& c : cases) EXPECT_EQ(canonical(c.in), c.out) << c.in;
}

// Digests computed independently over the canonical texts above.
TEST(Canonical, ArgsHashTable) {
  const struct {
    std::string_view in;
    std::string_view sha256;
  } cases[] = {
      {"{}", "44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a"},
      {R"({ "b": 1, "a": [true, null, "x"] })", "54a65415ad370228851a1da4b31b6fd42dc58b19a50d35cae759325f7388ce64"},
      {R"({"a":[true,null,"x"],"b":1})", "54a65415ad370228851a1da4b31b6fd42dc58b19a50d35cae759325f7388ce64"},
      {"{\n\"b\" :1 ,\"a\":[ true,null ,\"\\u0078\"]}", "54a65415ad370228851a1da4b31b6fd42dc58b19a50d35cae759325f7388ce64"},
      {R"({"n":1})", "2bfd14f43d17fc7cea24e0917a8879b4b2f880b8baeec1b9d90fbaad655e71bd"},
      {R"({"n":1.0})", "3b6b06ecd1c968c8e738e0f11c4bb361fca80a9a694de22fe66a05286afbd081"},
      {"[1,2]", "49a64717d5d4cb19952e6eac2946415cf6879adacf9908e7d872332d32c6e684"},
      {R"("x")", "ba2df4903a2c14e86dc3bcca58911b44ac1d2514b7227bf6eb08cfb978f55a1b"},
      {"null", "74234e98afe7498fb5daf1f36ac2d78acc339464f950703b8c019892f982b90b"},
      {R"({"query":"weather in Paris","limit":10})", "970308a8a207ec980fdfb464faea34187a7168496c4a6f184a7fed8eeb0a24ac"},
  };
  for (const auto& c : cases) EXPECT_EQ(hash(c.in), c.sha256) << c.in;
  EXPECT_EQ(Context{}.args_hash(), "74234e98afe7498fb5daf1f36ac2d78acc339464f950703b8c019892f982b90b");
}

TEST(JsonValue, ObjectsKeepLastOfRepeatedKeysSortedByBytes) {
  const JsonValue v = JsonValue::object({{"b", JsonValue::number("1")},
                                         {"\xc3\xa9", JsonValue::null()},
                                         {"B", JsonValue::boolean(true)},
                                         {"b", JsonValue::string("later")}});
  ASSERT_EQ(v.as_object().size(), 3u);
  EXPECT_EQ(v.as_object()[0].first, "B");
  EXPECT_EQ(v.as_object()[1].first, "b");
  EXPECT_EQ(v.as_object()[2].first, "\xc3\xa9");
  ASSERT_NE(v.find("b"), nullptr);
  EXPECT_EQ(v.find("b")->as_string(), "later");
  EXPECT_EQ(v.find("c"), nullptr);
  EXPECT_EQ(JsonValue::array({}).find("b"), nullptr);

  // Past the small-object path, same rules.
  JsonValue::Object many;
  for (int i = 40; i >= 0; --i) {
    std::string key = std::to_string(i % 20);
    key.insert(0, 1, 'k');
    many.emplace_back(std::move(key), JsonValue::number(std::to_string(i)));
  }
  const JsonValue big = JsonValue::object(std::move(many));
  ASSERT_EQ(big.as_object().size(), 20u);
  EXPECT_EQ(big.find("k0")->number_text(), "0");
  EXPECT_EQ(big.find("k19")->number_text(), "19");
  EXPECT_TRUE(std::is_sorted(big.as_object().begin(), big.as_object().end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; }));
}

// Repeats before, after and between other keys, already in order or not,
// and a repeat that replaces a whole container.
TEST(JsonValue, RepeatedKeysInEveryPosition) {
  const struct {
    std::string_view args;
    std::string_view canonical;
  } cases[] = {
      {R"({"a":1,"b":2,"c":3})", R"({"a":1,"b":2,"c":3})"},
      {R"({"c":1,"b":2,"a":3})", R"({"a":3,"b":2,"c":1})"},
      {R"({"a":1,"a":2})", R"({"a":2})"},
      {R"({"a":1,"a":2,"a":3})", R"({"a":3})"},
      {R"({"a":1,"b":2,"b":3})", R"({"a":1,"b":3})"},
      {R"({"b":1,"a":2,"b":3})", R"({"a":2,"b":3})"},
      {R"({"b":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"({"c":1,"a":2,"b":3,"a":4,"c":5})", R"({"a":4,"b":3,"c":5})"},
      {R"({"ab":1,"a":2,"ab":3,"a":4})", R"({"a":4,"ab":3})"},
      {R"({"":1,"b":2,"":3})", R"({"":3,"b":2})"},
      {R"({"x":{"b":1,"b":2},"y":0,"x":[1]})", R"({"x":[1],"y":0})"},
      {R"({"x":[1],"x":{"b":1,"a":2,"b":3}})", R"({"x":{"a":2,"b":3}})"},
  };
  for (const auto& c : cases) EXPECT_EQ(canonical(c.args), c.canonical) << c.args;
}

TEST(JsonValue, CopyMoveAndCompare) {
  const JsonValue a = args_of(R"({"x":[1,{"y":"z"}],"n":null})");
  JsonValue b = a;
  EXPECT_EQ(a, b);
  JsonValue c = std::move(b);
  EXPECT_TRUE(b.is_null());
  EXPECT_EQ(a, c);
  c = args_of(R"({"x":[1,{"y":"w"}],"n":null})");
  EXPECT_FALSE(a == c);
  c = a;
  EXPECT_EQ(a, c);
  EXPECT_FALSE(args_of("[1]") == args_of("[1.0]"));
  EXPECT_FALSE(args_of("[1]") == args_of("[1,2]"));
  EXPECT_FALSE(args_of("{\"a\":1}") == args_of("{\"b\":1}"));
}

// Nesting far beyond any call-stack budget: building, copying, comparing,
// writing and destroying all work without recursion.
TEST(JsonValue, DeepValuesNeedNoRecursion) {
  constexpr int kDepth = 1'000'000;
  JsonValue v = JsonValue::number("0");
  for (int i = 0; i < kDepth; ++i) {
    JsonValue::Array a;
    a.push_back(std::move(v));
    v = JsonValue::array(std::move(a));
  }
  JsonValue copy = v;
  EXPECT_EQ(copy, v);
  std::string out;
  write_canonical(v, out);
  EXPECT_EQ(out, std::string(kDepth, '[') + "0" + std::string(kDepth, ']'));

  JsonValue obj = JsonValue::null();
  for (int i = 0; i < kDepth; ++i) {
    JsonValue::Object members;  // not an initializer list: that would copy
    members.emplace_back("k", std::move(obj));
    members.emplace_back("a", JsonValue::number("1"));
    obj = JsonValue::object(std::move(members));
  }
  JsonValue moved = std::move(obj);
  EXPECT_TRUE(obj.is_null());
}

// Arrays and objects in turn, each level with a sibling on either side of
// the way down: copying, comparing and destroying all follow both shapes.
TEST(JsonValue, DeepMixedValuesCopyCompareAndDestroy) {
  constexpr int kDepth = 200'000;
  JsonValue v = JsonValue::string("leaf");
  for (int i = 0; i < kDepth; ++i) {
    if (i % 2 == 0) {
      JsonValue::Array a;
      a.push_back(JsonValue::number("1"));
      a.push_back(std::move(v));
      a.push_back(JsonValue::boolean(true));
      v = JsonValue::array(std::move(a));
    } else {
      JsonValue::Object members;
      members.emplace_back("z", JsonValue::null());
      members.emplace_back("k", std::move(v));
      members.emplace_back("a", JsonValue::string("s"));
      v = JsonValue::object(std::move(members));
    }
  }
  JsonValue copy = v;
  EXPECT_EQ(copy, v);
  std::string a;
  std::string b;
  write_canonical(v, a);
  write_canonical(copy, b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.size(), 5u + kDepth / 2 * (std::string("[1,").size() + std::string(",true]").size()) +
                          kDepth / 2 * (std::string(R"({"a":"s","k":)").size() + std::string(R"(,"z":null})").size()) + 1);
  copy = JsonValue::number("2");
  EXPECT_FALSE(copy == v);
  EXPECT_EQ(copy.number_text(), "2");
}

TEST(Instant, FromUnixMs) {
  const struct {
    std::uint64_t ms;
    Instant want;
  } cases[] = {
      {0, {0, 0}},
      {1, {0, 1'000'000}},
      {999, {0, 999'000'000}},
      {1'700'000'000'123, {1'700'000'000, 123'000'000}},
      {18'446'744'073'709'551'615u, {18'446'744'073'709'551, 615'000'000}},
  };
  for (const auto& c : cases) EXPECT_EQ(Instant::from_unix_ms(c.ms), c.want) << c.ms;
}

TEST(Instant, NowIsTheWallClock) {
  const Instant a = Instant::now();
  const auto sys = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  EXPECT_LT(a.nanos, 1'000'000'000u);
  EXPECT_LE(std::abs(a.secs - sys), 2);
  const Instant b = Instant::now();
  EXPECT_TRUE(b.secs > a.secs || (b.secs == a.secs && b.nanos >= a.nanos));
}

TEST(IntoContext, MovesFieldsAndReadsClockOnlyWithoutNowMs) {
  auto in = read_ctx_in(R"({"nowMs":1700000000123,"caller":"c","tool":"t","args":[1],"env":{"E":"v"}})");
  ASSERT_TRUE(in.has_value());
  const Context ctx = into_context(std::move(*in));
  EXPECT_EQ(ctx.now, (Instant{1'700'000'000, 123'000'000}));
  EXPECT_EQ(ctx.caller, "c");
  EXPECT_EQ(ctx.tool, "t");
  EXPECT_EQ(ctx.env.at("E"), "v");
  EXPECT_EQ(ctx.args, args_of("[1]"));

  const Instant before = Instant::now();
  auto no_time = read_ctx_in(R"({"nowMs":null,"caller":"c","tool":"t","args":null})");
  ASSERT_TRUE(no_time.has_value());
  const Context later = into_context(std::move(*no_time));
  EXPECT_TRUE(later.now.secs > before.secs || (later.now.secs == before.secs && later.now.nanos >= before.nanos));
  EXPECT_TRUE(later.env.empty());
}

}  // namespace
}  // namespace velnor
