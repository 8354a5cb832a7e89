// Start-up, the accept loops, the worker threads and the graceful stop.
#include "server.h"

#include <csignal>
#include <iostream>
#include <thread>

namespace nexoral::server {
namespace {

bool LoadTls(ssl::context& tls, const ServerConfig& config, std::string* reason) {
  error_code ec;
  tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                      ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1,
                  ec);
  if (!ec) tls.use_certificate_chain_file(config.certificatePath, ec);
  if (ec) {
    *reason = config.certificatePath + ": " + ec.message();
    return false;
  }
  tls.use_private_key_file(config.privateKeyPath, ssl::context::pem, ec);
  if (ec) {
    *reason = config.privateKeyPath + ": " + ec.message();
    return false;
  }
  return true;
}

void ReportConnectionFailure(std::exception_ptr failure) {
  if (!failure) return;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    std::cerr << "nexoral-server: connection ended by an error: " << error.what() << "\n";
  }
}

}  // namespace

Server::Server(ServerConfig config)
    : config_(std::move(config)),
      // One thread lets the scheduler skip the work of waking others.
      io_(config_.threads == 1 ? 1 : BOOST_ASIO_CONCURRENCY_HINT_DEFAULT),
      control_(asio::make_strand(io_)),
      bodyBudget_(config_.totalBodyBytes),
      connectionEnded_(control_, asio::steady_timer::time_point::max()),
      signals_(control_, SIGINT, SIGTERM),
      drainTimer_(control_),
      accessLogFlush_(control_) {}

Server::~Server() = default;

bool Server::Start(std::string* reason) {
  std::optional<UsersFile> users;
  if (!config_.usersFile.empty()) {
    UsersFileError error;
    users = UsersFile::Load(config_.usersFile, &error);
    if (!users) {
      *reason = config_.usersFile + ":" + std::to_string(error.line) + ": " + error.message;
      return false;
    }
  }
  authenticator_.emplace(std::move(users), config_.anonymousPrefixes, config_.realm,
                         config_.authLimits);
  if (!config_.documentRoot.empty()) staticFiles_.emplace(config_.documentRoot, config_.indexFile);
  proxy_.emplace(config_);
  if (!accessLog_.Open(config_.accessLogPath, reason)) return false;
  if (config_.https) {
    tls_.emplace(ssl::context::tls_server);
    if (!LoadTls(*tls_, config_, reason)) return false;
  }
  platform::ProcessIdentity();  // looked up once, before any request needs it
  if (!config_.modulePath.empty()) {
    filter_ = FilterHost::Load(config_.modulePath, reason);
    if (!filter_) return false;
  }
  services_.emplace(ServerServices{config_, filter_.get(), *authenticator_,
                                   staticFiles_ ? &*staticFiles_ : nullptr, *proxy_, accessLog_,
                                   tracker_, bodyBudget_});
  if (config_.http && !OpenListener(*config_.http, false, reason)) return false;
  if (config_.https && !OpenListener(*config_.https, true, reason)) return false;
  return true;
}

bool Server::OpenListener(const ListenAddress& address, bool secure, std::string* reason) {
  error_code ec;
  const tcp::endpoint endpoint(asio::ip::make_address(address.host, ec), address.port);
  auto acceptor = std::make_unique<tcp::acceptor>(io_);
  if (!ec) acceptor->open(endpoint.protocol(), ec);
  if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor->bind(endpoint, ec);
  if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *reason = "cannot listen on " + address.host + ":" + std::to_string(address.port) + ": " +
              ec.message();
    return false;
  }
  bound_.push_back({secure ? "https" : "http", acceptor->local_endpoint()});
  acceptors_.push_back(std::move(acceptor));
  acceptorSecure_.push_back(secure);
  return true;
}

Task<void> Server::AcceptLoop(tcp::acceptor& acceptor, bool secure) {
  while (acceptor.is_open()) {
    error_code ec;
    // At the limit, new connections wait in the listen backlog until one ends.
    if (connections_.load(std::memory_order_acquire) >= config_.maxConnections) {
      co_await connectionEnded_.async_wait(Capture(ec));
      continue;
    }
    // A connection's steps, and its filter calls, run one at a time: on one thread by
    // themselves, on several through a strand of the connection's own.
    const asio::any_io_executor connectionExecutor =
        config_.threads > 1 ? asio::any_io_executor(asio::make_strand(io_))
                            : asio::any_io_executor(io_.get_executor());
    tcp::socket socket = co_await acceptor.async_accept(connectionExecutor, Capture(ec));
    if (ec) {
      if (!acceptor.is_open() || ec == asio::error::operation_aborted) co_return;
      // Out of descriptors or similar: wait a little instead of spinning.
      asio::steady_timer pause(co_await asio::this_coro::executor, std::chrono::milliseconds(50));
      co_await pause.async_wait(Capture(ec));
      continue;
    }
    // A response may go out in several writes (a long body); without this a write may wait
    // for the client's delayed acknowledgement of the one before.
    socket.set_option(tcp::no_delay(true), ec);
    const auto executor = socket.get_executor();
    connections_.fetch_add(1, std::memory_order_acq_rel);
    const auto ended = [this](std::exception_ptr failure) {
      ReportConnectionFailure(failure);
      ConnectionEnded();
    };
    asio::co_spawn(executor,
                   ServeConnection(std::move(socket), secure ? &*tls_ : nullptr, *services_),
                   ended);
  }
}

void Server::ConnectionEnded() {
  if (connections_.fetch_sub(1, std::memory_order_acq_rel) >= config_.maxConnections) {
    asio::post(control_, [this] { connectionEnded_.cancel(); });  // wakes the accept loops
  }
}

void Server::Run() {
  // The accept loops run on control_, where the stop closes the acceptors.
  for (size_t i = 0; i < acceptors_.size(); ++i) {
    asio::co_spawn(control_, AcceptLoop(*acceptors_[i], acceptorSecure_[i]), asio::detached);
  }
  signals_.async_wait([this](const error_code& ec, int) {
    if (!ec) BeginStop();
  });
  FlushAccessLogEachSecond();
  std::vector<std::thread> workers;
  for (unsigned i = 1; i < config_.threads; ++i) workers.emplace_back([this] { io_.run(); });
  io_.run();
  for (std::thread& worker : workers) worker.join();
  accessLog_.Flush();
  if (filter_) filter_->Terminate();
}

void Server::Stop() {
  asio::post(control_, [this] { BeginStop(); });
}

void Server::BeginStop() {
  if (stopping_) return;
  stopping_ = true;
  error_code ec;
  signals_.cancel(ec);
  for (auto& acceptor : acceptors_) acceptor->close(ec);
  connectionEnded_.cancel();
  proxy_->CloseIdleConnections();
  tracker_.OnDrained([this] {
    asio::post(control_, [this] {
      drainTimer_.cancel();
      accessLogFlush_.cancel();
    });
  });
  drainTimer_.expires_after(config_.shutdownTimeout);
  drainTimer_.async_wait([this](const error_code& waitError) {
    if (!waitError) tracker_.CancelAll();  // the drain time is over
  });
  tracker_.BeginStop();
  if (tracker_.Count() == 0) {
    drainTimer_.cancel();
    accessLogFlush_.cancel();
  }
}

// Run writes what is left once every thread is done.
void Server::FlushAccessLogEachSecond() {
  if (!accessLog_.Enabled()) return;
  accessLogFlush_.expires_after(std::chrono::seconds(1));
  accessLogFlush_.async_wait([this](const error_code& ec) {
    if (ec) return;
    accessLog_.Flush();
    if (!stopping_ || tracker_.Count() > 0) FlushAccessLogEachSecond();
  });
}

}  // namespace nexoral::server
