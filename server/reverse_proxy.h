// The reverse proxy: requests under configured path prefixes go to an upstream server over
// kept-alive connections, and its response comes back as it arrives, its body straight from the
// connection's read buffer. An upstream that cannot be reached or answers garbage gives 502, one
// that is too slow 504. Shared by all connections; Forward runs on the calling connection's
// strand.
#ifndef NEXORAL_SERVER_REVERSE_PROXY_H
#define NEXORAL_SERVER_REVERSE_PROXY_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "body_source.h"
#include "deadline.h"
#include "server_config.h"
#include "server_variables.h"
#include "upstream_pool.h"

namespace nexoral::server {

// What Beast's parser hands over of a response body: where the bytes lie in the read buffer,
// not a copy of them.
struct BodyPiecesBody {
  using value_type = std::vector<std::string_view>*;

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type& pieces) : pieces_(pieces) {}
    void init(const boost::optional<std::uint64_t>&, error_code& ec) { ec = {}; }
    template <class ConstBufferSequence>
    size_t put(const ConstBufferSequence& buffers, error_code& ec) {
      size_t bytes = 0;
      for (auto it = asio::buffer_sequence_begin(buffers); it != asio::buffer_sequence_end(buffers);
           ++it) {
        const asio::const_buffer buffer = *it;
        pieces_->emplace_back(static_cast<const char*>(buffer.data()), buffer.size());
        bytes += buffer.size();
      }
      ec = {};
      return bytes;
    }
    void finish(error_code& ec) { ec = {}; }

   private:
    value_type& pieces_;
  };
};

using UpstreamParser = http::response_parser<BodyPiecesBody>;

// What one client connection keeps for its exchanges with upstreams, reused from one request
// to the next.
struct UpstreamScratch {
  beast::flat_buffer buffer;  // the upstream's bytes as read
  std::optional<UpstreamParser> parser;
  std::vector<std::string_view> pieces;  // the body bytes of the last read, inside buffer
  std::string head;                      // the request head as sent
};

class ReverseProxy {
 public:
  explicit ReverseProxy(const ServerConfig& config);

  // The route whose prefix the path starts with (the longest one), or null.
  const ProxyRoute* Match(std::string_view decodedPath) const;

  // Sends the request (its head as the filter left it, its body read) to the route's upstream.
  // The response's body reads into scratch and times out through deadline; both must outlive it.
  // identity: ask for the response uncompressed (the filter is to edit it).
  Task<OutgoingResponse> Forward(const ProxyRoute& route,
                                 const http::request<http::string_body>& request,
                                 const ConnectionFacts& client, UpstreamScratch& scratch,
                                 Deadline& deadline, bool identity);

  void CloseIdleConnections() { pool_.CloseAll(); }

 private:
  const ServerConfig& config_;
  UpstreamPool pool_;
};

// The head of the request as the upstream gets it: HTTP/1.1, no hop-by-hop fields, the client
// added to X-Forwarded-For, X-Forwarded-Proto, the body's length, no Expect; with identity,
// "Accept-Encoding: identity" instead of the client's. Appended to out.
void AppendUpstreamRequestHead(const http::request<http::string_body>& request,
                               const ConnectionFacts& client, bool identity, std::string& out);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_REVERSE_PROXY_H
