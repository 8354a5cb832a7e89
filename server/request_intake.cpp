// Checks and normalisation of a request's head as it comes in.
#include "request_intake.h"

#include <boost/container/small_vector.hpp>
#include <charconv>

#include "request_path.h"

namespace nexoral::server {
namespace {

std::string_view Text(beast::string_view view) { return {view.data(), view.size()}; }

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// unreserved / sub-delims: what a reg-name holds besides its escapes.
bool IsRegNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("-._~!$&'()*+,;=").find(c) != std::string_view::npos;
}

// Two header names a filter would take for one: ignoring case, '-' and '_' alike.
bool SameFilterName(std::string_view a, std::string_view b) {
  const auto fold = [](char c) {
    return c == '_' ? '-' : (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// The body's framing must mean one thing to this server, the filter and the upstream.
std::optional<http::status> FramingRefusal(const http::request_header<>& request) {
  const size_t lengths = request.count(http::field::content_length);
  if (lengths > 1 ||
      Text(request[http::field::content_length]).find(',') != std::string_view::npos) {
    return http::status::bad_request;
  }
  const size_t encodings = request.count(http::field::transfer_encoding);
  if (encodings == 0) return std::nullopt;
  if (encodings > 1 || lengths > 0 || request.version() < 11) return http::status::bad_request;
  const http::opt_token_list codings(request[http::field::transfer_encoding]);
  if (!http::validate_list(codings)) return http::status::bad_request;
  size_t count = 0, chunked = 0;
  bool lastChunked = false;
  for (const auto coding : codings) {
    ++count;
    lastChunked = beast::iequals(coding, "chunked");
    chunked += lastChunked ? 1 : 0;
  }
  // Without chunked last the body's end is unknown; chunked twice means nothing.
  if (!lastChunked || chunked > 1) return http::status::bad_request;
  if (count > 1) return http::status::not_implemented;  // a coding this server cannot undo
  return std::nullopt;
}

// The fields a Connection header cannot take away.
bool KeptFromConnection(std::string_view name) {
  const http::field field = http::string_to_field(name);
  return field == http::field::host || field == http::field::connection ||
         field == http::field::content_length || field == http::field::transfer_encoding;
}

}  // namespace

bool IsValidHost(std::string_view host) {
  if (host.starts_with('[')) {
    const size_t close = host.find(']');
    // A zone index ("%eth0") names an interface of the client, not a host.
    if (close == std::string_view::npos || host.substr(0, close).find('%') != host.npos) {
      return false;
    }
    error_code ec;
    asio::ip::make_address_v6(std::string(host.substr(1, close - 1)), ec);
    if (ec) return false;
    host.remove_prefix(close + 1);
  } else {
    const std::string_view name = host.substr(0, host.find(':'));
    if (name.empty()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
      if (name[i] != '%') {
        if (!IsRegNameChar(name[i])) return false;
      } else if (i + 2 >= name.size() || !IsHexDigit(name[i + 1]) || !IsHexDigit(name[i + 2])) {
        return false;
      } else {
        i += 2;
      }
    }
    host.remove_prefix(name.size());
  }
  if (host.empty()) return true;
  if (host.front() != ':' || host.size() > 6) return false;
  unsigned port = 0;
  const auto [end, error] = std::from_chars(host.data() + 1, host.data() + host.size(), port);
  return host.size() == 1 || (error == std::errc() && end == host.data() + host.size() &&
                              port <= 65535);
}

std::optional<http::status> RefusalOf(const http::request_header<>& request) {
  if (const std::optional<http::status> framing = FramingRefusal(request)) return framing;
  const size_t hosts = request.count(http::field::host);
  if (hosts > 1 || (hosts == 0 && request.version() >= 11) ||
      (hosts == 1 && !IsValidHost(Text(request[http::field::host])))) {
    return http::status::bad_request;
  }
  if (!DecodeRequestPath(Text(request.target()))) return http::status::bad_request;
  return std::nullopt;
}

void NormaliseRequestHead(http::request_header<>& request, bool trustedPeer) {
  // The names first: erasing a field may end the range of Connection fields being read.
  boost::container::small_vector<std::string_view, 8> listed;
  const auto [first, last] = request.equal_range(http::field::connection);
  for (auto field = first; field != last; ++field) {
    for (const auto name : http::token_list(field->value())) {
      if (!KeptFromConnection(name)) listed.push_back(name);
    }
  }
  for (const std::string_view name : listed) request.erase(name);
  if (trustedPeer) return;
  for (auto field = request.begin(); field != request.end();) {
    const std::string_view name = Text(field->name_string());
    bool proxyOnly = false;
    for (const std::string_view header : kProxyOnlyHeaders) {
      proxyOnly = proxyOnly || SameFilterName(name, header);
    }
    field = proxyOnly ? request.erase(field) : std::next(field);
  }
}

}  // namespace nexoral::server
