// Gathered writes to the client and the chunked framing of bodies.
#include "response_writer.h"

namespace nexoral::server {
namespace {

size_t ChunkCount(BodyPieces pieces) {
  size_t count = 0;
  for (const std::string_view piece : pieces) count += (piece.size() + kMaxChunkBytes - 1) / kMaxChunkBytes;
  return count;
}

// Calls frame(header, data) for each chunk of the pieces.
template <class Frame>
void ForEachChunk(BodyPieces pieces, Frame frame) {
  for (std::string_view piece : pieces) {
    while (!piece.empty()) {
      const std::string_view data = piece.substr(0, kMaxChunkBytes);
      piece.remove_prefix(data.size());
      frame(data);
    }
  }
}

}  // namespace

ResponseWriter::ResponseWriter(ClientStream& stream, Deadline& deadline, Duration writeTimeout,
                               FilterConnection& filter)
    : stream_(stream), deadline_(deadline), writeTimeout_(writeTimeout), filter_(filter) {}

void ResponseWriter::AppendFramed(BodyPieces pieces, bool chunked, std::string& out) {
  if (!chunked) {
    for (const std::string_view piece : pieces) out.append(piece);
    return;
  }
  ForEachChunk(pieces, [&out](std::string_view data) {
    char header[kChunkHeaderBytes];
    out.append(header, WriteChunkHeader(data.size(), header)).append(data).append(kChunkEnd);
  });
}

Task<void> ResponseWriter::Write(BodyPieces pieces, bool chunked) {
  if (gone_) {
    queued_.clear();
    co_return;
  }
  gather_.clear();
  if (!queued_.empty()) gather_.push_back(asio::buffer(queued_));
  if (chunked) {
    chunkHeaders_.resize(ChunkCount(pieces));  // never reallocated while gather_ points in
    size_t next = 0;
    ForEachChunk(pieces, [this, &next](std::string_view data) {
      ChunkHeader& header = chunkHeaders_[next++];
      gather_.push_back(asio::buffer(header.data(), WriteChunkHeader(data.size(), header.data())));
      gather_.push_back(asio::buffer(data));
      gather_.push_back(asio::buffer(kChunkEnd));
    });
  } else {
    for (const std::string_view piece : pieces) {
      if (!piece.empty()) gather_.push_back(asio::buffer(piece));
    }
  }
  if (gather_.empty()) co_return;
  error_code ec;
  {
    const Deadline::Scope scope(deadline_, writeTimeout_, stream_.Socket());
    co_await stream_.Write(gather_, ec);
  }
  queued_.clear();
  if (ec) {
    gone_ = true;
    filter_.MarkClientGone();
    co_return;
  }
  sent_ += asio::buffer_size(gather_);
}

Task<unsigned> ResponseWriter::WriteClosingAnswer(http::status status) {
  OutgoingResponse response = MakeTextResponse(status);
  response.head.set(http::field::connection, "close");
  AppendResponseHead(response.head, queued_);
  error_code ec;
  const BodyPieces text = co_await response.body->Next(ec);
  co_await Write(text);
  co_return response.head.result_int();
}

}  // namespace nexoral::server
