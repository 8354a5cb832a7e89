// Local time from the realtime clock and the time-zone rules of the process.
#include "platform/local_time.h"

#include <ctime>

namespace nexoral::platform {

LocalTime CurrentLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm fields{};
  localtime_r(&now.tv_sec, &fields);
  LocalTime local;
  local.year = static_cast<unsigned>(fields.tm_year + 1900);
  local.month = static_cast<unsigned>(fields.tm_mon + 1);
  local.day = static_cast<unsigned>(fields.tm_mday);
  local.hour = static_cast<unsigned>(fields.tm_hour);
  local.minute = static_cast<unsigned>(fields.tm_min);
  local.second = static_cast<unsigned>(fields.tm_sec);
  local.millisecond = static_cast<unsigned>(now.tv_nsec / 1000000);
  return local;
}

}  // namespace nexoral::platform
