// A client connection's byte stream, plain or TLS: the socket, its TLS layer when there is one,
// and the four operations the connection needs of it. Reads and writes fail with the error of
// the socket (a passed deadline closes it).
#ifndef NEXORAL_SERVER_CLIENT_STREAM_H
#define NEXORAL_SERVER_CLIENT_STREAM_H

#include <optional>
#include <vector>

#include "net.h"

namespace nexoral::server {

class ClientStream {
 public:
  // tls null: a plain connection.
  ClientStream(tcp::socket socket, ssl::context* tls);
  ClientStream(const ClientStream&) = delete;
  ClientStream& operator=(const ClientStream&) = delete;

  tcp::socket& Socket() { return socket_; }
  bool Secure() const { return tls_.has_value(); }

  // The reads and writes are the socket's (or TLS layer's) own operations, to be awaited at once:
  // no coroutine of their own in between.
  Task<error_code> Handshake();
  Task<size_t> ReadSome(asio::mutable_buffer into, error_code& ec) {
    return tls_ ? tls_->async_read_some(into, Capture(ec))
                : socket_.async_read_some(into, Capture(ec));
  }
  // Writes every byte of the buffers, in order; they must stay as they are until it ends.
  Task<size_t> Write(const std::vector<asio::const_buffer>& buffers, error_code& ec) {
    return tls_ ? asio::async_write(*tls_, buffers, Capture(ec))
                : asio::async_write(socket_, buffers, Capture(ec));
  }
  // Ends the TLS session (when there is one) and closes the socket.
  Task<void> Close();

 private:
  tcp::socket socket_;
  std::optional<ssl::stream<tcp::socket&>> tls_;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_CLIENT_STREAM_H
