#include "timer/cron.h"

#include <bit>
#include <chrono>
#include <span>

#include "time/civil.h"

namespace vesk {
namespace {

// Longer texts and longer lists are refused outright, so that a hostile
// expression costs no more than a sensible one.
constexpr std::size_t kMaxTextLength = 1024;
constexpr int kMaxItemsPerField = 128;

constexpr int kFirstYear = 1970;
constexpr int kLastYear = 2100;

struct Name {
  std::string_view text;
  int value;
};

constexpr Name kMonthNames[] = {
    {"jan", 1},  {"january", 1}, {"feb", 2},     {"february", 2}, {"mar", 3},       {"march", 3},
    {"apr", 4},  {"april", 4},   {"may", 5},     {"jun", 6},      {"june", 6},      {"jul", 7},
    {"july", 7}, {"aug", 8},     {"august", 8},  {"sep", 9},      {"september", 9}, {"oct", 10},
    {"october", 10}, {"nov", 11}, {"november", 11}, {"dec", 12},  {"december", 12},
};

constexpr Name kWeekdayNames[] = {
    {"sun", 1},  {"sunday", 1},   {"mon", 2}, {"monday", 2},   {"tue", 3},   {"tues", 3},
    {"tuesday", 3}, {"wed", 4},   {"wednesday", 4}, {"thu", 5}, {"thurs", 5}, {"thursday", 5},
    {"fri", 6},  {"friday", 6},   {"sat", 7}, {"saturday", 7},
};

struct FieldRule {
  int min;
  int max;
  bool question_mark;
  std::span<const Name> names;
};

constexpr FieldRule kRules[5] = {
    {0, 59, false, {}},
    {0, 23, false, {}},
    {1, 31, true, {}},
    {1, 12, false, kMonthNames},
    {1, 7, true, kWeekdayNames},
};

bool is_field_separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A decimal number (leading zeros allowed) that fits 32 bits.
std::optional<std::uint32_t> parse_number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFF'FFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<int> parse_name(std::string_view text, std::span<const Name> names) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  char lower[9];
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!is_letter(text[i])) return std::nullopt;
    lower[i] = static_cast<char>(text[i] | 0x20);
  }
  const std::string_view key(lower, text.size());
  for (const Name& name : names) {
    if (name.text == key) return name.value;
  }
  return std::nullopt;
}

struct Bounds {
  int low;
  int high;
};

// A single value, or a range whose ends are both numbers or both names.
std::optional<Bounds> parse_bounds(std::string_view text, const FieldRule& rule) {
  const std::size_t dash = text.find('-');
  const std::string_view first = text.substr(0, dash);
  const bool named = !first.empty() && is_letter(first.front());
  const auto value_of = [&](std::string_view part) -> std::optional<int> {
    if (named) return parse_name(part, rule.names);
    const auto number = parse_number(part);
    if (!number || *number < static_cast<std::uint32_t>(rule.min) || *number > static_cast<std::uint32_t>(rule.max)) {
      return std::nullopt;
    }
    return static_cast<int>(*number);
  };
  const auto low = value_of(first);
  if (!low) return std::nullopt;
  if (dash == std::string_view::npos) return Bounds{*low, *low};
  const auto high = value_of(text.substr(dash + 1));
  if (!high || *low > *high) return std::nullopt;
  return Bounds{*low, *high};
}

std::uint64_t bits_between(int low, int high, std::uint32_t step) {
  if (step == 1) return (~std::uint64_t{0} >> (63 - high)) & (~std::uint64_t{0} << low);
  std::uint64_t bits = 0;
  for (std::uint64_t v = static_cast<std::uint64_t>(low); v <= static_cast<std::uint64_t>(high); v += step) {
    bits |= std::uint64_t{1} << v;
  }
  return bits;
}

std::optional<std::uint64_t> parse_item(std::string_view item, const FieldRule& rule) {
  const std::size_t slash = item.find('/');
  const std::string_view base = item.substr(0, slash);
  const bool every = base == "*" || (rule.question_mark && base == "?");
  if (slash == std::string_view::npos) {
    if (every) return bits_between(rule.min, rule.max, 1);
    const auto bounds = parse_bounds(base, rule);
    if (!bounds) return std::nullopt;
    return bits_between(bounds->low, bounds->high, 1);
  }

  const auto step = parse_number(item.substr(slash + 1));
  if (!step || *step == 0) return std::nullopt;
  if (every) return bits_between(rule.min, rule.max, *step);
  const auto bounds = parse_bounds(base, rule);
  if (!bounds) return std::nullopt;
  const bool is_range = base.find('-') != std::string_view::npos;
  // A lone name is no step base; a lone number runs to the field's maximum.
  if (!is_range && !is_digit(base.front())) return std::nullopt;
  return bits_between(bounds->low, is_range ? bounds->high : rule.max, *step);
}

std::optional<std::uint64_t> parse_field(std::string_view field, const FieldRule& rule) {
  std::uint64_t bits = 0;
  int items = 0;
  while (true) {
    if (++items > kMaxItemsPerField) return std::nullopt;
    const std::size_t comma = field.find(',');
    const auto item_bits = parse_item(field.substr(0, comma), rule);
    if (!item_bits) return std::nullopt;
    bits |= *item_bits;
    if (comma == std::string_view::npos) return bits;
    field.remove_prefix(comma + 1);
  }
}

}  // namespace

std::optional<CronExpr> parse_cron(std::string_view text) {
  if (text.size() > kMaxTextLength) return std::nullopt;
  std::uint64_t sets[5];
  int count = 0;
  std::size_t pos = 0;
  while (true) {
    while (pos < text.size() && is_field_separator(text[pos])) ++pos;
    if (pos == text.size()) break;
    std::size_t end = pos;
    while (end < text.size() && !is_field_separator(text[end])) ++end;
    if (count == 5) return std::nullopt;
    const auto bits = parse_field(text.substr(pos, end - pos), kRules[count]);
    if (!bits) return std::nullopt;
    sets[count++] = *bits;
    pos = end;
  }
  if (count != 5) return std::nullopt;

  CronExpr expr;
  expr.minutes = sets[0];
  expr.hours = static_cast<std::uint32_t>(sets[1]);
  expr.days = static_cast<std::uint32_t>(sets[2]);
  expr.months = static_cast<std::uint16_t>(sets[3]);
  expr.weekdays = static_cast<std::uint8_t>(sets[4]);
  // When the 1st falls on weekday `first` (0 = Sunday), day d falls on
  // weekday (first + d - 1) mod 7: rotate the week so that bit j stands for
  // day j + 1, then repeat it over the month's weeks.
  const std::uint32_t week = expr.weekdays >> 1;  // bit w = weekday w
  for (int first = 0; first < 7; ++first) {
    const std::uint32_t rotated = ((week >> first) | (week << (7 - first))) & 0x7F;
    const std::uint64_t month = rotated * ((1ull << 0) | (1ull << 7) | (1ull << 14) | (1ull << 21) | (1ull << 28));
    expr.weekday_days[first] = static_cast<std::uint32_t>((month << 1) & 0xFFFF'FFFEu);
  }
  return expr;
}

std::optional<Instant> next_occurrence(const CronExpr& expr, const cctz::time_zone& zone, Instant after) {
  // Start at the whole second after `after`, in wall-clock time, then at the
  // minute that follows unless that second is a minute's start.
  if (after.seconds >= Instant::kMax.seconds) return std::nullopt;
  const auto local = cctz::convert(cctz::time_point<cctz::seconds>(cctz::seconds(after.seconds + 1)), zone);
  cctz::civil_minute start(local);
  if (local.second() != 0) ++start;

  // Every cursor value below stays small enough to shift a 64-bit mask by.
  std::int64_t year = start.year();
  int month = start.month();
  int day = start.day();
  int hour = start.hour();
  int minute = start.minute();
  if (year < kFirstYear) {
    year = kFirstYear;
    month = day = 1;
    hour = minute = 0;
  }
  const auto from = [](int low) { return ~std::uint64_t{0} << low; };

  while (year <= kLastYear) {
    const std::uint64_t months = expr.months & from(month);
    if (months == 0) {
      ++year;
      month = day = 1;
      hour = minute = 0;
      continue;
    }
    if (const int next = std::countr_zero(months); next != month) {
      month = next;
      day = 1;
      hour = minute = 0;
    }

    const int length = civil::days_in_month(year, month);
    const int first_weekday = civil::weekday_from_days(civil::days_from_civil(year, month, 1));
    const std::uint64_t month_days = (~std::uint64_t{0} >> (63 - length)) & ~std::uint64_t{1};
    const std::uint64_t days = expr.days & expr.weekday_days[first_weekday] & month_days & from(day);
    if (days == 0) {
      ++month;
      day = 1;
      hour = minute = 0;
      continue;  // month 13 finds no months and moves to the next year
    }
    if (const int next = std::countr_zero(days); next != day) {
      day = next;
      hour = minute = 0;
    }

    const std::uint64_t hours = expr.hours & from(hour);
    if (hours == 0) {
      ++day;
      hour = minute = 0;
      continue;
    }
    if (const int next = std::countr_zero(hours); next != hour) {
      hour = next;
      minute = 0;
    }

    const std::uint64_t minutes = expr.minutes & from(minute);
    if (minutes == 0) {
      ++hour;
      minute = 0;
      continue;
    }
    minute = std::countr_zero(minutes);

    const auto lookup = zone.lookup(cctz::civil_second(year, month, day, hour, minute, 0));
    if (lookup.kind == cctz::time_zone::civil_lookup::UNIQUE) {
      return Instant{std::chrono::duration_cast<cctz::seconds>(lookup.pre.time_since_epoch()).count(), 0};
    }
    ++minute;  // skipped or repeated wall-clock time: try the next candidate
  }
  return std::nullopt;
}

}  // namespace vesk
