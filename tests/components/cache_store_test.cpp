// The caches behind the cache component: eviction by count and age, replacing, invalidating,
// sharding, and the registry's start, stop, create and destroy rules.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "cache_interface.h"
#include "cache_registry.h"
#include "item_cache.h"
#include "platform/error_codes.h"

namespace nexoral::cache {
namespace {

using std::chrono::minutes;
using std::chrono::seconds;

class ManualClock final : public CacheClock {
 public:
  CacheTime Now() const override { return now_; }
  void Advance(std::chrono::steady_clock::duration step) { now_ += step; }

 private:
  CacheTime now_ = CacheTime() + std::chrono::hours(1);
};

class ItemCacheTest : public ::testing::Test {
 protected:
  ManualClock clock_;
};

TEST_F(ItemCacheTest, TheLeastRecentlyUsedItemGoesWhenTheCacheIsFull) {
  ItemCache cache(3, minutes(30), clock_);
  cache.Add("a", "1");
  cache.Add("b", "2");
  cache.Add("c", "3");
  EXPECT_EQ(cache.Get("a"), "1");  // a is now the most recently used: b is the oldest
  cache.Add("d", "4");
  EXPECT_EQ(cache.Count(), 3u);
  EXPECT_EQ(cache.Get("b"), std::nullopt);
  EXPECT_EQ(cache.Get("a"), "1");
  EXPECT_EQ(cache.Get("c"), "3");
  EXPECT_EQ(cache.Get("d"), "4");
  cache.Add("e", "5");  // a was read before c and d: it goes now
  EXPECT_EQ(cache.Get("a"), std::nullopt);
}

TEST_F(ItemCacheTest, ReplacingAKeyKeepsOneItemWithTheNewDataAndRenewsItsRecency) {
  ItemCache cache(2, minutes(30), clock_);
  cache.Add("a", "old");
  cache.Add("b", "2");
  cache.Add("a", "new");
  EXPECT_EQ(cache.Count(), 2u);
  cache.Add("c", "3");  // b is the least recently used now
  EXPECT_EQ(cache.Get("a"), "new");
  EXPECT_EQ(cache.Get("b"), std::nullopt);
}

TEST_F(ItemCacheTest, AnItemIsAMissFromItsLifetimeOnAndAReplacementStartsItsAgeAnew) {
  ItemCache cache(10, minutes(30), clock_);
  cache.Add("a", "1");
  cache.Add("b", "2");
  clock_.Advance(minutes(29) + seconds(59));
  EXPECT_EQ(cache.Get("a"), "1");  // reading does not renew the age
  cache.Add("b", "3");
  clock_.Advance(seconds(1));
  EXPECT_EQ(cache.Get("a"), std::nullopt);
  EXPECT_EQ(cache.Get("b"), "3");
  EXPECT_EQ(cache.Count(), 1u);  // the expired item was dropped when it was read
  clock_.Advance(minutes(30));
  EXPECT_EQ(cache.Get("b"), std::nullopt);
}

TEST_F(ItemCacheTest, InvalidateDropsOnlyTheKeyAndTellsWhetherItWasThere) {
  ItemCache cache(10, minutes(30), clock_);
  cache.Add("a", "1");
  cache.Add("b", "2");
  EXPECT_TRUE(cache.Invalidate("a"));
  EXPECT_FALSE(cache.Invalidate("a"));
  EXPECT_FALSE(cache.Invalidate("never"));
  EXPECT_EQ(cache.Get("a"), std::nullopt);
  EXPECT_EQ(cache.Get("b"), "2");
}

TEST_F(ItemCacheTest, KeysAndDataAreKeptByteForByte) {
  ItemCache cache(10, minutes(30), clock_);
  const std::string key("k\0ey", 4);
  const std::string data("<SETTINGS>\0\xff</SETTINGS>", 24);
  cache.Add(key, data);
  EXPECT_EQ(cache.Get(key), data);
  EXPECT_EQ(cache.Get("k"), std::nullopt);
  cache.Add("empty", "");
  EXPECT_EQ(cache.Get("empty"), "");
}

TEST(ShardingTest, AShardedCacheNeverHoldsMoreThanItsMaximumAndKeepsTheRecentItems) {
  ManualClock clock;
  ItemCache cache(3001, minutes(30), clock);
  for (int index = 0; index < 20000; ++index) {
    cache.Add("user" + std::to_string(index), std::to_string(index));
  }
  EXPECT_LE(cache.Count(), 3001u);
  EXPECT_GT(cache.Count(), 2700u);  // the shards fill about evenly
  for (int index = 19990; index < 20000; ++index) {
    EXPECT_EQ(cache.Get("user" + std::to_string(index)), std::to_string(index));
  }
}

class CacheRegistryTest : public ::testing::Test {
 protected:
  ManualClock clock_;
  CacheRegistry registry_{clock_};
  HRESULT failure_ = kSOk;
};

TEST_F(CacheRegistryTest, NothingWorksBeforeTheStart) {
  EXPECT_EQ(registry_.Create("c", 10, minutes(5)), kCacheENotInitialized);
  EXPECT_EQ(registry_.Destroy("c"), kCacheENotInitialized);
  EXPECT_EQ(registry_.Find("c", &failure_), nullptr);
  EXPECT_EQ(failure_, kCacheENotInitialized);
  EXPECT_EQ(registry_.Stop(), kCacheENotInitialized);
}

TEST_F(CacheRegistryTest, CachesAreFoundByTheirExactNameUntilDestroyed) {
  ASSERT_EQ(registry_.Start(), kSOk);
  ASSERT_EQ(registry_.Create("HiddenMessage", 10, minutes(5)), kSOk);
  ItemCache* cache = registry_.Find("HiddenMessage", &failure_);
  ASSERT_NE(cache, nullptr);
  cache->Add("bob", "text");
  EXPECT_EQ(registry_.Find("hiddenmessage", &failure_), nullptr);
  EXPECT_EQ(failure_, kCacheEUnknownCache);

  // Creating a taken name keeps the cache, its items and its limits.
  EXPECT_EQ(registry_.Create("HiddenMessage", 99, minutes(50)), kSFalse);
  cache = registry_.Find("HiddenMessage", &failure_);
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->MaxItems(), 10u);
  EXPECT_EQ(cache->Get("bob"), "text");

  EXPECT_EQ(registry_.Destroy("HiddenMessage"), kSOk);
  EXPECT_EQ(registry_.Find("HiddenMessage", &failure_), nullptr);
  EXPECT_EQ(failure_, kCacheEUnknownCache);
  EXPECT_EQ(registry_.Destroy("HiddenMessage"), kCacheEUnknownCache);
  ASSERT_EQ(registry_.Create("HiddenMessage", 10, minutes(5)), kSOk);
  cache = registry_.Find("HiddenMessage", &failure_);
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->Get("bob"), std::nullopt);  // a new cache starts empty
}

TEST_F(CacheRegistryTest, EveryStartNeedsItsStopAndTheLastStopDropsEveryCache) {
  ASSERT_EQ(registry_.Start(), kSOk);
  ASSERT_EQ(registry_.Start(), kSFalse);
  ASSERT_EQ(registry_.Create("ADUserConfig", 10, minutes(5)), kSOk);
  EXPECT_EQ(registry_.Stop(), kSOk);
  EXPECT_NE(registry_.Find("ADUserConfig", &failure_), nullptr);  // another client still runs
  EXPECT_EQ(registry_.Stop(), kSOk);
  EXPECT_EQ(registry_.Find("ADUserConfig", &failure_), nullptr);
  EXPECT_EQ(failure_, kCacheENotInitialized);
  ASSERT_EQ(registry_.Start(), kSOk);
  EXPECT_EQ(registry_.Find("ADUserConfig", &failure_), nullptr);
  EXPECT_EQ(failure_, kCacheEUnknownCache);
}

TEST_F(CacheRegistryTest, ANewRegistryAtTheAddressOfAnOldOneIsNotConfusedWithIt) {
  // The calling thread keeps a snapshot of the last registry it used.
  ASSERT_EQ(registry_.Start(), kSOk);
  ASSERT_EQ(registry_.Create("old", 10, minutes(5)), kSOk);
  ASSERT_NE(registry_.Find("old", &failure_), nullptr);
  registry_.~CacheRegistry();
  new (&registry_) CacheRegistry(clock_);
  EXPECT_EQ(registry_.Find("old", &failure_), nullptr);
  EXPECT_EQ(failure_, kCacheENotInitialized);
}

}  // namespace
}  // namespace nexoral::cache
