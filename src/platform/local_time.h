// The local wall-clock time, split into its fields, as log lines stamp it.
#ifndef NEXORAL_PLATFORM_LOCAL_TIME_H
#define NEXORAL_PLATFORM_LOCAL_TIME_H

namespace nexoral::platform {

struct LocalTime {
  unsigned year = 0;
  unsigned month = 0;   // 1 to 12
  unsigned day = 0;     // 1 to 31
  unsigned hour = 0;
  unsigned minute = 0;
  unsigned second = 0;
  unsigned millisecond = 0;
};

LocalTime CurrentLocalTime();

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_LOCAL_TIME_H
