// The bytes of a response as they go on the wire: the status line with the headers as one
// block, and the chunked framing of body blocks. Pure functions; any thread.
#ifndef NEXORAL_SERVER_RESPONSE_HEAD_H
#define NEXORAL_SERVER_RESPONSE_HEAD_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net.h"

namespace nexoral::server {

inline constexpr std::string_view kLastChunk = "0\r\n\r\n";

// Appends "HTTP/1.1 200 OK\r\nName: value\r\n...\r\n\r\n" to out.
void AppendResponseHead(const http::response_header<>& head, std::string& out);

// The Content-Length a head states, when it is one decimal number.
std::optional<uint64_t> DeclaredLength(const http::fields& head);

// A chunk of a chunked body carries at most this many bytes: its size fits in four hexadecimal
// digits, as the filter module reads them.
inline constexpr size_t kMaxChunkBytes = 0xFFFF;
inline constexpr size_t kChunkHeaderBytes = 8;
inline constexpr std::string_view kChunkEnd = "\r\n";

// Writes the line that opens a chunk of size bytes (size in hexadecimal, CRLF; size at most
// kMaxChunkBytes) into the kChunkHeaderBytes at into and returns its length.
size_t WriteChunkHeader(size_t size, char* into);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_RESPONSE_HEAD_H
