// The server process: its configuration, the loaded filter, the users, the listeners (HTTP and
// HTTPS) and the fixed pool of worker threads that runs every connection, and with it every
// call into the filter. Stops gracefully on SIGTERM or SIGINT: no new connections, requests in
// flight finish, then TerminateFilter.
#ifndef NEXORAL_SERVER_SERVER_H
#define NEXORAL_SERVER_SERVER_H

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access_log.h"
#include "authenticator.h"
#include "body_budget.h"
#include "connection_tracker.h"
#include "filter_host.h"
#include "net.h"
#include "reverse_proxy.h"
#include "server_config.h"
#include "session.h"
#include "static_files.h"

namespace nexoral::server {

struct BoundListener {
  std::string scheme;  // "http" or "https"
  tcp::endpoint endpoint;
};

class Server {
 public:
  explicit Server(ServerConfig config);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Loads the users, the TLS certificate and the filter module and opens the listeners.
  // False with the reason when any of them fails.
  bool Start(std::string* reason);

  const std::vector<BoundListener>& Listeners() const { return bound_; }

  // Serves until a stop signal (or Stop) and the drain are over, then terminates the filter.
  void Run();

  // Begins the graceful stop; any thread.
  void Stop();

 private:
  bool OpenListener(const ListenAddress& address, bool secure, std::string* reason);
  Task<void> AcceptLoop(tcp::acceptor& acceptor, bool secure);
  void ConnectionEnded();
  void BeginStop();
  void FlushAccessLogEachSecond();

  ServerConfig config_;
  asio::io_context io_;
  // The server's own steps (stop, drain) run here, never two at once.
  asio::strand<asio::io_context::executor_type> control_;
  std::optional<ssl::context> tls_;
  std::unique_ptr<FilterHost> filter_;
  std::optional<Authenticator> authenticator_;
  std::optional<StaticFiles> staticFiles_;
  std::optional<ReverseProxy> proxy_;
  AccessLog accessLog_;
  ConnectionTracker tracker_;
  BodyBudget bodyBudget_;
  std::atomic<size_t> connections_{0};  // client connections open
  // On control_: the accept loops wait on it (it never expires) while at the connection limit.
  asio::steady_timer connectionEnded_;
  std::optional<ServerServices> services_;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors_;
  std::vector<bool> acceptorSecure_;
  std::vector<BoundListener> bound_;
  asio::signal_set signals_;
  asio::steady_timer drainTimer_;
  // On control_: the access log's lines go out at least once a second until the drain is over.
  asio::steady_timer accessLogFlush_;
  bool stopping_ = false;  // on the io thread that runs BeginStop
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_SERVER_H
