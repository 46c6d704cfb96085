// The five-field cron dialect: parsing and the occurrence search.
//
//   minute  hour  day-of-month  month  day-of-week
//   0-59    0-23  1-31          1-12   1-7 (1 = Sunday ... 7 = Saturday)
//
// Items: "*", "?" (day fields only), a number, a range a-b, a name (month and
// day-of-week fields, any case), a name range such as mon-fri, and steps S/k
// over "*", "?", a range, a name range or a number a (meaning a to the
// field's maximum). Day of month and day of week must both match.
// Occurrences fall on second 0 of a minute, in the years 1970 through 2100.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include <cctz/time_zone.h>

#include "time/instant.h"

namespace vesk {

// The one text every invalid expression is reported with.
inline constexpr std::string_view kCronParseError = "Invalid expression: Invalid cron expression.";

// The value sets of an expression as bit masks: bit v is set when value v
// is in the field's set.
struct CronExpr {
  std::uint64_t minutes = 0;   // bits 0..59
  std::uint32_t hours = 0;     // bits 0..23
  std::uint32_t days = 0;      // bits 1..31
  std::uint16_t months = 0;    // bits 1..12
  std::uint8_t weekdays = 0;   // bits 1..7, 1 = Sunday
  // For each weekday of a month's first day (0 = Sunday), the days 1..31 of
  // that month whose weekday is in `weekdays`.
  std::array<std::uint32_t, 7> weekday_days{};

  friend bool operator==(const CronExpr&, const CronExpr&) = default;
};

// The expression, or nothing when it is not valid in the dialect.
std::optional<CronExpr> parse_cron(std::string_view text);

// The first occurrence strictly later than `after`, searching wall-clock time
// in `zone`. Local times that a daylight-saving change skips or repeats are
// passed over. Nothing when no occurrence exists up to the end of 2100.
std::optional<Instant> next_occurrence(const CronExpr& expr, const cctz::time_zone& zone, Instant after);

}  // namespace vesk
