// The shared primitives: the lock whose held flag belongs to the object, the lazily created
// singletons and the reference-counted handle, alone and under many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "common/static_memory.h"
#include "common/sync.h"
#include "nexoral/ref_handle.h"

namespace nexoral {
namespace {

// Runs work(0) ... work(count - 1) on threads of their own and waits for them all.
void OnThreads(int count, const std::function<void(int)>& work) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back(work, t);
  for (std::thread& thread : threads) thread.join();
}

// After each step: whether the lock is held; another thread's TryLock takes it when it is not.
TEST(CCritSecTest, HeldFlagNestingAndForeignUnlocks) {
  CCritSec lock;
  const std::vector<std::pair<std::function<void()>, BOOL>> steps = {
      {[&] { lock.Unlock(); }, FALSE},  // while free: nothing
      {[&] { lock.Lock(); }, TRUE},
      {[&] { EXPECT_EQ(lock.TryLock(), FALSE); }, TRUE},  // the holder's own TryLock fails
      {[&] { OnThreads(1, [&](int) { lock.Unlock(); }); }, TRUE},  // not the holder: nothing
      {[&] { CSyncGuard inner(lock); }, TRUE},  // a nested guard comes and goes
      {[&] { lock.Unlock(); }, FALSE},          // the outermost unlock frees it
      {[&] { EXPECT_EQ(lock.TryLock(), TRUE); }, TRUE},
      {[&] { lock.Unlock(); }, FALSE},
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    steps[i].first();
    EXPECT_EQ(lock.IsLocked(), steps[i].second) << "step " << i;
    bool taken = false;  // by another thread, which releases what it took
    OnThreads(1, [&](int) { taken = lock.TryLock() && (lock.Unlock(), true); });
    EXPECT_EQ(taken, !steps[i].second) << "step " << i;
  }
}

std::atomic<int> constructions{0};
std::atomic<int> destroyed{0};
struct Base {
  virtual ~Base() = default;
};
struct Derived : Base {
  Derived() { constructions.fetch_add(1); }
  ~Derived() override { destroyed.fetch_add(1); }
};

// Guards on many threads exclude each other, and the first access of many threads at once
// makes one singleton instance.
TEST(CCritSecTest, GuardsAndSingletonsUnderManyThreads) {
  CCritSec lock;
  lock.InitializeWithSpinCount(64);
  Mem_Manager::Static_memory<Derived> holder(lock);
  const int before = constructions.load();
  std::vector<Derived*> seen(8, nullptr);
  int counter = 0;  // deliberately not atomic: only the lock protects it
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  OnThreads(8, [&](int t) {
    seen[t] = holder.Acquire();
    for (int i = 0; i < 10000; ++i) {
      CSyncGuard guard(lock);
      if (inside.fetch_add(1) != 0) overlapped = true;
      ++counter;
      inside.fetch_sub(1);
    }
  });
  EXPECT_TRUE(!overlapped && counter == 80000) << counter;
  EXPECT_EQ(constructions.load() - before, 1);
  EXPECT_EQ(std::set<Derived*>(seen.begin(), seen.end()).size(), 1u);
  EXPECT_TRUE(seen[0] != nullptr && lock.IsLocked() == FALSE);
}

// Moves and self-assignment, copies made and dropped on many threads at once, then last
// releases racing each other: the record goes once, through its virtual destructor.
TEST(RefHandleTest, CopiesMovesAndConcurrentReleasesKeepTheCountExact) {
  destroyed = 0;
  CRefHandle<Base> moved(new Derived());
  CRefHandle<Base> shared = std::move(moved);
  CRefHandle<Base>& alias = shared;
  shared = alias;
  EXPECT_TRUE(!moved && shared.UseCount() == 1);
  OnThreads(8, [&shared](int) {
    std::vector<CRefHandle<Base>> held;
    for (int i = 0; i < 20000; ++i) {
      held.push_back(shared);
      if (held.size() == 16) held.clear();
    }
  });
  EXPECT_EQ(shared.UseCount(), 1);
  EXPECT_EQ(destroyed.load(), 0);
  shared = CRefHandle<Base>();
  for (int round = 0; round < 200; ++round) {
    std::vector<CRefHandle<Base>> copies(4, CRefHandle<Base>(new Derived()));
    OnThreads(4, [&copies](int t) { copies[t].Release(); });
  }
  EXPECT_EQ(destroyed.load(), 201);
}

}  // namespace
}  // namespace nexoral
