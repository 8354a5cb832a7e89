// What the server checks and normalises in a request's head before the filter sees it: the
// framing of its body (so that no request hides another), its Host, its path, the names its
// Connection header lists and the headers only a trusted proxy may send. Pure functions; any
// thread.
#ifndef NEXORAL_SERVER_REQUEST_INTAKE_H
#define NEXORAL_SERVER_REQUEST_INTAKE_H

#include <optional>
#include <string_view>

#include "net.h"

namespace nexoral::server {

// The status that refuses the request before anything else is done with it, or nothing when it
// may go on. 400: Transfer-Encoding with Content-Length, in HTTP/1.0, twice, or not ending in
// one chunked; Content-Length twice or as a list; no Host (HTTP/1.1), several, or a malformed
// one; a path DecodeRequestPath refuses. 501: a transfer coding besides chunked.
std::optional<http::status> RefusalOf(const http::request_header<>& request);

// A Host value: a reg-name, an IPv4 address or a bracketed IPv6 address, then an optional
// ":port".
bool IsValidHost(std::string_view host);

// Removes what the client sent under the names its Connection header lists (but Host, Connection
// and the framing headers): they are for this server alone, and a filter's headers of the same
// names must not go with them later. From a peer that is not a trusted proxy, also removes the
// headers only such a proxy may send (see kProxyOnlyHeaders).
void NormaliseRequestHead(http::request_header<>& request, bool trustedPeer);

// The headers a filter module takes on trust as set by a proxy in front of the server: ZQHTTP
// and ZQ_CRITERIA switch it off for the request, X-OWA-ProxySid marks the request as proxied,
// X-Forwarded-For and X-Remote-Client-IP name the client. Compared ignoring case, with '-' and
// '_' alike.
inline constexpr std::string_view kProxyOnlyHeaders[] = {
    "ZQ_CRITERIA", "X-OWA-ProxySid", "ZQHTTP", "X-Forwarded-For", "X-Remote-Client-IP"};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_REQUEST_INTAKE_H
