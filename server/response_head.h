// The bytes of a response as they go on the wire: the status line with the headers as one
// block, and the chunked framing of body blocks. Pure functions; any thread.
#ifndef NEXORAL_SERVER_RESPONSE_HEAD_H
#define NEXORAL_SERVER_RESPONSE_HEAD_H

#include <string>
#include <string_view>

#include "net.h"

namespace nexoral::server {

inline constexpr std::string_view kLastChunk = "0\r\n\r\n";

// "HTTP/1.1 200 OK\r\nName: value\r\n...\r\n\r\n".
std::string SerializeResponseHead(const http::response_header<>& head);

// One chunk of a chunked body: the size in hexadecimal, CRLF, the data, CRLF.
std::string FrameChunk(std::string_view data);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_RESPONSE_HEAD_H
