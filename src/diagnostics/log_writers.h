// The three log writers and FlushLog. Each writer takes one formatted line, writes nothing
// while the log lock is null, and holds the lock for the whole line.
//
// - Shared memory: every process of the machine writes into one named mapping ("Global\\" and
//   the log file's name); the mapping's header holds the common write position. Full, it
//   wraps to the wrap start, keeping the bytes before it. FlushLog writes it to the log path;
//   the last process that uses it removes it.
// - Buffered file: lines gather in memory and go to the log file when 51200 bytes would fill;
//   the file's first 100 bytes hold a header with the common write position, so that processes
//   sharing the file continue each other's lines. Full, it wraps after the wrap start.
// - Plain file: each line is appended to the log path with the date and time, through a
//   descriptor kept open between lines (opened again when the path changes, a write fails, or,
//   looked at once a second, the path no longer names the open file).
#ifndef NEXORAL_DIAGNOSTICS_LOG_WRITERS_H
#define NEXORAL_DIAGNOSTICS_LOG_WRITERS_H

#include <mutex>

#include "diagnostics/log_state.h"

namespace nexoral {

void SharedMemoryLogWriter(const char* text);
void BufferedLogWriter(const char* text);
void PlainLogWriter(const char* text);

// At unload: the buffered writer's pending lines go to its file; the shared-memory log is
// written to the log path when this process created it, writes a log of its own or is its last
// user, and the last user removes it. The plain writer's file is closed.
void FlushLog();

// For the writers: runs write(state, text) holding the log lock for the whole line, then the
// state mutex; does nothing without a lock or a text.
template <class Write>
void UnderLogLock(const char* text, Write write) {
  CSync* lock = LogLock();
  if (lock == nullptr || text == nullptr) return;
  CSyncGuard locked(*lock);
  LogState& state = ProcessLogState();
  std::lock_guard<std::mutex> guard(state.mutex);
  write(state, text);
}

inline bool WriteBitSet(const LogState& state) {
  return (state.logSwitch.load() & kLogSwitchWrite) != 0;
}

// Opens the log file, creating it and its folders: a new file gets LogFileMode() whatever the
// umask, an existing one that grants more is narrowed to it. -1 on failure.
int OpenLogFile(const std::string& path, int flags);

// The two halves of FlushLog; the caller holds the state mutex.
void FlushSharedLog(LogState& state);
void FlushBufferedLog(LogState& state);

// Closes the plain writer's file, if open; the caller holds the state mutex. Its next line
// opens it again.
void ClosePlainLog(LogState& state);

}  // namespace nexoral

#endif  // NEXORAL_DIAGNOSTICS_LOG_WRITERS_H
