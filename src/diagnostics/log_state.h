// The process-wide state of the log: its switch, writer, path, sizes, line prefix, lock and the
// files and mappings its writers opened. One instance per process (ProcessLogState).
//
// Writers hold the log lock (shared with other processes) and then the state mutex (this
// process) for a whole line; configuring the log changes the fields under the state mutex, so
// that a writer never sees a path or prefix half-changed.
#ifndef NEXORAL_DIAGNOSTICS_LOG_STATE_H
#define NEXORAL_DIAGNOSTICS_LOG_STATE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/sync.h"
#include "diagnostics/log.h"
#include "platform/module_loader.h"
#include "platform/shared_memory.h"

namespace nexoral {

inline constexpr size_t kLogPathChars = 260;  // longest log path
inline constexpr int32_t kDefaultLogSizeLimit = 10485760;
inline constexpr int32_t kDefaultLogWrapStart = 20480;
// The size item's range in kilobytes: above the wrap start, at most 1 GiB.
inline constexpr int32_t kSmallestLogSizeKb = 21;
inline constexpr int32_t kLargestLogSizeKb = 1048576;
inline constexpr int32_t kLargestLogSize = kLargestLogSizeKb * 1024;
inline constexpr size_t kLogBufferBytes = 51200;  // the buffered writer writes when this fills
inline constexpr int32_t kLogHeaderBytes = 100;   // text header of the shared and buffered logs

struct LogState {
  LogState();
  ~LogState();
  LogState(const LogState&) = delete;
  LogState& operator=(const LogState&) = delete;

  std::atomic<int> logSwitch{kLogSwitchOff};
  std::atomic<LogWriter> writer{nullptr};  // null: the plain writer
  std::atomic<CSync*> logLock{nullptr};
  // The last lock the log module gave out; FlushLog writes under it after the log lock is
  // cleared at shutdown.
  std::atomic<CSync*> flushLock{nullptr};

  // Guards everything below.
  std::mutex mutex;
  std::string logPath;  // at most kLogPathChars characters
  int32_t sizeLimit = kDefaultLogSizeLimit;
  int32_t wrapStart = kDefaultLogWrapStart;
  std::string linePrefix;
  // The log module that gave out the lock, and earlier ones: lock objects live inside them,
  // so none is unloaded while the process may still write.
  std::shared_ptr<platform::LoadedModule> logModule;
  std::vector<std::shared_ptr<platform::LoadedModule>> retiredLogModules;
  bool dumpAtExit = false;
  std::unique_ptr<platform::SharedMemory> sharedLog;  // its view is the shared view
  std::string sharedLogName;                          // the mapping's name
  int logFile = -1;
  std::string buffer;  // pending lines of the buffered writer
  // The plain writer's open file, the path it was opened at, when (monotonic
  // milliseconds) to look next whether that path still names it, and its entry being written.
  int plainFile = -1;
  std::string plainFilePath;
  int64_t plainFileCheckDue = 0;
  std::string plainEntry;
  int32_t filePosition = 0;
  int32_t highWaterMark = 0;
  bool firstUse = true;
};

LogState& ProcessLogState();

// Returns the log to its state at process start, closing what the writers opened and keeping
// the shared-memory objects for the other processes.
void ResetLogState();

}  // namespace nexoral

#endif  // NEXORAL_DIAGNOSTICS_LOG_STATE_H
