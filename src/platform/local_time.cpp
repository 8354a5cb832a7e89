// Calendar fields, and local time from the realtime clock and the time-zone rules of the process.
#include "platform/local_time.h"

namespace nexoral::platform {

CalendarTime CalendarTimeOf(const tm& fields, unsigned millisecond) {
  CalendarTime split;
  split.year = static_cast<unsigned>(fields.tm_year + 1900);
  split.month = static_cast<unsigned>(fields.tm_mon + 1);
  split.day = static_cast<unsigned>(fields.tm_mday);
  split.hour = static_cast<unsigned>(fields.tm_hour);
  split.minute = static_cast<unsigned>(fields.tm_min);
  split.second = static_cast<unsigned>(fields.tm_sec);
  split.millisecond = millisecond;
  return split;
}

LocalTime CurrentLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm fields{};
  localtime_r(&now.tv_sec, &fields);
  return CalendarTimeOf(fields, static_cast<unsigned>(now.tv_nsec / 1000000));
}

}  // namespace nexoral::platform
