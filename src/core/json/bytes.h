// Word-at-a-time search for the bytes that end a plain run inside a JSON
// string literal: the quote, the backslash and the control characters.
// Reading and escaping both stop only at those, so the strings of a log line
// (ids, names, timestamps) are crossed eight bytes per step.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vesk::json::detail {

inline constexpr std::uint64_t kOnes = 0x0101010101010101ull;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ull;

// The high bit of every byte below `n` (n <= 128) is set. Borrows can flag
// bytes above a true hit, never below it, so only the lowest flag is exact,
// which is the one the search needs.
constexpr std::uint64_t bytes_below(std::uint64_t word, std::uint8_t n) {
  return (word - kOnes * n) & ~word & kHighs;
}
constexpr std::uint64_t bytes_equal(std::uint64_t word, std::uint8_t c) { return bytes_below(word ^ (kOnes * c), 1); }

constexpr bool is_special(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Index of the first quote, backslash or control byte at or after `from`,
// or `text.size()` when there is none.
inline std::size_t find_special(std::string_view text, std::size_t from) {
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t i = from;
  if constexpr (std::endian::native == std::endian::little) {
    while (n - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      const std::uint64_t hits = bytes_below(word, 0x20) | bytes_equal(word, '"') | bytes_equal(word, '\\');
      if (hits != 0) return i + static_cast<std::size_t>(std::countr_zero(hits)) / 8;
      i += 8;
    }
  }
  while (i < n && !is_special(static_cast<unsigned char>(p[i]))) ++i;
  return i;
}

}  // namespace vesk::json::detail
