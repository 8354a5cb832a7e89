// The log module: gives out the lock objects that serialise the writers of one log across the
// threads and processes of the machine. Each log name has one lock object per process, kept
// until the module is unloaded. The option value selects the kind: 0 a lock for this process
// only, any other value a lock shared with every process of the machine.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "diagnostics/log_module_api.h"
#include "log_locks.h"

namespace {

using nexoral::CSync;
using nexoral::logmodule::LogLock;

constexpr char kCommonLogLockName[] = "ZQCommonLog";

class LockRegistry {
 public:
  CSync* LockFor(const std::string& logName, int option) {
    const bool shared = option != 0;
    const std::string key = (shared ? "shared:" : "local:") + logName;
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = locks_.find(key);
    if (found != locks_.end()) return found->second.get();
    std::unique_ptr<LogLock> lock = shared ? LogLock::OpenShared(logName) : LogLock::MakeLocal();
    if (lock == nullptr) return nullptr;
    return locks_.emplace(key, std::move(lock)).first->second.get();
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<LogLock>> locks_;
};

// The locks given out live until the process ends: clients keep writing under them from their
// own exit code, which may run after this module's static objects are gone.
LockRegistry& Registry() {
  static LockRegistry* registry = new LockRegistry;
  return *registry;
}

void StoreLock(CSync** lock, CSync* found) {
  if (lock != nullptr && found != nullptr) *lock = found;
}

}  // namespace

extern "C" void GetProductCS(const char* logName, CSync** lock, int option) {
  try {
    StoreLock(lock, Registry().LockFor(logName != nullptr ? logName : "", option));
  } catch (...) {
    // No lock: the log writes nothing, and the caller goes on.
  }
}

extern "C" void GetGeneralCS(CSync** lock, int option) {
  try {
    StoreLock(lock, Registry().LockFor(kCommonLogLockName, option));
  } catch (...) {
  }
}

// The signatures the callers use.
static_assert(std::is_same_v<decltype(&GetProductCS), nexoral::GetProductLockFunction>);
static_assert(std::is_same_v<decltype(&GetGeneralCS), nexoral::GetGeneralLockFunction>);
