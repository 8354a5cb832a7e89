// The connection coroutine: one request after another, each through the filter's notifications.
#include "session.h"

#include <functional>
#include <optional>

#include "filter_connection.h"
#include "header_access.h"
#include "request_intake.h"
#include "request_path.h"
#include "response_head.h"
#include "text_util.h"

namespace nexoral::server {
namespace {

using RequestParser = http::request_parser<http::string_body>;
using Clock = std::chrono::steady_clock;

constexpr size_t kFirstReadBytes = 4096;
constexpr Duration kTlsShutdownTimeout{std::chrono::seconds(2)};

// How a request ended, for the connection's next step.
enum class RequestEnd {
  kKeepAlive,  // the next request may follow on this connection
  kClose,      // close the connection
};

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
    if (!IsSafeHeaderValue(std::string_view(field.value().data(), field.value().size()))) {
      return true;
    }
  }
  return false;
}

// The answer to a request that could not be read.
http::status StatusForReadError(const error_code& ec) {
  if (ec == http::error::header_limit) return http::status::request_header_fields_too_large;
  if (ec == http::error::body_limit) return http::status::payload_too_large;
  if (ec == asio::error::no_buffer_space) return http::status::service_unavailable;
  return http::status::bad_request;
}

// A read that ended because the peer went away or the server closed it: nobody to answer.
bool PeerGone(const error_code& ec) {
  return ec == http::error::end_of_stream || ec == asio::error::eof ||
         ec == asio::error::connection_reset || ec == asio::error::operation_aborted ||
         ec == asio::error::bad_descriptor || ec == ssl::error::stream_truncated;
}

bool ResponseHasNoBody(unsigned status) {
  return (status >= 100 && status < 200) || status == 204 || status == 304;
}

template <class Stream>
class Session {
 public:
  Session(Stream stream, ConnectionFacts facts, ServerServices& services)
      : stream_(std::move(stream)),
        services_(services),
        config_(services.config),
        tracked_(std::make_shared<TrackedConnection>()),
        registration_(services.tracker, tracked_),
        facts_(facts),
        filter_(services.filter, std::move(facts)) {
    tracked_->executor = stream_.get_executor();
    tracked_->cancel = [this] {
      error_code ec;
      Lowest().socket().close(ec);
    };
    chunkBody_ = [this](std::uint64_t, beast::string_view piece, error_code& ec) -> size_t {
      if (!TakeBodyBudget(piece.size())) {
        ec = asio::error::no_buffer_space;
        return 0;
      }
      parser_->get().body().append(piece.data(), piece.size());
      return piece.size();
    };
  }

  ~Session() {
    tracked_->cancel = nullptr;
    services_.bodyBudget.GiveBack(bodyBudget_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Task<void> Run() {
    if (!co_await Handshake()) co_return;
    try {
      for (bool more = true; more;) {
        more = co_await ServeOneRequest() == RequestEnd::kKeepAlive;
        ReleaseBody();  // a connection between requests holds no body
      }
    } catch (const std::exception&) {
      // Out of memory or a library failure on this connection only: it closes, the server
      // and the filter carry on.
      clientGone_ = true;
      filter_.MarkClientGone();
    }
    filter_.EndOfNetSession();
    co_await WriteFilterOutput();
    co_await Close();
  }

 private:
  static constexpr bool kSecure = !std::is_same_v<Stream, beast::tcp_stream>;

  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

  Task<bool> Handshake() {
    if constexpr (kSecure) {
      Lowest().expires_after(config_.readTimeout);
      error_code ec;
      co_await stream_.async_handshake(ssl::stream_base::server, Capture(ec));
      co_return !ec;
    } else {
      co_return true;
    }
  }

  Task<void> Close() {
    error_code ec;
    if constexpr (kSecure) {
      Lowest().expires_after(kTlsShutdownTimeout);
      co_await stream_.async_shutdown(Capture(ec));
    }
    Lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
    Lowest().close();
  }

  // ---- Reading ----

  // Waits for the first bytes of the next request (the idle timeout applies). False when the
  // connection is over: closed by the peer, idle too long, or the server is stopping.
  Task<bool> AwaitRequest() {
    if (buffer_.size() > 0) co_return true;
    if (services_.tracker.Stopping()) co_return false;
    tracked_->idle = true;
    Lowest().expires_after(config_.idleTimeout);
    error_code ec;
    const size_t got = co_await stream_.async_read_some(buffer_.prepare(kFirstReadBytes), Capture(ec));
    tracked_->idle = false;
    if (ec) co_return false;
    buffer_.commit(got);
    co_return true;
  }

  Task<error_code> ReadHeader() {
    filter_.Request().header = nullptr;  // the previous request's header goes with its parser
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(std::min<size_t>(config_.headerBytes, UINT32_MAX)));
    parser_->body_limit(config_.bodyBytes);
    Lowest().expires_after(config_.readTimeout);
    error_code ec;
    co_await http::async_read_header(stream_, buffer_, *parser_, Capture(ec));
    co_return ec;
  }

  Task<error_code> ReadBody() {
    error_code ec;
    if (parser_->is_done()) co_return ec;
    // The body comes out of the budget all connections share: a known length before anything
    // is read (and before 100 Continue), a chunked body piece by piece.
    if (const auto length = parser_->content_length()) {
      if (!TakeBodyBudget(static_cast<size_t>(*length))) co_return asio::error::no_buffer_space;
    } else {
      parser_->on_chunk_body(chunkBody_);
    }
    if (EqualsIgnoreCase(Text(parser_->get()[http::field::expect]), "100-continue")) {
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      co_await Write(std::string(kContinue));
      if (clientGone_) co_return asio::error::connection_reset;
    }
    Lowest().expires_after(config_.readTimeout);
    co_await http::async_read(stream_, buffer_, *parser_, Capture(ec));
    co_return ec;
  }

  bool TakeBodyBudget(size_t bytes) {
    if (!services_.bodyBudget.Take(bytes)) return false;
    bodyBudget_ += bytes;
    return true;
  }

  void ReleaseBody() {
    if (parser_) std::string().swap(parser_->get().body());
    services_.bodyBudget.GiveBack(bodyBudget_);
    bodyBudget_ = 0;
  }

  static std::string_view Text(beast::string_view view) { return {view.data(), view.size()}; }

  // ---- One request ----

  Task<RequestEnd> ServeOneRequest() {
    if (!co_await AwaitRequest()) co_return RequestEnd::kClose;
    const error_code readError = co_await ReadHeader();
    started_ = Clock::now();
    record_ = AccessRecord{};
    record_.remoteAddress = facts_.remoteAddress;
    if (readError) {
      if (readError == beast::error::timeout) {
        // The stream closed itself on the timeout; the log still tells what happened.
        record_.status = static_cast<unsigned>(http::status::request_timeout);
        WriteAccessLog();
      } else if (!PeerGone(readError)) {
        co_await AnswerUnread(StatusForReadError(readError));
        WriteAccessLog();
      }
      co_return RequestEnd::kClose;
    }
    http::request_header<>& request = parser_->get().base();
    record_.method = std::string(Text(request.method_string()));
    record_.target = std::string(Text(request.target()));
    record_.version = request.version();
    if (HasUnsafeHeaderValue(request) || !IsOriginFormTarget(Text(request.target()))) {
      co_await AnswerUnread(http::status::bad_request);
      WriteAccessLog();
      co_return RequestEnd::kClose;
    }
    // Ambiguous framing, Host or path: refused before the filter could take it one way and an
    // upstream another.
    if (const std::optional<http::status> refusal = RefusalOf(request)) {
      co_await AnswerUnread(*refusal);
      WriteAccessLog();
      co_return RequestEnd::kClose;
    }
    NormaliseRequestHead(request, facts_.trustedPeer);
    filter_.BeginRequest(request, std::string(Text(request.target())));
    const RequestEnd end = co_await ServeRequest(request);
    filter_.EndOfRequest();
    co_await WriteFilterOutput();
    WriteAccessLog();
    co_return (end == RequestEnd::kKeepAlive && !clientGone_) ? RequestEnd::kKeepAlive
                                                             : RequestEnd::kClose;
  }

  void WriteAccessLog() {
    record_.duration = Clock::now() - started_;
    services_.accessLog.Write(record_);
  }

  // The request after its header was read: notifications, authentication, body, routing.
  Task<RequestEnd> ServeRequest(http::request_header<>& request) {
    FilterVerdict verdict = VerdictOf(filter_.PreprocHeaders(request));
    co_await WriteFilterOutput();
    if (verdict != FilterVerdict::kContinue || filter_.FilterResponseStatus() != 0) {
      co_return co_await FinishedByFilter(verdict);
    }
    const std::optional<std::string> path = DecodeRequestPath(Text(request.target()));
    if (!path) co_return co_await Respond(MakeTextResponse(http::status::bad_request), false);

    AuthResult auth = co_await services_.authenticator.Authenticate(
        *path, Text(request[http::field::authorization]), facts_.remoteAddress);
    if (auth.kind == AuthResult::Kind::kDenied) co_return co_await AnswerUnauthorized();
    if (auth.kind == AuthResult::Kind::kThrottled) {
      co_return co_await Respond(MakeTextResponse(http::status::too_many_requests), false);
    }
    filter_.Request().auth = auth;
    filter_.Request().authenticated = true;
    record_.user = auth.LogonUser();
    const platform::TokenIdentity identity = auth.kind == AuthResult::Kind::kAuthenticated
                                                 ? auth.identity
                                                 : platform::ProcessIdentity();
    verdict = VerdictOf(filter_.AuthComplete(request, identity));
    co_await WriteFilterOutput();
    if (verdict != FilterVerdict::kContinue || filter_.FilterResponseStatus() != 0) {
      co_return co_await FinishedByFilter(verdict);
    }

    const auto fieldsBeforeBody = std::distance(request.begin(), request.end());
    const error_code bodyError = co_await ReadBody();
    if (bodyError) {
      if (bodyError == beast::error::timeout) record_.status = 408;
      if (PeerGone(bodyError) || bodyError == beast::error::timeout) co_return RequestEnd::kClose;
      co_return co_await Respond(MakeTextResponse(StatusForReadError(bodyError)), false);
    }
    // Trailer fields of a chunked body would join the head after the checks and the filter.
    if (std::distance(request.begin(), request.end()) != fieldsBeforeBody) {
      co_return co_await Respond(MakeTextResponse(http::status::bad_request), false);
    }
    // The filters may have changed the URL: route what they left.
    const std::optional<std::string> routed = DecodeRequestPath(Text(request.target()));
    if (!routed) co_return co_await Respond(MakeTextResponse(http::status::bad_request), false);
    OutgoingResponse response = co_await Route(*routed);
    co_return co_await Respond(std::move(response), parser_->get().keep_alive());
  }

  Task<OutgoingResponse> Route(const std::string& path) {
    const http::request<http::string_body>& request = parser_->get();
    if (const ProxyRoute* route = services_.proxy.Match(path)) {
      co_return co_await services_.proxy.Forward(*route, request, facts_);
    }
    if (services_.staticFiles == nullptr) co_return MakeTextResponse(http::status::not_found);
    co_return services_.staticFiles->Serve(request.method(), path,
                                           TargetQuery(Text(request.target())));
  }

  Task<RequestEnd> AnswerUnauthorized() {
    OutgoingResponse response = MakeTextResponse(http::status::unauthorized);
    response.head.set(http::field::www_authenticate, services_.authenticator.Challenge());
    // The body was not read; the connection can carry on only when there is none.
    co_return co_await Respond(std::move(response),
                               parser_->is_done() && parser_->get().keep_alive());
  }

  // The filter answered (or failed) the request in a notification before the response.
  Task<RequestEnd> FinishedByFilter(FilterVerdict verdict) {
    record_.status = filter_.FilterResponseStatus();
    switch (verdict) {
      case FilterVerdict::kError:
        co_await AnswerUnread(http::status::internal_server_error);
        co_return RequestEnd::kClose;
      case FilterVerdict::kFinishedClose:
        co_return RequestEnd::kClose;
      case FilterVerdict::kContinue:  // a response went out through the support function
      case FilterVerdict::kFinishedKeepConn:
        break;
    }
    // An unread body would be taken for the next request.
    const bool keep = parser_->is_done() && parser_->get().keep_alive() &&
                      !services_.tracker.Stopping();
    co_return keep ? RequestEnd::kKeepAlive : RequestEnd::kClose;
  }

  // ---- Writing ----

  Task<void> Write(std::string data) {
    if (data.empty() || clientGone_) co_return;
    Lowest().expires_after(config_.writeTimeout);
    error_code ec;
    co_await asio::async_write(stream_, asio::buffer(data), Capture(ec));
    if (ec) {
      clientGone_ = true;
      filter_.MarkClientGone();
      co_return;
    }
    record_.bytesSent += data.size();
  }

  Task<void> WriteFilterOutput() { co_await Write(filter_.TakeClientOutput()); }

  // A response to a request that was not (fully) read or whose filter failed: sent without
  // notifications, and the connection closes after it.
  Task<void> AnswerUnread(http::status status) {
    OutgoingResponse response = MakeTextResponse(status);
    response.head.set(http::field::connection, "close");
    record_.status = response.head.result_int();
    error_code ec;
    std::string bytes = SerializeResponseHead(response.head);
    const std::string body = co_await response.body->Next(ec);
    bytes.append(body);
    co_await Write(std::move(bytes));
  }

  // Decides the response's framing before the filter sees its headers.
  void FrameResponse(OutgoingResponse& response, bool& keepAlive) {
    const http::request_header<>& request = parser_->get().base();
    response.head.version(11);
    response.head.set(http::field::server, "nexoral-server");
    for (const auto& field : filter_.TakeAddedResponseHeaders()) {
      response.head.insert(field.name_string(), field.value());
    }
    const bool hasBody = response.body != nullptr && !ResponseHasNoBody(response.head.result_int());
    if (hasBody && !response.head.has_content_length()) {
      if (request.version() >= 11) {
        response.head.chunked(true);
      } else {
        keepAlive = false;  // an HTTP/1.0 client learns the end from the close
      }
    }
    if (services_.tracker.Stopping()) keepAlive = false;
    if (!keepAlive) {
      response.head.set(http::field::connection, "close");
    } else if (request.version() < 11) {
      response.head.set(http::field::connection, "keep-alive");
    }
  }

  // Sends a response through SF_NOTIFY_SEND_RESPONSE and SF_NOTIFY_SEND_RAW_DATA.
  Task<RequestEnd> Respond(OutgoingResponse response, bool keepAlive) {
    FrameResponse(response, keepAlive);
    const FilterVerdict verdict = VerdictOf(filter_.SendResponse(response.head));
    co_await WriteFilterOutput();
    record_.status = response.head.result_int();
    switch (verdict) {
      case FilterVerdict::kError:
        co_await AnswerUnread(http::status::internal_server_error);
        co_return RequestEnd::kClose;
      case FilterVerdict::kFinishedClose:
        co_return RequestEnd::kClose;
      case FilterVerdict::kFinishedKeepConn:
        co_return keepAlive ? RequestEnd::kKeepAlive : RequestEnd::kClose;
      case FilterVerdict::kContinue:
        break;
    }
    // The filter may have changed the framing headers; the wire follows what it left.
    const bool chunked = response.head.chunked();
    const bool sized = response.head.has_content_length();
    if (!response.head.keep_alive()) keepAlive = false;
    const bool sendBody = response.body != nullptr &&
                          parser_->get().method() != http::verb::head &&
                          !ResponseHasNoBody(response.head.result_int());
    if (sendBody && !chunked && !sized) keepAlive = false;

    filter_.MarkResponseHeadSent();
    RawStep step = co_await SendRaw(SerializeResponseHead(response.head));
    while (step == RawStep::kGoOn && sendBody) {
      error_code ec;
      std::string block = co_await response.body->Next(ec);
      if (ec) {  // the upstream broke off: the client cannot get a whole response
        step = RawStep::kClose;
        break;
      }
      if (block.empty()) {
        if (chunked) step = co_await SendRaw(std::string(kLastChunk));
        break;
      }
      // Named first: GCC 12 mishandles conditional temporaries inside co_await expressions.
      std::string wire = chunked ? FrameChunk(block) : std::move(block);
      step = co_await SendRaw(std::move(wire));
    }
    if (step == RawStep::kClose || clientGone_) co_return RequestEnd::kClose;
    co_return keepAlive ? RequestEnd::kKeepAlive : RequestEnd::kClose;
  }

  enum class RawStep {
    kGoOn,      // send the next block
    kFinished,  // the filter finished the response: send nothing more of it
    kClose,     // stop and close the connection
  };

  // One block of the response through SF_NOTIFY_SEND_RAW_DATA, then on the wire.
  Task<RawStep> SendRaw(std::string block) {
    const FilterVerdict verdict = VerdictOf(filter_.SendRawData(block));
    co_await WriteFilterOutput();
    if (verdict == FilterVerdict::kError) co_return RawStep::kClose;
    co_await Write(std::move(block));
    if (clientGone_) co_return RawStep::kClose;
    switch (verdict) {
      case FilterVerdict::kContinue:
        co_return RawStep::kGoOn;
      case FilterVerdict::kFinishedKeepConn:
        co_return RawStep::kFinished;
      case FilterVerdict::kFinishedClose:
      case FilterVerdict::kError:
        break;
    }
    co_return RawStep::kClose;
  }

  Stream stream_;
  ServerServices& services_;
  const ServerConfig& config_;
  std::shared_ptr<TrackedConnection> tracked_;
  ConnectionTracker::Registration registration_;
  const ConnectionFacts facts_;
  FilterConnection filter_;
  beast::flat_buffer buffer_;
  std::optional<RequestParser> parser_;
  size_t bodyBudget_ = 0;  // taken from services_.bodyBudget for the current request
  std::function<size_t(std::uint64_t, beast::string_view, error_code&)> chunkBody_;
  AccessRecord record_;
  Clock::time_point started_;
  bool clientGone_ = false;
};

}  // namespace

Task<void> ServePlainConnection(tcp::socket socket, ServerServices& services) {
  ConnectionFacts facts = FactsOf(socket, false, services.config);
  Session<beast::tcp_stream> session(beast::tcp_stream(std::move(socket)), std::move(facts),
                                     services);
  co_await session.Run();
}

Task<void> ServeSecureConnection(tcp::socket socket, ssl::context& tls, ServerServices& services) {
  ConnectionFacts facts = FactsOf(socket, true, services.config);
  using SecureStream = beast::ssl_stream<beast::tcp_stream>;
  Session<SecureStream> session(SecureStream(beast::tcp_stream(std::move(socket)), tls),
                                std::move(facts), services);
  co_await session.Run();
}

}  // namespace nexoral::server
