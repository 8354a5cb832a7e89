// The idle upstream connections.
#include "upstream_pool.h"

#include <functional>
#include <thread>

namespace nexoral::server {

UpstreamPool::UpstreamPool(size_t idlePerUpstream, unsigned shards)
    : shardCount_(std::max(1u, shards)) {
  idlePerShard_ = (idlePerUpstream + shardCount_ - 1) / shardCount_;
  shards_ = std::make_unique<Shard[]>(shardCount_);
}

UpstreamPool::Shard& UpstreamPool::ThisThreadsShard() {
  if (shardCount_ == 1) return shards_[0];
  return shards_[std::hash<std::thread::id>{}(std::this_thread::get_id()) % shardCount_];
}

std::optional<tcp::socket> UpstreamPool::TakeFrom(Shard& shard, const ListenAddress& upstream) {
  std::lock_guard<std::mutex> guard(shard.mutex);
  auto found = shard.idle.find(upstream);
  if (found == shard.idle.end() || found->second.empty()) return std::nullopt;
  // The most recently used first: the one least likely closed by the upstream meanwhile.
  std::optional<tcp::socket> socket(std::move(found->second.back()));
  found->second.pop_back();
  return socket;
}

std::optional<tcp::socket> UpstreamPool::TakeIdle(const ListenAddress& upstream) {
  Shard& own = ThisThreadsShard();
  if (auto socket = TakeFrom(own, upstream)) return socket;
  // Before a new connection is opened, one idle in another thread's shard will do.
  for (unsigned i = 0; i < shardCount_; ++i) {
    if (&shards_[i] == &own) continue;
    if (auto socket = TakeFrom(shards_[i], upstream)) return socket;
  }
  return std::nullopt;
}

void UpstreamPool::GiveBack(const ListenAddress& upstream, tcp::socket socket) {
  if (!socket.is_open() || idlePerShard_ == 0) return;
  Shard& shard = ThisThreadsShard();
  std::lock_guard<std::mutex> guard(shard.mutex);
  std::deque<tcp::socket>& idle = shard.idle[upstream];
  if (idle.size() >= idlePerShard_) return;  // closes the socket
  idle.push_back(std::move(socket));
}

void UpstreamPool::CloseAll() {
  for (unsigned i = 0; i < shardCount_; ++i) {
    std::lock_guard<std::mutex> guard(shards_[i].mutex);
    shards_[i].idle.clear();
  }
}

}  // namespace nexoral::server
