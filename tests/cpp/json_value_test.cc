#include "json/value.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace vesk::json {
namespace {

TEST(JsonValueTest, NumbersKeepTheirForm) {
  struct Case {
    const char* text;
    Value value;
  };
  const Case cases[] = {
      {"0", Value(std::uint64_t{0})},
      {"18446744073709551615", Value(std::numeric_limits<std::uint64_t>::max())},
      {"18446744073709551616", Value(18446744073709551616.0)},
      {"-1", Value(std::int64_t{-1})},
      {"-9223372036854775808", Value(std::numeric_limits<std::int64_t>::min())},
      {"-9223372036854775809", Value(-9223372036854775809.0)},
      {"1.0", Value(1.0)},
      {"2.5e-3", Value(0.0025)},
      {"1e-400", Value(0.0)},
  };
  for (const Case& c : cases) {
    const auto parsed = parse(c.text);
    ASSERT_TRUE(parsed) << c.text << ": " << parsed.error().message;
    EXPECT_EQ(parsed->storage().index(), c.value.storage().index()) << c.text;
    EXPECT_EQ(*parsed, c.value) << c.text;
  }
  const auto negative_zero = parse("-0");
  ASSERT_TRUE(negative_zero && negative_zero->is<double>());
  EXPECT_TRUE(std::signbit(negative_zero->as<double>()));
  EXPECT_EQ(to_string(*negative_zero), "-0.0");
}

TEST(JsonValueTest, BuiltIntegersUseTheSameForms) {
  EXPECT_TRUE(Value(5).is<std::uint64_t>());
  EXPECT_TRUE(Value(std::int64_t{0}).is<std::uint64_t>());
  EXPECT_TRUE(Value(-5).is<std::int64_t>());
  EXPECT_TRUE(Value(5u).is<std::uint64_t>());
  EXPECT_EQ(Value(7), parse("7").value());
  EXPECT_EQ(Value(-7), parse("-7").value());
}

TEST(JsonValueTest, ObjectsAreSortedByKeyBytesAtEveryDepth) {
  const auto value =
      parse(R"({"b":{"z":1,"a":2,"\u00e9":3,"Z":4},"a":[{"d":1,"c":2}],"\u00e9":0,"Z":0,"":[]})");
  ASSERT_TRUE(value) << value.error().message;
  EXPECT_EQ(to_string(*value),
            "{\"\":[],\"Z\":0,\"a\":[{\"c\":2,\"d\":1}],\"b\":{\"Z\":4,\"a\":2,\"z\":1,\"\u00e9\":3},\"\u00e9\":0}");
}

TEST(JsonValueTest, DuplicateKeysKeepTheLaterValue) {
  EXPECT_EQ(to_string(parse(R"({"a":1,"b":2,"a":{"x":3}})").value()), R"({"a":{"x":3},"b":2})");
}

TEST(JsonValueTest, PrettyLayout) {
  const auto value = parse(R"({"d":{},"b":{"c":[]},"a":1,"e":[1,[true,null],{"k":"v"}]})");
  ASSERT_TRUE(value);
  EXPECT_EQ(to_string(*value, Style::kPretty),
            "{\n"
            "  \"a\": 1,\n"
            "  \"b\": {\n"
            "    \"c\": []\n"
            "  },\n"
            "  \"d\": {},\n"
            "  \"e\": [\n"
            "    1,\n"
            "    [\n"
            "      true,\n"
            "      null\n"
            "    ],\n"
            "    {\n"
            "      \"k\": \"v\"\n"
            "    }\n"
            "  ]\n"
            "}");
}

TEST(JsonValueTest, RoundTripsThroughCompactAndPrettyText) {
  const char* documents[] = {
      "null",
      "true",
      "-12",
      "0.5",
      "1e300",
      R"("tab\there \"quoted\" \u0001 \u00e9 \ud83d\ude00 /")",
      "[]",
      "{}",
      R"([1,-1,1.5,18446744073709551615,-9223372036854775808,"s",[[]],{"":{}}])",
      R"({"id":"tmr_1","spec":{"kind":"cron","expr":"*/15 * * * *"},"runs":[{"n":1,"ok":false},{"n":2,"ok":null}]})",
  };
  for (const char* document : documents) {
    const auto value = parse(document);
    ASSERT_TRUE(value) << document << ": " << value.error().message;
    for (const Style style : {Style::kCompact, Style::kPretty}) {
      const std::string text = to_string(*value, style);
      const auto again = parse(text);
      ASSERT_TRUE(again) << text << ": " << again.error().message;
      EXPECT_EQ(*again, *value) << text;
      EXPECT_EQ(to_string(*again, style), text);
    }
  }
}

TEST(JsonValueTest, FindLooksUpObjectMembers) {
  const Value value = parse(R"({"a":{"b":[1]},"c":null})").value();
  ASSERT_NE(value.find("a"), nullptr);
  ASSERT_NE(value.find("a")->find("b"), nullptr);
  EXPECT_EQ(*value.find("a")->find("b"), Value(Array{Value(1)}));
  ASSERT_NE(value.find("c"), nullptr);
  EXPECT_TRUE(value.find("c")->is<std::nullptr_t>());
  EXPECT_EQ(value.find("missing"), nullptr);
  EXPECT_EQ(value.find("a")->find("b")->find("x"), nullptr);  // an array has no members
  EXPECT_EQ(Value("text").find("x"), nullptr);
}

TEST(JsonValueTest, ParseErrors) {
  struct Case {
    std::string text;
    const char* error;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {R"({"a":1} x)", "trailing characters at line 1 column 9"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[-1e400]", "number out of range at line 1 column 7"},
      {"{\n\"a\": [1,\n\"b\": 2]}", "expected `,` or `]` at line 3 column 4"},
      {std::string(128, '[') + std::string(128, ']'), ""},
      {std::string(129, '[') + std::string(129, ']'), "recursion limit exceeded at line 1 column 129"},
      {std::string(100000, '['), "recursion limit exceeded at line 1 column 129"},
  };
  for (const Case& c : cases) {
    const auto value = parse(c.text);
    EXPECT_EQ(value ? "" : value.error().message, c.error) << c.text.substr(0, 20);
  }
}

TEST(JsonValueTest, ReadValueContinuesAPositionedReader) {
  Reader r(R"({"data":{"x":[1,2]},"after":3})");
  ASSERT_TRUE(r.begin_object("a map"));
  EXPECT_EQ(r.next_key().value(), "data");
  const auto data = read_value(r);
  ASSERT_TRUE(data);
  EXPECT_EQ(to_string(*data), R"({"x":[1,2]})");
  EXPECT_EQ(r.next_key().value(), "after");
  EXPECT_EQ(r.read_u8().value(), 3);
  EXPECT_EQ(r.next_key().value(), std::nullopt);
  EXPECT_TRUE(r.finish());
}

}  // namespace
}  // namespace vesk::json
