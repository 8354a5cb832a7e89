// FileTime: a point in time as file dates are compared and stored (100 ns units since
// 1601-01-01 UTC), the current time in that form, a file's last-write time, and the split into
// calendar fields for log lines.
#ifndef NEXORAL_PLATFORM_FILE_TIME_H
#define NEXORAL_PLATFORM_FILE_TIME_H

#include <cstdint>
#include <string>

#include "nexoral/win_types.h"
#include "platform/local_time.h"

namespace nexoral::platform {

struct FileTime {
  uint64_t ticks = 0;  // 100 ns intervals since 1601-01-01 00:00 UTC

  friend auto operator<=>(const FileTime&, const FileTime&) = default;
};

inline constexpr uint64_t kTicksPerSecond = 10'000'000;
// Seconds from 1601-01-01 to 1970-01-01.
inline constexpr uint64_t kSecondsFrom1601To1970 = 11'644'473'600;

FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
// Whole seconds since 1970-01-01 UTC; 0 for times before it.
int64_t UnixSecondsOf(FileTime time);
FileTime CurrentFileTime();

// Opens path for reading and takes its last-write time. 0 on success, else the system error
// code (the file missing, unreadable, or not a regular file).
DWORD ReadFileLastWriteTime(const std::string& path, FileTime& time);

using UtcFields = CalendarTime;

UtcFields SplitUtc(FileTime time);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_FILE_TIME_H
