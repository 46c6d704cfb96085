#include "timer/duration.h"

#include <limits>
#include <string>

#include "decimal.h"
#include "utf8.h"

namespace vesk {

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
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const auto number = parse_decimal(trimmed.substr(0, trimmed.size() - 1), kMax);
  if (!number) return invalid();
  if (*number > kMax / factor) return invalid();
  return *number * factor;
}

}  // namespace vesk
