#pragma once

#include <cstdint>
#include <functional>

#include "os/local_time.h"

namespace os {

// A point on the system's real-time clock, as the kernel stamps received datagrams.
struct WallTime {
  std::int64_t seconds = 0;  // since the epoch, UTC
  std::int32_t nanoseconds = 0;
};

WallTime WallNow();

// Local calendar time of a whole second (millisecond 0); one time-zone lookup per call.
LocalTime LocalTimeOf(std::int64_t seconds);

// Converts wall times to local time, looking the time zone up only when the second changes.
// Within one second the local offset cannot change, so reusing the date and time is exact.
// Not thread-safe: give each thread its own.
class LocalTimeConverter {
 public:
  using Lookup = std::function<LocalTime(std::int64_t seconds)>;
  LocalTimeConverter() : LocalTimeConverter(LocalTimeOf) {}
  explicit LocalTimeConverter(Lookup lookup) : lookup_(std::move(lookup)) {}

  LocalTime operator()(WallTime t) {
    if (!valid_ || t.seconds != second_) {
      cached_ = lookup_(t.seconds);
      second_ = t.seconds;
      valid_ = true;
    }
    LocalTime out = cached_;
    out.millisecond = t.nanoseconds / 1000000;
    return out;
  }

 private:
  Lookup lookup_;
  bool valid_ = false;
  std::int64_t second_ = 0;
  LocalTime cached_{};
};

}  // namespace os
