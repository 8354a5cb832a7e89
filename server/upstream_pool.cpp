// The idle upstream connections.
#include "upstream_pool.h"

namespace nexoral::server {

std::string UpstreamPool::Key(const ListenAddress& upstream) {
  return upstream.host + "|" + std::to_string(upstream.port);
}

std::optional<beast::tcp_stream> UpstreamPool::TakeIdle(const ListenAddress& upstream,
                                                        const asio::any_io_executor& executor) {
  std::optional<tcp::socket> socket;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = idle_.find(Key(upstream));
    if (found == idle_.end() || found->second.empty()) return std::nullopt;
    socket.emplace(std::move(found->second.front()));
    found->second.pop_front();
  }
  error_code ec;
  const tcp::endpoint peer = socket->remote_endpoint(ec);
  if (ec) return std::nullopt;  // closed while idle
  const auto protocol = peer.protocol();
  const auto handle = socket->release(ec);
  if (ec) return std::nullopt;
  tcp::socket rebound(executor);
  rebound.assign(protocol, handle, ec);
  if (ec) return std::nullopt;
  return beast::tcp_stream(std::move(rebound));
}

void UpstreamPool::GiveBack(const ListenAddress& upstream, beast::tcp_stream stream) {
  stream.expires_never();
  tcp::socket socket = stream.release_socket();
  if (!socket.is_open()) return;
  std::lock_guard<std::mutex> guard(mutex_);
  std::deque<tcp::socket>& idle = idle_[Key(upstream)];
  if (idle.size() >= idlePerUpstream_) return;  // closes the socket
  idle.push_back(std::move(socket));
}

void UpstreamPool::CloseAll() {
  std::lock_guard<std::mutex> guard(mutex_);
  idle_.clear();
}

}  // namespace nexoral::server
