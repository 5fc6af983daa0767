#include <time.h>

#include "os/local_time.h"

namespace os {

LocalTime LocalNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  ::localtime_r(&ts.tv_sec, &t);
  return {t.tm_year + 1900,
          t.tm_mon + 1,
          t.tm_mday,
          t.tm_hour,
          t.tm_min,
          t.tm_sec,
          static_cast<int>(ts.tv_nsec / 1000000)};
}

}  // namespace os
