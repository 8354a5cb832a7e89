// Kept-alive connections to the upstreams of the reverse proxy. A connection is taken by one
// request at a time and given back only after a complete response that allows reuse; idle
// ones are kept up to a limit per upstream. Thread-safe: connections of any strand share it.
#ifndef NEXORAL_SERVER_UPSTREAM_POOL_H
#define NEXORAL_SERVER_UPSTREAM_POOL_H

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "net.h"
#include "server_config.h"

namespace nexoral::server {

class UpstreamPool {
 public:
  explicit UpstreamPool(size_t idlePerUpstream) : idlePerUpstream_(idlePerUpstream) {}

  // An idle connection to upstream, rebound to executor so that its operations and timers run
  // on the caller's strand; nothing when none is idle.
  std::optional<beast::tcp_stream> TakeIdle(const ListenAddress& upstream,
                                            const asio::any_io_executor& executor);

  // Keeps a connection whose last response ended cleanly and allowed reuse.
  void GiveBack(const ListenAddress& upstream, beast::tcp_stream stream);

  // Closes every idle connection (at shutdown).
  void CloseAll();

 private:
  static std::string Key(const ListenAddress& upstream);

  std::mutex mutex_;
  size_t idlePerUpstream_;
  std::map<std::string, std::deque<tcp::socket>> idle_;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_UPSTREAM_POOL_H
