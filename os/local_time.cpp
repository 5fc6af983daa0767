#include "os/local_time.h"

#include "os/wall_clock.h"

namespace os {

LocalTime LocalNow() {
  const WallTime now = WallNow();
  LocalTime t = LocalTimeOf(now.seconds);
  t.millisecond = now.nanoseconds / 1000000;
  return t;
}

}  // namespace os
