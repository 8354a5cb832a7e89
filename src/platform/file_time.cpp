// File dates: conversions between the 1601-based ticks, Unix time and calendar fields.
#include "platform/file_time.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/error_codes.h"

namespace nexoral::platform {

FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  const int64_t since1601 = seconds + static_cast<int64_t>(kSecondsFrom1601To1970);
  if (since1601 < 0) return FileTime{};
  return FileTime{static_cast<uint64_t>(since1601) * kTicksPerSecond +
                  static_cast<uint64_t>(nanoseconds / 100)};
}

int64_t UnixSecondsOf(FileTime time) {
  const uint64_t seconds = time.ticks / kTicksPerSecond;
  if (seconds < kSecondsFrom1601To1970) return 0;
  return static_cast<int64_t>(seconds - kSecondsFrom1601To1970);
}

FileTime CurrentFileTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return FileTimeFromUnix(now.tv_sec, now.tv_nsec);
}

DWORD ReadFileLastWriteTime(const std::string& path, FileTime& time) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) return ErrorCodeFromErrno(errno);
  struct stat status {};
  DWORD result = kErrorSuccess;
  if (fstat(descriptor, &status) != 0) {
    result = ErrorCodeFromErrno(errno);
  } else if (!S_ISREG(status.st_mode)) {
    result = kErrorAccessDenied;
  } else {
    time = FileTimeFromUnix(status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
  }
  close(descriptor);
  return result;
}

UtcFields SplitUtc(FileTime time) {
  const time_t seconds = static_cast<time_t>(UnixSecondsOf(time));
  tm fields{};
  gmtime_r(&seconds, &fields);
  return CalendarTimeOf(fields, static_cast<unsigned>((time.ticks % kTicksPerSecond) / 10'000));
}

}  // namespace nexoral::platform
