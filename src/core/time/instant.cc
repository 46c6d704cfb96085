#include "time/instant.h"

#include <chrono>
#include <limits>

#include "time/civil.h"

namespace vesk {
namespace {

constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kSecondsPerDay = 86'400;

void append_digits(std::string& out, std::uint64_t value, int width) {
  char buf[24];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = n; i < width; ++i) out.push_back('0');
  while (n > 0) out.push_back(buf[--n]);
}

// Reads a date-time left to right and keeps the first problem it meets;
// once there is one, every further read does nothing.
struct Rfc3339Scanner {
  std::string_view text;
  std::size_t pos = 0;
  std::optional<Rfc3339Problem> problem;

  // Notes the problem; the value read so far is of no further use.
  int fail(Rfc3339Problem found) {
    problem = found;
    return 0;
  }

  // Whether there is a character left to read; notes a premature end if not.
  bool more() {
    if (pos < text.size()) return true;
    fail(Rfc3339Problem::kPrematureEnd);
    return false;
  }

  // Exactly `width` digits whose value lies in [low, high].
  int number(int width, int low, int high) {
    if (problem) return 0;
    int value = 0;
    for (int i = 0; i < width; ++i, ++pos) {
      if (!more()) return 0;
      if (text[pos] < '0' || text[pos] > '9') return fail(Rfc3339Problem::kInvalid);
      value = value * 10 + (text[pos] - '0');
    }
    if (value < low || value > high) return fail(Rfc3339Problem::kOutOfRange);
    return value;
  }

  void one_of(std::string_view accepted) {
    if (problem || !more()) return;
    if (accepted.find(text[pos]) == std::string_view::npos) {
      fail(Rfc3339Problem::kInvalid);
      return;
    }
    ++pos;
  }

  // An optional "." and one or more digits; digits past the ninth are dropped.
  std::uint32_t fraction() {
    if (problem || pos >= text.size() || text[pos] != '.') return 0;
    ++pos;
    if (!more()) return 0;
    const std::size_t first_digit = pos;
    std::uint32_t nanos = 0;
    std::uint32_t scale = kNanosPerSecond;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
      if (scale > 1) {
        scale /= 10;
        nanos += static_cast<std::uint32_t>(text[pos] - '0') * scale;
      }
    }
    if (pos == first_digit) return fail(Rfc3339Problem::kInvalid);
    return nanos;
  }

  // "Z", "z" or a sign and HH:MM, in seconds east of UTC. Required: a
  // date-time without one names no single instant.
  std::int64_t offset() {
    if (problem || !more()) return 0;
    const char c = text[pos];
    if (c == 'Z' || c == 'z') {
      ++pos;
      return 0;
    }
    if (c != '+' && c != '-') return fail(Rfc3339Problem::kInvalid);
    ++pos;
    const int hours = number(2, 0, 23);
    one_of(":");
    const int minutes = number(2, 0, 59);
    return (hours * 3600 + minutes * 60) * (c == '-' ? -1 : 1);
  }
};

}  // namespace

Instant Instant::now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  std::int64_t secs = ns / kNanosPerSecond;
  std::int64_t rem = ns % kNanosPerSecond;
  if (rem < 0) {
    rem += kNanosPerSecond;
    --secs;
  }
  return {secs, static_cast<std::uint32_t>(rem)};
}

std::optional<Instant> add_seconds(Instant at, std::uint64_t seconds) {
  const auto room = static_cast<std::uint64_t>(Instant::kMax.seconds - at.seconds);
  if (at.seconds > Instant::kMax.seconds || seconds > room) return std::nullopt;
  return Instant{at.seconds + static_cast<std::int64_t>(seconds), at.nanos};
}

std::uint64_t unix_millis(Instant at) {
  if (at.seconds < 0) return 0;
  return static_cast<std::uint64_t>(at.seconds) * 1000 + (at.nanos % kNanosPerSecond) / 1'000'000;
}

std::int64_t whole_millis_between(Instant from, Instant to) {
  const __int128 nanos = static_cast<__int128>(to.seconds - from.seconds) * kNanosPerSecond +
                         (static_cast<std::int64_t>(to.nanos) - static_cast<std::int64_t>(from.nanos));
  return static_cast<std::int64_t>(nanos / 1'000'000);
}

std::string format_rfc3339(Instant at, UtcSuffix suffix) {
  const bool leap = at.nanos >= kNanosPerSecond;
  const std::uint32_t nanos = leap ? at.nanos - kNanosPerSecond : at.nanos;
  std::int64_t days = at.seconds / kSecondsPerDay;
  std::int64_t secs_of_day = at.seconds % kSecondsPerDay;
  if (secs_of_day < 0) {
    secs_of_day += kSecondsPerDay;
    --days;
  }
  const civil::Date date = civil::civil_from_days(days);

  std::string out;
  out.reserve(40);
  if (date.year < 0 || date.year > 9999) out.push_back(date.year < 0 ? '-' : '+');
  append_digits(out, static_cast<std::uint64_t>(date.year < 0 ? -date.year : date.year), 4);
  out.push_back('-');
  append_digits(out, date.month, 2);
  out.push_back('-');
  append_digits(out, date.day, 2);
  out.push_back('T');
  append_digits(out, secs_of_day / 3600, 2);
  out.push_back(':');
  append_digits(out, secs_of_day / 60 % 60, 2);
  out.push_back(':');
  append_digits(out, secs_of_day % 60 + (leap ? 1 : 0), 2);
  if (nanos != 0) {
    out.push_back('.');
    if (nanos % 1'000'000 == 0) {
      append_digits(out, nanos / 1'000'000, 3);
    } else if (nanos % 1'000 == 0) {
      append_digits(out, nanos / 1'000, 6);
    } else {
      append_digits(out, nanos, 9);
    }
  }
  out.append(suffix == UtcSuffix::kZ ? "Z" : "+00:00");
  return out;
}

std::expected<Instant, Rfc3339Problem> read_rfc3339(std::string_view text) {
  Rfc3339Scanner in{text, 0, std::nullopt};
  const int year = in.number(4, 0, 9999);
  in.one_of("-");
  const int month = in.number(2, 1, 12);
  in.one_of("-");
  const int day = in.number(2, 1, 31);
  in.one_of("Tt ");
  const int hour = in.number(2, 0, 23);
  in.one_of(":");
  const int minute = in.number(2, 0, 59);
  in.one_of(":");
  int second = in.number(2, 0, 60);  // 60 is an inserted leap second
  std::uint32_t nanos = in.fraction();
  const std::int64_t offset_seconds = in.offset();
  if (in.problem) return std::unexpected(*in.problem);
  if (in.pos != text.size()) return std::unexpected(Rfc3339Problem::kTrailing);
  if (day > civil::days_in_month(year, month)) return std::unexpected(Rfc3339Problem::kImpossible);

  // An inserted leap second is held as second 59 plus one second of nanos.
  if (second == 60) {
    second = 59;
    nanos += kNanosPerSecond;
  }
  const Instant result{civil::days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 +
                           minute * 60 + second - offset_seconds,
                       nanos};
  if (result.seconds < Instant::kMin.seconds || result.seconds > Instant::kMax.seconds) {
    return std::unexpected(Rfc3339Problem::kOutOfRange);
  }
  return result;
}

std::optional<Instant> parse_rfc3339(std::string_view text) {
  auto read = read_rfc3339(text);
  return read ? std::optional(*read) : std::nullopt;
}

}  // namespace vesk
