// CCritSec: the held flag belongs to the object, nesting, and mutual exclusion.
#include "common/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace nexoral {
namespace {

// TryLock on another thread; releases what it took.
BOOL TryLockElsewhere(CCritSec& lock) {
  BOOL taken = FALSE;
  std::thread([&] {
    taken = lock.TryLock();
    if (taken) lock.Unlock();
  }).join();
  return taken;
}

TEST(CCritSecTest, TryLockFailsWhileAnyThreadHoldsTheLockTheHolderIncluded) {
  CCritSec lock;
  lock.Lock();
  EXPECT_EQ(lock.TryLock(), FALSE);
  EXPECT_EQ(TryLockElsewhere(lock), FALSE);
  EXPECT_EQ(lock.IsLocked(), TRUE);
  lock.Unlock();
  EXPECT_EQ(lock.IsLocked(), FALSE);
  EXPECT_EQ(TryLockElsewhere(lock), TRUE);

  ASSERT_EQ(lock.TryLock(), TRUE);
  EXPECT_EQ(TryLockElsewhere(lock), FALSE);
  lock.Unlock();
}

TEST(CCritSecTest, UnlockByAThreadThatDoesNotHoldTheLockDoesNothing) {
  CCritSec lock;
  lock.Unlock();
  EXPECT_EQ(lock.IsLocked(), FALSE);
  lock.Lock();
  std::thread([&] { lock.Unlock(); }).join();
  EXPECT_EQ(lock.IsLocked(), TRUE);
  EXPECT_EQ(TryLockElsewhere(lock), FALSE);
  lock.Unlock();
}

// Nested guards on one thread must leave the lock free for others once both are gone.
TEST(CCritSecTest, NestedGuardsReleaseTheLockCompletely) {
  CCritSec lock;
  {
    CSyncGuard outer(lock);
    { CSyncGuard inner(lock); }
    EXPECT_EQ(lock.IsLocked(), TRUE);
    EXPECT_EQ(TryLockElsewhere(lock), FALSE);
  }
  EXPECT_EQ(lock.IsLocked(), FALSE);
  EXPECT_EQ(TryLockElsewhere(lock), TRUE);
}

TEST(CCritSecTest, GuardUnlocksWhenAnExceptionLeavesTheScope) {
  CCritSec lock;
  try {
    CSyncGuard guard(lock);
    throw std::runtime_error("leave");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(lock.IsLocked(), FALSE);
}

TEST(CCritSecTest, GuardsExcludeEachOtherAcrossThreads) {
  CCritSec lock;
  lock.InitializeWithSpinCount(64);
  int counter = 0;  // deliberately not atomic: only the lock protects it
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        CSyncGuard guard(lock);
        if (inside.fetch_add(1) != 0) overlapped = true;
        ++counter;
        inside.fetch_sub(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(counter, 80000);
}

}  // namespace
}  // namespace nexoral
