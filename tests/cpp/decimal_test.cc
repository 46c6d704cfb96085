#include "decimal.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(DecimalTest, ReadsPlainNumbersWithinTheBound) {
  constexpr std::uint64_t kU64 = std::numeric_limits<std::uint64_t>::max();
  const struct {
    std::string_view text;
    std::uint64_t max;
    std::optional<std::uint64_t> expected;
  } cases[] = {
      {"0", 65535, 0},
      {"+8080", 65535, 8080},
      {"0008080", 65535, 8080},
      {"65535", 65535, 65535},
      {"65536", 65535, std::nullopt},
      {"18446744073709551615", kU64, kU64},
      {"18446744073709551616", kU64, std::nullopt},
      {"99999999999999999999999", kU64, std::nullopt},
      {"9", 5, std::nullopt},  // a single digit above a small bound
      {"5", 5, 5},
      {"", 65535, std::nullopt},
      {"+", 65535, std::nullopt},
      {"++1", 65535, std::nullopt},
      {"-1", 65535, std::nullopt},
      {" 1", 65535, std::nullopt},
      {"1 ", 65535, std::nullopt},
      {"1a", 65535, std::nullopt},
      {"\xEF\xBC\x91", 65535, std::nullopt},  // a fullwidth digit
  };
  for (const auto& c : cases) EXPECT_EQ(parse_decimal(c.text, c.max), c.expected) << c.text;
}

}  // namespace
}  // namespace vesk
