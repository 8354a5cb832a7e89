// Items of one shard: a list in recency order and an index into it.
#include "lru_shard.h"

#include <iterator>

namespace nexoral::cache {

void LruShard::Put(std::string_view key, std::string_view data, CacheTime now) {
  // The node is made before the lock, and replaced or evicted nodes are freed after it, so
  // that the critical section only relinks nodes.
  Order outside;
  outside.push_back(Entry{std::string(key), std::string(data), now});
  std::lock_guard<std::mutex> guard(mutex_);
  auto found = index_.find(key);
  if (found != index_.end()) {
    Order::iterator old = found->second;
    index_.erase(found);
    outside.splice(outside.end(), order_, old);
  }
  order_.splice(order_.begin(), outside, outside.begin());
  index_.emplace(order_.front().key, order_.begin());
  EvictBeyondCapacity(outside);
}

std::optional<std::string> LruShard::Get(std::string_view key, CacheTime now,
                                         std::chrono::minutes lifetime) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto found = index_.find(key);
  if (found == index_.end()) return std::nullopt;
  Order::iterator entry = found->second;
  if (now - entry->stored >= lifetime) {
    index_.erase(found);
    order_.erase(entry);
    return std::nullopt;
  }
  order_.splice(order_.begin(), order_, entry);
  return entry->data;
}

bool LruShard::Erase(std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto found = index_.find(key);
  if (found == index_.end()) return false;
  Order::iterator entry = found->second;
  index_.erase(found);
  order_.erase(entry);
  return true;
}

void LruShard::Clear() {
  Order dropped;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    index_.clear();
    dropped.swap(order_);
  }
}

size_t LruShard::Size() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return order_.size();
}

void LruShard::EvictBeyondCapacity(Order& evicted) {
  while (order_.size() > capacity_) {
    index_.erase(std::string_view(order_.back().key));
    evicted.splice(evicted.end(), order_, std::prev(order_.end()));
  }
}

}  // namespace nexoral::cache
