// The pieces of a log line and of a log header, formatted into fixed buffers.
//
// A line starts with its line break: "\r\n", the local date and time to the millisecond and the
// calling thread's id in upper-case hexadecimal, then a blank. The shared-memory and buffered
// logs begin with a 100-byte text header: the write position, the high-water mark, the wrap
// start and the size, as "%d, %d, %d, %d", padded with blanks, without terminator.
#ifndef NEXORAL_DIAGNOSTICS_LOG_LINE_H
#define NEXORAL_DIAGNOSTICS_LOG_LINE_H

#include <cstddef>
#include <cstdint>

namespace nexoral {

inline constexpr size_t kLogStampBytes = 258;  // the stamp and its terminator
inline constexpr size_t kLogHeaderSize = 100;

// Writes the stamp of a line logged now; returns its length (at most 257).
size_t FormatLogStamp(char (&stamp)[kLogStampBytes]);

struct LogHeader {
  int32_t writePosition = 0;
  int32_t highWaterMark = 0;
  int32_t wrapStart = 0;
  int32_t size = 0;
};

// Reads the header from its kLogHeaderSize bytes; false when they do not hold four numbers.
bool ParseLogHeader(const char* bytes, LogHeader* header);
// Writes the header into exactly kLogHeaderSize bytes.
void FormatLogHeader(const LogHeader& header, char* bytes);

}  // namespace nexoral

#endif  // NEXORAL_DIAGNOSTICS_LOG_LINE_H
