#include "storage/records.h"

#include <array>
#include <tuple>
#include <utility>

#include "storage/record_reader.h"

namespace vesk {
namespace {

using records::all_of;

// ---- Field lists: each record's keys in the order the writer emits them.

template <typename S, typename M>
struct Field {
  std::string_view name;
  M S::*member;
};

template <typename T>
struct Record;

#define VESK_FIELD(S, name) Field<S, decltype(S::name)>{#name, &S::name}

template <> struct Record<CronSchedule> {
  static constexpr auto fields = std::tuple{VESK_FIELD(CronSchedule, expr)};
};
template <> struct Record<EverySchedule> {
  static constexpr auto fields = std::tuple{VESK_FIELD(EverySchedule, seconds)};
};
template <> struct Record<AtSchedule> {
  static constexpr auto fields = std::tuple{VESK_FIELD(AtSchedule, at)};
};
template <> struct Record<AfterSchedule> {
  static constexpr auto fields = std::tuple{VESK_FIELD(AfterSchedule, seconds), VESK_FIELD(AfterSchedule, registered_at)};
};
template <> struct Record<FixedBackoff> {
  static constexpr auto fields = std::tuple{VESK_FIELD(FixedBackoff, seconds)};
};
template <> struct Record<ExponentialBackoff> {
  static constexpr auto fields =
      std::tuple{VESK_FIELD(ExponentialBackoff, base_seconds), VESK_FIELD(ExponentialBackoff, max_seconds)};
};
template <> struct Record<LinearBackoff> {
  static constexpr auto fields = std::tuple{VESK_FIELD(LinearBackoff, base_seconds),
                                            VESK_FIELD(LinearBackoff, step_seconds),
                                            VESK_FIELD(LinearBackoff, max_seconds)};
};
template <> struct Record<RetryPolicy> {
  static constexpr std::string_view name = "struct RetryPolicy";
  static constexpr auto fields = std::tuple{VESK_FIELD(RetryPolicy, max_attempts), VESK_FIELD(RetryPolicy, backoff)};
};
template <> struct Record<TimerSpec> {
  static constexpr std::string_view name = "struct TimerSpec";
  static constexpr auto fields =
      std::tuple{VESK_FIELD(TimerSpec, id), VESK_FIELD(TimerSpec, schedule), VESK_FIELD(TimerSpec, retry),
                 VESK_FIELD(TimerSpec, timezone), VESK_FIELD(TimerSpec, created_at)};
};
template <> struct Record<LogEntry> {
  static constexpr std::string_view name = "struct LogEntry";
  static constexpr auto fields =
      std::tuple{VESK_FIELD(LogEntry, v), VESK_FIELD(LogEntry, ts), VESK_FIELD(LogEntry, event)};
};
template <> struct Record<TimerCreated> {
  static constexpr auto fields = std::tuple{VESK_FIELD(TimerCreated, spec)};
};
template <> struct Record<TimerUpdated> {
  static constexpr auto fields = std::tuple{VESK_FIELD(TimerUpdated, spec)};
};
template <> struct Record<TimerPaused> {
  static constexpr auto fields = std::tuple{VESK_FIELD(TimerPaused, timer_id), VESK_FIELD(TimerPaused, at)};
};
template <> struct Record<TimerResumed> {
  static constexpr auto fields = std::tuple{VESK_FIELD(TimerResumed, timer_id), VESK_FIELD(TimerResumed, at)};
};
template <> struct Record<TimerCancelled> {
  static constexpr auto fields = std::tuple{VESK_FIELD(TimerCancelled, timer_id), VESK_FIELD(TimerCancelled, at)};
};
template <> struct Record<RunDue> {
  static constexpr auto fields =
      std::tuple{VESK_FIELD(RunDue, timer_id), VESK_FIELD(RunDue, run_id), VESK_FIELD(RunDue, scheduled_at)};
};
template <> struct Record<RunStarted> {
  static constexpr auto fields = std::tuple{VESK_FIELD(RunStarted, timer_id), VESK_FIELD(RunStarted, run_id),
                                            VESK_FIELD(RunStarted, started_at), VESK_FIELD(RunStarted, attempt)};
};
template <> struct Record<RunSucceeded> {
  static constexpr auto fields =
      std::tuple{VESK_FIELD(RunSucceeded, timer_id), VESK_FIELD(RunSucceeded, run_id),
                 VESK_FIELD(RunSucceeded, finished_at), VESK_FIELD(RunSucceeded, duration_ms)};
};
template <> struct Record<RunFailed> {
  static constexpr auto fields =
      std::tuple{VESK_FIELD(RunFailed, timer_id), VESK_FIELD(RunFailed, run_id), VESK_FIELD(RunFailed, finished_at),
                 VESK_FIELD(RunFailed, error), VESK_FIELD(RunFailed, attempt)};
};
template <> struct Record<RunRetrying> {
  static constexpr auto fields =
      std::tuple{VESK_FIELD(RunRetrying, timer_id), VESK_FIELD(RunRetrying, run_id),
                 VESK_FIELD(RunRetrying, attempt), VESK_FIELD(RunRetrying, next_retry_at)};
};
template <> struct Record<RunDead> {
  static constexpr auto fields =
      std::tuple{VESK_FIELD(RunDead, timer_id), VESK_FIELD(RunDead, run_id), VESK_FIELD(RunDead, at)};
};

#undef VESK_FIELD

// ---- Tagged unions: tag key, tag values in variant order, type name.

template <typename V>
struct Union;

constexpr std::string_view kScheduleKinds[] = {"cron", "every", "at", "after"};
constexpr std::string_view kBackoffKinds[] = {"fixed", "exponential", "linear"};

template <> struct Union<Schedule> {
  static constexpr std::string_view tag_key = "kind";
  static constexpr std::span<const std::string_view> tags = kScheduleKinds;
  static constexpr std::string_view name = "internally tagged enum Schedule";
};
template <> struct Union<BackoffStrategy> {
  static constexpr std::string_view tag_key = "kind";
  static constexpr std::span<const std::string_view> tags = kBackoffKinds;
  static constexpr std::string_view name = "internally tagged enum BackoffStrategy";
};
template <> struct Union<Event> {
  static constexpr std::string_view tag_key = "type";
  static constexpr std::span<const std::string_view> tags = kEventTags;
  static constexpr std::string_view name = "internally tagged enum Event";
};

template <typename T>
concept IsUnion = requires { Union<T>::tag_key; };

// ---- Writing.

template <typename T>
void write_value(json::Writer& out, const T& value);

template <typename S>
void write_fields(json::Writer& out, const S& record) {
  std::apply([&](const auto&... field) { ((out.key(field.name), write_value(out, record.*(field.member))), ...); },
             Record<S>::fields);
}

template <typename T>
void write_value(json::Writer& out, const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    out.string(value);
  } else if constexpr (std::is_same_v<T, Instant>) {
    write_timestamp(out, value);
  } else if constexpr (std::is_unsigned_v<T>) {
    out.u64(value);
  } else if constexpr (IsUnion<T>) {
    out.begin_object();
    out.key(Union<T>::tag_key);
    out.string(Union<T>::tags[value.index()]);
    std::visit([&](const auto& alternative) { write_fields(out, alternative); }, value);
    out.end_object();
  } else {
    out.begin_object();
    write_fields(out, value);
    out.end_object();
  }
}

// ---- Reading.

template <typename T>
json::ReadResult<void> read_value(json::Reader& in, T& value);

// Names of a record's fields, with room for a leading tag key.
template <typename S>
constexpr auto field_names(std::string_view tag_key) {
  constexpr std::size_t count = std::tuple_size_v<decltype(Record<S>::fields)>;
  std::array<std::string_view, count + 1> names{};
  names[0] = tag_key;
  std::size_t i = 1;
  std::apply([&](const auto&... field) { ((names[i++] = field.name), ...); }, Record<S>::fields);
  return names;
}

// Reads the members of an object whose "{" (and possibly tag) is consumed.
// Index 0 stands for the tag key of a union member, or for nothing.
template <typename S>
json::ReadResult<void> read_fields(json::Reader& in, S& record, std::string_view tag_key, bool tag_consumed) {
  constexpr std::size_t count = std::tuple_size_v<decltype(Record<S>::fields)>;
  const auto names = field_names<S>(tag_key);
  const std::span<const std::string_view> listed =
      tag_key.empty() ? std::span<const std::string_view>(names).subspan(1) : std::span<const std::string_view>(names);
  const std::size_t shift = tag_key.empty() ? 0 : 1;
  const std::uint32_t fields_mask = all_of(count) << shift;
  return records::read_members(
      in, listed, fields_mask, tag_consumed ? 1u : 0u, [&](std::size_t index) -> json::ReadResult<void> {
        if (index < shift) return in.skip_value();
        json::ReadResult<void> result;
        std::size_t i = shift;
        std::apply(
            [&](const auto&... field) {
              ((i++ == index ? (void)(result = read_value(in, record.*(field.member))) : (void)0), ...);
            },
            Record<S>::fields);
        return result;
      });
}

template <typename V, std::size_t... I>
json::ReadResult<void> read_alternative(json::Reader& in, V& value, std::size_t index, bool tag_consumed,
                                        std::index_sequence<I...>) {
  json::ReadResult<void> result;
  ((index == I ? (void)(result = read_fields(in, value.template emplace<I>(), Union<V>::tag_key, tag_consumed))
               : (void)0),
   ...);
  return result;
}

template <typename T>
json::ReadResult<void> read_value(json::Reader& in, T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    auto text = in.read_string();
    if (!text) return std::unexpected(text.error());
    value.assign(*text);
    return {};
  } else if constexpr (std::is_same_v<T, Instant>) {
    auto at = read_timestamp(in);
    if (!at) return std::unexpected(at.error());
    value = *at;
    return {};
  } else if constexpr (std::is_same_v<T, std::uint8_t>) {
    auto n = in.read_u8();
    if (!n) return std::unexpected(n.error());
    value = *n;
    return {};
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    auto n = in.read_u32();
    if (!n) return std::unexpected(n.error());
    value = *n;
    return {};
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    auto n = in.read_u64();
    if (!n) return std::unexpected(n.error());
    value = *n;
    return {};
  } else if constexpr (IsUnion<T>) {
    const std::size_t start = in.position();
    if (auto opened = in.begin_object(Union<T>::name); !opened) return opened;
    auto tag = records::read_tag(in, start, Union<T>::tag_key, Union<T>::tags);
    if (!tag) return std::unexpected(tag.error());
    return read_alternative(in, value, tag->index, tag->consumed,
                            std::make_index_sequence<std::variant_size_v<T>>{});
  } else {
    if (auto opened = in.begin_object(Record<T>::name); !opened) return opened;
    return read_fields(in, value, {}, false);
  }
}

}  // namespace

const std::string& event_timer_id(const Event& event) {
  return std::visit(
      [](const auto& e) -> const std::string& {
        if constexpr (requires { e.spec; }) {
          return e.spec.id;
        } else {
          return e.timer_id;
        }
      },
      event);
}

void write_timestamp(json::Writer& out, Instant at) { out.string(format_rfc3339(at)); }

json::ReadResult<Instant> read_timestamp(json::Reader& in) {
  auto text = in.read_string("an RFC 3339 timestamp");
  if (!text) return std::unexpected(text.error());
  const auto at = parse_rfc3339(*text);
  if (!at) {
    return std::unexpected(in.invalid_value("string \"" + std::string(*text) + "\"", "an RFC 3339 timestamp"));
  }
  return *at;
}

void write_timer_spec(json::Writer& out, const TimerSpec& spec) { write_value(out, spec); }

json::ReadResult<TimerSpec> read_timer_spec(json::Reader& in) {
  TimerSpec spec;
  if (auto read = read_value(in, spec); !read) return std::unexpected(read.error());
  return spec;
}

void write_log_entry(json::Writer& out, const LogEntry& entry) { write_value(out, entry); }

std::string encode_log_entry(const LogEntry& entry) {
  std::string line;
  line.reserve(128);
  json::Writer out(line);
  write_log_entry(out, entry);
  return line;
}

json::ReadResult<LogEntry> decode_log_entry(std::string_view line) {
  json::Reader in(line);
  LogEntry entry;
  if (auto read = read_value(in, entry); !read) return std::unexpected(read.error());
  if (auto end = in.finish(); !end) return std::unexpected(end.error());
  return entry;
}

json::Value log_entry_to_value(const LogEntry& entry) {
  // The generic form is the written form with every object's keys sorted.
  auto value = json::parse(encode_log_entry(entry));
  return value ? std::move(*value) : json::Value();
}

}  // namespace vesk
