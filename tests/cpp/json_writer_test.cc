#include "json/writer.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace vesk::json {
namespace {

std::string escaped(std::string_view text) {
  std::string out;
  append_escaped(out, text);
  return out;
}

std::string f64_text(double value) {
  std::string out;
  Writer(out).f64(value);
  return out;
}

TEST(JsonWriterTest, EscapesQuotesBackslashesAndControlCharacters) {
  struct Case {
    std::string_view text;
    const char* json;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"plain", R"("plain")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string_view("\0", 1), R"("\u0000")"},
      {"\x01\x0b\x1a\x1f", R"("\u0001\u000b\u001a\u001f")"},
      {"\x7f", "\"\x7f\""},
      {"a/b", R"("a/b")"},
      {"\u00e9 \u20ac \U0001F600", "\"\u00e9 \u20ac \U0001F600\""},
      {"\xff\xfe\x80", "\"\xff\xfe\x80\""},
  };
  for (const Case& c : cases) EXPECT_EQ(escaped(c.text), c.json) << c.json;
}

// A byte needing an escape is found wherever it falls relative to the
// eight-byte steps of the scan, among high bytes that need none.
TEST(JsonWriterTest, EscapesAtEveryOffsetOfALongString) {
  for (std::size_t at = 0; at < 24; ++at) {
    for (const auto& [byte, escape] : {std::pair{'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\x1f', "\\u001f"}}) {
      std::string text(24, '\xc3');
      text[at] = byte;
      const std::string want = "\"" + std::string(at, '\xc3') + escape + std::string(23 - at, '\xc3') + "\"";
      EXPECT_EQ(escaped(text), want) << at << " " << static_cast<int>(byte);
    }
  }
}

TEST(JsonWriterTest, DoublesInShortestRoundTripForm) {
  struct Case {
    double value;
    const char* json;
  };
  const Case cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-1.0, "-1.0"},
      {1.5, "1.5"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      {100000.0, "100000.0"},
      {1e15, "1000000000000000.0"},
      {123456789012345.6, "123456789012345.6"},
      {1e16, "1e16"},
      {1.5e16, "1.5e16"},
      {1e300, "1e300"},
      {0.0001, "0.0001"},
      {0.00001, "0.00001"},
      {0.000012345, "0.000012345"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {-1.25e-10, "-1.25e-10"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const Case& c : cases) EXPECT_EQ(f64_text(c.value), c.json) << c.json;
}

TEST(JsonWriterTest, DoublesReadBackExactly) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    const std::string text = f64_text(value);
    double back = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(ec, std::errc()) << text;
    ASSERT_EQ(end, text.data() + text.size()) << text;
    ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
    // JSON grammar: a digit before any point, no '+' and no leading zero in exponents.
    ASSERT_EQ(text.find('+'), std::string::npos) << text;
    ASSERT_EQ(text.find("e0"), std::string::npos) << text;
    ASSERT_EQ(text.find("e-0"), std::string::npos) << text;
  }
}

TEST(JsonWriterTest, Integers) {
  std::string out;
  Writer w(out);
  w.begin_array();
  w.u64(0);
  w.u64(std::numeric_limits<std::uint64_t>::max());
  w.i64(-1);
  w.i64(std::numeric_limits<std::int64_t>::min());
  w.i64(std::numeric_limits<std::int64_t>::max());
  w.end_array();
  EXPECT_EQ(out, "[0,18446744073709551615,-1,-9223372036854775808,9223372036854775807]");
}

// The same calls in both styles.
void write_sample(Writer& w) {
  w.begin_object();
  w.key("zeta");  // members keep the order of writing
  w.u64(1);
  w.key("b");
  w.begin_object();
  w.key("c");
  w.begin_array();
  w.end_array();
  w.key("list");
  w.begin_array();
  w.string("x");
  w.begin_object();
  w.end_object();
  w.boolean(false);
  w.end_array();
  w.end_object();
  w.key("d");
  w.begin_object();
  w.end_object();
  w.key("raw");
  w.raw(R"({"pre":"encoded"})");
  w.key("n");
  w.null();
  w.end_object();
}

TEST(JsonWriterTest, CompactAndPrettyLayouts) {
  std::string compact;
  Writer c(compact);
  write_sample(c);
  EXPECT_EQ(compact, R"({"zeta":1,"b":{"c":[],"list":["x",{},false]},"d":{},"raw":{"pre":"encoded"},"n":null})");

  std::string pretty;
  Writer p(pretty, Style::kPretty);
  write_sample(p);
  EXPECT_EQ(pretty,
            "{\n"
            "  \"zeta\": 1,\n"
            "  \"b\": {\n"
            "    \"c\": [],\n"
            "    \"list\": [\n"
            "      \"x\",\n"
            "      {},\n"
            "      false\n"
            "    ]\n"
            "  },\n"
            "  \"d\": {},\n"
            "  \"raw\": {\"pre\":\"encoded\"},\n"
            "  \"n\": null\n"
            "}");
}

TEST(JsonWriterTest, TopLevelValuesAndEmptyContainers) {
  struct Case {
    void (*write)(Writer&);
    const char* compact;
    const char* pretty;
  };
  const Case cases[] = {
      {[](Writer& w) { w.string("a\tb"); }, R"("a\tb")", R"("a\tb")"},
      {[](Writer& w) { w.boolean(true); }, "true", "true"},
      {[](Writer& w) { w.null(); }, "null", "null"},
      {[](Writer& w) { w.raw("[1, 2]"); }, "[1, 2]", "[1, 2]"},
      {[](Writer& w) { w.begin_array(); w.end_array(); }, "[]", "[]"},
      {[](Writer& w) { w.begin_object(); w.end_object(); }, "{}", "{}"},
      {[](Writer& w) { w.begin_array(); w.raw("1"); w.raw("2"); w.end_array(); }, "[1,2]", "[\n  1,\n  2\n]"},
      {[](Writer& w) { w.begin_array(); w.begin_array(); w.end_array(); w.begin_array(); w.end_array(); w.end_array(); },
       "[[],[]]", "[\n  [],\n  []\n]"},
      {[](Writer& w) { w.begin_object(); w.key("k\n"); w.f64(2.0); w.end_object(); }, R"({"k\n":2.0})",
       "{\n  \"k\\n\": 2.0\n}"},
  };
  for (const Case& c : cases) {
    std::string compact;
    Writer cw(compact);
    c.write(cw);
    EXPECT_EQ(compact, c.compact);
    std::string pretty;
    Writer pw(pretty, Style::kPretty);
    c.write(pw);
    EXPECT_EQ(pretty, c.pretty);
  }
}

TEST(JsonWriterTest, AppendsToExistingText) {
  std::string out = "prefix ";
  Writer w(out);
  w.begin_array();
  w.u64(1);
  w.end_array();
  EXPECT_EQ(out, "prefix [1]");
}

}  // namespace
}  // namespace vesk::json
