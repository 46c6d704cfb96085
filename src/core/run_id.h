// Run identifiers: "run_" followed by a ULID.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "time/instant.h"

namespace vesk {

// "run_" + the 26-character upper-case Crockford base-32 ULID of the
// millisecond of `now` and 80 bits from the operating system's random source.
std::string new_run_id(Instant now);

// The canonical ULID text of a 48-bit millisecond time and 80 random bits.
std::string encode_ulid(std::uint64_t unix_ms, const std::array<std::uint8_t, 10>& random);

}  // namespace vesk
