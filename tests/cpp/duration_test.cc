#include "timer/duration.h"

#include <gtest/gtest.h>

#include "utf8.h"

namespace vesk {
namespace {

TEST(DurationTest, ReadsNumberAndUnit) {
  struct Case {
    const char* text;
    std::uint64_t seconds;
  };
  const Case cases[] = {
      {"90s", 90},
      {"5m", 300},
      {"2h", 7200},
      {"1d", 86400},
      {" +7m ", 420},
      {"0s", 0},
      {"007s", 7},
      {"\t\n12s\r\n", 12},
      {"\u00a05m\u3000", 300},  // non-ASCII white space is trimmed too
      {"\u20285m\u2029", 300},
      {"18446744073709551615s", 18446744073709551615ull},
      {"307445734561825860m", 18446744073709551600ull},
      {"213503982334601d", 213503982334601ull * 86400},
  };
  for (const Case& c : cases) {
    const auto parsed = parse_duration(c.text);
    ASSERT_TRUE(parsed) << c.text << ": " << parsed.error().message();
    EXPECT_EQ(*parsed, c.seconds) << c.text;
  }
}

TEST(DurationTest, ErrorsQuoteTheTrimmedText) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"5", "invalid cron expression: duration must end with s/m/h/d: 5"},
      {"5M", "invalid cron expression: duration must end with s/m/h/d: 5M"},
      {"", "invalid cron expression: duration must end with s/m/h/d: "},
      {"   ", "invalid cron expression: duration must end with s/m/h/d: "},
      {" 5 ", "invalid cron expression: duration must end with s/m/h/d: 5"},
      {"5ms", "invalid cron expression: invalid duration: 5ms"},
      {"s", "invalid cron expression: invalid duration: s"},
      {"+s", "invalid cron expression: invalid duration: +s"},
      {"-5m", "invalid cron expression: invalid duration: -5m"},
      {"-s", "invalid cron expression: invalid duration: -s"},
      {"1.5h", "invalid cron expression: invalid duration: 1.5h"},
      {"5 m", "invalid cron expression: invalid duration: 5 m"},
      {"++5s", "invalid cron expression: invalid duration: ++5s"},
      {"\u0665s", "invalid cron expression: invalid duration: \u0665s"},  // a non-ASCII digit
      {"18446744073709551616s", "invalid cron expression: invalid duration: 18446744073709551616s"},
      {"99999999999999999999999s", "invalid cron expression: invalid duration: 99999999999999999999999s"},
      // The product of number and unit would not fit 64 bits.
      {"307445734561825861m", "invalid cron expression: invalid duration: 307445734561825861m"},
      {"213503982334602d", "invalid cron expression: invalid duration: 213503982334602d"},
  };
  for (const Case& c : cases) {
    const auto parsed = parse_duration(c.text);
    ASSERT_FALSE(parsed) << c.text;
    EXPECT_EQ(parsed.error().kind(), ErrorKind::kInvalidCron);
    EXPECT_EQ(parsed.error().message(), c.message);
  }
}

TEST(DurationTest, TrimLeavesBrokenUtf8Alone) {
  EXPECT_EQ(trim_unicode_space("\xC2 5s \xA0"), "\xC2 5s \xA0");
  EXPECT_EQ(trim_unicode_space("\xE3\x80"), "\xE3\x80");  // a cut-off ideographic space
}

}  // namespace
}  // namespace vesk
