// The lock objects of the log module: recursive mutexes behind the lock interface.
//
// A shared lock lives in a small POSIX shared-memory object named after the log
// ("/nexoral.loglock.<name>"): every process that asks for the same name gets the same mutex.
// It is robust: a holder that dies releases it, and the next taker finds it abandoned and
// takes it over. Its access is LogObjectMode() (diagnostics/log_module_api.h); an object other
// accounts can reach is refused. A local lock serialises the threads of this process only.
#ifndef NEXORAL_COMPONENTS_LOGMODULE_LOG_LOCKS_H
#define NEXORAL_COMPONENTS_LOGMODULE_LOG_LOCKS_H

#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>

#include "common/sync.h"

namespace nexoral::logmodule {

// The shared-memory object that holds the mutex of the named log.
std::string LockObjectName(const std::string& logName);

class LogLock final : public CSync {
 public:
  // Null when the shared object cannot be opened or made.
  static std::unique_ptr<LogLock> OpenShared(const std::string& logName);
  static std::unique_ptr<LogLock> MakeLocal();
  ~LogLock() override;
  LogLock(const LogLock&) = delete;
  LogLock& operator=(const LogLock&) = delete;

  // Waits for the lock; the holding thread may lock again.
  void Lock() override;
  // Releases one Lock of the calling thread; does nothing for a thread that does not hold it.
  void Unlock() override;
  BOOL TryLock() override;
  // True while a thread of this process holds the lock.
  BOOL IsLocked() override { return depth_.load() > 0 ? 1 : 0; }
  DWORD InitializeWithSpinCount(DWORD) override { return 0; }
  DWORD Initialize() override { return 0; }
  DWORD Delete() override { return 0; }

 private:
  LogLock(pthread_mutex_t* mutex, void* mapping, size_t mappingSize)
      : mutex_(mutex), mapping_(mapping), mappingSize_(mappingSize) {}
  bool Took(int result);

  pthread_mutex_t* mutex_;
  void* mapping_;       // the shared object, or null for a local lock
  size_t mappingSize_;
  std::atomic<int> depth_{0};  // Lock calls of this process not yet unlocked
};

}  // namespace nexoral::logmodule

#endif  // NEXORAL_COMPONENTS_LOGMODULE_LOG_LOCKS_H
