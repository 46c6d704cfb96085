// Bytes from the operating system's random source.
#pragma once

#include <cstdint>
#include <span>

namespace vesk {

// Fills `out` with getrandom(2), retrying interruptions and short reads.
// 0 on success, else the errno of the failure.
int fill_random(std::span<std::uint8_t> out);

}  // namespace vesk
