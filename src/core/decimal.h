// Unsigned decimal numbers as the configuration and wire texts write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vesk {

// ASCII digits with an optional leading "+", read as a number no larger than
// `max`; leading zeros are fine. Anything else (empty, a "-", white space,
// a value above `max`) is nullopt.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max);

}  // namespace vesk
