#include <windows.h>

#include <time.h>

#include "os/wall_clock.h"

namespace os {
namespace {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 116444736000000000;

}  // namespace

WallTime WallNow() {
  FILETIME ft{};
  ::GetSystemTimePreciseAsFileTime(&ft);
  const std::int64_t ticks =
      ((static_cast<std::int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) - kEpochDifference;
  return {ticks / 10000000, static_cast<std::int32_t>((ticks % 10000000) * 100)};
}

LocalTime LocalTimeOf(std::int64_t seconds) {
  const __time64_t s = seconds;
  tm t{};
  ::_localtime64_s(&t, &s);
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 0};
}

}  // namespace os
