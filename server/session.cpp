// The connection: its requests one after another, each read, served and logged.
#include "session.h"

#include <optional>

#include "client_stream.h"
#include "deadline.h"
#include "filter_connection.h"
#include "header_access.h"
#include "request_flow.h"
#include "request_intake.h"
#include "request_reader.h"
#include "response_writer.h"
#include "text_util.h"

namespace nexoral::server {
namespace {

using Clock = std::chrono::steady_clock;

constexpr Duration kTlsShutdownTimeout{std::chrono::seconds(2)};

ConnectionFacts FactsOf(const tcp::socket& socket, bool secure, const ServerConfig& config) {
  ConnectionFacts facts;
  error_code ec;
  const tcp::endpoint remote = socket.remote_endpoint(ec);
  if (!ec) {
    facts.remoteAddress = remote.address().to_string();
    facts.remotePort = remote.port();
  }
  const tcp::endpoint local = socket.local_endpoint(ec);
  if (!ec) {
    facts.localAddress = local.address().to_string();
    facts.localPort = local.port();
  }
  facts.secure = secure;
  facts.serverName = config.serverName;
  facts.trustedPeer = InAddressRanges(config.trustedProxies, facts.remoteAddress);
  return facts;
}

bool HasUnsafeHeaderValue(const http::request_header<>& header) {
  for (const auto& field : header) {
    if (!IsSafeHeaderValue(field.value())) return true;
  }
  return false;
}

class Session {
 public:
  Session(tcp::socket socket, ssl::context* tls, ServerServices& services)
      : services_(services),
        config_(services.config),
        facts_(FactsOf(socket, tls != nullptr, services.config)),
        stream_(std::move(socket), tls),
        deadline_(stream_.Socket().get_executor()),
        tracked_(std::make_shared<TrackedConnection>()),
        registration_(services.tracker, tracked_),
        filter_(services.filter, facts_),
        reader_(stream_, deadline_, config_, services.bodyBudget),
        writer_(stream_, deadline_, config_.writeTimeout, filter_),
        flow_(services, facts_, reader_, writer_, filter_, deadline_, record_) {
    tracked_->executor = stream_.Socket().get_executor();
    tracked_->cancel = [this] {
      error_code ec;
      stream_.Socket().close(ec);
    };
    record_.remoteAddress = facts_.remoteAddress;
  }

  ~Session() { tracked_->cancel = nullptr; }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Task<void> Run() {
    if (stream_.Secure()) {
      deadline_.Set(config_.readTimeout, stream_.Socket());
      const error_code ec = co_await stream_.Handshake();
      deadline_.Clear();
      if (ec) co_return;
    }
    bool failed = false;
    try {
      for (bool more = true; more;) {
        more = co_await ServeOneRequest() == RequestEnd::kKeepAlive;
        reader_.ReleaseBody();  // a connection between requests holds no body
      }
    } catch (const std::exception&) {
      // Out of memory or a library failure on this connection only: it closes, the server
      // and the filter carry on.
      failed = true;
      filter_.MarkClientGone();
    }
    filter_.EndOfNetSession();
    writer_.QueueFilterOutput();
    if (!failed && writer_.HasQueued()) co_await writer_.Write();
    const Deadline::Scope scope(deadline_, kTlsShutdownTimeout, stream_.Socket());
    co_await stream_.Close();
  }

 private:
  Task<RequestEnd> ServeOneRequest() {
    if (!co_await reader_.AwaitRequest(*tracked_, services_.tracker.Stopping())) {
      co_return RequestEnd::kClose;
    }
    filter_.Request().header = nullptr;  // the previous request's header goes with its parser
    const error_code readError = co_await reader_.ReadHeader();
    BeginRecord();
    if (readError) {
      if (readError == beast::error::timeout) {
        // The socket was closed on the timeout; the log still tells what happened.
        record_.status = static_cast<unsigned>(http::status::request_timeout);
      } else if (!PeerGone(readError)) {
        record_.status = co_await writer_.WriteClosingAnswer(StatusForReadError(readError));
      }
      if (record_.status != 0) WriteAccessLog();
      co_return RequestEnd::kClose;
    }
    http::request_header<>& request = reader_.Message().base();
    if (services_.accessLog.Enabled()) {
      record_.method.assign(request.method_string());
      record_.target.assign(request.target());
      record_.version = request.version();
    }
    // Ambiguous framing, Host or path: refused before the filter could take it one way and an
    // upstream another.
    std::optional<http::status> refusal;
    if (HasUnsafeHeaderValue(request) || !IsOriginFormTarget(request.target())) {
      refusal = http::status::bad_request;
    } else {
      refusal = RefusalOf(request);
    }
    if (refusal) {
      record_.status = co_await writer_.WriteClosingAnswer(*refusal);
      WriteAccessLog();
      co_return RequestEnd::kClose;
    }
    NormaliseRequestHead(request, facts_.trustedPeer);
    // The target as received is kept for the filter's server variables only.
    filter_.BeginRequest(request, services_.filter != nullptr ? std::string(request.target())
                                                              : std::string());
    const RequestEnd end = co_await flow_.Serve();
    filter_.EndOfRequest();
    writer_.QueueFilterOutput();
    if (writer_.HasQueued()) co_await writer_.Write();
    WriteAccessLog();
    co_return (end == RequestEnd::kKeepAlive && !writer_.ClientGone()) ? RequestEnd::kKeepAlive
                                                                      : RequestEnd::kClose;
  }

  void BeginRecord() {
    started_ = Clock::now();
    record_.user.clear();
    record_.method.clear();
    record_.target.clear();
    record_.version = 11;
    record_.status = 0;
    writer_.TakeBytesSent();
  }

  void WriteAccessLog() {
    if (!services_.accessLog.Enabled()) return;
    record_.bytesSent = writer_.TakeBytesSent();
    record_.duration = Clock::now() - started_;
    services_.accessLog.Write(record_);
  }

  ServerServices& services_;
  const ServerConfig& config_;
  const ConnectionFacts facts_;
  ClientStream stream_;
  Deadline deadline_;
  std::shared_ptr<TrackedConnection> tracked_;
  ConnectionTracker::Registration registration_;
  FilterConnection filter_;
  AccessRecord record_;
  RequestReader reader_;
  ResponseWriter writer_;
  RequestFlow flow_;
  Clock::time_point started_;
};

}  // namespace

Task<void> ServeConnection(tcp::socket socket, ssl::context* tls, ServerServices& services) {
  Session session(std::move(socket), tls, services);
  co_await session.Run();
}

}  // namespace nexoral::server
