// FlushLog: what the writers hold back goes out when the module leaves the process.
#include <mutex>

#include "diagnostics/log_writers.h"

namespace nexoral {

void FlushLog() {
  LogState& state = ProcessLogState();
  CSync* lock = state.flushLock.load();
  if (lock != nullptr) lock->Lock();
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    ClosePlainLog(state);
    if (state.sharedLog == nullptr) {
      FlushBufferedLog(state);
    } else {
      FlushSharedLog(state);
    }
  }
  if (lock != nullptr) lock->Unlock();
}

}  // namespace nexoral
