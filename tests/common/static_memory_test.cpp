// Lazily created singletons: one instance however many threads ask first.
#include "common/static_memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace nexoral {
namespace {

std::atomic<int> constructions{0};

struct Counted {
  Counted() { constructions.fetch_add(1); }
};

TEST(StaticMemoryTest, ConcurrentFirstAccessCreatesOneInstance) {
  CCritSec lock;
  Mem_Manager::Static_memory<Counted> holder(lock);
  std::vector<Counted*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = holder.Acquire(); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(constructions.load(), 1);
  EXPECT_EQ(std::set<Counted*>(seen.begin(), seen.end()).size(), 1u);
  EXPECT_NE(seen[0], nullptr);
  EXPECT_EQ(lock.IsLocked(), FALSE);
}

}  // namespace
}  // namespace nexoral
