// LruShard: one lock's worth of a cache's items, in least-recently-used order, with at most
// its capacity of them. Thread-safe; each operation holds the shard's own mutex only.
#ifndef NEXORAL_COMPONENTS_CACHE_LRU_SHARD_H
#define NEXORAL_COMPONENTS_CACHE_LRU_SHARD_H

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "cache_clock.h"

namespace nexoral::cache {

// Aligned so that the mutexes of neighbouring shards never share a cache line.
class alignas(64) LruShard {
 public:
  explicit LruShard(size_t capacity) : capacity_(capacity) {}
  LruShard(const LruShard&) = delete;
  LruShard& operator=(const LruShard&) = delete;

  // Stores the item as the most recently used, replacing the key's earlier item, and drops
  // the least recently used items beyond the capacity.
  void Put(std::string_view key, std::string_view data, CacheTime now);
  // The key's data when it was stored less than lifetime before now; an older item is dropped.
  std::optional<std::string> Get(std::string_view key, CacheTime now,
                                 std::chrono::minutes lifetime);
  // True when the key had an item.
  bool Erase(std::string_view key);
  void Clear();
  size_t Size() const;

 private:
  struct Entry {
    std::string key;
    std::string data;
    CacheTime stored;
  };
  using Order = std::list<Entry>;  // most recently used first; nodes never move

  // Moves the least recently used nodes beyond the capacity into evicted.
  void EvictBeyondCapacity(Order& evicted);

  const size_t capacity_;
  mutable std::mutex mutex_;
  Order order_;
  // Keys view the strings inside the list's nodes.
  std::unordered_map<std::string_view, Order::iterator> index_;
};

}  // namespace nexoral::cache

#endif  // NEXORAL_COMPONENTS_CACHE_LRU_SHARD_H
