#include "ipc/protocol.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace vesk::ipc {
namespace {

using namespace std::literals;

// A decoded request flattened into text, so that tables can state the
// expected result in one string: "status(name=a)", "history(name=a,limit=5)",
// "history(name=a,limit=none)", "auth(token=t,inner=list)", ...
std::string describe(const IpcRequest& request) {
  struct Describe {
    std::string operator()(const std::unique_ptr<AuthRequest>& auth) const {
      if (!auth) return "auth(null)";
      return "auth(token=" + auth->token + ",inner=" + describe(auth->inner) + ")";
    }
    std::string operator()(const StatusRequest& r) const { return "status(name=" + r.name + ")"; }
    std::string operator()(const ListRequest&) const { return "list"; }
    std::string operator()(const HistoryRequest& r) const {
      return "history(name=" + r.name + ",limit=" + (r.limit ? std::to_string(*r.limit) : "none") + ")";
    }
    std::string operator()(const ShutdownRequest&) const { return "shutdown"; }
    std::string operator()(const CompactRequest&) const { return "compact"; }
    std::string operator()(const DoctorRequest&) const { return "doctor"; }
    std::string operator()(const RuntimeStatusRequest&) const { return "runtime_status"; }
  };
  return std::visit(Describe{}, request);
}

struct ValidCase {
  std::string_view line;
  std::string_view decoded;
};

TEST(IpcParseRequestTest, DecodesValidLines) {
  const ValidCase cases[] = {
      // Each variant, written the usual way.
      {"{\"cmd\":\"status\",\"name\":\"nightly\"}\n", "status(name=nightly)"},
      {"{\"cmd\":\"list\"}\n", "list"},
      {"{\"cmd\":\"history\",\"name\":\"a\",\"limit\":5}\n", "history(name=a,limit=5)"},
      {"{\"cmd\":\"history\",\"name\":\"a\"}\n", "history(name=a,limit=none)"},
      {"{\"cmd\":\"shutdown\"}\n", "shutdown"},
      {"{\"cmd\":\"compact\"}\n", "compact"},
      {"{\"cmd\":\"doctor\"}\n", "doctor"},
      {"{\"cmd\":\"runtime_status\"}\n", "runtime_status"},
      {"{\"cmd\":\"auth\",\"token\":\"s3cret\",\"inner\":{\"cmd\":\"list\"}}\n", "auth(token=s3cret,inner=list)"},
      // Keys in another order, "cmd" last.
      {"{\"name\":\"nightly\",\"cmd\":\"status\"}\n", "status(name=nightly)"},
      {"{\"limit\":7,\"name\":\"a\",\"cmd\":\"history\"}\n", "history(name=a,limit=7)"},
      {"{\"name\":\"a\",\"cmd\":\"history\",\"limit\":7}\n", "history(name=a,limit=7)"},
      {"{\"inner\":{\"name\":\"x\",\"cmd\":\"status\"},\"token\":\"t\",\"cmd\":\"auth\"}\n",
       "auth(token=t,inner=status(name=x))"},
      {"{\"token\":\"t\",\"cmd\":\"auth\",\"inner\":{\"cmd\":\"doctor\"}}\n", "auth(token=t,inner=doctor)"},
      // Line endings and white space.
      {"{\"cmd\":\"list\"}\r\n", "list"},
      {"{\"cmd\":\"list\"}", "list"},
      {"{\"cmd\":\"list\"}  \t \n", "list"},
      {"  {\"cmd\":\"list\"}\n", "list"},
      {"{ \"cmd\" : \"status\" ,\t\"name\" : \"a\" }\r\n", "status(name=a)"},
      // Unknown keys are skipped, even repeated and of any type.
      {"{\"cmd\":\"list\",\"x\":1,\"x\":[1,{\"y\":null}],\"x\":\"s\"}\n", "list"},
      {"{\"x\":{\"cmd\":\"status\"},\"cmd\":\"list\",\"x\":true}\n", "list"},
      // Keys of another variant are unknown there.
      {"{\"cmd\":\"list\",\"name\":\"a\"}\n", "list"},
      {"{\"cmd\":\"list\",\"name\":\"a\",\"name\":5}\n", "list"},
      {"{\"name\":1,\"cmd\":\"shutdown\",\"limit\":\"x\",\"token\":[]}\n", "shutdown"},
      {"{\"cmd\":\"status\",\"name\":\"a\",\"limit\":3}\n", "status(name=a)"},
      {"{\"cmd\":\"auth\",\"token\":\"t\",\"inner\":{\"cmd\":\"list\",\"token\":\"u\",\"token\":\"v\"}}\n",
       "auth(token=t,inner=list)"},
      {"{\"cmd\":\"auth\",\"token\":\"t\",\"name\":\"n\",\"inner\":{\"cmd\":\"compact\"}}\n",
       "auth(token=t,inner=compact)"},
      // Limits: null, the bounds of u64.
      {"{\"cmd\":\"history\",\"name\":\"a\",\"limit\":null}\n", "history(name=a,limit=none)"},
      {"{\"cmd\":\"history\",\"name\":\"a\",\"limit\":0}\n", "history(name=a,limit=0)"},
      {"{\"cmd\":\"history\",\"name\":\"a\",\"limit\":18446744073709551615}\n",
       "history(name=a,limit=18446744073709551615)"},
      // Strings are unescaped.
      {"{\"cmd\":\"status\",\"name\":\"a\\\"b\\u00e9\\n\"}\n", "status(name=a\"b\xc3\xa9\n)"},
      {"{\"cmd\":\"status\",\"name\":\"\"}\n", "status(name=)"},
      // The parser accepts nested auth (the server refuses it).
      {"{\"cmd\":\"auth\",\"token\":\"a\",\"inner\":{\"cmd\":\"auth\",\"token\":\"b\",\"inner\":{\"cmd\":\"list\"}}}\n",
       "auth(token=a,inner=auth(token=b,inner=list))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const auto request = parse_request(c.line);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(describe(*request), c.decoded);
  }
}

// `depth` auth wrappers around a list request.
std::string nested_auth(int depth, bool cmd_last = false) {
  std::string line;
  for (int i = 0; i < depth; ++i) {
    line += cmd_last ? "{\"token\":\"t\",\"inner\":" : "{\"cmd\":\"auth\",\"token\":\"t\",\"inner\":";
  }
  line += "{\"cmd\":\"list\"}";
  for (int i = 0; i < depth; ++i) line += cmd_last ? ",\"cmd\":\"auth\"}" : "}";
  return line + "\n";
}

TEST(IpcParseRequestTest, RejectsInvalidLines) {
  const std::string deep = nested_auth(10'000);
  const std::string deep_cmd_last = nested_auth(10'000, true);
  const std::string deep_unknown = "{\"cmd\":\"list\",\"x\":" + std::string(10'000, '[') + std::string(10'000, ']') + "}\n";
  const std::string_view cases[] = {
      "",
      "\n",
      "\r\n",
      "   ",
      "not json\n",
      "{\"cmd\":\"list\"\n",
      "{\"cmd\":\"list\",}\n",
      "{cmd:\"list\"}\n",
      "[\"list\"]\n",
      "\"list\"\n",
      "null\n",
      "42\n",
      // "cmd" missing, unknown, mistyped or repeated.
      "{}\n",
      "{\"name\":\"a\"}\n",
      "{\"cmd\":\"STATUS\",\"name\":\"a\"}\n",
      "{\"cmd\":\"lists\"}\n",
      "{\"cmd\":\"\"}\n",
      "{\"cmd\":null}\n",
      "{\"cmd\":1}\n",
      "{\"cmd\":[\"list\"]}\n",
      "{\"cmd\":\"list\",\"cmd\":\"list\"}\n",
      "{\"x\":1,\"cmd\":\"list\",\"cmd\":\"list\"}\n",
      "{\"cmd\":\"list\",\"cmd\":\"status\",\"name\":\"a\"}\n",
      // Fields repeated.
      "{\"cmd\":\"status\",\"name\":\"a\",\"name\":\"a\"}\n",
      "{\"name\":\"a\",\"cmd\":\"status\",\"name\":\"b\"}\n",
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":1,\"limit\":1}\n",
      "{\"cmd\":\"auth\",\"token\":\"t\",\"token\":\"t\",\"inner\":{\"cmd\":\"list\"}}\n",
      "{\"cmd\":\"auth\",\"token\":\"t\",\"inner\":{\"cmd\":\"list\"},\"inner\":{\"cmd\":\"list\"}}\n",
      // Limits that are not a plain unsigned 64-bit integer.
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":5.0}\n",
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":-1}\n",
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":-0}\n",
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":1e3}\n",
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":1E3}\n",
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":18446744073709551616}\n",
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":99999999999999999999999}\n",
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":\"5\"}\n",
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":true}\n",
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":[5]}\n",
      "{\"cmd\":\"history\",\"name\":\"a\",\"limit\":05}\n",
      // Required fields missing or mistyped.
      "{\"cmd\":\"status\"}\n",
      "{\"cmd\":\"history\",\"limit\":3}\n",
      "{\"cmd\":\"status\",\"name\":5}\n",
      "{\"cmd\":\"status\",\"name\":null}\n",
      "{\"cmd\":\"auth\",\"inner\":{\"cmd\":\"list\"}}\n",
      "{\"cmd\":\"auth\",\"token\":\"t\"}\n",
      "{\"cmd\":\"auth\",\"token\":5,\"inner\":{\"cmd\":\"list\"}}\n",
      "{\"cmd\":\"auth\",\"token\":null,\"inner\":{\"cmd\":\"list\"}}\n",
      "{\"cmd\":\"auth\",\"token\":\"t\",\"inner\":\"list\"}\n",
      "{\"cmd\":\"auth\",\"token\":\"t\",\"inner\":[\"list\"]}\n",
      "{\"cmd\":\"auth\",\"token\":\"t\",\"inner\":null}\n",
      // An inner request that is itself invalid.
      "{\"cmd\":\"auth\",\"token\":\"t\",\"inner\":{}}\n",
      "{\"cmd\":\"auth\",\"token\":\"t\",\"inner\":{\"cmd\":\"STATUS\"}}\n",
      "{\"cmd\":\"auth\",\"token\":\"t\",\"inner\":{\"cmd\":\"status\"}}\n",
      "{\"inner\":{\"cmd\":\"list\",\"cmd\":\"list\"},\"cmd\":\"auth\",\"token\":\"t\"}\n",
      // Anything but white space after the value.
      "{\"cmd\":\"list\"} x\n",
      "{\"cmd\":\"list\"}{\"cmd\":\"list\"}\n",
      "{\"cmd\":\"list\"}\n{\"cmd\":\"list\"}\n",
      "{\"cmd\":\"list\"}\n\0"sv,
      // Bytes that are not UTF-8, in a field or in a skipped value.
      "{\"cmd\":\"status\",\"name\":\"\xff\"}\n",
      "{\"cmd\":\"list\",\"x\":\"\xc3\"}\n",
      // Hostile nesting: no crash, no request.
      deep,
      deep_cmd_last,
      deep_unknown,
  };
  for (const auto line : cases) {
    SCOPED_TRACE(line.substr(0, 120));
    EXPECT_FALSE(parse_request(line).has_value());
  }
}

TEST(IpcParseRequestTest, BoundsAuthNesting) {
  // Nesting up to the limit is the parser's to accept; beyond it nothing is
  // returned, whichever key comes first.
  for (const bool cmd_last : {false, true}) {
    SCOPED_TRACE(cmd_last ? "cmd last" : "cmd first");
    const auto within = parse_request(nested_auth(64, cmd_last));
    ASSERT_TRUE(within.has_value());
    const IpcRequest* at = &*within;
    int depth = 0;
    while (const auto* auth = std::get_if<std::unique_ptr<AuthRequest>>(at)) {
      ++depth;
      at = &(*auth)->inner;
    }
    EXPECT_EQ(depth, 64);
    EXPECT_TRUE(std::holds_alternative<ListRequest>(*at));
    EXPECT_FALSE(parse_request(nested_auth(65, cmd_last)).has_value());
  }
}

TEST(IpcParseRequestTest, RefusesOverlongLines) {
  const std::string head = "{\"cmd\":\"status\",\"name\":\"";
  const std::string tail = "\"}\n";
  std::string longest = head + std::string(kMaxRequestLine - head.size() - tail.size(), 'n') + tail;
  ASSERT_EQ(longest.size(), kMaxRequestLine);
  EXPECT_TRUE(parse_request(longest).has_value());
  longest.insert(head.size(), "n");
  EXPECT_FALSE(parse_request(longest).has_value());
}

struct ReplyCase {
  std::string_view what;
  std::string reply;
  std::string_view expected;
};

TEST(IpcReplyTest, WritesExactBytes) {
  json::Object nested{{"zeta", json::Value(std::uint64_t{1})},
                      {"alpha", json::Value(json::Object{{"b", json::Value(true)}, {"a", json::Value()}})},
                      {"mid", json::Value(json::Array{json::Value("x"), json::Value(-2)})}};
  const ReplyCase cases[] = {
      {"ok null", ok_reply(json::Value()), "{\"status\":\"ok\",\"data\":null}\n"},
      {"ok string", ok_reply(json::Value("a\"b")), "{\"status\":\"ok\",\"data\":\"a\\\"b\"}\n"},
      {"ok empty object", ok_reply(json::Value(json::Object{})), "{\"status\":\"ok\",\"data\":{}}\n"},
      {"ok sorted at depth", ok_reply(json::Value(nested)),
       "{\"status\":\"ok\",\"data\":{\"alpha\":{\"a\":null,\"b\":true},\"mid\":[\"x\",-2],\"zeta\":1}}\n"},
      {"error plain", error_reply("timer not found: a"),
       "{\"status\":\"error\",\"message\":\"timer not found: a\"}\n"},
      {"error escaped", error_reply("say \"hi\"\nback\\slash\ttab\x01"),
       "{\"status\":\"error\",\"message\":\"say \\\"hi\\\"\\nback\\\\slash\\ttab\\u0001\"}\n"},
      {"error empty", error_reply(""), "{\"status\":\"error\",\"message\":\"\"}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.reply, c.expected);
  }
}

struct TokenCase {
  std::string_view given;
  std::string_view expected;
  bool matches;
};

TEST(IpcTokenTest, ComparesWholeTokens) {
  const TokenCase cases[] = {
      {"s3cret-token", "s3cret-token", true},
      {"", "", true},
      {"x3cret-token", "s3cret-token", false},
      {"s3cret-tokem", "s3cret-token", false},
      {"s3cret-token!", "s3cret-token", false},
      {"s3cret-token", "s3cret-token!", false},
      {"s3cret-toke", "s3cret-token", false},
      {"", "s3cret-token", false},
      {"s3cret-token", "", false},
      {"a\0b"sv, "a\0c"sv, false},
      {"a\0b"sv, "a\0b"sv, true},
      {"\x80", "\x00"sv, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.given) + " vs " + std::string(c.expected));
    EXPECT_EQ(token_matches(c.given, c.expected), c.matches);
  }
}

}  // namespace
}  // namespace vesk::ipc
