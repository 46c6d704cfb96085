// JSON text of log entries, events and timer specs.
//
// Writers emit each record's keys in its declared order. Readers accept keys
// in any order (tag keys included), drop unknown keys, and fail on missing
// or repeated keys, unknown tags, integers outside their width and
// timestamps that are not RFC 3339 date-times.
#pragma once

#include <string>
#include <string_view>

#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"
#include "storage/events.h"
#include "timer/schedule.h"

namespace vesk {

void write_log_entry(json::Writer& out, const LogEntry& entry);
// The compact line of an entry, without a line terminator.
std::string encode_log_entry(const LogEntry& entry);
// One trimmed log line: exactly one entry, nothing after it but white space.
json::ReadResult<LogEntry> decode_log_entry(std::string_view line);

// The entry as a generic value: every object's keys in ascending byte order.
json::Value log_entry_to_value(const LogEntry& entry);

void write_timer_spec(json::Writer& out, const TimerSpec& spec);
json::ReadResult<TimerSpec> read_timer_spec(json::Reader& in);

void write_timestamp(json::Writer& out, Instant at);
json::ReadResult<Instant> read_timestamp(json::Reader& in);

}  // namespace vesk
