// Kept-alive connections to the upstreams of the reverse proxy. A connection is taken by one
// request at a time and given back only after a complete response that allows reuse; idle
// ones are kept up to a limit per upstream. The sockets stay registered with the server's
// reactor while idle. Thread-safe without a lock all threads share: each thread gives back to a
// shard of its own (one per server thread, each behind its own mutex) and takes from it first,
// from the others only when it has none.
#ifndef NEXORAL_SERVER_UPSTREAM_POOL_H
#define NEXORAL_SERVER_UPSTREAM_POOL_H

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "net.h"
#include "server_config.h"

namespace nexoral::server {

class UpstreamPool {
 public:
  // idlePerUpstream: at most this many idle connections per upstream in all; shards: one per
  // thread that serves connections.
  UpstreamPool(size_t idlePerUpstream, unsigned shards);

  // An idle connection to upstream; nothing when none is idle.
  std::optional<tcp::socket> TakeIdle(const ListenAddress& upstream);

  // Keeps a connection whose last response ended cleanly and allowed reuse.
  void GiveBack(const ListenAddress& upstream, tcp::socket socket);

  // Closes every idle connection (at shutdown).
  void CloseAll();

 private:
  struct AddressLess {
    bool operator()(const ListenAddress& a, const ListenAddress& b) const {
      return a.port != b.port ? a.port < b.port : a.host < b.host;
    }
  };
  struct Shard {
    std::mutex mutex;
    std::map<ListenAddress, std::deque<tcp::socket>, AddressLess> idle;
  };
  Shard& ThisThreadsShard();
  static std::optional<tcp::socket> TakeFrom(Shard& shard, const ListenAddress& upstream);

  size_t idlePerShard_;
  std::unique_ptr<Shard[]> shards_;
  unsigned shardCount_;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_UPSTREAM_POOL_H
