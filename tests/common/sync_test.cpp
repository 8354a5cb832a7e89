// CCritSec: the held flag belongs to the object, nesting, and mutual exclusion.
#include "common/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace nexoral {
namespace {

// Runs fn on another thread and returns its result.
template <class Fn>
auto OnOtherThread(Fn fn) {
  decltype(fn()) result{};
  std::thread thread([&] { result = fn(); });
  thread.join();
  return result;
}

TEST(CCritSecTest, TryLockFailsWhileTheSameThreadHoldsIt) {
  CCritSec lock;
  lock.Lock();
  EXPECT_EQ(lock.TryLock(), FALSE);
  EXPECT_EQ(lock.IsLocked(), TRUE);
  lock.Unlock();
  EXPECT_EQ(lock.IsLocked(), FALSE);
}

TEST(CCritSecTest, TryLockFailsWhileAnotherThreadHoldsIt) {
  CCritSec lock;
  lock.Lock();
  EXPECT_EQ(OnOtherThread([&] { return lock.TryLock(); }), FALSE);
  lock.Unlock();
  EXPECT_EQ(OnOtherThread([&] {
              const BOOL taken = lock.TryLock();
              if (taken) lock.Unlock();
              return taken;
            }),
            TRUE);
}

TEST(CCritSecTest, TryLockOnAFreeLockHoldsItUntilUnlock) {
  CCritSec lock;
  ASSERT_EQ(lock.TryLock(), TRUE);
  EXPECT_EQ(lock.IsLocked(), TRUE);
  EXPECT_EQ(OnOtherThread([&] { return lock.TryLock(); }), FALSE);
  lock.Unlock();
  EXPECT_EQ(lock.IsLocked(), FALSE);
}

TEST(CCritSecTest, UnlockWithoutLockDoesNothing) {
  CCritSec lock;
  lock.Unlock();
  EXPECT_EQ(lock.IsLocked(), FALSE);
  EXPECT_EQ(lock.TryLock(), TRUE);
  lock.Unlock();
}

TEST(CCritSecTest, UnlockFromAThreadThatDoesNotHoldItDoesNothing) {
  CCritSec lock;
  lock.Lock();
  std::thread([&] { lock.Unlock(); }).join();
  EXPECT_EQ(lock.IsLocked(), TRUE);
  EXPECT_EQ(OnOtherThread([&] { return lock.TryLock(); }), FALSE);
  lock.Unlock();
}

// Nested guards on one thread must leave the lock free for others once both are gone.
TEST(CCritSecTest, NestedGuardsReleaseTheLockCompletely) {
  CCritSec lock;
  {
    CSyncGuard outer(lock);
    {
      CSyncGuard inner(lock);
      EXPECT_EQ(lock.IsLocked(), TRUE);
    }
    EXPECT_EQ(lock.IsLocked(), TRUE);
    EXPECT_EQ(OnOtherThread([&] { return lock.TryLock(); }), FALSE);
  }
  EXPECT_EQ(lock.IsLocked(), FALSE);
  EXPECT_EQ(OnOtherThread([&] {
              const BOOL taken = lock.TryLock();
              if (taken) lock.Unlock();
              return taken;
            }),
            TRUE);
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
