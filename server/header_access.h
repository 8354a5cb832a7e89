// GetHeader, SetHeader and AddHeader of the notification records, over the request or response
// header the server holds. Names carry their colon ("Content-Length:"); on a request the names
// "url", "method" and "version" (no colon, any case) stand for the parts of the request line.
// Values with CR, LF or other controls are refused, so a filter cannot split a header block.
// Called on the connection's thread during a notification.
#ifndef NEXORAL_SERVER_HEADER_ACCESS_H
#define NEXORAL_SERVER_HEADER_ACCESS_H

#include <optional>
#include <string>
#include <string_view>

#include "net.h"

namespace nexoral::server {

// The header's value (several lines of one name joined with ", "), or nothing.
std::optional<std::string> GetFilterHeader(const http::request_header<>& header,
                                           std::string_view name);
std::optional<std::string> GetFilterHeader(const http::response_header<>& header,
                                           std::string_view name);

// Replaces the header (add: appends another line). An empty value removes it (SetHeader only).
// False with the last error ERROR_INVALID_PARAMETER for a bad name or an unsafe value.
bool SetFilterHeader(http::request_header<>& header, std::string_view name,
                     std::string_view value, bool add);
bool SetFilterHeader(http::response_header<>& header, std::string_view name,
                     std::string_view value, bool add);

// A target the server can serve: origin form, printable, without spaces.
bool IsOriginFormTarget(std::string_view target);

// Header lines a filter hands over as text ("Name: value\r\n" each; the last CRLF may be
// missing), read with Beast's parser. Nothing when a line is malformed or a value unsafe.
std::optional<http::fields> ParseFilterHeaderLines(std::string_view text);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_HEADER_ACCESS_H
