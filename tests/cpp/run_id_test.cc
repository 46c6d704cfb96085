#include "run_id.h"

#include <set>

#include <gtest/gtest.h>

#include "test_support.h"

namespace vesk {
namespace {

TEST(UlidTest, EncodesTimeThenRandomBits) {
  const std::array<std::uint8_t, 10> zeros{};
  const std::array<std::uint8_t, 10> ones{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const std::array<std::uint8_t, 10> low{0, 0, 0, 0, 0, 0, 0, 0, 0, 0x21};
  EXPECT_EQ(encode_ulid(0, zeros), "00000000000000000000000000");
  EXPECT_EQ(encode_ulid(1, zeros), "00000000010000000000000000");
  EXPECT_EQ(encode_ulid(32, zeros), "00000000100000000000000000");
  EXPECT_EQ(encode_ulid((std::uint64_t{1} << 48) - 1, ones), "7ZZZZZZZZZZZZZZZZZZZZZZZZZ");
  EXPECT_EQ(encode_ulid(0, low), "00000000000000000000000011");
  // The time part of the well-known example ULID 01ARZ3NDEKTSV4RRFFQ69G5FAV.
  EXPECT_EQ(encode_ulid(1469922850259, zeros).substr(0, 10), "01ARZ3NDEK");
}

TEST(UlidTest, RunIdsAreDistinctAndWellFormed) {
  const Instant now = testing::at("2026-03-03T01:30:00.000512337Z");
  const std::string time_part = encode_ulid(unix_millis(now), {}).substr(0, 10);
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = new_run_id(now);
    ASSERT_EQ(id.size(), 30u);
    EXPECT_EQ(id.substr(0, 4), "run_");
    EXPECT_EQ(id.substr(4, 10), time_part);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEFGHJKMNPQRSTVWXYZ", 4), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace vesk
