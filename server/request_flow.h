// A request's way through the server once its head is read and checked: the filter's
// notifications in their order (pre-processing, authentication, send-response, raw data), the
// authentication itself, the body, the routing to the static files or an upstream, and the
// response with its framing. What a filter's verdict does to the request is decided in one
// place, Settle.
#ifndef NEXORAL_SERVER_REQUEST_FLOW_H
#define NEXORAL_SERVER_REQUEST_FLOW_H

#include <string>

#include "access_log.h"
#include "compression.h"
#include "deadline.h"
#include "filter_connection.h"
#include "request_reader.h"
#include "response_writer.h"
#include "reverse_proxy.h"
#include "server_services.h"

namespace nexoral::server {

// How a request ended, for the connection's next step.
enum class RequestEnd {
  kKeepAlive,  // the next request may follow on this connection
  kClose,      // close the connection
};

class RequestFlow {
 public:
  RequestFlow(ServerServices& services, const ConnectionFacts& facts, RequestReader& reader,
              ResponseWriter& writer, FilterConnection& filter, Deadline& deadline,
              AccessRecord& record);
  RequestFlow(const RequestFlow&) = delete;
  RequestFlow& operator=(const RequestFlow&) = delete;

  // Serves the request whose head the reader has read (checked and normalised).
  Task<RequestEnd> Serve();

 private:
  // Where in the request a verdict came.
  enum class Stage {
    kBeforeResponse,  // pre-processing, authentication: nothing of a response sent by us
    kResponseHead,    // send-response: our head not sent yet
    kResponseBody,    // raw data: our head went out
  };

  Task<RequestEnd> Settle(FilterVerdict verdict, Stage stage, bool keepAlive);
  // The client may send its next request on this connection once this one is over.
  bool MayKeepAlive() const;

  Task<RequestEnd> AfterHeaders();
  Task<OutgoingResponse> Route(const std::string& path);
  Task<RequestEnd> AnswerUnauthorized();
  Task<RequestEnd> Answer(http::status status);

  void FrameResponse(OutgoingResponse& response, bool& keepAlive);
  Task<RequestEnd> Respond(OutgoingResponse response, bool keepAlive);
  Task<RequestEnd> SendBody(BodySource& body, bool chunked, std::optional<uint64_t> length,
                            bool keepAlive);
  // One block of the response on its way out through the raw-data notification: queued as the
  // filter left it.
  FilterVerdict QueueThroughFilter(std::string& block);

  ServerServices& services_;
  const ConnectionFacts& facts_;
  RequestReader& reader_;
  ResponseWriter& writer_;
  FilterConnection& filter_;
  Deadline& deadline_;
  AccessRecord& record_;
  UpstreamScratch upstream_;
  std::string rawBlock_;  // a block handed to the raw-data notification
  bool rawData_ = false;  // the filter takes the response's blocks
  ResponseCompressor compressor_;
  enum class Compress {
    kNone,
    kBody,          // the body goes through the compressor
    kFilterOutput,  // the filter's raw-data output goes through it
  } compress_ = Compress::kNone;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_REQUEST_FLOW_H
