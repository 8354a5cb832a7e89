// The one log state of the process.
#include "diagnostics/log_state.h"

#include <unistd.h>

#include "platform/system_paths.h"

namespace nexoral {
namespace {

void InitializeFields(LogState& state) {
  state.logPath = platform::FallbackLogPath();
  state.buffer.reserve(kLogBufferBytes);
}

}  // namespace

LogState::LogState() { InitializeFields(*this); }

// Static objects destroyed after this one may still log: the switch stays off from here on, so
// that Log returns before it touches anything else. The log modules stay loaded: this runs at
// exit or at the unload of the module, and unloading another module from here could unload the
// module that is running this very code.
LogState::~LogState() {
  logSwitch.store(kLogSwitchOff);
  std::lock_guard<std::mutex> guard(mutex);
  if (logModule != nullptr) logModule->KeepLoaded();
  for (const std::shared_ptr<platform::LoadedModule>& retired : retiredLogModules) {
    if (retired != nullptr) retired->KeepLoaded();
  }
}

LogState& ProcessLogState() {
  static LogState state;
  return state;
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
  if (state.logFile >= 0) close(state.logFile);
  state.logFile = -1;
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
