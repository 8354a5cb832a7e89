// The request's way through the filter's notifications to its response.
#include "request_flow.h"

#include "request_path.h"
#include "response_head.h"

// With optimisation GCC 12 takes the recycling operator delete of Asio's coroutine frames, once
// inlined into a long coroutine, for a mismatch with the operator new that allocated the frame
// (they are the pair); the check stays on elsewhere.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace nexoral::server {
namespace {

bool ResponseHasNoBody(unsigned status) {
  return (status >= 100 && status < 200) || status == 204 || status == 304;
}

}  // namespace

RequestFlow::RequestFlow(ServerServices& services, const ConnectionFacts& facts,
                         RequestReader& reader, ResponseWriter& writer, FilterConnection& filter,
                         Deadline& deadline, AccessRecord& record)
    : services_(services),
      facts_(facts),
      reader_(reader),
      writer_(writer),
      filter_(filter),
      deadline_(deadline),
      record_(record),
      compressor_(services.config.compression) {}

bool RequestFlow::MayKeepAlive() const {
  // An unread body would be taken for the next request.
  return reader_.Done() && reader_.Message().keep_alive() && !services_.tracker.Stopping();
}

Task<RequestEnd> RequestFlow::Settle(FilterVerdict verdict, Stage stage, bool keepAlive) {
  if (stage == Stage::kBeforeResponse) record_.status = filter_.FilterResponseStatus();
  // A compressed response the filter ended early cannot be finished.
  if (stage == Stage::kResponseBody && compress_ == Compress::kFilterOutput &&
      !compressor_.Finish(writer_.Queued())) {
    keepAlive = false;
  }
  co_await writer_.Write();  // what the filter sent, and what of the response is queued
  switch (verdict) {
    case FilterVerdict::kError:
      // Fails the request: with a 500 while no response head went out, else by the close.
      if (stage != Stage::kResponseBody) {
        record_.status = co_await writer_.WriteClosingAnswer(http::status::internal_server_error);
      }
      co_return RequestEnd::kClose;
    case FilterVerdict::kFinishedClose:
      co_return RequestEnd::kClose;
    case FilterVerdict::kContinue:  // before the response: the filter sent one of its own
    case FilterVerdict::kFinishedKeepConn:
      break;
  }
  co_return keepAlive && !writer_.ClientGone() ? RequestEnd::kKeepAlive : RequestEnd::kClose;
}

Task<RequestEnd> RequestFlow::Serve() {
  http::request_header<>& request = reader_.Message().base();
  const FilterVerdict verdict = VerdictOf(filter_.PreprocHeaders(request));
  writer_.QueueFilterOutput();
  if (verdict != FilterVerdict::kContinue || filter_.FilterResponseStatus() != 0) {
    co_return co_await Settle(verdict, Stage::kBeforeResponse, MayKeepAlive());
  }
  co_return co_await AfterHeaders();
}

// Authentication, the body and the response, once pre-processing let the request through.
Task<RequestEnd> RequestFlow::AfterHeaders() {
  http::request_header<>& request = reader_.Message().base();
  std::optional<std::string> path = DecodeRequestPath(request.target());
  if (!path) co_return co_await Answer(http::status::bad_request);

  AuthResult auth = co_await services_.authenticator.Authenticate(
      *path, request[http::field::authorization], facts_.remoteAddress);
  if (auth.kind == AuthResult::Kind::kDenied) co_return co_await AnswerUnauthorized();
  if (auth.kind == AuthResult::Kind::kThrottled) {
    co_return co_await Answer(http::status::too_many_requests);
  }
  RequestFacts& facts = filter_.Request();
  facts.auth = std::move(auth);
  facts.authenticated = true;
  if (services_.accessLog.Enabled()) record_.user = facts.auth.LogonUser();
  const platform::TokenIdentity& identity = facts.auth.kind == AuthResult::Kind::kAuthenticated
                                                ? facts.auth.identity
                                                : platform::ProcessIdentity();
  const FilterVerdict verdict = VerdictOf(filter_.AuthComplete(request, identity));
  writer_.QueueFilterOutput();
  if (verdict != FilterVerdict::kContinue || filter_.FilterResponseStatus() != 0) {
    co_return co_await Settle(verdict, Stage::kBeforeResponse, MayKeepAlive());
  }

  const auto fieldsBeforeBody = std::distance(request.begin(), request.end());
  error_code bodyError = reader_.ReserveBody();
  if (!bodyError && !reader_.Done()) {
    // Whatever the filter sent goes out before the wait for the body.
    if (reader_.WantsContinue()) writer_.Queue("HTTP/1.1 100 Continue\r\n\r\n");
    co_await writer_.Write();
    bodyError = writer_.ClientGone() ? asio::error::connection_reset
                                     : co_await reader_.ReadBody();
  }
  if (bodyError) {
    if (bodyError == beast::error::timeout) record_.status = 408;
    if (PeerGone(bodyError) || bodyError == beast::error::timeout) co_return RequestEnd::kClose;
    co_return co_await Respond(MakeTextResponse(StatusForReadError(bodyError)), false);
  }
  // Trailer fields of a chunked body would join the head after the checks and the filter.
  if (std::distance(request.begin(), request.end()) != fieldsBeforeBody) {
    co_return co_await Answer(http::status::bad_request);
  }
  // A filter's authentication notification may have changed the URL: route what it left.
  const bool changed = filter_.Wants(SF_NOTIFY_AUTH_COMPLETE);
  const std::optional<std::string> routed =
      changed ? DecodeRequestPath(request.target()) : std::move(path);
  if (!routed) co_return co_await Answer(http::status::bad_request);
  OutgoingResponse response = co_await Route(*routed);
  co_return co_await Respond(std::move(response), reader_.Message().keep_alive());
}

Task<OutgoingResponse> RequestFlow::Route(const std::string& path) {
  const http::request<http::string_body>& request = reader_.Message();
  if (const ProxyRoute* route = services_.proxy.Match(path)) {
    // Compressed bytes would reach the filter's raw data, where no worker can edit them.
    const bool identity =
        services_.config.identityUpstream && filter_.Wants(SF_NOTIFY_SEND_RAW_DATA);
    co_return co_await services_.proxy.Forward(*route, request, facts_, upstream_, deadline_,
                                               identity);
  }
  if (services_.staticFiles == nullptr) co_return MakeTextResponse(http::status::not_found);
  // A file's precompressed copy only where no filter is to edit the body.
  const bool precompressed = services_.config.compression.gzip &&
                             !filter_.Wants(SF_NOTIFY_SEND_RAW_DATA) && TakesGzip(request);
  co_return services_.staticFiles->Serve(request.method(), path, TargetQuery(request.target()),
                                         precompressed);
}

Task<RequestEnd> RequestFlow::AnswerUnauthorized() {
  OutgoingResponse response = MakeTextResponse(http::status::unauthorized);
  response.head.set(http::field::www_authenticate, services_.authenticator.Challenge());
  // The body was not read; the connection can carry on only when there is none.
  co_return co_await Respond(std::move(response),
                             reader_.Done() && reader_.Message().keep_alive());
}

Task<RequestEnd> RequestFlow::Answer(http::status status) {
  co_return co_await Respond(MakeTextResponse(status), false);
}

// Decides the response's framing before the filter sees its headers.
void RequestFlow::FrameResponse(OutgoingResponse& response, bool& keepAlive) {
  const http::request_header<>& request = reader_.Message().base();
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
Task<RequestEnd> RequestFlow::Respond(OutgoingResponse response, bool keepAlive) {
  FrameResponse(response, keepAlive);
  FilterVerdict verdict = VerdictOf(filter_.SendResponse(response.head));
  writer_.QueueFilterOutput();
  record_.status = response.head.result_int();
  if (verdict != FilterVerdict::kContinue) {
    co_return co_await Settle(verdict, Stage::kResponseHead, keepAlive);
  }
  // The filter may have changed the framing headers; the wire follows what it left.
  const bool chunked = response.head.chunked();
  const bool sized = response.head.has_content_length();
  if (!response.head.keep_alive()) keepAlive = false;
  const bool sendBody = response.body != nullptr &&
                        reader_.Message().method() != http::verb::head &&
                        !ResponseHasNoBody(response.head.result_int());
  if (sendBody && !chunked && !sized) keepAlive = false;

  filter_.MarkResponseHeadSent();
  rawData_ = filter_.Wants(SF_NOTIFY_SEND_RAW_DATA);
  std::optional<uint64_t> length;
  if (sized) length = DeclaredLength(response.head);
  // The client gets gzip after everything the filter did: the filter's output is compressed
  // when it takes raw data, else the body as it comes.
  const http::request_header<>& request = reader_.Message().base();
  const CompressionSettings& compression = services_.config.compression;
  compress_ = Compress::kNone;
  if (rawData_ && compression.gzip) {
    compressor_.StartFilterOutput(TakesGzip(request), !sendBody);
    compress_ = Compress::kFilterOutput;
  } else if (!rawData_) {
    const CodingChoice choice = ChooseCoding(compression, TakesGzip(request), response.head);
    if (choice.vary) AddVary(response.head);
    if (choice.gzip) MarkGzip(response.head);
    if (choice.gzip && sendBody) {
      if (!compressor_.Begin(std::move(response.head.base()))) co_return RequestEnd::kClose;
      compress_ = Compress::kBody;
      co_return co_await SendBody(*response.body, chunked, length, keepAlive);
    }
  }
  if (rawData_) {
    rawBlock_.clear();
    AppendResponseHead(response.head, rawBlock_);
    verdict = QueueThroughFilter(rawBlock_);
    if (verdict != FilterVerdict::kContinue) {
      co_return co_await Settle(verdict, Stage::kResponseBody, keepAlive);
    }
  } else {
    AppendResponseHead(response.head, writer_.Queued());
  }
  if (!sendBody) {
    co_await writer_.Write();
    co_return keepAlive && !writer_.ClientGone() ? RequestEnd::kKeepAlive : RequestEnd::kClose;
  }
  co_return co_await SendBody(*response.body, chunked, length, keepAlive);
}

// The body after the head, piece by piece; the head goes out with the first piece.
// length: the body's, when known.
Task<RequestEnd> RequestFlow::SendBody(BodySource& body, bool chunked,
                                       std::optional<uint64_t> length, bool keepAlive) {
  uint64_t received = 0;
  for (;;) {
    error_code ec;
    const BodyPieces pieces = co_await body.Next(ec);
    if (ec) {  // the upstream broke off: the client cannot get a whole response
      co_await writer_.Write();
      co_return RequestEnd::kClose;
    }
    if (pieces.empty()) break;
    if (compress_ == Compress::kBody) {
      for (const std::string_view piece : pieces) received += piece.size();
      // Pieces that complete the body give a compressed length instead of chunks.
      if (!compressor_.Add(pieces, length && received >= *length, writer_.Queued())) {
        co_return RequestEnd::kClose;
      }
      co_await writer_.Write();
    } else if (rawData_) {
      rawBlock_.clear();
      ResponseWriter::AppendFramed(pieces, chunked, rawBlock_);
      const FilterVerdict verdict = QueueThroughFilter(rawBlock_);
      if (verdict != FilterVerdict::kContinue) {
        co_return co_await Settle(verdict, Stage::kResponseBody, keepAlive);
      }
      co_await writer_.Write();
    } else {
      co_await writer_.Write(pieces, chunked);
    }
    if (writer_.ClientGone()) co_return RequestEnd::kClose;
  }
  if (compress_ == Compress::kBody) {
    if (!compressor_.End(writer_.Queued())) co_return RequestEnd::kClose;
  } else if (chunked) {
    if (rawData_) {
      rawBlock_.assign(kLastChunk);
      const FilterVerdict verdict = QueueThroughFilter(rawBlock_);
      if (verdict != FilterVerdict::kContinue) {
        co_return co_await Settle(verdict, Stage::kResponseBody, keepAlive);
      }
    } else {
      writer_.Queue(kLastChunk);
    }
  }
  if (compress_ == Compress::kFilterOutput && !compressor_.Finish(writer_.Queued())) {
    co_await writer_.Write();
    co_return RequestEnd::kClose;
  }
  if (writer_.HasQueued()) co_await writer_.Write();
  co_return keepAlive && !writer_.ClientGone() ? RequestEnd::kKeepAlive : RequestEnd::kClose;
}

FilterVerdict RequestFlow::QueueThroughFilter(std::string& block) {
  const FilterVerdict verdict = VerdictOf(filter_.SendRawData(block));
  writer_.QueueFilterOutput();
  if (verdict == FilterVerdict::kError) return verdict;
  if (compress_ != Compress::kFilterOutput) {
    writer_.Queue(block);
  } else if (!compressor_.Feed(block, writer_.Queued())) {
    return FilterVerdict::kError;  // closes the connection: the response cannot be finished
  }
  return verdict;
}

}  // namespace nexoral::server
