// Where a response body comes from, one block at a time: a string, a file, an upstream
// response. The session pulls blocks on the connection's strand and sends each on.
#ifndef NEXORAL_SERVER_BODY_SOURCE_H
#define NEXORAL_SERVER_BODY_SOURCE_H

#include <memory>
#include <string>

#include "net.h"

namespace nexoral::server {

// Blocks stay below 64 KiB so that chunk sizes fit in four hexadecimal digits.
inline constexpr size_t kBodyBlockBytes = 32 * 1024;

class BodySource {
 public:
  virtual ~BodySource() = default;
  // The next block; empty when the body is complete. On failure ec is set and the body is
  // incomplete: the response cannot be finished and the connection must close.
  virtual Task<std::string> Next(error_code& ec) = 0;
};

class StringBody final : public BodySource {
 public:
  explicit StringBody(std::string body) : body_(std::move(body)) {}
  Task<std::string> Next(error_code& ec) override;

 private:
  std::string body_;
};

// A response about to be sent: status and headers, and its body (null for none).
struct OutgoingResponse {
  http::response<http::empty_body> head;  // a message, for its framing helpers
  std::unique_ptr<BodySource> body;
};

// A small response with a text body: "404 Not Found\n".
OutgoingResponse MakeTextResponse(http::status status, std::string text = {});

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_BODY_SOURCE_H
