// Forwarding requests to upstreams and relaying their responses.
#include "reverse_proxy.h"

#include <algorithm>
#include <array>
#include <limits>

#include "text_util.h"

namespace nexoral::server {
namespace {

// More interim responses than this before the final one is taken for a broken upstream.
constexpr int kMaxInterimResponses = 8;

// Headers that describe one hop, never passed on.
constexpr http::field kHopByHop[] = {
    http::field::connection, http::field::keep_alive,        http::field::proxy_connection,
    http::field::te,         http::field::trailer,           http::field::transfer_encoding,
    http::field::upgrade,    http::field::proxy_authenticate, http::field::proxy_authorization,
};

bool IsHopByHop(http::field field) {
  return std::find(std::begin(kHopByHop), std::end(kHopByHop), field) != std::end(kHopByHop);
}

// Removes the hop-by-hop fields of a response, and those its Connection field names.
void RemoveHopByHop(http::fields& fields) {
  const std::string listed(fields[http::field::connection]);
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

// Feeds the buffered bytes to the parser until it needs more, or is done with the head (when
// headOnly) or the whole response.
void ParseBuffered(UpstreamParser& parser, beast::flat_buffer& buffer, bool headOnly,
                   error_code& ec) {
  while (buffer.size() > 0 && !parser.is_done() && !(headOnly && parser.is_header_done())) {
    const size_t used = parser.put(buffer.data(), ec);
    buffer.consume(used);
    if (ec == http::error::need_more) {
      ec = {};
      return;
    }
    if (ec || used == 0) return;
  }
}

// Reads from the upstream into buffer; an end of stream goes to the parser (which may then be
// done, for a body that ends with the connection).
Task<void> ReadMore(tcp::socket& socket, UpstreamScratch& scratch, Deadline& deadline,
                    Duration timeout, error_code& ec) {
  const Deadline::Scope scope(deadline, timeout, socket);
  const size_t got = co_await socket.async_read_some(scratch.buffer.prepare(kBodyReadBytes),
                                                     Capture(ec));
  if (ec == asio::error::eof) {
    ec = {};
    if (!scratch.parser->got_some()) {
      ec = http::error::end_of_stream;
    } else {
      scratch.parser->put_eof(ec);
    }
    co_return;
  }
  if (ec && deadline.Expired()) ec = beast::error::timeout;
  if (!ec) scratch.buffer.commit(got);
}

// After a complete response: the connection goes back to the pool when the response allows it
// and nothing followed it (bytes after it would be taken for the next one), else it closes.
void GiveBackOrClose(UpstreamPool& pool, const ListenAddress& upstream, tcp::socket& socket,
                     UpstreamScratch& scratch) {
  if (scratch.parser->keep_alive() && scratch.buffer.size() == 0) {
    pool.GiveBack(upstream, std::move(socket));
  }
  error_code ignored;
  socket.close(ignored);
  scratch.buffer.consume(scratch.buffer.size());
}

// Relays the upstream's body; gives the connection back when the body ended cleanly.
class UpstreamBody final : public BodySource {
 public:
  UpstreamBody(tcp::socket socket, UpstreamScratch& scratch, UpstreamPool& pool,
               const ListenAddress& upstream, Duration readTimeout, Deadline& deadline)
      : socket_(std::move(socket)),
        scratch_(scratch),
        pool_(pool),
        upstream_(upstream),
        readTimeout_(readTimeout),
        deadline_(deadline) {}

  Task<BodyPieces> Next(error_code& ec) override {
    UpstreamParser& parser = *scratch_.parser;
    scratch_.pieces.clear();
    for (;;) {
      ParseBuffered(parser, scratch_.buffer, false, ec);
      if (ec) co_return BodyPieces();
      if (!scratch_.pieces.empty() || parser.is_done()) break;
      co_await ReadMore(socket_, scratch_, deadline_, readTimeout_, ec);
      if (ec) co_return BodyPieces();
    }
    if (parser.is_done() && socket_.is_open()) {
      // Bytes after the response would be taken for the next one: such a connection closes.
      GiveBackOrClose(pool_, upstream_, socket_, scratch_);
    }
    co_return BodyPieces(scratch_.pieces);
  }

 private:
  tcp::socket socket_;
  UpstreamScratch& scratch_;
  UpstreamPool& pool_;
  const ListenAddress& upstream_;
  Duration readTimeout_;
  Deadline& deadline_;
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

UpstreamParser& NewUpstreamParser(UpstreamScratch& scratch, http::verb method) {
  UpstreamParser& parser = scratch.parser.emplace();
  parser.get().body() = &scratch.pieces;
  // Bodies stream through piece by piece, so their size is not bounded here. (Boost 1.74
  // compares lengths against an empty limit as exceeding it, so the limit is the largest.)
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  if (method == http::verb::head) parser.skip(true);
  return parser;
}

// Reads the head of the next response into the scratch's parser.
Task<void> ReadResponseHead(tcp::socket& socket, UpstreamScratch& scratch, Deadline& deadline,
                            Duration timeout, error_code& ec) {
  UpstreamParser& parser = *scratch.parser;
  for (;;) {
    ParseBuffered(parser, scratch.buffer, true, ec);
    if (ec || parser.is_header_done()) co_return;
    co_await ReadMore(socket, scratch, deadline, timeout, ec);
    if (ec) co_return;
  }
}

bool IsTimeout(const error_code& ec) {
  return ec == beast::error::timeout || ec == asio::error::timed_out;
}

OutgoingResponse GatewayFailure(const error_code& ec) {
  return MakeTextResponse(IsTimeout(ec) ? http::status::gateway_timeout
                                        : http::status::bad_gateway);
}

Task<error_code> Connect(tcp::socket& socket, const ListenAddress& upstream, Deadline& deadline,
                         Duration timeout) {
  error_code ec;
  const tcp::endpoint endpoint(asio::ip::make_address(upstream.host, ec), upstream.port);
  if (ec) co_return ec;
  const Deadline::Scope scope(deadline, timeout, socket);
  co_await socket.async_connect(endpoint, Capture(ec));
  if (ec && deadline.Expired()) ec = beast::error::timeout;
  if (!ec) socket.set_option(tcp::no_delay(true), ec);  // the request goes out whole
  co_return ec;
}

}  // namespace

void AppendUpstreamRequestHead(const http::request<http::string_body>& request,
                               const ConnectionFacts& client, bool identity, std::string& out) {
  out.append(request.method_string()).append(" ").append(request.target()).append(" HTTP/1.1\r\n");
  std::string forwardedFor;
  for (const auto& field : request) {
    const http::field name = field.name();
    const bool unknown = name == http::field::unknown;
    if (unknown && EqualsIgnoreCase(field.name_string(), "X-Forwarded-For")) {
      forwardedFor.append(field.value()).append(", ");
      continue;
    }
    if (IsHopByHop(name) || (unknown && EqualsIgnoreCase(field.name_string(), "X-Forwarded-Proto")) ||
        name == http::field::content_length || name == http::field::expect ||
        (identity && name == http::field::accept_encoding)) {
      // The client got its 100 Continue from this server and the body is read: the upstream
      // is not asked to confirm.
      continue;
    }
    out.append(field.name_string()).append(": ").append(field.value()).append("\r\n");
  }
  out.append("X-Forwarded-For: ").append(forwardedFor).append(client.remoteAddress).append("\r\n");
  out.append("X-Forwarded-Proto: ").append(client.secure ? "https" : "http").append("\r\n");
  if (identity) out.append("Accept-Encoding: identity\r\n");
  if (!request.body().empty() || request.has_content_length()) {
    out.append("Content-Length: ").append(std::to_string(request.body().size())).append("\r\n");
  }
  out.append("\r\n");
}

ReverseProxy::ReverseProxy(const ServerConfig& config)
    : config_(config), pool_(config.idleUpstreamConnections, config.threads) {}

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
                                             const ConnectionFacts& client,
                                             UpstreamScratch& scratch, Deadline& deadline,
                                             bool identity) {
  scratch.head.clear();
  AppendUpstreamRequestHead(request, client, identity, scratch.head);
  const std::array<asio::const_buffer, 2> wire = {asio::buffer(scratch.head),
                                                 asio::buffer(request.body())};
  error_code ec;
  // A kept-alive connection may have been closed by the upstream meanwhile: when it fails before
  // any byte of a response came back, a request that may run twice goes once more over a new
  // connection; any other gets 502, since the upstream may have acted on it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::optional<tcp::socket> socket;
    if (attempt == 0) socket = pool_.TakeIdle(route.upstream);
    const bool reused = socket.has_value();
    if (!socket) {
      socket.emplace(co_await asio::this_coro::executor);
      ec = co_await Connect(*socket, route.upstream, deadline, config_.connectTimeout);
      if (ec) co_return GatewayFailure(ec);
    }
    scratch.buffer.consume(scratch.buffer.size());
    {
      const Deadline::Scope scope(deadline, config_.responseTimeout, *socket);
      co_await asio::async_write(*socket, wire, Capture(ec));
      if (ec && deadline.Expired()) ec = beast::error::timeout;
    }
    NewUpstreamParser(scratch, request.method());
    // Interim responses (100 Continue, 102 Processing, 103 Early Hints) are dropped: only the
    // final one goes to the client, and the connection is reused only after it was read whole.
    int interim = 0;
    while (!ec) {
      co_await ReadResponseHead(*socket, scratch, deadline, config_.responseTimeout, ec);
      const unsigned status = scratch.parser->get().result_int();
      if (ec || status >= 200) break;
      // 101 switches to a protocol never asked for (Upgrade is not passed on).
      if (status == 101 || ++interim > kMaxInterimResponses) {
        ec = http::error::bad_status;
        break;
      }
      NewUpstreamParser(scratch, request.method());
    }
    if (ec && reused && !IsTimeout(ec) && interim == 0 && !scratch.parser->got_some() &&
        IsIdempotent(request.method())) {
      continue;
    }
    if (ec) co_return GatewayFailure(ec);

    UpstreamParser& parser = *scratch.parser;
    OutgoingResponse response;
    response.head.base() = std::move(parser.get().base());
    RemoveHopByHop(response.head.base());
    if (parser.is_done()) {  // no body: a HEAD request, 204, 304
      GiveBackOrClose(pool_, route.upstream, *socket, scratch);
      co_return response;
    }
    // The framing of the upstream's body is the parser's to know; the client's is decided anew.
    parser.eager(true);
    response.body = std::make_unique<UpstreamBody>(std::move(*socket), scratch, pool_,
                                                   route.upstream, config_.upstreamReadTimeout,
                                                   deadline);
    co_return response;
  }
  co_return GatewayFailure(ec);
}

}  // namespace nexoral::server
