#include "os/wall_clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace os {
namespace {

// A time zone whose offset the test moves, counting every lookup.
struct FakeZone {
  int offset_hours = 3;
  int lookups = 0;
  LocalTime operator()(std::int64_t seconds) {
    ++lookups;
    const std::int64_t local = seconds + offset_hours * 3600;
    const int in_day = static_cast<int>(local % 86400);
    return {2026, 3, 29, in_day / 3600, in_day / 60 % 60, in_day % 60, 0};
  }
};

TEST(LocalTimeConverter, LooksTheZoneUpOncePerSecondAndFollowsOffsetChanges) {
  FakeZone zone;
  LocalTimeConverter convert([&zone](std::int64_t s) { return zone(s); });
  const std::int64_t base = 1000 * 86400 + 3600;  // 01:00:00 UTC

  struct Step {
    WallTime at;
    int offset_hours;  // the zone's offset from this step on
    int hour, second, millisecond;
    int lookups;  // in total after the step
  } const steps[] = {
      {{base, 0}, 3, 4, 0, 0, 1},
      {{base, 999999999}, 3, 4, 0, 999, 1},
      {{base, 512000000}, 3, 4, 0, 512, 1},
      {{base + 1, 1000000}, 3, 4, 1, 1, 2},
      // The offset moves at a second's boundary: the next second already shows it.
      {{base + 2, 0}, 2, 3, 2, 0, 3},
      {{base + 2, 700000000}, 2, 3, 2, 700, 3},
      // A clock stepped back is a new second too.
      {{base + 1, 0}, 2, 3, 1, 0, 4},
  };
  for (const Step& s : steps) {
    zone.offset_hours = s.offset_hours;
    const LocalTime t = convert(s.at);
    EXPECT_EQ(t.hour, s.hour) << s.at.seconds << "." << s.at.nanoseconds;
    EXPECT_EQ(t.second, s.second) << s.at.seconds << "." << s.at.nanoseconds;
    EXPECT_EQ(t.millisecond, s.millisecond) << s.at.seconds << "." << s.at.nanoseconds;
    EXPECT_EQ(zone.lookups, s.lookups) << s.at.seconds << "." << s.at.nanoseconds;
  }
}

TEST(LocalTimeConverter, RealZoneAgreesWithTheClockOfTheSystem) {
  LocalTimeConverter convert;
  const WallTime w = WallNow();
  const LocalTime direct = LocalTimeOf(w.seconds);
  const LocalTime converted = convert(w);
  EXPECT_EQ(converted.year, direct.year);
  EXPECT_EQ(converted.day, direct.day);
  EXPECT_EQ(converted.hour, direct.hour);
  EXPECT_EQ(converted.second, direct.second);
  EXPECT_EQ(converted.millisecond, w.nanoseconds / 1000000);
}

}  // namespace
}  // namespace os
