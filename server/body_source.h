// Where a response body comes from, a run of bytes at a time: a string, a file, an upstream
// response. The connection pulls the pieces on its strand and sends them on before it asks for
// more: a piece stays valid only until the next call, so an upstream's bytes go from its read
// buffer to the client without a copy.
#ifndef NEXORAL_SERVER_BODY_SOURCE_H
#define NEXORAL_SERVER_BODY_SOURCE_H

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "net.h"

namespace nexoral::server {

// Bytes asked of a file or an upstream socket in one read.
inline constexpr size_t kBodyReadBytes = 64 * 1024;

// The next bytes of a body, in order, valid until the next call to Next.
using BodyPieces = std::span<const std::string_view>;

class BodySource {
 public:
  virtual ~BodySource() = default;
  // The next pieces; none when the body is complete. On failure ec is set and the body is
  // incomplete: the response cannot be finished and the connection must close.
  virtual Task<BodyPieces> Next(error_code& ec) = 0;
};

class StringBody final : public BodySource {
 public:
  explicit StringBody(std::string body) : body_(std::move(body)) {}
  Task<BodyPieces> Next(error_code& ec) override;

 private:
  std::string body_;
  std::string_view piece_;
  bool given_ = false;
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
