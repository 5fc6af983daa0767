#include <time.h>

#include "os/wall_clock.h"

namespace os {

WallTime WallNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::int32_t>(ts.tv_nsec)};
}

LocalTime LocalTimeOf(std::int64_t seconds) {
  const time_t s = static_cast<time_t>(seconds);
  tm t{};
  ::localtime_r(&s, &t);
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 0};
}

}  // namespace os
