#include "utf8.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace vesk {
namespace {

// Index of the first byte in memory order whose high bit is set in `marks`,
// a word loaded from memory and masked to the bytes' high bits.
int first_marked_byte(std::uint64_t marks) {
  if constexpr (std::endian::native == std::endian::little) return std::countr_zero(marks) / 8;
  return std::countl_zero(marks) / 8;
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

// Files are almost all ASCII, so runs of ASCII are skipped sixteen bytes at a time.

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  while (p < end) {
    while (end - p >= 16) {
      std::uint64_t a;
      std::uint64_t b;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + 8, 8);
      const std::uint64_t high_a = a & kHighBits;
      const std::uint64_t high_b = b & kHighBits;
      if ((high_a | high_b) != 0) {
        p += high_a != 0 ? first_marked_byte(high_a) : 8 + first_marked_byte(high_b);
        break;
      }
      p += 16;
    }
    if (p == end) break;
    if (*p < 0x80) {
      ++p;
      continue;
    }

    const unsigned char lead = *p;
    const auto available = end - p;
    // The allowed range of the second byte narrows for the leads that
    // would otherwise admit overlong forms, surrogates or too-large values.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    int length;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (available < length) return false;
    if (p[1] < low || p[1] > high) return false;
    for (int i = 2; i < length; ++i) {
      if (!is_continuation(p[i])) return false;
    }
    p += length;
  }
  return true;
}

}  // namespace vesk
