// The one log state of the process.
#include "diagnostics/log_state.h"

#include <unistd.h>

#include "diagnostics/log_writers.h"
#include "platform/system_paths.h"

namespace nexoral {
namespace {

void InitializeFields(LogState& state) {
  state.logPath = platform::FallbackLogPath();
  state.buffer.reserve(kLogBufferBytes);
}

}  // namespace

LogState::LogState() { InitializeFields(*this); }

LogState::~LogState() { logSwitch.store(kLogSwitchOff); }

// The process's log state is never destroyed: at exit the module's own unload hook flushes the
// buffered lines after every static object is gone, and other static objects may still log.
// For the same reason the log modules it holds are never unloaded.
LogState& ProcessLogState() {
  static LogState* state = new LogState;
  return *state;
}

void ResetLogState() {
  LogState& state = ProcessLogState();
  state.logSwitch.store(kLogSwitchOff);
  state.writer.store(nullptr);
  state.logLock.store(nullptr);
  state.flushLock.store(nullptr);
  std::lock_guard<std::mutex> guard(state.mutex);
  state.sizeLimit = kDefaultLogSizeLimit;
  state.wrapStart = kDefaultLogWrapStart;
  state.linePrefix.clear();
  state.dumpAtExit = false;
  state.sharedLog.reset();
  state.sharedLogName.clear();
  if (state.logFile >= 0) close(state.logFile);
  state.logFile = -1;
  ClosePlainLog(state);
  state.buffer.clear();
  state.filePosition = 0;
  state.highWaterMark = 0;
  state.firstUse = true;
  InitializeFields(state);
  // Modules last: the lock objects above came from them.
  state.logModule.reset();
  state.retiredLogModules.clear();
}

}  // namespace nexoral
