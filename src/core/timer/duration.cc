#include "timer/duration.h"

#include <limits>
#include <string>

namespace vesk {
namespace {

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

Result<std::uint64_t> parse_duration(std::string_view text) {
  const std::string_view trimmed = trim_unicode_space(text);
  std::uint64_t factor = 0;
  switch (trimmed.empty() ? '\0' : trimmed.back()) {
    case 's': factor = 1; break;
    case 'm': factor = 60; break;
    case 'h': factor = 3600; break;
    case 'd': factor = 86400; break;
    default:
      return std::unexpected(EngineError::invalid_cron("duration must end with s/m/h/d: " + std::string(trimmed)));
  }
  const auto invalid = [&] {
    return std::unexpected(EngineError::invalid_cron("invalid duration: " + std::string(trimmed)));
  };
  std::string_view digits = trimmed.substr(0, trimmed.size() - 1);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return invalid();
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return invalid();
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (number > (kMax - digit) / 10) return invalid();
    number = number * 10 + digit;
  }
  if (number > kMax / factor) return invalid();
  return number * factor;
}

}  // namespace vesk
