// Forwarding requests to upstreams and relaying their responses.
#include "reverse_proxy.h"

#include <limits>
#include <memory>

namespace nexoral::server {
namespace {

using UpstreamParser = http::response_parser<http::buffer_body>;

// More interim responses than this before the final one is taken for a broken upstream.
constexpr int kMaxInterimResponses = 8;

// Headers that describe one hop, never passed on.
constexpr http::field kHopByHop[] = {
    http::field::connection, http::field::keep_alive,        http::field::proxy_connection,
    http::field::te,         http::field::trailer,           http::field::transfer_encoding,
    http::field::upgrade,    http::field::proxy_authenticate, http::field::proxy_authorization,
};

template <class Fields>
void RemoveHopByHop(Fields& fields, bool byConnection = true) {
  // Names listed in Connection are hop-by-hop too; a request's went before its filter ran.
  const std::string listed(byConnection ? fields[http::field::connection] : "");
  for (const http::field field : kHopByHop) fields.erase(field);
  size_t start = 0;
  while (start < listed.size()) {
    size_t end = listed.find(',', start);
    if (end == std::string::npos) end = listed.size();
    std::string name = listed.substr(start, end - start);
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    if (!name.empty()) fields.erase(name);
    start = end + 1;
  }
}

http::request<http::string_body> UpstreamRequest(const http::request<http::string_body>& request,
                                                 const ConnectionFacts& client) {
  http::request<http::string_body> out(request.base());
  out.version(11);
  RemoveHopByHop(out.base(), false);
  std::string forwardedFor(out["X-Forwarded-For"]);
  forwardedFor += forwardedFor.empty() ? client.remoteAddress : ", " + client.remoteAddress;
  out.set("X-Forwarded-For", forwardedFor);
  out.set("X-Forwarded-Proto", client.secure ? "https" : "http");
  out.body() = request.body();
  out.erase(http::field::content_length);
  if (!out.body().empty() || request.has_content_length()) out.content_length(out.body().size());
  // The client got its 100 Continue from this server and the body is read: the upstream is not
  // asked to confirm.
  out.erase(http::field::expect);
  out.keep_alive(true);
  return out;
}

// Relays the upstream's body; gives the connection back when the body ended cleanly.
class UpstreamBody final : public BodySource {
 public:
  UpstreamBody(beast::tcp_stream stream, beast::flat_buffer buffer,
               std::unique_ptr<UpstreamParser> parser, UpstreamPool& pool, ListenAddress upstream,
               Duration readTimeout)
      : stream_(std::move(stream)),
        buffer_(std::move(buffer)),
        parser_(std::move(parser)),
        pool_(pool),
        upstream_(std::move(upstream)),
        readTimeout_(readTimeout) {}

  Task<std::string> Next(error_code& ec) override {
    std::string block;
    while (!parser_->is_done() && block.empty()) {
      block.resize(kBodyBlockBytes);
      parser_->get().body().data = block.data();
      parser_->get().body().size = block.size();
      stream_.expires_after(readTimeout_);
      error_code readError;
      co_await http::async_read(stream_, buffer_, *parser_, Capture(readError));
      if (readError && readError != http::error::need_buffer) {
        ec = readError;
        co_return std::string();
      }
      block.resize(kBodyBlockBytes - parser_->get().body().size);
    }
    if (parser_->is_done() && !givenBack_) {
      givenBack_ = true;
      if (parser_->get().keep_alive() && buffer_.size() == 0) {
        pool_.GiveBack(upstream_, std::move(stream_));
      }
    }
    co_return block;
  }

 private:
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::unique_ptr<UpstreamParser> parser_;
  UpstreamPool& pool_;
  ListenAddress upstream_;
  Duration readTimeout_;
  bool givenBack_ = false;
};

// Methods whose request may be sent twice without harm.
bool IsIdempotent(http::verb method) {
  switch (method) {
    case http::verb::get:
    case http::verb::head:
    case http::verb::options:
    case http::verb::trace:
    case http::verb::put:
    case http::verb::delete_:
      return true;
    default:
      return false;
  }
}

std::unique_ptr<UpstreamParser> NewUpstreamParser(http::verb method) {
  auto parser = std::make_unique<UpstreamParser>();
  // Bodies stream through block by block, so their size is not bounded here. (Boost 1.74
  // compares lengths against an empty limit as exceeding it, so the limit is the largest.)
  parser->body_limit(std::numeric_limits<std::uint64_t>::max());
  if (method == http::verb::head) parser->skip(true);
  return parser;
}

bool IsTimeout(const error_code& ec) {
  return ec == beast::error::timeout || ec == asio::error::timed_out;
}

OutgoingResponse GatewayFailure(const error_code& ec) {
  return MakeTextResponse(IsTimeout(ec) ? http::status::gateway_timeout
                                        : http::status::bad_gateway);
}

}  // namespace

ReverseProxy::ReverseProxy(const ServerConfig& config)
    : config_(config), pool_(config.idleUpstreamConnections) {}

const ProxyRoute* ReverseProxy::Match(std::string_view decodedPath) const {
  const ProxyRoute* best = nullptr;
  for (const ProxyRoute& route : config_.routes) {
    if (decodedPath.substr(0, route.prefix.size()) != route.prefix) continue;
    if (best == nullptr || route.prefix.size() > best->prefix.size()) best = &route;
  }
  return best;
}

Task<OutgoingResponse> ReverseProxy::Forward(const ProxyRoute& route,
                                             const http::request<http::string_body>& request,
                                             const ConnectionFacts& client) {
  const auto executor = co_await asio::this_coro::executor;
  const http::request<http::string_body> upstreamRequest = UpstreamRequest(request, client);
  error_code ec;
  // A kept-alive connection may have been closed by the upstream meanwhile: when it fails before
  // any byte of a response came back, a request that may run twice goes once more over a new
  // connection; any other gets 502, since the upstream may have acted on it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::optional<beast::tcp_stream> stream;
    if (attempt == 0) {
      if (auto idle = pool_.TakeIdle(route.upstream, executor)) stream.emplace(std::move(*idle));
    }
    const bool reused = stream.has_value();
    if (!stream) {
      stream.emplace(executor);
      ec = {};
      const tcp::endpoint endpoint(asio::ip::make_address(route.upstream.host, ec),
                                   route.upstream.port);
      if (ec) co_return GatewayFailure(ec);
      stream->expires_after(config_.connectTimeout);
      co_await stream->async_connect(endpoint, Capture(ec));
      if (ec) co_return GatewayFailure(ec);
      stream->socket().set_option(tcp::no_delay(true), ec);  // the request goes out whole
    }
    stream->expires_after(config_.responseTimeout);
    ec = {};
    co_await http::async_write(*stream, upstreamRequest, Capture(ec));
    auto parser = NewUpstreamParser(request.method());
    beast::flat_buffer buffer;
    // Interim responses (100 Continue, 102 Processing, 103 Early Hints) are dropped: only the
    // final one goes to the client, and the connection is reused only after it was read whole.
    int interim = 0;
    while (!ec) {
      co_await http::async_read_header(*stream, buffer, *parser, Capture(ec));
      const unsigned status = parser->get().result_int();
      if (ec || status >= 200) break;
      // 101 switches to a protocol never asked for (Upgrade is not passed on).
      if (status == 101 || ++interim > kMaxInterimResponses) {
        ec = http::error::bad_status;
        break;
      }
      parser = NewUpstreamParser(request.method());
    }
    if (ec && reused && !IsTimeout(ec) && interim == 0 && !parser->got_some() &&
        IsIdempotent(request.method())) {
      continue;
    }
    if (ec) co_return GatewayFailure(ec);

    OutgoingResponse response;
    response.head.base() = parser->get().base();
    RemoveHopByHop(response.head);
    if (parser->is_done()) {
      if (parser->get().keep_alive() && buffer.size() == 0) {
        pool_.GiveBack(route.upstream, std::move(*stream));
      }
      co_return response;
    }
    response.body = std::make_unique<UpstreamBody>(std::move(*stream), std::move(buffer),
                                                   std::move(parser), pool_, route.upstream,
                                                   config_.upstreamReadTimeout);
    co_return response;
  }
  co_return GatewayFailure(ec);
}

}  // namespace nexoral::server
