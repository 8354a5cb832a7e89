// CriticalSection: a lock that the owning thread may enter again (each entry needs its own
// leave), with a non-blocking try and an optional spin before blocking. Any thread may use it;
// only the owner's Leave releases it.
#ifndef NEXORAL_PLATFORM_CRITICAL_SECTION_H
#define NEXORAL_PLATFORM_CRITICAL_SECTION_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace nexoral::platform {

class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Number of non-blocking attempts Enter makes before it blocks.
  void SetSpinCount(uint32_t spinCount) { spinCount_.store(spinCount, std::memory_order_relaxed); }

  void Enter();
  // Enters when the section is free or already owned by the caller; never blocks.
  bool TryEnter();
  // Leaves one entry. False (nothing done) when the caller does not own the section.
  bool Leave();
  bool IsOwnedByCurrentThread() const;
  // Entries the owner holds; meaningful to the owner only.
  uint32_t Depth() const { return depth_; }

 private:
  void TakeOwnership();

  std::recursive_mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  uint32_t depth_ = 0;  // written only by the owner
  std::atomic<uint32_t> spinCount_{0};
};

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_CRITICAL_SECTION_H
