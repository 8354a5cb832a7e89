// Formatting of line stamps and log headers.
#include "diagnostics/log_line.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/local_time.h"
#include "platform/thread_id.h"

namespace nexoral {
namespace {

const char* SkipBlanks(const char* next, const char* end) {
  while (next < end && *next == ' ') ++next;
  return next;
}

}  // namespace

size_t FormatLogStamp(char (&stamp)[kLogStampBytes]) {
  const platform::LocalTime now = platform::CurrentLocalTime();
  const int length = std::snprintf(stamp, sizeof(stamp), "\r\n%04u/%02u/%02u %02u:%02u:%02u.%03u %4X ",
                                   now.year, now.month, now.day, now.hour, now.minute, now.second,
                                   now.millisecond, platform::CurrentThreadId());
  if (length < 0) {
    stamp[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(length) < sizeof(stamp) ? static_cast<size_t>(length)
                                                     : sizeof(stamp) - 1;
}

bool ParseLogHeader(const char* bytes, LogHeader* header) {
  int32_t* fields[] = {&header->writePosition, &header->highWaterMark, &header->wrapStart,
                       &header->size};
  const char* next = bytes;
  const char* end = bytes + kLogHeaderSize;
  for (size_t i = 0; i < 4; ++i) {
    if (i > 0) {
      if (next == end || *next != ',') return false;
      ++next;
    }
    next = SkipBlanks(next, end);
    const auto [stop, error] = std::from_chars(next, end, *fields[i]);
    if (error != std::errc()) return false;
    next = stop;
  }
  return true;
}

void FormatLogHeader(const LogHeader& header, char* bytes) {
  char text[kLogHeaderSize + 1];
  int length = std::snprintf(text, sizeof(text), "%d, %d, %d, %d", header.writePosition,
                             header.highWaterMark, header.wrapStart, header.size);
  if (length < 0) length = 0;
  const size_t used = static_cast<size_t>(length) < kLogHeaderSize ? static_cast<size_t>(length)
                                                                   : kLogHeaderSize;
  std::memcpy(bytes, text, used);
  std::memset(bytes + used, ' ', kLogHeaderSize - used);
}

}  // namespace nexoral
