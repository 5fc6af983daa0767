#pragma once

namespace os {

struct LocalTime {
  int year;
  int month;  // 1..12
  int day;    // 1..31
  int hour;
  int minute;
  int second;
  int millisecond;
};

LocalTime LocalNow();

}  // namespace os
