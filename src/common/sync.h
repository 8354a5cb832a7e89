// CSync, the lock interface, and CCritSec, its implementation over a critical section with a
// held flag that belongs to the object, not to a thread: TryLock fails while any thread holds
// the lock through this object, the holder included. Used through CSyncGuard only.
#ifndef NEXORAL_COMMON_SYNC_H
#define NEXORAL_COMMON_SYNC_H

#include <atomic>
#include <cstdint>

#include "nexoral/win_types.h"
#include "platform/critical_section.h"

namespace nexoral {

// Slot order matters: other modules (the log module's lock objects) implement this interface.
class CSync {
 public:
  virtual ~CSync() = default;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  virtual BOOL TryLock() = 0;
  virtual BOOL IsLocked() = 0;
  virtual DWORD InitializeWithSpinCount(DWORD spinCount) = 0;
  virtual DWORD Initialize() = 0;
  virtual DWORD Delete() = 0;
};

class CCritSec final : public CSync {
 public:
  CCritSec() = default;
  CCritSec(const CCritSec&) = delete;
  CCritSec& operator=(const CCritSec&) = delete;

  // Enters the section (waiting for another holder) and sets the held flag. The holding thread
  // may lock again; each Lock needs its Unlock.
  void Lock() override;
  // Releases one Lock of the calling thread; the held flag clears with the outermost one.
  // Does nothing when the flag is clear or the caller does not hold the lock.
  void Unlock() override;
  // 0 without trying when the held flag is set; otherwise one attempt that never waits.
  BOOL TryLock() override;
  BOOL IsLocked() override;
  // A count of at least 1 makes Lock retry that many times before it waits. Returns 0.
  DWORD InitializeWithSpinCount(DWORD spinCount) override;
  DWORD Initialize() override;
  DWORD Delete() override;

 private:
  platform::CriticalSection section_;
  std::atomic<bool> held_{false};
};

// Locks on construction and unlocks on every exit of the scope.
class CSyncGuard {
 public:
  explicit CSyncGuard(CSync& lock) : lock_(lock) { lock_.Lock(); }
  ~CSyncGuard() { lock_.Unlock(); }
  CSyncGuard(const CSyncGuard&) = delete;
  CSyncGuard& operator=(const CSyncGuard&) = delete;

 private:
  CSync& lock_;
};

}  // namespace nexoral

#endif  // NEXORAL_COMMON_SYNC_H
