// Throughput of the cache component under 1, 2 and 8 threads: through the client (an instance
// created, called and released per operation, as the property code does) and straight on one
// cache (what the component's own work costs). Run: build/bench/cache_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cache_clock.h"
#include "item_cache.h"
#include "platform/component_factory.h"
#include "properties/zq_cache.h"

namespace {

using nexoral::CZQCache;
using nexoral::cache::ItemCache;

constexpr char kCacheName[] = "HiddenMessage";
constexpr int kKeys = 10000;
constexpr int32_t kMaxItems = 20000;  // every key fits: reads hit

const std::vector<std::string>& Keys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> made;
    for (int index = 0; index < kKeys; ++index) made.push_back("user" + std::to_string(index));
    return made;
  }();
  return keys;
}

const std::string& PropertyText() {
  static const std::string text =
      "<SETTINGS><Signature>Regards</Signature><Theme>dark</Theme><Zoom>125</Zoom>"
      "<Language>en-GB</Language><TimeZone>W. Europe Standard Time</TimeZone></SETTINGS>";
  return text;
}

// A cheap per-thread key sequence.
class KeyPicker {
 public:
  explicit KeyPicker(int seed) : state_(0x9E3779B97F4A7C15ull * static_cast<uint64_t>(seed + 1)) {}
  const std::string& Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return Keys()[state_ % kKeys];
  }

 private:
  uint64_t state_;
};

// The client, started once, with its cache filled.
CZQCache& FilledClient() {
  static CZQCache* client = [] {
    setenv(nexoral::platform::kComponentsFolderVariable, NEXORAL_COMPONENTS_BUILD_DIR, 0);
    auto* made = new CZQCache();
    if (!made->Init() || !made->CreateCache(kCacheName, kMaxItems, 60)) std::abort();
    for (const std::string& key : Keys()) made->AddItem(kCacheName, key, PropertyText(), "s");
    return made;
  }();
  return *client;
}

ItemCache& FilledCache() {
  static ItemCache* cache = [] {
    auto* made = new ItemCache(kMaxItems, std::chrono::minutes(60),
                               nexoral::cache::SteadyCacheClock());
    for (const std::string& key : Keys()) made->Add(key, PropertyText());
    return made;
  }();
  return *cache;
}

void BM_ClientGetItem(benchmark::State& state) {
  CZQCache& client = FilledClient();
  KeyPicker keys(state.thread_index());
  std::optional<std::string> data;
  for (auto _ : state) {
    client.GetItem(kCacheName, keys.Next(), &data, "s");
    benchmark::DoNotOptimize(data);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ClientAddItem(benchmark::State& state) {
  CZQCache& client = FilledClient();
  KeyPicker keys(state.thread_index());
  for (auto _ : state) benchmark::DoNotOptimize(client.AddItem(kCacheName, keys.Next(), PropertyText(), "s"));
  state.SetItemsProcessed(state.iterations());
}

// Nine reads to one store, the pattern of property reads between writes.
void BM_ClientGetAddMix(benchmark::State& state) {
  CZQCache& client = FilledClient();
  KeyPicker keys(state.thread_index());
  std::optional<std::string> data;
  uint32_t turn = 0;
  for (auto _ : state) {
    if (++turn % 10 == 0) {
      client.AddItem(kCacheName, keys.Next(), PropertyText(), "s");
    } else {
      client.GetItem(kCacheName, keys.Next(), &data, "s");
    }
    benchmark::DoNotOptimize(data);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CacheGet(benchmark::State& state) {
  ItemCache& cache = FilledCache();
  KeyPicker keys(state.thread_index());
  for (auto _ : state) benchmark::DoNotOptimize(cache.Get(keys.Next()));
  state.SetItemsProcessed(state.iterations());
}

void BM_CacheAdd(benchmark::State& state) {
  ItemCache& cache = FilledCache();
  KeyPicker keys(state.thread_index());
  for (auto _ : state) cache.Add(keys.Next(), PropertyText());
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ClientGetItem)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK(BM_ClientAddItem)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK(BM_ClientGetAddMix)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK(BM_CacheGet)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK(BM_CacheAdd)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
