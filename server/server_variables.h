// The server variables a filter reads with GetServerVariable: facts about the connection, the
// request as it stands now (after any filter change) and its authentication. Called on the
// connection's thread.
#ifndef NEXORAL_SERVER_SERVER_VARIABLES_H
#define NEXORAL_SERVER_SERVER_VARIABLES_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "authenticator.h"
#include "net.h"

namespace nexoral::server {

struct ConnectionFacts {
  std::string remoteAddress;
  uint16_t remotePort = 0;
  std::string localAddress;
  uint16_t localPort = 0;
  bool secure = false;
  std::string serverName;  // the configured name, used when a request has no Host
  bool trustedPeer = false;  // the peer is a trusted proxy: its proxy-only headers stay
};

struct RequestFacts {
  const http::request_header<>* header = nullptr;  // the request as it stands now
  std::string receivedTarget;  // the target as the client sent it
  AuthResult auth;  // kDenied until authentication has run
  bool authenticated = false;  // authentication has run and admitted the request
};

// The value of a variable, or nothing for an unknown name (or a request variable asked for
// outside a request). "HTTP_<NAME>" reads the request header NAME with '_' standing for '-'.
std::optional<std::string> FindServerVariable(const ConnectionFacts& connection,
                                              const RequestFacts* request, std::string_view name);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_SERVER_VARIABLES_H
