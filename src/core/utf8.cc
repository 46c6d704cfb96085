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

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Length of the UTF-8 sequence that starts with `lead`, 0 for a continuation
// or invalid byte.
int sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

char32_t decode_at(std::string_view text, std::size_t pos, int length) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  switch (length) {
    case 1: return byte(0);
    case 2: return (char32_t{byte(0)} & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3: return (char32_t{byte(0)} & 0x0F) << 12 | (char32_t{byte(1)} & 0x3F) << 6 | (byte(2) & 0x3F);
    default:
      return (char32_t{byte(0)} & 0x07) << 18 | (char32_t{byte(1)} & 0x3F) << 12 |
             (char32_t{byte(2)} & 0x3F) << 6 | (byte(3) & 0x3F);
  }
}

// Length of the white-space character that starts at `pos`, or 0.
int space_at(std::string_view text, std::size_t pos) {
  const int length = sequence_length(static_cast<unsigned char>(text[pos]));
  if (length == 0 || pos + length > text.size()) return 0;
  for (int i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[pos + i]) & 0xC0) != 0x80) return 0;
  }
  return is_unicode_space(decode_at(text, pos, length)) ? length : 0;
}

// Length of the white-space character that ends just before `end`, or 0.
int space_before(std::string_view text, std::size_t end) {
  for (int length = 1; length <= 4 && static_cast<std::size_t>(length) <= end; ++length) {
    const std::size_t start = end - length;
    if (sequence_length(static_cast<unsigned char>(text[start])) == length) {
      return space_at(text, start) == length ? length : 0;
    }
  }
  return 0;
}

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

std::string_view trim_unicode_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const int length = space_at(text, begin);
    if (length == 0) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const int length = space_before(text, end);
    if (length == 0) break;
    end -= length;
  }
  return text.substr(begin, end - begin);
}

}  // namespace vesk
