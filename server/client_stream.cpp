// Plain and TLS reads and writes.
#include "client_stream.h"

namespace nexoral::server {

ClientStream::ClientStream(tcp::socket socket, ssl::context* tls) : socket_(std::move(socket)) {
  if (tls != nullptr) tls_.emplace(socket_, *tls);
}

Task<error_code> ClientStream::Handshake() {
  error_code ec;
  if (tls_) co_await tls_->async_handshake(ssl::stream_base::server, Capture(ec));
  co_return ec;
}

Task<void> ClientStream::Close() {
  error_code ec;
  if (tls_ && socket_.is_open()) co_await tls_->async_shutdown(Capture(ec));
  socket_.shutdown(tcp::socket::shutdown_send, ec);
  socket_.close(ec);
}

}  // namespace nexoral::server
