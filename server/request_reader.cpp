// Feeding client bytes to the request parser.
#include "request_reader.h"

#include "text_util.h"

namespace nexoral::server {
namespace {

// Bytes asked of the socket while a head is awaited: most heads fit; a larger one grows the
// buffer up to the header limit.
constexpr size_t kHeadReadBytes = 4096;
constexpr size_t kBodyReadBytes = 64 * 1024;

}  // namespace

bool PeerGone(const error_code& ec) {
  return ec == http::error::end_of_stream || ec == asio::error::eof ||
         ec == asio::error::connection_reset || ec == asio::error::operation_aborted ||
         ec == asio::error::bad_descriptor || ec == ssl::error::stream_truncated;
}

http::status StatusForReadError(const error_code& ec) {
  if (ec == http::error::header_limit) return http::status::request_header_fields_too_large;
  if (ec == http::error::body_limit) return http::status::payload_too_large;
  if (ec == asio::error::no_buffer_space) return http::status::service_unavailable;
  return http::status::bad_request;
}

RequestReader::RequestReader(ClientStream& stream, Deadline& deadline, const ServerConfig& config,
                             BodyBudget& budget)
    : stream_(stream), deadline_(deadline), config_(config), budget_(budget) {
  chunkBody_ = [this](std::uint64_t, std::string_view piece, error_code& ec) -> size_t {
    if (!budget_.Take(piece.size())) {
      ec = asio::error::no_buffer_space;
      return 0;
    }
    taken_ += piece.size();
    parser_->get().body().append(piece.data(), piece.size());
    return piece.size();
  };
}

RequestReader::~RequestReader() { ReleaseBody(); }

Task<bool> RequestReader::AwaitRequest(TrackedConnection& tracked, bool stopping) {
  if (buffer_.size() > 0) co_return true;
  if (stopping) co_return false;
  tracked.idle = true;
  error_code ec;
  {
    const Deadline::Scope scope(deadline_, config_.idleTimeout, stream_.Socket());
    const size_t got = co_await stream_.ReadSome(buffer_.prepare(kHeadReadBytes), ec);
    if (!ec) buffer_.commit(got);
  }
  tracked.idle = false;
  co_return !ec;
}

Task<void> RequestReader::ReadMore(size_t bytes, error_code& ec) {
  const size_t got = co_await stream_.ReadSome(buffer_.prepare(bytes), ec);
  if (ec == asio::error::eof || ec == ssl::error::stream_truncated) {
    // The peer ended the stream: the parser tells whether a message was cut short.
    if (!parser_->got_some()) {
      ec = http::error::end_of_stream;
    } else {
      ec = {};
      parser_->put_eof(ec);
      if (!ec && !parser_->is_done()) ec = http::error::partial_message;
    }
    co_return;
  }
  if (ec && deadline_.Expired()) ec = beast::error::timeout;
  if (!ec) buffer_.commit(got);
}

Task<error_code> RequestReader::ReadHeader() {
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(std::min<size_t>(config_.headerBytes, UINT32_MAX)));
  parser_->body_limit(config_.bodyBytes);
  const Deadline::Scope scope(deadline_, config_.readTimeout, stream_.Socket());
  error_code ec;
  for (;;) {
    if (buffer_.size() > 0) {
      buffer_.consume(parser_->put(buffer_.data(), ec));
      if (ec && ec != http::error::need_more) co_return ec;
      if (parser_->is_header_done()) co_return error_code();
      ec = {};
    }
    co_await ReadMore(kHeadReadBytes, ec);
    if (ec) co_return ec;
  }
}

error_code RequestReader::ReserveBody() {
  if (parser_->is_done()) return {};
  if (const auto length = parser_->content_length()) {
    if (*length > SIZE_MAX || !budget_.Take(static_cast<size_t>(*length))) {
      return asio::error::no_buffer_space;
    }
    taken_ += static_cast<size_t>(*length);
  } else {
    parser_->on_chunk_body(chunkBody_);
  }
  return {};
}

bool RequestReader::WantsContinue() const {
  return !parser_->is_done() &&
         EqualsIgnoreCase(parser_->get()[http::field::expect], "100-continue");
}

Task<error_code> RequestReader::ReadBody() {
  if (parser_->is_done()) co_return error_code();
  parser_->eager(true);
  const Deadline::Scope scope(deadline_, config_.readTimeout, stream_.Socket());
  error_code ec;
  for (;;) {
    if (buffer_.size() > 0) {
      buffer_.consume(parser_->put(buffer_.data(), ec));
      if (ec && ec != http::error::need_more) co_return ec;
      if (parser_->is_done()) co_return error_code();
      ec = {};
    }
    co_await ReadMore(kBodyReadBytes, ec);
    if (ec) co_return ec;
  }
}

void RequestReader::ReleaseBody() {
  if (parser_ && !parser_->get().body().empty()) std::string().swap(parser_->get().body());
  if (taken_ == 0) return;
  budget_.GiveBack(taken_);
  taken_ = 0;
}

}  // namespace nexoral::server
