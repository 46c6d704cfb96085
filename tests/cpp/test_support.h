// Small helpers shared by the core's tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "time/instant.h"

namespace vesk::testing {

// The instant of an RFC 3339 text; fails the test when the text is invalid.
inline Instant at(std::string_view text) {
  const auto parsed = parse_rfc3339(text);
  EXPECT_TRUE(parsed.has_value()) << "bad instant in test: " << text;
  return parsed.value_or(Instant{});
}

// "none" for an absent instant, its text otherwise.
inline std::string text_of(const std::optional<Instant>& instant) {
  return instant ? format_rfc3339(*instant) : "none";
}

}  // namespace vesk::testing
