// Writing to the client. Bytes queued by the connection (the filter's output, a response head)
// go out with the next body piece in one gathered write; a chunked body is framed on the way,
// in chunks of at most kMaxChunkBytes. A failed or timed-out write marks the client gone: from
// then on nothing is written and the filter's WriteClient fails.
#ifndef NEXORAL_SERVER_RESPONSE_WRITER_H
#define NEXORAL_SERVER_RESPONSE_WRITER_H

#include <array>
#include <string>
#include <vector>

#include "body_source.h"
#include "client_stream.h"
#include "deadline.h"
#include "filter_connection.h"
#include "response_head.h"

namespace nexoral::server {

class ResponseWriter {
 public:
  ResponseWriter(ClientStream& stream, Deadline& deadline, Duration writeTimeout,
                 FilterConnection& filter);
  ResponseWriter(const ResponseWriter&) = delete;
  ResponseWriter& operator=(const ResponseWriter&) = delete;

  // Bytes to send with the next write. Appending to Queued() directly is the same.
  void Queue(std::string_view bytes) { queued_.append(bytes); }
  std::string& Queued() { return queued_; }
  // Queues what the filter sent to the client since the last time.
  void QueueFilterOutput() { filter_.AppendClientOutput(queued_); }
  bool HasQueued() const { return !queued_.empty(); }

  // Writes the queued bytes, then the pieces (framed as chunks when chunked), in one write.
  Task<void> Write(BodyPieces pieces = {}, bool chunked = false);

  // Appends the pieces to out as they go on the wire (framed as chunks when chunked).
  static void AppendFramed(BodyPieces pieces, bool chunked, std::string& out);

  // A short text answer with "Connection: close", written at once (for requests that could
  // not be read or served); returns its status code.
  Task<unsigned> WriteClosingAnswer(http::status status);

  bool ClientGone() const { return gone_; }
  // Bytes written since the last call.
  uint64_t TakeBytesSent() { return std::exchange(sent_, 0); }

 private:
  using ChunkHeader = std::array<char, kChunkHeaderBytes>;

  ClientStream& stream_;
  Deadline& deadline_;
  Duration writeTimeout_;
  FilterConnection& filter_;
  std::string queued_;
  std::vector<asio::const_buffer> gather_;
  std::vector<ChunkHeader> chunkHeaders_;
  uint64_t sent_ = 0;
  bool gone_ = false;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_RESPONSE_WRITER_H
