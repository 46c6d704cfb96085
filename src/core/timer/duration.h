// The text form of schedule durations: "90s", "5m", "2h", "1d".
#pragma once

#include <cstdint>
#include <string_view>

#include "error.h"

namespace vesk {

// Whole seconds of a duration text: a plain unsigned decimal number ("+" may
// lead) and one unit letter s, m, h or d; white space around it is ignored.
// Errors are invalid-cron-expression errors whose detail is
// "duration must end with s/m/h/d: " or "invalid duration: " + the trimmed
// text. A product beyond 64 bits is an invalid duration, never wrapped.
Result<std::uint64_t> parse_duration(std::string_view text);

}  // namespace vesk
