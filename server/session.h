// One client connection from accept to close: the TLS handshake, one request after another
// (read by the request reader, served by the request flow, answered through the response
// writer), the access log line of each, the end of the connection. Runs as one coroutine on
// the connection's executor (its own strand when the server runs several threads).
#ifndef NEXORAL_SERVER_SESSION_H
#define NEXORAL_SERVER_SESSION_H

#include "net.h"
#include "server_services.h"

namespace nexoral::server {

// Serves a connection until it closes; tls null for a plain connection, else the handshake
// comes first.
Task<void> ServeConnection(tcp::socket socket, ssl::context* tls, ServerServices& services);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_SESSION_H
