// Compressing responses with gzip for the clients that take it. ChooseCoding is the one place
// that decides whether a response is compressed (and whether it varies with Accept-Encoding);
// ResponseCompressor is the one that compresses, either a body the server holds piece by piece
// or the response the filter left after its raw-data notifications, which it reads back as
// bytes (the workers' edits are in them). One compressor per connection. A compressed body takes
// a zlib stream when its head is decided and gives it back at its end: each server thread keeps
// one spare stream for the next body, so streams are reused without a lock and an idle
// connection holds none.
#ifndef NEXORAL_SERVER_COMPRESSION_H
#define NEXORAL_SERVER_COMPRESSION_H

#include <zlib.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "body_source.h"
#include "reverse_proxy.h"
#include "server_config.h"

namespace nexoral::server {

// True when the request's Accept-Encoding fields let the response be gzip and prefer it to
// identity: gzip (or x-gzip) listed with a weight above 0, or "*" with one when gzip is not
// listed, and not below identity's weight when identity (or "*") is listed. Without the field,
// or from an HTTP/1.0 client, false: neither gets compressed responses. Malformed elements are
// ignored; the work is one pass over the field.
bool TakesGzip(const http::request_header<>& request);

struct CodingChoice {
  bool vary = false;  // another Accept-Encoding would get another coding: say "Vary"
  bool gzip = false;  // compress (or, without a body, state the headers a compressed one has)
};

// Whether a response (its final head) is compressed: a status with content (not 1xx, 204, 206),
// no Content-Encoding, Content-Range or "Cache-Control: no-transform", a media type in the list,
// and a length, when known, of at least the minimum. 304 goes by the head it has.
CodingChoice ChooseCoding(const CompressionSettings& settings, bool takesGzip,
                          const http::response_header<>& head);

// Adds "Vary: Accept-Encoding" unless Vary names it (or "*") already.
void AddVary(http::response_header<>& head);
// The head's fields for its body compressed: Content-Encoding, no Content-Length, and a strong
// ETag made weak (the compressed bytes are another representation).
void MarkGzip(http::response_header<>& head);

class ResponseCompressor {
 public:
  // Ends and frees a zlib stream.
  struct EndStream {
    void operator()(z_stream* stream) const;
  };
  using Stream = std::unique_ptr<z_stream, EndStream>;

  explicit ResponseCompressor(const CompressionSettings& settings) : settings_(settings) {}
  ~ResponseCompressor();
  ResponseCompressor(const ResponseCompressor&) = delete;
  ResponseCompressor& operator=(const ResponseCompressor&) = delete;

  // A body the server holds: Begin takes the head (MarkGzip'd; false when zlib cannot start),
  // Add compresses pieces and appends to out what goes to the client (the head with the first
  // output: with the compressed length when these pieces end the body, else chunked), End
  // finishes a body that Add did not.
  bool Begin(http::response_header<> head);
  bool Add(BodyPieces pieces, bool last, std::string& out);
  bool End(std::string& out);

  // The filter's output for one response, block by block: parsed, and compressed when its
  // head allows (takesGzip: the client's side; headRequest: no body follows), else passed on
  // (with Vary added where it belongs). Feed appends to out what goes to the client, Finish
  // what ends it once the filter's output is over; both false when the response cannot be
  // finished (the connection must close).
  void StartFilterOutput(bool takesGzip, bool headRequest);
  bool Feed(std::string_view bytes, std::string& out);
  bool Finish(std::string& out);

 private:
  enum class State { kHead, kBody, kPass };
  bool Deflate(std::string_view data, int flush);
  // Gives the zlib stream back (to the thread's spare, else frees it) and frees an output
  // buffer grown past kKeptOutputBytes.
  void Release();
  static constexpr size_t kKeptOutputBytes = 64 * 1024;
  bool DecideFilterHead(std::string_view original, std::string& out);

  const CompressionSettings& settings_;
  // Takes the calling thread's spare stream (reset) or makes one; null when zlib cannot start.
  Stream TakeStream() const;

  Stream zlib_;
  std::string compressed_;  // the output of the last Add, before its framing
  http::response_header<> head_;
  bool headPending_ = false;  // head_ not sent yet
  bool open_ = false;  // a body begun and not ended

  State state_ = State::kPass;
  bool takesGzip_ = false;
  std::string input_;  // filter output not parsed yet
  std::optional<UpstreamParser> parser_;
  std::vector<std::string_view> pieces_;  // body bytes parsed, inside the bytes fed
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_COMPRESSION_H
