// Response head serialization and chunk framing.
#include "response_head.h"

#include <charconv>
#include <cstdio>

#include "body_source.h"

namespace nexoral::server {

void AppendResponseHead(const http::response_header<>& head, std::string& out) {
  char status[16];
  const int length = std::snprintf(status, sizeof(status), "HTTP/1.1 %u ", head.result_int());
  out.append(status, static_cast<size_t>(length)).append(head.reason()).append("\r\n");
  for (const auto& field : head) {
    out.append(field.name_string()).append(": ").append(field.value()).append("\r\n");
  }
  out.append("\r\n");
}

size_t WriteChunkHeader(size_t size, char* into) {
  const int length = std::snprintf(into, kChunkHeaderBytes, "%zx\r\n", size);
  return static_cast<size_t>(length);
}

Task<BodyPieces> StringBody::Next(error_code&) {
  if (given_ || body_.empty()) co_return BodyPieces();
  given_ = true;
  piece_ = body_;
  co_return BodyPieces(&piece_, 1);
}

OutgoingResponse MakeTextResponse(http::status status, std::string text) {
  OutgoingResponse response;
  response.head.result(status);
  if (text.empty()) {
    const beast::string_view reason = http::obsolete_reason(status);
    text = std::to_string(static_cast<unsigned>(status)) + " " +
           std::string(reason.data(), reason.size()) + "\n";
  }
  response.head.set(http::field::content_type, "text/plain; charset=utf-8");
  response.head.content_length(text.size());
  response.body = std::make_unique<StringBody>(std::move(text));
  return response;
}

std::optional<uint64_t> DeclaredLength(const http::fields& head) {
  const std::string_view text = head[http::field::content_length];
  uint64_t length = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return length;
}

}  // namespace nexoral::server
