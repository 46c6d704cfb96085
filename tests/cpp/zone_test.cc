#include "time/zone.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(ZoneTest, DatabaseNamesAndLinksLoad) {
  for (const char* name : {"UTC", "Europe/Paris", "America/Guyana", "Etc/GMT+3", "US/Eastern", "Asia/Kolkata",
                           "America/Argentina/Buenos_Aires"}) {
    const auto zone = lookup_zone(name);
    ASSERT_TRUE(zone) << name;
  }
  // Etc/GMT+3 is three hours behind UTC.
  const auto gmt3 = lookup_zone("Etc/GMT+3");
  ASSERT_TRUE(gmt3);
  EXPECT_EQ(gmt3->lookup(std::chrono::system_clock::from_time_t(0)).offset, -3 * 3600);
}

TEST(ZoneTest, EverythingElseIsAnInvalidTimezone) {
  const std::string cases[] = {
      "utc", "europe/paris", "Europe/paris", "", " UTC", "UTC ", "Mars/Olympus", "/usr/share/zoneinfo/UTC",
      "/etc/localtime", "../zoneinfo/UTC", "Europe/../UTC", "posix/Europe/Paris", "right/UTC", "localtime",
      "posixrules", "Fixed/UTC+01:00", "UTC+01:00", "EST5EDT,M3.2.0,M11.1.0", "zone.tab", "tzdata.zi",
      "Europe", std::string("UTC\0junk", 8),
  };
  for (const std::string& name : cases) {
    const auto zone = lookup_zone(name);
    ASSERT_FALSE(zone) << name;
    EXPECT_EQ(zone.error().message(), "invalid timezone: " + name);
  }
}

TEST(ZoneTest, ConcurrentLookupsAgree) {
  const char* names[] = {"Europe/Paris", "America/New_York", "Australia/Lord_Howe", "Pacific/Chatham"};
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const auto zone = lookup_zone(names[(t + i) % 4]);
        if (!zone || zone->name() != names[(t + i) % 4]) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace vesk
