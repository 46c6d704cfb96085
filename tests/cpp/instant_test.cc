#include "time/instant.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace vesk {
namespace {

using testing::at;

TEST(InstantTextTest, FractionUsesTheFewestExactDigits) {
  const Instant base = at("2026-03-03T01:30:00Z");
  struct Case {
    std::uint32_t nanos;
    const char* z;
    const char* plus_zero;
  };
  const Case cases[] = {
      {0, "2026-03-03T01:30:00Z", "2026-03-03T01:30:00+00:00"},
      {1'000'000, "2026-03-03T01:30:00.001Z", "2026-03-03T01:30:00.001+00:00"},
      {250'000'000, "2026-03-03T01:30:00.250Z", "2026-03-03T01:30:00.250+00:00"},
      {1'200'000, "2026-03-03T01:30:00.001200Z", "2026-03-03T01:30:00.001200+00:00"},
      {1'000, "2026-03-03T01:30:00.000001Z", "2026-03-03T01:30:00.000001+00:00"},
      {1, "2026-03-03T01:30:00.000000001Z", "2026-03-03T01:30:00.000000001+00:00"},
      {999'999'999, "2026-03-03T01:30:00.999999999Z", "2026-03-03T01:30:00.999999999+00:00"},
  };
  for (const Case& c : cases) {
    const Instant instant{base.seconds, c.nanos};
    EXPECT_EQ(format_rfc3339(instant), c.z);
    EXPECT_EQ(format_rfc3339(instant, UtcSuffix::kPlusZero), c.plus_zero);
    EXPECT_EQ(parse_rfc3339(c.z), instant) << c.z;
  }
}

TEST(InstantTextTest, CalendarEdgesAndOutOfRangeYears) {
  EXPECT_EQ(format_rfc3339(Instant{}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(format_rfc3339(Instant{-1, 0}), "1969-12-31T23:59:59Z");
  EXPECT_EQ(format_rfc3339(Instant::kMin), "0000-01-01T00:00:00Z");
  EXPECT_EQ(format_rfc3339(Instant::kMax), "9999-12-31T23:59:59.999999999Z");
  EXPECT_EQ(format_rfc3339(at("2024-02-29T12:00:00Z")), "2024-02-29T12:00:00Z");
  EXPECT_EQ(format_rfc3339(Instant{Instant::kMax.seconds + 1, 0}), "+10000-01-01T00:00:00Z");
  EXPECT_EQ(format_rfc3339(Instant{Instant::kMin.seconds - 86400 * 365, 0}), "-0001-01-01T00:00:00Z");
}

TEST(InstantTextTest, LeapSecondIsWrittenAsSecondSixty) {
  const auto leap = parse_rfc3339("2016-12-31T23:59:60.5Z");
  ASSERT_TRUE(leap);
  EXPECT_EQ(format_rfc3339(*leap), "2016-12-31T23:59:60.500Z");
  EXPECT_LT(*leap, at("2017-01-01T00:00:00Z"));
  EXPECT_GT(*leap, at("2016-12-31T23:59:59.999Z"));
}

TEST(InstantTextTest, ReadsAnyRfc3339Form) {
  struct Case {
    const char* text;
    const char* utc;
  };
  const Case cases[] = {
      {"2026-03-02T10:00:00+02:00", "2026-03-02T08:00:00Z"},
      {"2026-03-02T10:00:00-05:30", "2026-03-02T15:30:00Z"},
      {"2026-03-02t08:00:00z", "2026-03-02T08:00:00Z"},
      {"2026-03-02 08:00:00Z", "2026-03-02T08:00:00Z"},
      {"2026-03-02T08:00:00.5Z", "2026-03-02T08:00:00.500Z"},
      {"2026-03-02T08:00:00.1234567891234Z", "2026-03-02T08:00:00.123456789Z"},
      {"2026-12-31T23:30:00-01:00", "2027-01-01T00:30:00Z"},
  };
  for (const Case& c : cases) {
    const auto parsed = parse_rfc3339(c.text);
    ASSERT_TRUE(parsed) << c.text;
    EXPECT_EQ(format_rfc3339(*parsed), c.utc) << c.text;
  }
}

TEST(InstantTextTest, RejectsWhatIsNotAnRfc3339DateTime) {
  using enum Rfc3339Problem;
  const struct {
    const char* text;
    Rfc3339Problem problem;  // the first one met reading left to right
  } cases[] = {
      {"", kPrematureEnd},
      {"2026-03-02", kPrematureEnd},
      {"2026-03-02T08:00:00", kPrematureEnd},  // no offset
      {"2026-03-02T08:00Z", kInvalid},         // no seconds
      {"2026-3-02T08:00:00Z", kInvalid},
      {"2026-02-29T08:00:00Z", kImpossible},   // not a leap year
      {"2026-04-31T08:00:00Z", kImpossible},
      {"2026-04-31T08:00:00Zx", kTrailing},    // trailing input is met first
      {"2026-13-01T08:00:00Z", kOutOfRange},
      {"2026-13-01T08:00", kOutOfRange},       // out of range before cut short
      {"2026-00-01T08:00:00Z", kOutOfRange},
      {"2026-03-02T24:00:00Z", kOutOfRange},
      {"2026-03-02T08:60:00Z", kOutOfRange},
      {"2026-03-02T08:00:61Z", kOutOfRange},
      {"2026-03-02T08:00:00.Z", kInvalid},
      {"2026-03-02T08:00:00.", kPrematureEnd},
      {"2026-03-02T08:00:00+02", kPrematureEnd},
      {"2026-03-02T08:00:00+0200", kInvalid},
      {"2026-03-02T08:00:00+24:00", kOutOfRange},
      {"2026-03-02T08:00:00Zjunk", kTrailing},
      {" 2026-03-02T08:00:00Z", kInvalid},
      {"0000-01-01T00:00:00+01:00", kOutOfRange},  // before year 0 in UTC
      {"+2026-03-02T08:00:00Z", kInvalid},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(parse_rfc3339(c.text)) << c.text;
    const auto read = read_rfc3339(c.text);
    ASSERT_FALSE(read) << c.text;
    EXPECT_EQ(read.error(), c.problem) << c.text;
  }
}

TEST(InstantArithmeticTest, AddSecondsStopsAtTheRepresentableRange) {
  EXPECT_EQ(add_seconds(at("2026-03-02T08:00:00.5Z"), 90), at("2026-03-02T08:01:30.5Z"));
  EXPECT_EQ(add_seconds(Instant{Instant::kMax.seconds - 1, 0}, 1), (Instant{Instant::kMax.seconds, 0}));
  EXPECT_FALSE(add_seconds(Instant{Instant::kMax.seconds - 1, 0}, 2));
  EXPECT_FALSE(add_seconds(Instant{}, 9'223'372'036'854'776ull));
  EXPECT_FALSE(add_seconds(Instant{}, UINT64_MAX));
  EXPECT_FALSE(add_seconds(Instant{Instant::kMin.seconds, 0}, UINT64_MAX));
}

TEST(InstantArithmeticTest, WholeMillisBetweenRoundTowardZero) {
  const struct {
    const char* from;
    const char* to;
    std::int64_t millis;
  } cases[] = {
      {"2026-03-02T10:00:00.9996Z", "2026-03-02T10:00:01Z", 0},  // 0.4 ms, across a second
      {"2026-03-02T10:00:00.5Z", "2026-03-02T10:00:02.4999Z", 1999},
      {"2026-03-02T10:00:01Z", "2026-03-02T10:00:00.9996Z", 0},  // -0.4 ms
      {"2026-03-02T10:00:02Z", "2026-03-02T10:00:00.5Z", -1500},
      {"0000-01-01T00:00:00Z", "9999-12-31T23:59:59.999Z", 315569519999999},
  };
  for (const auto& c : cases) EXPECT_EQ(whole_millis_between(at(c.from), at(c.to)), c.millis) << c.from << " " << c.to;
}

TEST(InstantArithmeticTest, UnixMillis) {
  EXPECT_EQ(unix_millis(at("1970-01-01T00:00:01.999999Z")), 1999u);
  EXPECT_EQ(unix_millis(at("1969-12-31T00:00:00Z")), 0u);
}

}  // namespace
}  // namespace vesk
