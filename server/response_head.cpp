// Response head serialization and chunk framing.
#include "response_head.h"

#include <cstdio>

#include "body_source.h"

namespace nexoral::server {

std::string SerializeResponseHead(const http::response_header<>& head) {
  std::string text = "HTTP/1.1 " + std::to_string(head.result_int()) + " ";
  const beast::string_view reason = head.reason();
  text.append(reason.data(), reason.size()).append("\r\n");
  for (const auto& field : head) {
    text.append(field.name_string().data(), field.name_string().size()).append(": ");
    text.append(field.value().data(), field.value().size()).append("\r\n");
  }
  text.append("\r\n");
  return text;
}

std::string FrameChunk(std::string_view data) {
  char size[24];
  const int length = std::snprintf(size, sizeof(size), "%zx\r\n", data.size());
  std::string chunk;
  chunk.reserve(static_cast<size_t>(length) + data.size() + 2);
  chunk.append(size, static_cast<size_t>(length)).append(data).append("\r\n");
  return chunk;
}

Task<std::string> StringBody::Next(error_code&) { co_return std::exchange(body_, {}); }

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

}  // namespace nexoral::server
