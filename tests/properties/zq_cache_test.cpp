// CZQCache against the cache component: the operations end to end, the texts of every failure,
// and many threads at once.
#include "properties/zq_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "harness/diagnostics_capture.h"
#include "harness/temp_folder.h"
#include "platform/com_errors.h"
#include "platform/component_factory.h"
#include "platform/error_codes.h"
#include "properties/component_doubles.h"

namespace nexoral {
namespace {

using testing::EventCapture;
using testing::LogCapture;
using testing::ScriptedComponents;

class ZQCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv(platform::kComponentsFolderVariable, NEXORAL_COMPONENTS_BUILD_DIR, 1); }
  void TearDown() override {
    if (client_.IsInitialized()) client_.Shutdown();
  }

  // A started client with one cache.
  void StartWithCache(const std::string& name, int32_t maxItems = 100) {
    ASSERT_TRUE(client_.Init());
    ASSERT_TRUE(client_.CreateCache(name, maxItems, 30));
  }
  std::optional<std::string> Get(const std::string& cache, const std::string& key,
                                 const std::string& session = "s1") {
    std::optional<std::string> data = std::string("stale");
    EXPECT_TRUE(client_.GetItem(cache, key, &data, session));
    return data;
  }

  CZQCache client_;
  LogCapture log_;
  EventCapture events_;
};

TEST_F(ZQCacheTest, EveryOperationBeforeInitFailsWithItsTextAndNeverReachesTheComponent) {
  ScriptedComponents scripted;
  std::optional<std::string> data = std::string("stale");
  EXPECT_FALSE(client_.AddItem("c", "k", "d", "s"));
  EXPECT_FALSE(client_.GetItem("c", "k", &data, "s"));
  EXPECT_EQ(data, std::nullopt);
  EXPECT_FALSE(client_.InvalidateItem("c", "k"));
  EXPECT_FALSE(client_.CreateCache("c", 10, 30));
  EXPECT_FALSE(client_.DestroyCache("c"));
  EXPECT_TRUE(Failed(client_.Shutdown()));
  EXPECT_EQ(scripted.Cache().calls, 0);
  EXPECT_EQ(log_.Count("AddItem ZQCache is not initialized"), 1u);
  EXPECT_EQ(log_.Count("GetItem ZQCache is not initialized"), 1u);
  EXPECT_EQ(log_.Count("InvalidateItem ZQCache is not initialized"), 1u);
  EXPECT_EQ(log_.Count("CreateCache ZQCache is not initialized"), 2u);  // DestroyCache too
  EXPECT_EQ(log_.Count("Shutdown ZQCache is not initialized"), 1u);
}

TEST_F(ZQCacheTest, ItemsAreStoredReplacedReadAndInvalidated) {
  StartWithCache("HiddenMessage");
  EXPECT_EQ(Get("HiddenMessage", "bob"), std::nullopt);
  ASSERT_TRUE(client_.AddItem("HiddenMessage", "bob", "<SETTINGS><a>1</a></SETTINGS>", "s1"));
  EXPECT_EQ(Get("HiddenMessage", "bob"), "<SETTINGS><a>1</a></SETTINGS>");
  ASSERT_TRUE(client_.AddItem("HiddenMessage", "bob", "<SETTINGS><a>2</a></SETTINGS>", "s1"));
  EXPECT_EQ(Get("HiddenMessage", "bob"), "<SETTINGS><a>2</a></SETTINGS>");
  EXPECT_TRUE(client_.InvalidateItem("HiddenMessage", "bob"));
  EXPECT_EQ(Get("HiddenMessage", "bob"), std::nullopt);
  EXPECT_TRUE(client_.InvalidateItem("HiddenMessage", "bob"));  // nothing left to drop
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(ZQCacheTest, TheSessionTakesNoPartInFindingAnItemAndTheLatestStoreWins) {
  StartWithCache("HiddenMessage");
  ASSERT_TRUE(client_.AddItem("HiddenMessage", "bob", "from s1", "s1"));
  EXPECT_EQ(Get("HiddenMessage", "bob", "s2"), "from s1");
  EXPECT_EQ(Get("HiddenMessage", "bob", ""), "from s1");
  ASSERT_TRUE(client_.AddItem("HiddenMessage", "bob", "from s2", "s2"));
  EXPECT_EQ(Get("HiddenMessage", "bob", "s1"), "from s2");
}

TEST_F(ZQCacheTest, ADestroyedOrUnknownCacheFailsWithTheComponentsResultAndTheItemDetail) {
  StartWithCache("HiddenMessage");
  ASSERT_TRUE(client_.AddItem("HiddenMessage", "bob", "text", "s1"));
  ASSERT_TRUE(client_.DestroyCache("HiddenMessage"));
  std::optional<std::string> data;
  EXPECT_FALSE(client_.GetItem("HiddenMessage", "bob", &data, "s7"));
  EXPECT_EQ(data, std::nullopt);
  EXPECT_FALSE(client_.AddItem("Hidden", "bob", "text", "s8"));
  EXPECT_FALSE(client_.DestroyCache("HiddenMessage"));
  EXPECT_TRUE(log_.Contains("GetItem failed HR 0x80040201"));
  EXPECT_TRUE(log_.Contains(
      "[CZQCache::GetItem() ]  failed Key bob Data  Session s7 PropName HiddenMessage hr: 0X80040201"));
  EXPECT_TRUE(log_.Contains(
      "[CZQCache::AddItem() ]  failed Key bob Data text Session s8 PropName Hidden hr: 0X80040201"));
  EXPECT_TRUE(log_.Contains("DestroyCache failed HR 0x80040201"));
  ASSERT_TRUE(client_.CreateCache("HiddenMessage", 10, 30));  // a new, empty cache
  EXPECT_EQ(Get("HiddenMessage", "bob"), std::nullopt);
}

TEST_F(ZQCacheTest, ArgumentsOutsideTheBoundsAreRefused) {
  StartWithCache("c");
  EXPECT_FALSE(client_.AddItem("c", "", "d", "s"));
  EXPECT_FALSE(client_.AddItem("c", std::string(kCacheMaxKeyBytes + 1, 'k'), "d", "s"));
  EXPECT_FALSE(client_.AddItem("c", "k", std::string(kCacheMaxDataBytes + 1, 'd'), "s"));
  EXPECT_FALSE(client_.CreateCache("d", 0, 30));
  EXPECT_FALSE(client_.CreateCache("d", 10, -1));
  EXPECT_FALSE(client_.CreateCache("", 10, 30));
  EXPECT_EQ(log_.Count("failed HR 0x80070057"), 6u);
  EXPECT_TRUE(client_.AddItem("c", "k", std::string(kCacheMaxDataBytes, 'd'), "s"));
}

TEST_F(ZQCacheTest, ClientsShareTheCachesAndEachStartNeedsItsOwnShutdown) {
  StartWithCache("HiddenMessage");
  CZQCache other;
  ASSERT_TRUE(other.Init());
  ASSERT_TRUE(client_.AddItem("HiddenMessage", "bob", "shared", "s1"));
  std::optional<std::string> data;
  ASSERT_TRUE(other.GetItem("HiddenMessage", "bob", &data, "s2"));
  EXPECT_EQ(data, "shared");

  EXPECT_EQ(client_.Shutdown(), kSOk);
  EXPECT_TRUE(Failed(client_.Shutdown()));  // a second one must not end the other's start
  ASSERT_TRUE(other.GetItem("HiddenMessage", "bob", &data, "s2"));
  EXPECT_EQ(data, "shared");
  EXPECT_EQ(other.Shutdown(), kSOk);

  ASSERT_TRUE(other.Init());  // started anew: the caches are gone
  EXPECT_FALSE(other.GetItem("HiddenMessage", "bob", &data, "s2"));
  EXPECT_EQ(other.Shutdown(), kSOk);
}

TEST_F(ZQCacheTest, AThreadInTheOtherApartmentKindStillCalls) {
  StartWithCache("c");
  bool added = false;
  std::thread([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), kSOk);
    added = client_.AddItem("c", "k", "v", "s");
  }).join();
  EXPECT_TRUE(added);
  EXPECT_EQ(Get("c", "k"), "v");
}

TEST_F(ZQCacheTest, InitReportsAComponentThatCannotBeFound) {
  testing::TempFolder empty;
  setenv(platform::kComponentsFolderVariable, empty.Path().c_str(), 1);
  EXPECT_FALSE(client_.Init());
  EXPECT_TRUE(log_.Contains("[CZQCache::Init() ] COM initialization failed hr: 0X80040154"));
  EXPECT_EQ(events_.Count("Cache component failed to instantiate HRESULT: 0X80040154"), 1u);
  EXPECT_FALSE(client_.AddItem("c", "k", "d", "s"));
  EXPECT_TRUE(log_.Contains("AddItem ZQCache is not initialized"));
}

TEST_F(ZQCacheTest, InitReportsAComponentThatFailsToStartOrThrows) {
  ScriptedComponents scripted;
  scripted.Cache().onCall = [] { return kEFail; };
  EXPECT_FALSE(client_.Init());
  EXPECT_TRUE(log_.Contains("Init failed HR 0x80004005"));
  EXPECT_EQ(events_.Count("Cache component initialization failed HRESULT: 0X80004005"), 1u);

  scripted.Cache().onCall = []() -> HRESULT { throw 42; };
  EXPECT_FALSE(client_.Init());
  EXPECT_EQ(events_.Count("Cache component initialization failed HRESULT: 0X8000ffff"), 1u);
  EXPECT_FALSE(client_.IsInitialized());
}

TEST_F(ZQCacheTest, ExceptionsOfTheComponentAreLoggedReportedAndStopThere) {
  ScriptedComponents scripted;
  ASSERT_TRUE(client_.Init());
  scripted.Cache().onCall = []() -> HRESULT { throw _com_error(kEOutOfMemory); };
  EXPECT_FALSE(client_.AddItem("c", "bob", "d", "s"));
  const std::string message = _com_error(kEOutOfMemory).ErrorMessage();
  EXPECT_TRUE(log_.Contains("AddItem got EXCEPTION HR 0x8007000e " + message));
  EXPECT_EQ(events_.Count("Cache component  AddItem failed COM Exception with 0x8007000e " + message),
            1u);
  EXPECT_TRUE(log_.Contains("[CZQCache::AddItem() ]  failed Key bob Data d Session s PropName c hr: 0X8007000e"));

  scripted.Cache().onCall = []() -> HRESULT { throw std::runtime_error("boom"); };
  EXPECT_FALSE(client_.InvalidateItem("c", "bob"));
  EXPECT_TRUE(log_.Contains("InvalidateItem cache component got GENERAL EXCEPTION"));
  EXPECT_EQ(events_.Count("InvalidateItem Cache component failed GE"), 1u);
  scripted.Cache().onCall = [] { return kSOk; };
}

// Eight threads add and read 100,000 items spread over four caches, and all overwrite a small
// set of shared keys. Every value names its key and writer and repeats that name, so a value
// mixed from two stores or cut short shows.
std::string ValueFor(const std::string& key, int writer) {
  const std::string unit = key + ":" + std::to_string(writer) + ";";
  std::string value;
  for (size_t repeat = 0; repeat < 1 + key.size() % 7; ++repeat) value += unit;
  return value;
}

bool IsWholeValueOf(const std::string& key, const std::string& value) {
  const size_t end = value.find(';');
  if (end == std::string::npos || value.compare(0, key.size() + 1, key + ":") != 0) return false;
  const int writer = std::atoi(value.c_str() + key.size() + 1);
  return value == ValueFor(key, writer);
}

TEST_F(ZQCacheTest, EightThreadsLoseAndTearNothing) {
  constexpr int kThreads = 8;
  constexpr int kItems = 100000;
  constexpr int kSharedKeys = 32;
  const std::vector<std::string> caches = {"c0", "c1", "c2", "c3"};
  ASSERT_TRUE(client_.Init());
  for (const std::string& cache : caches) ASSERT_TRUE(client_.CreateCache(cache, kItems, 60));
  auto keyOf = [](int item) { return "user" + std::to_string(item); };
  auto cacheOf = [&](int item) { return caches[static_cast<size_t>(item) % caches.size()]; };

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < kThreads; ++writer) {
    threads.emplace_back([&, writer] {
      for (int item = writer; item < kItems; item += kThreads) {
        const std::string key = keyOf(item);
        if (!client_.AddItem(cacheOf(item), key, ValueFor(key, writer), "s")) ++failures;
        // Another thread's item: absent yet, or whole.
        const int other = (item * 7 + 3) % kItems;
        std::optional<std::string> seen;
        if (!client_.GetItem(cacheOf(other), keyOf(other), &seen, "s") ||
            (seen && !IsWholeValueOf(keyOf(other), *seen))) {
          ++failures;
        }
        const std::string shared = "shared" + std::to_string(item % kSharedKeys);
        if (!client_.AddItem("c0", shared, ValueFor(shared, writer), "s") ||
            !client_.GetItem("c0", shared, &seen, "s") || !seen || !IsWholeValueOf(shared, *seen)) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);

  int lost = 0;
  for (int item = 0; item < kItems; ++item) {
    std::optional<std::string> seen;
    ASSERT_TRUE(client_.GetItem(cacheOf(item), keyOf(item), &seen, "s"));
    if (seen != ValueFor(keyOf(item), item % kThreads)) ++lost;
  }
  EXPECT_EQ(lost, 0);
}

}  // namespace
}  // namespace nexoral
