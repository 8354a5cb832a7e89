// The shared-memory writer: one named mapping that every process of the machine writes into.
//
// Whatever another process left in the header is checked before use: positions outside the
// mapping and sizes beyond it are never trusted, so a damaged header cannot make a write leave
// the mapping. Writing never goes below the header.
//
// Every process that uses the mapping holds a shared file lock on it (taken under the log lock,
// released by the system when the process ends, however it ends). The flush at unload asks for
// the lock alone: the process that gets it is the last user, writes the log file and removes the
// mapping.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "diagnostics/log_line.h"
#include "diagnostics/log_module_api.h"
#include "diagnostics/log_writers.h"
#include "platform/error_codes.h"
#include "platform/file_system.h"

namespace nexoral {
namespace {

constexpr int32_t kHeaderBytes = static_cast<int32_t>(kLogHeaderSize);
constexpr int32_t kLongestStamp = static_cast<int32_t>(kLogStampBytes) - 1;

std::string MappingNameFor(const std::string& logPath) {
  return "Global\\" + platform::FileNameOf(logPath);
}

int32_t ViewSize(const LogState& state) {
  const size_t length = state.sharedLog->ViewLength();
  return length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
}

void WriteHeader(LogState& state, int32_t writePosition) {
  const LogHeader header{writePosition, state.highWaterMark, state.wrapStart, state.sizeLimit};
  FormatLogHeader(header, state.sharedLog->View());
}

// Marks this process as a user of the mapping; refuses one that other accounts can reach.
bool TakeInUse(LogState& state, platform::SharedMemory& mapping, const std::string& name) {
  fchmod(mapping.Descriptor(), LogObjectMode());  // narrows an older object of this user
  if (!IsPrivateLogObject(mapping.Descriptor())) return false;
  if (flock(mapping.Descriptor(), LOCK_SH) != 0) return false;
  state.sharedLogName = name;
  return true;
}

bool StartNewMapping(LogState& state, std::unique_ptr<platform::SharedMemory> mapping) {
  if (mapping->Map(static_cast<size_t>(state.sizeLimit)) == nullptr) return false;
  state.sharedLog = std::move(mapping);
  state.dumpAtExit = true;
  state.highWaterMark = kHeaderBytes;
  WriteHeader(state, kHeaderBytes);
  return true;
}

// Maps a mapping another process made, adopting the size its header gives.
bool AdoptExistingMapping(LogState& state, std::unique_ptr<platform::SharedMemory> mapping) {
  const size_t objectSize = mapping->Size();
  if (objectSize < kLogHeaderSize) return false;  // its creator has not sized it yet
  const char* view = mapping->Map(kLogHeaderSize);
  if (view == nullptr) return false;
  LogHeader header;
  const bool readable = ParseLogHeader(view, &header);
  if (!readable || header.size <= kHeaderBytes) {
    state.sizeLimit = kHeaderBytes;  // nothing more is written into it
  } else {
    const size_t size = std::min({static_cast<size_t>(header.size), objectSize,
                                  static_cast<size_t>(kLargestLogSize)});
    if (mapping->Map(size) == nullptr) return false;
    state.sizeLimit = static_cast<int32_t>(size);
  }
  state.sharedLog = std::move(mapping);
  return true;
}

bool OpenSharedLog(LogState& state) {
  const std::string name = MappingNameFor(state.logPath);
  if (auto existing = platform::SharedMemory::Open(name)) {
    return TakeInUse(state, *existing, name) && AdoptExistingMapping(state, std::move(existing));
  }
  if (GetLastError() != kErrorFileNotFound) return false;
  if (auto created = platform::SharedMemory::Create(name, static_cast<size_t>(state.sizeLimit),
                                                    LogObjectMode())) {
    return TakeInUse(state, *created, name) && StartNewMapping(state, std::move(created));
  }
  // Another process created it in the meantime.
  if (GetLastError() != kErrorAlreadyExists) return false;
  auto existing = platform::SharedMemory::Open(name);
  return existing != nullptr && TakeInUse(state, *existing, name) &&
         AdoptExistingMapping(state, std::move(existing));
}

// Copies as much of data as fits below the size limit; returns the new position.
int32_t Append(LogState& state, int32_t position, const char* data, size_t length) {
  const int32_t room = std::max(state.sizeLimit - position, 0);
  const size_t copied = std::min(length, static_cast<size_t>(room));
  std::memcpy(state.sharedLog->View() + position, data, copied);
  return position + static_cast<int32_t>(copied);
}

// The write position for a line of textLength characters, taking the header's word for the
// size, the wrap start and the position when they make sense.
int32_t PositionForLine(LogState& state, size_t textLength) {
  // A later configuration may ask for more than the mapping this process holds.
  state.sizeLimit = std::min(state.sizeLimit, ViewSize(state));
  LogHeader header;
  const bool readable = ParseLogHeader(state.sharedLog->View(), &header);
  if (readable && header.size > 0) {
    state.sizeLimit = std::min(header.size, ViewSize(state));
    state.wrapStart = header.wrapStart;
    state.highWaterMark = header.highWaterMark;
  }
  const int32_t wrapPosition = std::max(state.wrapStart, kHeaderBytes);
  int32_t position = readable ? header.writePosition : wrapPosition;
  if (position < kHeaderBytes || position > state.sizeLimit) position = wrapPosition;
  const long long needed = static_cast<long long>(position) + kLongestStamp +
                           static_cast<long long>(textLength);
  if (state.sizeLimit <= needed) position = wrapPosition;
  return std::min(position, state.sizeLimit);
}

void WriteSharedLine(LogState& state, const char* text) {
  const size_t textLength = std::strlen(text);
  int32_t position = PositionForLine(state, textLength);
  if (state.sizeLimit <= kHeaderBytes) return;
  char stamp[kLogStampBytes];
  const size_t stampLength = FormatLogStamp(stamp);
  position = Append(state, position, stamp, stampLength);
  if (!state.linePrefix.empty()) {
    position = Append(state, position, state.linePrefix.data(), state.linePrefix.size());
  }
  position = Append(state, position, text, textLength);
  position = Append(state, position, " ", 1);
  state.highWaterMark = std::max(state.highWaterMark, position);
  WriteHeader(state, position);
}

}  // namespace

void SharedMemoryLogWriter(const char* text) {
  UnderLogLock(text, [](LogState& state, const char* line) {
    if (!WriteBitSet(state)) return;
    if (state.sizeLimit <= state.wrapStart || state.sizeLimit <= kHeaderBytes) return;
    if (state.sharedLog == nullptr && !OpenSharedLog(state)) return;
    WriteSharedLine(state, line);
  });
}

void FlushSharedLog(LogState& state) {
  if (state.sharedLog == nullptr || state.sharedLog->View() == nullptr) return;
  const bool lastUser = flock(state.sharedLog->Descriptor(), LOCK_EX | LOCK_NB) == 0;
  if (state.dumpAtExit || lastUser) {
    const int file = OpenLogFile(state.logPath, O_WRONLY | O_TRUNC);
    if (file >= 0) {
      const char* view = state.sharedLog->View();
      const void* firstZero = std::memchr(view, '\0', state.sharedLog->ViewLength());
      const size_t length = firstZero != nullptr ? static_cast<size_t>(static_cast<const char*>(firstZero) - view)
                                                 : state.sharedLog->ViewLength();
      platform::WriteAll(file, view, length, 0);
      close(file);
    }
  }
  // Closed, so that a line logged later starts again from a mapping of its own.
  state.sharedLog.reset();
  if (lastUser) platform::RemoveSharedMemory(state.sharedLogName);
}

}  // namespace nexoral
