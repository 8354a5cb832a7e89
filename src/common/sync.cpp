// CCritSec over the platform critical section.
#include "common/sync.h"

namespace nexoral {

void CCritSec::Lock() {
  section_.Enter();
  held_.store(true, std::memory_order_release);
}

void CCritSec::Unlock() {
  if (!held_.load(std::memory_order_acquire)) return;
  if (!section_.IsOwnedByCurrentThread()) return;
  // A nested Lock of the same thread keeps the flag until the outermost Unlock, so that the
  // section is left as often as it was entered.
  if (section_.Depth() == 1) held_.store(false, std::memory_order_release);
  section_.Leave();
}

BOOL CCritSec::TryLock() {
  if (held_.load(std::memory_order_acquire)) return FALSE;
  if (!section_.TryEnter()) return FALSE;
  held_.store(true, std::memory_order_release);
  return TRUE;
}

BOOL CCritSec::IsLocked() { return held_.load(std::memory_order_acquire) ? TRUE : FALSE; }

DWORD CCritSec::InitializeWithSpinCount(DWORD spinCount) {
  section_.SetSpinCount(spinCount < 1 ? 0 : spinCount);
  return 0;
}

DWORD CCritSec::Initialize() {
  section_.SetSpinCount(0);
  return 0;
}

// The section lives as long as the object; nothing to release early.
DWORD CCritSec::Delete() { return 0; }

}  // namespace nexoral
