// A UTC instant with nanosecond resolution and its RFC 3339 text.
#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace vesk {

// Seconds since the Unix epoch plus nanoseconds. `nanos` is below one billion,
// except during an inserted leap second read from text ("23:59:60"), which is
// held as second 59 with `nanos` in [1e9, 2e9) and written back as second 60.
//
// Representable instants run from 0000-01-01T00:00:00Z through
// 9999-12-31T23:59:59.999999999Z, the years that the four-digit text can hold.
struct Instant {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;

  static Instant now();  // the system clock
  static const Instant kMin;
  static const Instant kMax;

  friend constexpr auto operator<=>(const Instant&, const Instant&) = default;
};

inline constexpr Instant Instant::kMin{-62167219200, 0};                 // 0000-01-01T00:00:00Z
inline constexpr Instant Instant::kMax{253402300799, 999'999'999};       // 9999-12-31T23:59:59.999999999Z

// `at` + `seconds`, or nothing when the sum leaves the representable range.
std::optional<Instant> add_seconds(Instant at, std::uint64_t seconds);

// Whole milliseconds since the epoch (floored); 0 for instants before 1970.
std::uint64_t unix_millis(Instant at);

// Whole milliseconds from `from` to `to`, rounded toward zero (negative when
// `to` is earlier).
std::int64_t whole_millis_between(Instant from, Instant to);

enum class UtcSuffix { kZ, kPlusZero };

// "2026-03-02T08:59:59.001200Z": no fraction for whole seconds, otherwise the
// fewest of 3, 6 or 9 digits that are exact. kPlusZero ends in "+00:00".
std::string format_rfc3339(Instant at, UtcSuffix suffix = UtcSuffix::kZ);

// Why a text is not an RFC 3339 instant: the first problem met reading it
// left to right.
enum class Rfc3339Problem : std::uint8_t {
  kPrematureEnd,  // the text stops before a complete date-time
  kInvalid,       // a character other than the digit or separator due there
  kTrailing,      // characters after a complete date-time
  kOutOfRange,    // a field beyond its range, or an instant beyond year 9999
  kImpossible,    // every field in range, but no such day (February 30)
};

// Any RFC 3339 date-time: "T", "t" or " " between date and time, a fraction of
// any length (digits past the ninth are dropped), "Z", "z" or a numeric
// offset, which is applied. The problem when the text is not such a
// date-time or the instant is outside the representable range.
std::expected<Instant, Rfc3339Problem> read_rfc3339(std::string_view text);

// `read_rfc3339` without the reason.
std::optional<Instant> parse_rfc3339(std::string_view text);

}  // namespace vesk
