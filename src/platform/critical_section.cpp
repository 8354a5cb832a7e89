// Recursive lock with owner tracking, standing in for a Windows critical section.
#include "platform/critical_section.h"

namespace nexoral::platform {

void CriticalSection::Enter() {
  const uint32_t spins = spinCount_.load(std::memory_order_relaxed);
  for (uint32_t attempt = 0; attempt < spins; ++attempt) {
    if (mutex_.try_lock()) {
      TakeOwnership();
      return;
    }
    std::this_thread::yield();
  }
  mutex_.lock();
  TakeOwnership();
}

bool CriticalSection::TryEnter() {
  if (!mutex_.try_lock()) return false;
  TakeOwnership();
  return true;
}

bool CriticalSection::Leave() {
  if (!IsOwnedByCurrentThread()) return false;
  if (--depth_ == 0) owner_.store(std::thread::id(), std::memory_order_release);
  mutex_.unlock();
  return true;
}

bool CriticalSection::IsOwnedByCurrentThread() const {
  return owner_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

void CriticalSection::TakeOwnership() {
  owner_.store(std::this_thread::get_id(), std::memory_order_release);
  ++depth_;
}

}  // namespace nexoral::platform
