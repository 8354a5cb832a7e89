// The buffered writer: lines gather in memory and go to the log file in large writes.
//
// The file's first 100 bytes hold the same header as the shared-memory log. Each process reads
// it under the log lock before writing, so that processes sharing one file continue each
// other's lines instead of writing over them. A write that fails keeps the pending lines for
// the next attempt (up to kLongestPendingBytes; beyond that the oldest pending lines go).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "diagnostics/log_line.h"
#include "diagnostics/log_writers.h"
#include "platform/file_system.h"

namespace nexoral {
namespace {

constexpr int32_t kHeaderBytes = static_cast<int32_t>(kLogHeaderSize);
constexpr size_t kLongestPendingBytes = 1 << 20;

bool EnsureLogFileOpen(LogState& state) {
  if (state.logFile >= 0) return true;
  state.logFile = OpenLogFile(state.logPath, O_RDWR);
  return state.logFile >= 0;
}

// Takes the position another process left in the file's header, when there is one.
void ReadSharedPosition(LogState& state) {
  char bytes[kLogHeaderSize];
  if (pread(state.logFile, bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes))) return;
  LogHeader header;
  if (!ParseLogHeader(bytes, &header) || header.writePosition < kHeaderBytes) return;
  state.filePosition = header.writePosition;
  state.highWaterMark = std::max(state.highWaterMark, header.highWaterMark);
}

void WriteSharedPosition(LogState& state) {
  const LogHeader header{state.filePosition, state.highWaterMark, state.wrapStart, state.sizeLimit};
  char bytes[kLogHeaderSize];
  FormatLogHeader(header, bytes);
  platform::WriteAll(state.logFile, bytes, sizeof(bytes), 0);
}

// Where the next write goes: after the header at first, after the wrap start once full.
void ChooseWritePosition(LogState& state) {
  if (state.filePosition < state.sizeLimit) {
    if (state.filePosition < kHeaderBytes) state.filePosition = kHeaderBytes;
    return;
  }
  state.filePosition = std::max(state.wrapStart + 1, kHeaderBytes);
}

void DropOldestPendingLines(LogState& state) {
  if (state.buffer.size() <= kLongestPendingBytes) return;
  // Lines start with "\r\n"; keep whole lines from the newest end.
  const size_t cut = state.buffer.find("\r\n", state.buffer.size() - kLongestPendingBytes);
  state.buffer.erase(0, cut == std::string::npos ? state.buffer.size() : cut);
}

// Writes the pending lines at the shared position; false when the file could not take them.
bool WritePendingLines(LogState& state) {
  if (state.buffer.empty()) return true;
  if (!EnsureLogFileOpen(state)) return false;
  ReadSharedPosition(state);
  ChooseWritePosition(state);
  if (!platform::WriteAll(state.logFile, state.buffer.data(), state.buffer.size(),
                          state.filePosition)) {
    DropOldestPendingLines(state);
    return false;
  }
  const long long end = static_cast<long long>(state.filePosition) +
                        static_cast<long long>(state.buffer.size());
  state.filePosition = end > INT32_MAX ? INT32_MAX : static_cast<int32_t>(end);
  state.highWaterMark = std::max(state.highWaterMark, state.filePosition);
  state.buffer.clear();
  WriteSharedPosition(state);
  return true;
}

}  // namespace

void BufferedLogWriter(const char* text) {
  UnderLogLock(text, [](LogState& state, const char* line) {
    if (!WriteBitSet(state) || state.sizeLimit <= state.wrapStart) return;
    const size_t lineLength = std::strlen(line);
    const bool due = state.buffer.size() + kLogStampBytes + lineLength + 1 >= kLogBufferBytes;
    char stamp[kLogStampBytes];
    state.buffer.append(stamp, FormatLogStamp(stamp));
    state.buffer.append(line, lineLength);
    if (due) WritePendingLines(state);
  });
}

void FlushBufferedLog(LogState& state) {
  if (WritePendingLines(state) && state.logFile >= 0) fsync(state.logFile);
}

}  // namespace nexoral
