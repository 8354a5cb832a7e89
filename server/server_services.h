// What every client connection shares; lives as long as the server.
#ifndef NEXORAL_SERVER_SERVER_SERVICES_H
#define NEXORAL_SERVER_SERVER_SERVICES_H

#include "access_log.h"
#include "authenticator.h"
#include "body_budget.h"
#include "connection_tracker.h"
#include "filter_host.h"
#include "reverse_proxy.h"
#include "server_config.h"
#include "static_files.h"

namespace nexoral::server {

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

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_SERVER_SERVICES_H
