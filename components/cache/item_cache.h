// ItemCache: one named cache. Its items are spread over shards by the hash of their key so
// that threads working on different keys rarely meet on a lock. A cache of fewer than
// 2 * kMinItemsPerShard items has one shard and evicts exactly the least recently used item;
// a larger one splits its maximum over up to kMaxShards shards and evicts the least recently
// used item of the shard the new key falls into. Thread-safe.
#ifndef NEXORAL_COMPONENTS_CACHE_ITEM_CACHE_H
#define NEXORAL_COMPONENTS_CACHE_ITEM_CACHE_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cache_clock.h"
#include "lru_shard.h"

namespace nexoral::cache {

inline constexpr size_t kMinItemsPerShard = 256;
inline constexpr size_t kMaxShards = 16;

// The number of shards for a cache of maxItems: a power of two.
size_t ShardCountFor(size_t maxItems);

class ItemCache {
 public:
  // maxItems at least 1; clock must outlive the cache.
  ItemCache(size_t maxItems, std::chrono::minutes lifetime, const CacheClock& clock);

  void Add(std::string_view key, std::string_view data);
  // The key's data, or nothing when there is no item or it is too old.
  std::optional<std::string> Get(std::string_view key);
  // True when the key had an item.
  bool Invalidate(std::string_view key);
  // Drops every item.
  void Clear();
  // Items held, expired ones included until they are read or evicted.
  size_t Count() const;

  size_t MaxItems() const { return maxItems_; }
  std::chrono::minutes Lifetime() const { return lifetime_; }

 private:
  LruShard& ShardOf(std::string_view key);

  const size_t maxItems_;
  const std::chrono::minutes lifetime_;
  const CacheClock& clock_;
  std::vector<std::unique_ptr<LruShard>> shards_;
};

}  // namespace nexoral::cache

#endif  // NEXORAL_COMPONENTS_CACHE_ITEM_CACHE_H
