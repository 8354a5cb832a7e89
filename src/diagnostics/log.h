// The process-wide log: Log and LogError format a line and hand it to the current writer. The
// log is off (switch 0) until configured (log_setup.h); lines logged while it is off are
// dropped. Any thread may log; the writers (log_writers.h) serialise their output under the log
// lock.
#ifndef NEXORAL_DIAGNOSTICS_LOG_H
#define NEXORAL_DIAGNOSTICS_LOG_H

#include <cstddef>

#include "common/sync.h"
#include "nexoral/win_types.h"

namespace nexoral {

inline constexpr int kLogSwitchOff = 0;
inline constexpr int kLogSwitchWrite = 2;  // the write bit

inline constexpr size_t kLogLineChars = 2047;     // longest line handed to a writer
inline constexpr size_t kLogErrorMessageChars = 511;
inline constexpr size_t kLogErrorTextChars = 510;

// Receives one formatted line (NUL-terminated, at most kLogLineChars characters).
using LogWriter = void (*)(const char* text);

// printf-style; the line is cut after kLogLineChars characters.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style message (cut after kLogErrorMessageChars), then three blanks and the system text
// of code (cut after kLogErrorTextChars, line breaks turned into blanks).
void LogError(DWORD code, const char* format, ...) __attribute__((format(printf, 2, 3)));

int LogSwitch();
void SetLogSwitch(int value);
// The writer lines go to; the plain writer until another is set. Null selects the plain writer.
LogWriter CurrentLogWriter();
void SetLogWriter(LogWriter writer);

// The lock that serialises the writers of one log; null means that writers produce no output.
CSync* LogLock();
void SetLogLock(CSync* lock);

}  // namespace nexoral

#endif  // NEXORAL_DIAGNOSTICS_LOG_H
