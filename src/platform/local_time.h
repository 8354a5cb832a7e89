// A point in time split into calendar fields, and the local wall-clock time in that form, as
// log lines stamp it.
#ifndef NEXORAL_PLATFORM_LOCAL_TIME_H
#define NEXORAL_PLATFORM_LOCAL_TIME_H

#include <ctime>

namespace nexoral::platform {

struct CalendarTime {
  unsigned year = 0;
  unsigned month = 0;   // 1 to 12
  unsigned day = 0;     // 1 to 31
  unsigned hour = 0;
  unsigned minute = 0;
  unsigned second = 0;
  unsigned millisecond = 0;
};

using LocalTime = CalendarTime;

// The fields of a broken-down time, with the millisecond given apart.
CalendarTime CalendarTimeOf(const tm& fields, unsigned millisecond);

LocalTime CurrentLocalTime();

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_LOCAL_TIME_H
