// Reading requests off a client connection with Beast's parser: waiting for the next one (the
// idle timeout), its head within the header limit and its body within the body limit and the
// body budget all connections share (both under the read timeout). The parser is fed from one
// buffer the connection keeps; bytes after a request stay there for the next one.
#ifndef NEXORAL_SERVER_REQUEST_READER_H
#define NEXORAL_SERVER_REQUEST_READER_H

#include <functional>
#include <optional>

#include "body_budget.h"
#include "client_stream.h"
#include "connection_tracker.h"
#include "deadline.h"
#include "net.h"
#include "server_config.h"

namespace nexoral::server {

using RequestParser = http::request_parser<http::string_body>;

// A read that ended because the peer went away or the server closed it: nobody to answer.
bool PeerGone(const error_code& ec);
// The answer to a request that could not be read.
http::status StatusForReadError(const error_code& ec);

class RequestReader {
 public:
  RequestReader(ClientStream& stream, Deadline& deadline, const ServerConfig& config,
                BodyBudget& budget);
  ~RequestReader();
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  // Waits for the first bytes of the next request (or finds them buffered). False when the
  // connection is over: closed by the peer, idle too long, or the server is stopping.
  Task<bool> AwaitRequest(TrackedConnection& tracked, bool stopping);

  // Reads the next request's head; beast::error::timeout when the read timeout passed.
  Task<error_code> ReadHeader();

  http::request<http::string_body>& Message() { return parser_->get(); }
  // The whole request has been read (its body too).
  bool Done() const { return parser_->is_done(); }

  // Takes the body's share of the budget: a known length at once, a chunked body as it comes.
  // asio::error::no_buffer_space when there is no room.
  error_code ReserveBody();
  // The client waits for "100 Continue" before it sends the body.
  bool WantsContinue() const;
  // Reads the body; beast::error::timeout when the read timeout passed.
  Task<error_code> ReadBody();

  // Frees the body and gives its budget back (between requests a connection holds none).
  void ReleaseBody();

 private:
  Task<void> ReadMore(size_t bytes, error_code& ec);

  ClientStream& stream_;
  Deadline& deadline_;
  const ServerConfig& config_;
  BodyBudget& budget_;
  beast::flat_buffer buffer_;
  std::optional<RequestParser> parser_;
  size_t taken_ = 0;  // of the budget, for the current request
  std::function<size_t(std::uint64_t, std::string_view, error_code&)> chunkBody_;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_REQUEST_READER_H
