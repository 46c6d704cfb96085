#include "timer/cron.h"

#include <string>

#include <gtest/gtest.h>

#include "test_support.h"
#include "time/zone.h"

namespace vesk {
namespace {

using testing::at;
using testing::text_of;

std::uint64_t bits(std::initializer_list<int> values) {
  std::uint64_t out = 0;
  for (const int v : values) out |= std::uint64_t{1} << v;
  return out;
}

TEST(CronParseTest, FieldSets) {
  struct Case {
    const char* text;
    std::uint64_t minutes, hours, days, months, weekdays;
  };
  const std::uint64_t all_minutes = (std::uint64_t{1} << 60) - 1;
  const std::uint64_t all_hours = (1u << 24) - 1;
  const std::uint64_t all_days = ((std::uint64_t{1} << 32) - 1) & ~std::uint64_t{1};
  const std::uint64_t all_months = bits({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  const std::uint64_t all_weekdays = bits({1, 2, 3, 4, 5, 6, 7});
  const Case cases[] = {
      {"* * * * *", all_minutes, all_hours, all_days, all_months, all_weekdays},
      {"*/15 * ? * ?", bits({0, 15, 30, 45}), all_hours, all_days, all_months, all_weekdays},
      {"5/15 0 1 1 1", bits({5, 20, 35, 50}), bits({0}), bits({1}), bits({1}), bits({1})},
      {"10-30/10 23 31 12 7", bits({10, 20, 30}), bits({23}), bits({31}), bits({12}), bits({7})},
      {"0 0 */10 */3 */2", bits({0}), bits({0}), bits({1, 11, 21, 31}), bits({1, 4, 7, 10}), bits({1, 3, 5, 7})},
      {"0 9-17/4 ?/15 jan-mar/2 mon-fri/2", bits({0}), bits({9, 13, 17}), bits({1, 16, 31}), bits({1, 3}),
       bits({2, 4, 6})},
      {"1,2,3-5,59 0,23 1,31 feb,DEC,Jun 1,SAT", bits({1, 2, 3, 4, 5, 59}), bits({0, 23}), bits({1, 31}),
       bits({2, 6, 12}), bits({1, 7})},
      {"0 0 * January-February sunday-Tuesday", bits({0}), bits({0}), all_days, bits({1, 2}), bits({1, 2, 3})},
      {"0 0 * * tues,thurs,wednesday,friday,thu", bits({0}), bits({0}), all_days, all_months, bits({3, 4, 5, 6})},
      {"0 0 * * */100", bits({0}), bits({0}), all_days, all_months, bits({1})},
      {"58/5 22/3 30/5 11/3 6/4", bits({58}), bits({22}), bits({30}), bits({11}), bits({6})},
      {"00 09 01 01 01", bits({0}), bits({9}), bits({1}), bits({1}), bits({1})},
      {"  \t0\n0\r\n1 1   1  ", bits({0}), bits({0}), bits({1}), bits({1}), bits({1})},
  };
  for (const Case& c : cases) {
    const auto expr = parse_cron(c.text);
    ASSERT_TRUE(expr) << c.text;
    EXPECT_EQ(expr->minutes, c.minutes) << c.text;
    EXPECT_EQ(expr->hours, c.hours) << c.text;
    EXPECT_EQ(expr->days, c.days) << c.text;
    EXPECT_EQ(expr->months, c.months) << c.text;
    EXPECT_EQ(expr->weekdays, c.weekdays) << c.text;
  }
}

TEST(CronParseTest, NamesIgnoreCase) {
  EXPECT_EQ(parse_cron("0 9 * * MON"), parse_cron("0 9 * * mon"));
  EXPECT_EQ(parse_cron("0 9 * * Mon"), parse_cron("0 9 * * 2"));
  EXPECT_EQ(parse_cron("0 9 * SEPTEMBER *"), parse_cron("0 9 * 9 *"));
}

TEST(CronParseTest, InvalidExpressions) {
  const std::string many_items = [] {
    std::string s;
    for (int i = 0; i < 3000; ++i) s += "0,";
    return s + "0 * * * *";
  }();
  const std::string huge_text = std::string(5000, ' ') + "* * * * *";
  const std::string cases[] = {
      // values outside their field
      "0 9 * * 0", "0 9 * * 8", "60 * * * *", "* 24 * * *", "* * 0 * *", "* * 32 * *", "* * * 13 *",
      "* * * 0 *", "99999999999999999999 * * * *", "4294967296 * * * *", "* * * * */4294967296",
      // ranges and steps
      "5-1 * * * *", "* * * jan-mar/0 *", "*/0 * * * *", "*/ * * * *", "/5 * * * *", "1- * * * *",
      "-1 * * * *", "1-2-3 * * * *", "+1 * * * *", "1-60 * * * *", "* * * * mon-5", "* * * * 2-fri",
      "* * * jan/2 *", "* * * * 2-1/1",
      // names where they do not belong, or unknown
      "0 9 mon * *", "jan * * * *", "0 9 * jan-foo *", "0 9 * sept *", "0 9 * * thur", "0 9 * * mo",
      "0 9 * mon *", "0 9 * * jan",
      // "?" outside the day fields
      "? * * * *", "* ? * * *", "* * * ? *",
      // empty items and stray characters
      ",5 * * * *", "5, * * * *", "5,,6 * * * *", "5;6 * * * *", "L * * * *", "0 0 L * *", "0 9 * * 1#2",
      "0 0 15W * *", "** * * * *", "*5 * * * *", "0x10 * * * *", "1.5 * * * *",
      // non-ASCII and other white space
      "0 9 * * m\xC3\xB6n", "\xEF\xBC\x90 * * * *", "0\v9 * * * *", "0\f9 * * * *", "0\xC2\xA0" "9 * * *",
      // field counts and shorthands
      "", "   ", "* * * *", "* * * * * *", "0 */5 * * * *", "* * * * * 2026", "@daily", "@hourly", "@yearly",
      "@weekly", "@monthly", "@reboot",
      // hostile sizes
      many_items, huge_text,
  };
  for (const std::string& text : cases) EXPECT_FALSE(parse_cron(text)) << '"' << text << '"';
}

struct Occurrence {
  const char* expr;
  const char* zone;
  const char* after;
  const char* next;  // "none" when there is none
};

class CronOccurrenceTest : public ::testing::TestWithParam<Occurrence> {};

TEST_P(CronOccurrenceTest, FirstOccurrenceStrictlyAfter) {
  const Occurrence& c = GetParam();
  const auto expr = parse_cron(c.expr);
  ASSERT_TRUE(expr) << c.expr;
  const auto zone = lookup_zone(c.zone);
  ASSERT_TRUE(zone) << c.zone;
  EXPECT_EQ(text_of(next_occurrence(*expr, *zone, at(c.after))), c.next)
      << c.expr << " in " << c.zone << " after " << c.after;
}

INSTANTIATE_TEST_SUITE_P(
    Utc, CronOccurrenceTest,
    ::testing::Values(
        Occurrence{"*/15 * * * *", "UTC", "2026-03-02T10:07:30Z", "2026-03-02T10:15:00Z"},
        Occurrence{"*/15 * * * *", "UTC", "2026-03-02T10:15:00Z", "2026-03-02T10:30:00Z"},
        Occurrence{"*/15 * * * *", "UTC", "2026-03-02T10:14:59.999999999Z", "2026-03-02T10:15:00Z"},
        Occurrence{"*/15 * * * *", "UTC", "2026-03-02T23:50:00Z", "2026-03-03T00:00:00Z"},
        Occurrence{"* * * * *", "UTC", "2026-12-31T23:59:00Z", "2027-01-01T00:00:00Z"},
        // 2026-12-11 is a Friday; day-of-week 2 is Monday, 1-5 is Sunday to Thursday
        Occurrence{"0 9 * * 2", "UTC", "2026-12-11T10:00:00Z", "2026-12-14T09:00:00Z"},
        Occurrence{"0 9 * * 1-5", "UTC", "2026-12-11T10:00:00Z", "2026-12-13T09:00:00Z"},
        Occurrence{"0 9 * * mon-fri", "UTC", "2026-12-11T10:00:00Z", "2026-12-14T09:00:00Z"},
        Occurrence{"0 9 * * mon-fri", "UTC", "2026-12-11T08:59:59Z", "2026-12-11T09:00:00Z"},
        // day of month and day of week must both hold
        Occurrence{"0 9 1 * 2", "UTC", "2026-12-11T00:00:00Z", "2027-02-01T09:00:00Z"},
        Occurrence{"0 9 1 * ?", "UTC", "2026-12-11T00:00:00Z", "2027-01-01T09:00:00Z"},
        Occurrence{"0 9 13 * fri", "UTC", "2026-12-11T00:00:00Z", "2027-08-13T09:00:00Z"},
        // month lengths and leap years
        Occurrence{"0 0 31 * *", "UTC", "2026-04-01T00:00:00Z", "2026-05-31T00:00:00Z"},
        Occurrence{"0 0 31 * *", "UTC", "2026-05-31T00:00:00Z", "2026-07-31T00:00:00Z"},
        Occurrence{"0 0 31 * *", "UTC", "2026-07-31T00:00:00Z", "2026-08-31T00:00:00Z"},
        Occurrence{"0 0 29 2 *", "UTC", "2026-01-01T00:00:00Z", "2028-02-29T00:00:00Z"},
        Occurrence{"0 0 29 2 *", "UTC", "2096-03-01T00:00:00Z", "none"},  // 2100 is no leap year
        Occurrence{"0 0 30 2 *", "UTC", "2026-01-01T00:00:00Z", "none"},
        Occurrence{"0 0 31 4,6,9,11 *", "UTC", "1970-01-01T00:00:00Z", "none"},
        Occurrence{"0 0 29 2 1", "UTC", "2026-01-01T00:00:00Z", "2032-02-29T00:00:00Z"},
        Occurrence{"0 0 29 2 1", "UTC", "2032-02-29T00:00:00Z", "2060-02-29T00:00:00Z"},
        Occurrence{"0 0 1 jan-mar/2 *", "UTC", "2026-01-02T00:00:00Z", "2026-03-01T00:00:00Z"},
        // the 1970 to 2100 window
        Occurrence{"59 23 31 12 *", "UTC", "2100-12-31T23:58:00Z", "2100-12-31T23:59:00Z"},
        Occurrence{"59 23 31 12 *", "UTC", "2100-12-31T23:59:00Z", "none"},
        Occurrence{"* * * * *", "UTC", "2100-12-31T23:59:00Z", "none"},
        Occurrence{"* * * * *", "UTC", "2200-06-01T00:00:00Z", "none"},
        Occurrence{"0 0 1 1 *", "UTC", "1960-06-01T00:00:00Z", "1970-01-01T00:00:00Z"},
        Occurrence{"* * * * *", "UTC", "9999-12-31T23:59:59.999999999Z", "none"}));

INSTANTIATE_TEST_SUITE_P(
    DaylightSaving, CronOccurrenceTest,
    ::testing::Values(
        Occurrence{"0 9 * * *", "Europe/Paris", "2026-01-10T00:00:00Z", "2026-01-10T08:00:00Z"},
        Occurrence{"0 9 * * *", "Europe/Paris", "2026-07-10T00:00:00Z", "2026-07-10T07:00:00Z"},
        Occurrence{"0 12 * * *", "Europe/Paris", "2090-07-10T00:00:00Z", "2090-07-10T10:00:00Z"},
        Occurrence{"0 12 * * *", "Europe/Paris", "2100-12-31T00:00:00Z", "2100-12-31T11:00:00Z"},
        // 2026-03-29: 02:00 becomes 03:00 in Paris, so 02:30 does not exist
        Occurrence{"30 2 * * *", "Europe/Paris", "2026-03-28T02:00:00Z", "2026-03-30T00:30:00Z"},
        Occurrence{"*/30 * * * *", "Europe/Paris", "2026-03-29T00:45:00Z", "2026-03-29T01:00:00Z"},
        // 2026-10-25: 03:00 becomes 02:00 in Paris, so 02:30 happens twice
        Occurrence{"30 2 * * *", "Europe/Paris", "2026-10-24T12:00:00Z", "2026-10-26T01:30:00Z"},
        Occurrence{"0 * * * *", "Europe/Paris", "2026-10-24T23:30:00Z", "2026-10-25T02:00:00Z"},
        // the run of the last minute before the fold stays unique
        Occurrence{"59 1 * * *", "Europe/Paris", "2026-10-24T12:00:00Z", "2026-10-24T23:59:00Z"},
        // 2026-03-08 and 2026-11-01 in New York
        Occurrence{"30 2 * * *", "America/New_York", "2026-03-07T12:00:00Z", "2026-03-09T06:30:00Z"},
        Occurrence{"30 1 * * *", "America/New_York", "2026-10-31T12:00:00Z", "2026-11-02T06:30:00Z"},
        Occurrence{"0 * * * *", "America/New_York", "2026-11-01T04:30:00Z", "2026-11-01T07:00:00Z"},
        Occurrence{"0 9 * * mon-fri", "America/New_York", "2026-12-11T14:00:00Z", "2026-12-14T14:00:00Z"},
        // a starting instant inside the repeated hour
        Occurrence{"*/20 * * * *", "America/New_York", "2026-11-01T06:10:00Z", "2026-11-01T07:00:00Z"}));

}  // namespace
}  // namespace vesk
