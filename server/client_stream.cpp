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

Task<size_t> ClientStream::ReadSome(asio::mutable_buffer into, error_code& ec) {
  if (tls_) co_return co_await tls_->async_read_some(into, Capture(ec));
  co_return co_await socket_.async_read_some(into, Capture(ec));
}

Task<void> ClientStream::Write(const std::vector<asio::const_buffer>& buffers, error_code& ec) {
  if (tls_) {
    co_await asio::async_write(*tls_, buffers, Capture(ec));
  } else {
    co_await asio::async_write(socket_, buffers, Capture(ec));
  }
}

Task<void> ClientStream::Close() {
  error_code ec;
  if (tls_ && socket_.is_open()) co_await tls_->async_shutdown(Capture(ec));
  socket_.shutdown(tcp::socket::shutdown_send, ec);
  socket_.close(ec);
}

}  // namespace nexoral::server
