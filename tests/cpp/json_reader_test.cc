#include "json/reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <cstdint>
#include <random>
#include <regex>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace vesk::json {
namespace {

// A sequence of reader calls on one text; the first error ends it.
using Steps = ReadResult<void> (*)(Reader&);

template <typename T>
ReadResult<void> drop(ReadResult<T> result) {
  if (!result) return std::unexpected(std::move(result.error()));
  return {};
}

ReadResult<void> whole_value(Reader& r) {
  if (auto ok = r.skip_value(); !ok) return ok;
  return r.finish();
}

// "" when the steps succeed, else the error text.
std::string error_of(std::string_view text, Steps steps, bool* at_eof = nullptr) {
  Reader reader(text);
  const auto result = steps(reader);
  if (result) return "";
  if (at_eof != nullptr) *at_eof = result.error().at_eof;
  return result.error().message;
}

// `depth` containers, each holding the next, around `inner`.
std::string nested(std::string_view open, std::string_view close, int depth, std::string_view inner = "") {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += inner;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

TEST(JsonReaderTest, DecodesARecordFieldByField) {
  const std::string_view text =
      R"( {"v": 1, "id":"tmr_1", "tags": ["a", "b\nc"], "attempt":255,"ok":true,"note":null,)"
      R"("extra":{"x":[1,{"y":2}]},"big":18446744073709551615} )";
  Reader r(text);
  ASSERT_TRUE(r.begin_object("struct Entry"));
  std::vector<std::string> seen;
  for (;;) {
    auto key = r.next_key();
    ASSERT_TRUE(key) << key.error().message;
    if (!*key) break;
    const std::string name(**key);
    seen.push_back(name);
    if (name == "v") {
      EXPECT_EQ(r.read_u8().value(), 1);
    } else if (name == "id") {
      EXPECT_EQ(r.read_string().value(), "tmr_1");
    } else if (name == "tags") {
      ASSERT_TRUE(r.begin_array("a sequence"));
      std::vector<std::string> tags;
      while (r.next_element().value()) tags.emplace_back(r.read_string().value());
      EXPECT_EQ(tags, (std::vector<std::string>{"a", "b\nc"}));
    } else if (name == "attempt") {
      EXPECT_EQ(r.read_u32().value(), 255u);
    } else if (name == "ok") {
      EXPECT_TRUE(r.read_bool().value());
    } else if (name == "note") {
      EXPECT_TRUE(r.read_null().value());
    } else if (name == "big") {
      EXPECT_EQ(r.read_u64().value(), 18446744073709551615ull);
    } else {
      ASSERT_TRUE(r.skip_value());
    }
  }
  EXPECT_TRUE(r.finish());
  EXPECT_EQ(seen, (std::vector<std::string>{"v", "id", "tags", "attempt", "ok", "note", "extra", "big"}));
}

TEST(JsonReaderTest, PlainStringsAndKeysAreViewsIntoTheText) {
  const std::string text = R"({"timer_id":"tmr_01HV6ZK3Q8N5W2XG7D4B9C1E0F"})";
  Reader r(text);
  ASSERT_TRUE(r.begin_object("a map"));
  const auto key = r.next_key().value().value();
  EXPECT_EQ(key.data(), text.data() + 2);
  const auto value = r.read_string().value();
  EXPECT_EQ(value, "tmr_01HV6ZK3Q8N5W2XG7D4B9C1E0F");
  EXPECT_EQ(value.data(), text.data() + 13);
}

TEST(JsonReaderTest, PeekTellsTheKindWithoutConsuming) {
  struct Case {
    const char* text;
    ValueKind kind;
  };
  const Case cases[] = {
      {"null", ValueKind::kNull},   {" true", ValueKind::kBool},  {"\nfalse", ValueKind::kBool},
      {"-1", ValueKind::kNumber},   {"0", ValueKind::kNumber},    {"9", ValueKind::kNumber},
      {"\"\"", ValueKind::kString}, {"[]", ValueKind::kArray},    {"\t\r{}", ValueKind::kObject},
  };
  for (const Case& c : cases) {
    Reader r(c.text);
    EXPECT_EQ(r.peek().value(), c.kind) << c.text;
    EXPECT_EQ(r.peek().value(), c.kind) << c.text;
    EXPECT_TRUE(whole_value(r)) << c.text;
  }
}

TEST(JsonReaderTest, ReadNullLeavesOtherValuesInPlace) {
  Reader r("[5, null]");
  ASSERT_TRUE(r.begin_array("a sequence"));
  ASSERT_TRUE(r.next_element().value());
  EXPECT_FALSE(r.read_null().value());
  EXPECT_EQ(r.read_u64().value(), 5u);
  ASSERT_TRUE(r.next_element().value());
  EXPECT_TRUE(r.read_null().value());
  EXPECT_FALSE(r.next_element().value());
  EXPECT_TRUE(r.finish());
}

TEST(JsonReaderTest, SeekReplaysAnObjectAfterScanningForItsTag) {
  // The tag comes last; the decoder scans for it, then decodes from the top.
  const std::string_view text = R"({ "every": "5m", "n": [1, {}], "type" : "interval" })";
  Reader r(text);
  ASSERT_TRUE(r.begin_object("a map"));
  const std::size_t members = r.position();
  std::string tag;
  while (auto key = r.next_key().value()) {
    if (*key == "type") {
      tag = r.read_string().value();
    } else {
      ASSERT_TRUE(r.skip_value());
    }
  }
  EXPECT_EQ(tag, "interval");
  r.seek(members);
  EXPECT_EQ(r.next_key().value(), "every");
  EXPECT_EQ(r.read_string().value(), "5m");
  EXPECT_EQ(r.next_key().value(), "n");
  ASSERT_TRUE(r.skip_value());
  EXPECT_EQ(r.next_key().value(), "type");
  ASSERT_TRUE(r.skip_value());
  EXPECT_EQ(r.next_key().value(), std::nullopt);
  EXPECT_TRUE(r.finish());
}

TEST(JsonReaderTest, EmptyAndNestedContainers) {
  Reader r(" [ [ ] , [ { } ] , { \"a\" : [ ] } ] ");
  ASSERT_TRUE(r.begin_array("a sequence"));
  ASSERT_TRUE(r.next_element().value());
  ASSERT_TRUE(r.begin_array("a sequence"));
  EXPECT_FALSE(r.next_element().value());
  ASSERT_TRUE(r.next_element().value());
  ASSERT_TRUE(r.begin_array("a sequence"));
  ASSERT_TRUE(r.next_element().value());
  ASSERT_TRUE(r.begin_object("a map"));
  EXPECT_EQ(r.next_key().value(), std::nullopt);
  EXPECT_FALSE(r.next_element().value());
  ASSERT_TRUE(r.next_element().value());
  ASSERT_TRUE(r.begin_object("a map"));
  EXPECT_EQ(r.next_key().value(), "a");
  ASSERT_TRUE(r.begin_array("a sequence"));
  EXPECT_FALSE(r.next_element().value());
  EXPECT_EQ(r.next_key().value(), std::nullopt);
  EXPECT_FALSE(r.next_element().value());
  EXPECT_TRUE(r.finish());
}

TEST(JsonReaderTest, StringEscapesDecodeToUtf8) {
  struct Case {
    const char* json;
    std::string_view text;
  };
  const Case cases[] = {
      {R"("")", ""},
      {R"("\"\\\/")", "\"\\/"},
      {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
      {R"("a\u0041b")", "aAb"},
      {R"("\u0000")", std::string_view("\0", 1)},
      {R"("\u001f\u007F")", "\x1f\x7f"},
      {R"("\u00e9\u00E9")", "\u00e9\u00e9"},
      {R"("\u07ff\u0800")", "\u07ff\u0800"},
      {R"("\u20ac")", "\u20ac"},
      {R"("\uffff")", "\uffff"},
      {R"("\ud83d\ude00")", "\U0001F600"},
      {R"("\uD800\uDC00")", "\U00010000"},
      {R"("\udbff\udfff")", "\U0010FFFF"},
      {R"("plain text before \n and after the escape")", "plain text before \n and after the escape"},
      {"\"\xc3\xa9 raw UTF-8 \xf0\x9f\x98\x80 is kept\"", "\u00e9 raw UTF-8 \U0001F600 is kept"},
      {"\"\xff\xfe bytes are not checked\"", "\xff\xfe bytes are not checked"},
  };
  for (const Case& c : cases) {
    Reader r(c.json);
    const auto text = r.read_string();
    ASSERT_TRUE(text) << c.json << ": " << text.error().message;
    EXPECT_EQ(*text, c.text) << c.json;
    EXPECT_TRUE(r.finish()) << c.json;
  }
}

TEST(JsonReaderTest, EscapedKeysAreDecoded) {
  Reader r(R"({"a\"b":1,"\u00e9":2})");
  ASSERT_TRUE(r.begin_object("a map"));
  EXPECT_EQ(r.next_key().value(), "a\"b");
  EXPECT_EQ(r.read_u8().value(), 1);
  EXPECT_EQ(r.next_key().value(), "\u00e9");
  EXPECT_EQ(r.read_u8().value(), 2);
  EXPECT_EQ(r.next_key().value(), std::nullopt);
}

// The quote, backslash or control byte is found wherever it falls relative to
// the eight-byte steps of the scan.
TEST(JsonReaderTest, StringEndIsFoundAtEveryOffset) {
  for (std::size_t length = 0; length < 40; ++length) {
    const std::string body(length, '\xe9');  // high bytes must not look special
    const std::string json = "\"" + body + "\" ";
    Reader r(json);
    const auto text = r.read_string();
    ASSERT_TRUE(text) << length;
    EXPECT_EQ(text->size(), length);
    EXPECT_TRUE(r.finish());

    const std::string escaped = "\"" + body + "\\n" + body + "\"";
    Reader e(escaped);
    EXPECT_EQ(e.read_string().value(), body + "\n" + body);

    const std::string control = "\"" + body + "\x1f" + "\"";
    EXPECT_EQ(error_of(control, [](Reader& rr) { return drop(rr.read_string()); }),
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                  std::to_string(length + 2));
  }
}

TEST(JsonReaderTest, UnsignedIntegersAtTheirBounds) {
  struct Case {
    const char* text;
    Steps read;
    const char* error;  // "" when the value reads
  };
  const Case cases[] = {
      {"0", [](Reader& r) { return drop(r.read_u8()); }, ""},
      {"255", [](Reader& r) { return drop(r.read_u8()); }, ""},
      {"256", [](Reader& r) { return drop(r.read_u8()); },
       "invalid value: integer `256`, expected u8 at line 1 column 3"},
      {"-1", [](Reader& r) { return drop(r.read_u8()); },
       "invalid value: integer `-1`, expected u8 at line 1 column 2"},
      {"-0", [](Reader& r) { return drop(r.read_u8()); },
       "invalid value: integer `-0`, expected u8 at line 1 column 2"},
      {"4294967295", [](Reader& r) { return drop(r.read_u32()); }, ""},
      {"4294967296", [](Reader& r) { return drop(r.read_u32()); },
       "invalid value: integer `4294967296`, expected u32 at line 1 column 10"},
      {"18446744073709551615", [](Reader& r) { return drop(r.read_u64()); }, ""},
      {"18446744073709551616", [](Reader& r) { return drop(r.read_u64()); },
       "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 20"},
      {"99999999999999999999999", [](Reader& r) { return drop(r.read_u64()); },
       "invalid value: integer `99999999999999999999999`, expected u64 at line 1 column 23"},
      {"18446744073709551616", [](Reader& r) { return drop(r.read_u8()); },
       "invalid value: integer `18446744073709551616`, expected u8 at line 1 column 20"},
      {"-9223372036854775809", [](Reader& r) { return drop(r.read_u64()); },
       "invalid value: integer `-9223372036854775809`, expected u64 at line 1 column 20"},
      {"1.0", [](Reader& r) { return drop(r.read_u64()); },
       "invalid type: floating point `1.0`, expected u64 at line 1 column 3"},
      {"1.5", [](Reader& r) { return drop(r.read_u64()); },
       "invalid type: floating point `1.5`, expected u64 at line 1 column 3"},
      {"1e2", [](Reader& r) { return drop(r.read_u32()); },
       "invalid type: floating point `100.0`, expected u32 at line 1 column 3"},
      {"-2.5E-7", [](Reader& r) { return drop(r.read_u8()); },
       "invalid type: floating point `-2.5e-7`, expected u8 at line 1 column 7"},
      {"1e400", [](Reader& r) { return drop(r.read_u64()); }, "number out of range at line 1 column 5"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.text, c.read), c.error) << c.text;

  Reader r("[0, 255, 4294967295, 18446744073709551615]");
  ASSERT_TRUE(r.begin_array("a sequence"));
  ASSERT_TRUE(r.next_element().value());
  EXPECT_EQ(r.read_u8().value(), 0);
  ASSERT_TRUE(r.next_element().value());
  EXPECT_EQ(r.read_u8().value(), 255);
  ASSERT_TRUE(r.next_element().value());
  EXPECT_EQ(r.read_u32().value(), 4294967295u);
  ASSERT_TRUE(r.next_element().value());
  EXPECT_EQ(r.read_u64().value(), 18446744073709551615ull);
}

TEST(JsonReaderTest, ReadNumberKeepsTheWrittenForm) {
  struct Case {
    const char* text;
    Number number;
  };
  const Case cases[] = {
      {"0", std::uint64_t{0}},
      {"18446744073709551615", std::uint64_t{18446744073709551615ull}},
      {"18446744073709551616", 18446744073709551616.0},
      {"-1", std::int64_t{-1}},
      {"-9223372036854775808", std::int64_t{INT64_MIN}},
      {"-9223372036854775809", -9223372036854775809.0},
      {"-0", -0.0},
      {"0.5", 0.5},
      {"1E3", 1000.0},
      {"1e-400", 0.0},
      {"-1e-400", -0.0},
      {"4.9406564584124654e-324", 4.9406564584124654e-324},
  };
  for (const Case& c : cases) {
    Reader r(c.text);
    const auto number = r.read_number();
    ASSERT_TRUE(number) << c.text << ": " << number.error().message;
    EXPECT_EQ(number->index(), c.number.index()) << c.text;
    EXPECT_EQ(*number, c.number) << c.text;
    if (const double* d = std::get_if<double>(&*number)) {
      EXPECT_EQ(std::signbit(*d), std::signbit(std::get<double>(c.number))) << c.text;
    }
  }
}

TEST(JsonReaderTest, TypeErrorsDescribeTheFoundValue) {
  struct Case {
    const char* text;
    Steps read;
    const char* error;
  };
  const Case cases[] = {
      {R"("x")", [](Reader& r) { return drop(r.read_u32()); },
       R"(invalid type: string "x", expected u32 at line 1 column 3)"},
      {R"( "a\"b\n")", [](Reader& r) { return drop(r.read_u32()); },
       R"(invalid type: string "a\"b\n", expected u32 at line 1 column 9)"},
      {"null", [](Reader& r) { return drop(r.read_u8()); }, "invalid type: null, expected u8 at line 1 column 4"},
      {"true", [](Reader& r) { return drop(r.read_u64()); },
       "invalid type: boolean `true`, expected u64 at line 1 column 4"},
      {"false", [](Reader& r) { return drop(r.read_string()); },
       "invalid type: boolean `false`, expected a string at line 1 column 5"},
      {"[1]", [](Reader& r) { return drop(r.read_u32()); }, "invalid type: sequence, expected u32 at line 1 column 1"},
      {" {}", [](Reader& r) { return drop(r.read_string("a timer id")); },
       "invalid type: map, expected a timer id at line 1 column 2"},
      {"5", [](Reader& r) { return drop(r.read_string()); },
       "invalid type: integer `5`, expected a string at line 1 column 1"},
      {"-5", [](Reader& r) { return drop(r.read_bool()); },
       "invalid type: integer `-5`, expected a boolean at line 1 column 2"},
      {"1.5", [](Reader& r) { return drop(r.read_string()); },
       "invalid type: floating point `1.5`, expected a string at line 1 column 3"},
      {"[]", [](Reader& r) { return r.begin_object("struct TimerRecord"); },
       "invalid type: sequence, expected struct TimerRecord at line 1 column 1"},
      {"\"s\"", [](Reader& r) { return r.begin_array("a list of runs"); },
       "invalid type: string \"s\", expected a list of runs at line 1 column 3"},
      {"{}", [](Reader& r) { return drop(r.read_number()); }, "invalid type: map, expected a number at line 1 column 1"},
      {"nul", [](Reader& r) { return drop(r.read_u8()); }, "EOF while parsing a value at line 1 column 3"},
      {"trux", [](Reader& r) { return drop(r.read_bool()); }, "invalid literal at line 1 column 4"},
      {"nulL", [](Reader& r) { return drop(r.read_null()); }, "invalid literal at line 1 column 4"},
      {"x", [](Reader& r) { return drop(r.read_string()); }, "expected value at line 1 column 1"},
      {"\"abc", [](Reader& r) { return drop(r.read_u8()); }, "EOF while parsing a string at line 1 column 4"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.text, c.read), c.error) << c.text;
}

TEST(JsonReaderTest, EndOfInputFaults) {
  struct Case {
    std::string_view text;
    Steps read;
    const char* error;
  };
  const Case cases[] = {
      {"", whole_value, "EOF while parsing a value at line 1 column 0"},
      {"  ", whole_value, "EOF while parsing a value at line 1 column 2"},
      {"[", whole_value, "EOF while parsing a list at line 1 column 1"},
      {"[1", whole_value, "EOF while parsing a list at line 1 column 2"},
      {"[1,", whole_value, "EOF while parsing a value at line 1 column 3"},
      {"[1 ", whole_value, "EOF while parsing a list at line 1 column 3"},
      {"{", whole_value, "EOF while parsing an object at line 1 column 1"},
      {R"({"a")", whole_value, "EOF while parsing an object at line 1 column 4"},
      {R"({"a":)", whole_value, "EOF while parsing a value at line 1 column 5"},
      {R"({"a":1)", whole_value, "EOF while parsing an object at line 1 column 6"},
      {R"({"a":1,)", whole_value, "EOF while parsing an object at line 1 column 7"},
      {R"("abc)", whole_value, "EOF while parsing a string at line 1 column 4"},
      {R"("ab\)", whole_value, "EOF while parsing a string at line 1 column 4"},
      {R"("\u12)", whole_value, "EOF while parsing a string at line 1 column 5"},
      {R"("\ud83d)", whole_value, "EOF while parsing a string at line 1 column 7"},
      {R"("\ud83d\)", whole_value, "EOF while parsing a string at line 1 column 8"},
      {R"("\ud83d\u)", whole_value, "EOF while parsing a string at line 1 column 9"},
      {"tr", whole_value, "EOF while parsing a value at line 1 column 2"},
      {"-", whole_value, "EOF while parsing a value at line 1 column 1"},
      {"1.", whole_value, "EOF while parsing a value at line 1 column 2"},
      {"1e", whole_value, "EOF while parsing a value at line 1 column 2"},
      {"1e-", whole_value, "EOF while parsing a value at line 1 column 3"},
      {"[\n1,\n", whole_value, "EOF while parsing a value at line 3 column 0"},
      {"[\n1,\n22", whole_value, "EOF while parsing a list at line 3 column 2"},
      // The decoder of a log line reads field by field up to the cut.
      {R"({"v":1,"ts":"2026-)",
       [](Reader& r) -> ReadResult<void> {
         if (auto ok = r.begin_object("a log entry"); !ok) return ok;
         if (auto ok = drop(r.next_key()); !ok) return ok;
         if (auto ok = drop(r.read_u8()); !ok) return ok;
         if (auto ok = drop(r.next_key()); !ok) return ok;
         return drop(r.read_string());
       },
       "EOF while parsing a string at line 1 column 18"},
      {R"({"v":1)",
       [](Reader& r) -> ReadResult<void> {
         if (auto ok = r.begin_object("a log entry"); !ok) return ok;
         if (auto ok = drop(r.next_key()); !ok) return ok;
         if (auto ok = drop(r.read_u8()); !ok) return ok;
         return drop(r.next_key());
       },
       "EOF while parsing an object at line 1 column 6"},
  };
  for (const Case& c : cases) {
    bool at_eof = false;
    EXPECT_EQ(error_of(c.text, c.read, &at_eof), c.error) << c.text;
    EXPECT_TRUE(at_eof) << c.text;
  }
}

TEST(JsonReaderTest, SyntaxFaultsPointAtTheOffendingByte) {
  struct Case {
    std::string_view text;
    const char* error;
  };
  const Case cases[] = {
      {"[1]x", "trailing characters at line 1 column 4"},
      {"[1] \n  x", "trailing characters at line 2 column 3"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"[1]//", "trailing characters at line 1 column 4"},
      {"/* no comments */ 1", "expected value at line 1 column 1"},
      {"x", "expected value at line 1 column 1"},
      {"'a'", "expected value at line 1 column 1"},
      {"[1,'a']", "expected value at line 1 column 4"},
      {"NaN", "expected value at line 1 column 1"},
      {"Infinity", "expected value at line 1 column 1"},
      {"-Infinity", "invalid number at line 1 column 2"},
      {"nan", "invalid literal at line 1 column 2"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"-a", "invalid number at line 1 column 2"},
      {"1.e3", "invalid number at line 1 column 3"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {R"({"a":1,})", "trailing comma at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1:2]", "expected `,` or `]` at line 1 column 3"},
      {R"({"a" 1})", "expected `:` at line 1 column 6"},
      {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {R"({"a":1]")", "expected `,` or `}` at line 1 column 7"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{'a':1}", "key must be a string at line 1 column 2"},
      {R"({"a":1,2:3})", "key must be a string at line 1 column 8"},
      {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"[\"\\n\",\n\"\t\"]", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 2"},
      {R"("\x")", "invalid escape at line 1 column 3"},
      {R"("\U0041")", "invalid escape at line 1 column 3"},
      {R"("\u12G4")", "invalid escape at line 1 column 6"},
      {R"("\udc00")", "invalid unicode code point at line 1 column 7"},
      {R"("\ud800x")", "unexpected end of hex escape at line 1 column 8"},
      {R"("\ud800\n")", "unexpected end of hex escape at line 1 column 9"},
      {R"("\ud800")", "unexpected end of hex escape at line 1 column 8"},
      {R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
      {R"("\ud800\ud800")", "lone leading surrogate in hex escape at line 1 column 13"},
      // Lines count line feeds only; a carriage return is part of the line.
      {"{\n  \"a\": 1,\n  \"b\" 2\n}", "expected `:` at line 3 column 7"},
      {"{\r\n\"a\":1,\r\n\"b\":2,\r\n}", "trailing comma at line 4 column 1"},
  };
  for (const Case& c : cases) {
    bool at_eof = true;
    EXPECT_EQ(error_of(c.text, whole_value, &at_eof), c.error) << c.text;
    EXPECT_FALSE(at_eof) << c.text;
  }
}

TEST(JsonReaderTest, DecoderErrorsAreLocatedAtTheCurrentPosition) {
  const std::array<std::string_view, 3> kinds = {"interval", "cron", "once"};
  struct Case {
    const char* text;
    Steps read;
    const char* error;
  };
  const Case cases[] = {
      {R"({"a":1})",
       [](Reader& r) -> ReadResult<void> {
         if (auto ok = r.skip_value(); !ok) return ok;
         return std::unexpected(r.missing_field("spec"));
       },
       "missing field `spec` at line 1 column 7"},
      {R"({"a":1,"a":2})",
       [](Reader& r) -> ReadResult<void> {
         if (auto ok = r.begin_object("a map"); !ok) return ok;
         if (auto ok = drop(r.next_key()); !ok) return ok;
         if (auto ok = r.skip_value(); !ok) return ok;
         if (auto ok = drop(r.next_key()); !ok) return ok;
         return std::unexpected(r.duplicate_field("a"));
       },
       "duplicate field `a` at line 1 column 11"},
      {"{\n\"kind\": \"weekly\"\n}",
       [](Reader& r) -> ReadResult<void> {
         if (auto ok = r.begin_object("a map"); !ok) return ok;
         if (auto ok = drop(r.next_key()); !ok) return ok;
         auto kind = r.read_string();
         if (!kind) return drop(kind);
         static constexpr std::array<std::string_view, 3> kKinds = {"interval", "cron", "once"};
         return std::unexpected(r.unknown_variant(*kind, kKinds));
       },
       "unknown variant `weekly`, expected one of `interval`, `cron`, `once` at line 2 column 16"},
      {"7",
       [](Reader& r) -> ReadResult<void> {
         if (auto ok = drop(r.read_u8()); !ok) return ok;
         return std::unexpected(r.invalid_value("integer `7`", "a weekday from 0 to 6"));
       },
       "invalid value: integer `7`, expected a weekday from 0 to 6 at line 1 column 1"},
      {"[]",
       [](Reader& r) -> ReadResult<void> { return std::unexpected(r.custom("nothing read yet")); },
       "nothing read yet at line 1 column 0"},
  };
  for (const Case& c : cases) {
    bool at_eof = true;
    EXPECT_EQ(error_of(c.text, c.read, &at_eof), c.error) << c.text;
    EXPECT_FALSE(at_eof) << c.text;
  }

  Reader r("\"x\"");
  const std::span<const std::string_view> all(kinds);
  EXPECT_EQ(r.unknown_variant("x", all.first(2)).message, "unknown variant `x`, expected `interval` or `cron` at line 1 column 0");
  EXPECT_EQ(r.unknown_variant("x", all.first(1)).message, "unknown variant `x`, expected `interval` at line 1 column 0");
  EXPECT_EQ(r.unknown_variant("x", all.first(0)).message, "unknown variant `x`, there are no variants at line 1 column 0");
}

TEST(JsonReaderTest, NestingIsLimitedTo128Levels) {
  struct Case {
    std::string text;
    const char* error;
  };
  const Case cases[] = {
      {nested("[", "]", 128), ""},
      {nested("{\"a\":", "}", 128, "0"), ""},
      {nested("[", "]", 129), "recursion limit exceeded at line 1 column 129"},
      {nested("{\"a\":", "}", 129, "0"), "recursion limit exceeded at line 1 column 641"},
      {std::string(100000, '['), "recursion limit exceeded at line 1 column 129"},
      {nested("[{\"k\":", "}]", 50000, "0"), "recursion limit exceeded at line 1 column 385"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.text, whole_value), c.error) << c.text.substr(0, 20);
}

// Each proper prefix of a valid document ends the input where something is
// still due, so it must be refused as an end-of-input fault located at the
// cut, for every way of cutting it.
TEST(JsonReaderTest, EveryPrefixOfADocumentIsAnEndOfInputFault) {
  const std::string_view documents[] = {
      R"({"v":1,"id":"tmr_\u00e9\ud83d\ude00","n":-12.5e+3,"list":[true,false,null,{}],"o":{"k":[]},"z":0})",
      "{\n  \"a\": [\n    1,\n    2.0\n  ],\n  \"b\": \"x\\ny\"\n}",
  };
  for (const std::string_view document : documents) {
    ASSERT_EQ(error_of(document, whole_value), "");
    for (std::size_t cut = 0; cut < document.size(); ++cut) {
      const std::string_view prefix = document.substr(0, cut);
      const std::size_t line_start = prefix.rfind('\n') == std::string_view::npos ? 0 : prefix.rfind('\n') + 1;
      bool at_eof = false;
      const std::string error = error_of(prefix, whole_value, &at_eof);
      EXPECT_TRUE(at_eof) << prefix << " -> " << error;
      EXPECT_TRUE(error.starts_with("EOF while parsing ")) << prefix << " -> " << error;
      const std::string where = " at line " + std::to_string(std::count(prefix.begin(), prefix.end(), '\n') + 1) +
                                " column " + std::to_string(cut - line_start);
      EXPECT_TRUE(error.ends_with(where)) << prefix << " -> " << error;
    }
  }
}

// Random bytes and random runs of JSON-like tokens: the reader must answer
// every text with a value or a located error, reading nowhere outside it.
TEST(JsonReaderTest, HostileInputGivesLocatedErrors) {
  static const std::regex kLocated(".* at line [1-9][0-9]* column [0-9]+");
  static constexpr std::string_view kTokens[] = {
      "[", "]", "{", "}", ",", ":", "\"", "\"k\"", "\\", "\\u", "\\ud83d", "\\n", "0", "-", "1", "9", ".", "e",
      "+", "true", "nul", " ", "\n", "\x01", "\xff", "{\"a\":", "[1,", "\"s\"", "1.5", "]]", "}}",
  };
  std::mt19937 random(20260314);
  std::size_t total = 0;
  int accepted = 0;
  while (total < 10'000'000) {
    std::string text;
    const std::size_t length = 1 + random() % (random() % 4 == 0 ? 8 : 2000);
    if (random() % 2 == 0) {
      for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(random()));
    } else {
      while (text.size() < length) text += kTokens[random() % std::size(kTokens)];
    }
    total += text.size();
    // Ownership of exactly the text: any read past it is caught under ASan.
    const std::unique_ptr<char[]> exact(new char[text.size()]);
    std::copy(text.begin(), text.end(), exact.get());
    const std::string error = error_of(std::string_view(exact.get(), text.size()), whole_value);
    if (error.empty()) {
      ++accepted;
    } else {
      ASSERT_TRUE(std::regex_match(error, kLocated)) << error;
    }
  }
  // Short token runs like "1" or "\"k\"" are valid now and then.
  EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace vesk::json
