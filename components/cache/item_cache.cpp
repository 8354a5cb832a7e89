// Sharding and the per-key operations of one cache.
#include "item_cache.h"

#include <bit>
#include <functional>

namespace nexoral::cache {

size_t ShardCountFor(size_t maxItems) {
  const size_t wanted = maxItems / kMinItemsPerShard;
  if (wanted < 2) return 1;
  return std::bit_floor(wanted < kMaxShards ? wanted : kMaxShards);
}

ItemCache::ItemCache(size_t maxItems, std::chrono::minutes lifetime, const CacheClock& clock)
    : maxItems_(maxItems), lifetime_(lifetime), clock_(clock) {
  const size_t count = ShardCountFor(maxItems);
  shards_.reserve(count);
  // The maximum is split so that the shards' capacities add up to it exactly.
  for (size_t index = 0; index < count; ++index) {
    const size_t capacity = maxItems / count + (index < maxItems % count ? 1 : 0);
    shards_.push_back(std::make_unique<LruShard>(capacity));
  }
}

void ItemCache::Add(std::string_view key, std::string_view data) {
  ShardOf(key).Put(key, data, clock_.Now());
}

std::optional<std::string> ItemCache::Get(std::string_view key) {
  return ShardOf(key).Get(key, clock_.Now(), lifetime_);
}

bool ItemCache::Invalidate(std::string_view key) { return ShardOf(key).Erase(key); }

void ItemCache::Clear() {
  for (auto& shard : shards_) shard->Clear();
}

size_t ItemCache::Count() const {
  size_t count = 0;
  for (const auto& shard : shards_) count += shard->Size();
  return count;
}

LruShard& ItemCache::ShardOf(std::string_view key) {
  if (shards_.size() == 1) return *shards_.front();
  // The high bits choose the shard; the shard's own index uses the low ones.
  const size_t hash = std::hash<std::string_view>{}(key);
  return *shards_[(hash >> 48) & (shards_.size() - 1)];
}

}  // namespace nexoral::cache
