// CRefHandle: shared ownership across copies, threads and class hierarchies.
#include "nexoral/ref_handle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<int> destroyed{0};

struct Base {
  virtual ~Base() = default;
};
struct Derived : Base {
  ~Derived() override { destroyed.fetch_add(1); }
};

class RefHandleTest : public ::testing::Test {
 protected:
  void SetUp() override { destroyed = 0; }
};

TEST_F(RefHandleTest, LastReleaseDestroysThroughTheVirtualDestructor) {
  CRefHandle<Base> first(new Derived());
  CRefHandle<Base> second = first;
  EXPECT_EQ(first.UseCount(), 2);
  first.Release();
  EXPECT_FALSE(first);
  EXPECT_EQ(destroyed.load(), 0);
  second.Release();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(RefHandleTest, MoveAndSelfAssignmentKeepOneReference) {
  CRefHandle<Base> handle(new Derived());
  CRefHandle<Base> moved = std::move(handle);
  EXPECT_FALSE(handle);
  EXPECT_EQ(moved.UseCount(), 1);
  CRefHandle<Base>& alias = moved;
  moved = alias;
  EXPECT_EQ(moved.UseCount(), 1);
  moved = CRefHandle<Base>();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(RefHandleTest, ConcurrentCopiesKeepTheCountExact) {
  CRefHandle<Base> shared(new Derived());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&shared] {
      std::vector<CRefHandle<Base>> held;
      for (int i = 0; i < 20000; ++i) {
        held.push_back(shared);
        if (held.size() == 16) held.clear();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(shared.UseCount(), 1);
  EXPECT_EQ(destroyed.load(), 0);
  shared.Release();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(RefHandleTest, ConcurrentLastReleasesDestroyExactlyOnce) {
  for (int round = 0; round < 200; ++round) {
    CRefHandle<Base> original(new Derived());
    std::vector<CRefHandle<Base>> copies(4, original);
    original.Release();
    std::vector<std::thread> threads;
    for (CRefHandle<Base>& copy : copies) threads.emplace_back([&copy] { copy.Release(); });
    for (std::thread& thread : threads) thread.join();
  }
  EXPECT_EQ(destroyed.load(), 200);
}

}  // namespace
