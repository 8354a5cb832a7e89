// The reverse proxy: requests under configured path prefixes go to an upstream server over
// kept-alive connections, and its response comes back block by block as it arrives. An
// upstream that cannot be reached or answers garbage gives 502, one that is too slow 504.
// Shared by all connections; Forward runs on the calling connection's strand.
#ifndef NEXORAL_SERVER_REVERSE_PROXY_H
#define NEXORAL_SERVER_REVERSE_PROXY_H

#include <string_view>

#include "body_source.h"
#include "server_config.h"
#include "server_variables.h"
#include "upstream_pool.h"

namespace nexoral::server {

class ReverseProxy {
 public:
  explicit ReverseProxy(const ServerConfig& config);

  // The route whose prefix the path starts with (the longest one), or null.
  const ProxyRoute* Match(std::string_view decodedPath) const;

  // Sends the request (its head as the filter left it, its body read) to the route's upstream.
  Task<OutgoingResponse> Forward(const ProxyRoute& route,
                                 const http::request<http::string_body>& request,
                                 const ConnectionFacts& client);

  void CloseIdleConnections() { pool_.CloseAll(); }

 private:
  const ServerConfig& config_;
  UpstreamPool pool_;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_REVERSE_PROXY_H
