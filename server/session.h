// One client connection from accept to close: reads requests with Beast (within the header and
// body limits and the idle and read timeouts), delivers the filter's notifications in order,
// authenticates, routes to the static files or the reverse proxy, and sends the response through
// the filter's raw-data notification. Runs as one coroutine on the connection's strand.
#ifndef NEXORAL_SERVER_SESSION_H
#define NEXORAL_SERVER_SESSION_H

#include "access_log.h"
#include "authenticator.h"
#include "body_budget.h"
#include "connection_tracker.h"
#include "filter_host.h"
#include "net.h"
#include "reverse_proxy.h"
#include "server_config.h"
#include "server_variables.h"
#include "static_files.h"

namespace nexoral::server {

// What every connection shares; lives as long as the server.
struct ServerServices {
  const ServerConfig& config;
  const FilterHost* filter;  // null: no filter module
  const Authenticator& authenticator;
  const StaticFiles* staticFiles;  // null: no document root
  ReverseProxy& proxy;
  const AccessLog& accessLog;
  ConnectionTracker& tracker;
  BodyBudget& bodyBudget;  // request bodies of all connections
};

// Serves a plain connection until it closes.
Task<void> ServePlainConnection(tcp::socket socket, ServerServices& services);
// Serves a TLS connection (handshake included) until it closes.
Task<void> ServeSecureConnection(tcp::socket socket, ssl::context& tls, ServerServices& services);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_SESSION_H
