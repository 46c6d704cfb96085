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

// Reads exactly `width` decimal digits at `pos`.
bool read_fixed(std::string_view text, std::size_t& pos, int width, int& value) {
  if (text.size() < pos + static_cast<std::size_t>(width)) return false;
  value = 0;
  for (int i = 0; i < width; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += width;
  return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

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

std::optional<Instant> parse_rfc3339(std::string_view text) {
  std::size_t pos = 0;
  int year, month, day, hour, minute, second;
  if (!read_fixed(text, pos, 4, year) || !expect(text, pos, '-') || !read_fixed(text, pos, 2, month) ||
      !expect(text, pos, '-') || !read_fixed(text, pos, 2, day)) {
    return std::nullopt;
  }
  if (pos >= text.size() || (text[pos] != 'T' && text[pos] != 't' && text[pos] != ' ')) return std::nullopt;
  ++pos;
  if (!read_fixed(text, pos, 2, hour) || !expect(text, pos, ':') || !read_fixed(text, pos, 2, minute) ||
      !expect(text, pos, ':') || !read_fixed(text, pos, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > civil::days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 60) {
    return std::nullopt;
  }

  std::uint32_t nanos = 0;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    const std::size_t first_digit = pos;
    std::uint32_t scale = kNanosPerSecond;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (scale > 1) {
        scale /= 10;
        nanos += static_cast<std::uint32_t>(text[pos] - '0') * scale;
      }
      ++pos;
    }
    if (pos == first_digit) return std::nullopt;
  }

  std::int64_t offset_seconds = 0;
  if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z')) {
    ++pos;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const bool negative = text[pos] == '-';
    ++pos;
    int off_hour, off_minute;
    if (!read_fixed(text, pos, 2, off_hour) || !expect(text, pos, ':') ||
        !read_fixed(text, pos, 2, off_minute) || off_hour > 23 || off_minute > 59) {
      return std::nullopt;
    }
    offset_seconds = (off_hour * 3600 + off_minute * 60) * (negative ? -1 : 1);
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;

  // An inserted leap second is held as second 59 plus one second of nanos.
  if (second == 60) {
    second = 59;
    nanos += kNanosPerSecond;
  }
  const Instant result{civil::days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 +
                           minute * 60 + second - offset_seconds,
                       nanos};
  if (result.seconds < Instant::kMin.seconds || result.seconds > Instant::kMax.seconds) return std::nullopt;
  return result;
}

}  // namespace vesk
