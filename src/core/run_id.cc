#include "run_id.h"

#include <random>

#include "random_bytes.h"

namespace vesk {
namespace {

constexpr char kCrockford[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

std::array<std::uint8_t, 10> random_bits() {
  std::array<std::uint8_t, 10> bytes{};
  if (fill_random(bytes) != 0) {
    // getrandom is missing (very old kernels): fall back to the library's device.
    std::random_device device;
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(device());
  }
  return bytes;
}

}  // namespace

std::string encode_ulid(std::uint64_t unix_ms, const std::array<std::uint8_t, 10>& random) {
  std::string out(26, '0');
  unix_ms &= (std::uint64_t{1} << 48) - 1;
  for (int i = 9; i >= 0; --i) {
    out[i] = kCrockford[unix_ms & 31];
    unix_ms >>= 5;
  }
  // 80 random bits are 16 characters of 5 bits each, most significant first.
  unsigned __int128 bits = 0;
  for (const std::uint8_t byte : random) bits = bits << 8 | byte;
  for (int i = 25; i >= 10; --i) {
    out[i] = kCrockford[static_cast<unsigned>(bits & 31)];
    bits >>= 5;
  }
  return out;
}

std::string new_run_id(Instant now) { return "run_" + encode_ulid(unix_millis(now), random_bits()); }

}  // namespace vesk
