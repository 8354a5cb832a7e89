// The three log writers and FlushLog. Each writer takes one formatted line, writes nothing
// while the log lock is null, and holds the lock for the whole line.
//
// - Shared memory: every process of the machine writes into one named mapping ("Global\\" and
//   the log file's name); the mapping's header holds the common write position. Full, it
//   wraps to the wrap start, keeping the bytes before it. FlushLog writes it to the log path.
// - Buffered file: lines gather in memory and go to the log file when 51200 bytes would fill;
//   the file's first 100 bytes hold a header with the common write position, so that processes
//   sharing the file continue each other's lines. Full, it wraps after the wrap start.
// - Plain file: each line is appended to the log path with the date and time.
#ifndef NEXORAL_DIAGNOSTICS_LOG_WRITERS_H
#define NEXORAL_DIAGNOSTICS_LOG_WRITERS_H

#include "diagnostics/log_state.h"

namespace nexoral {

void SharedMemoryLogWriter(const char* text);
void BufferedLogWriter(const char* text);
void PlainLogWriter(const char* text);

// At unload: the buffered writer's pending lines go to its file; the shared-memory log is
// written to the log path when this process created it or writes a log of its own.
void FlushLog();

// The two halves of FlushLog; the caller holds the state mutex.
void FlushSharedLog(LogState& state);
void FlushBufferedLog(LogState& state);

}  // namespace nexoral

#endif  // NEXORAL_DIAGNOSTICS_LOG_WRITERS_H
