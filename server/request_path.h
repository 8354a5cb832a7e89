// The path of a request target as the server routes and authorises it: split from the query,
// percent-decoded, and refused when it could mean something else to a file system or an
// upstream (dot segments, NUL, malformed escapes). Pure functions; any thread.
#ifndef NEXORAL_SERVER_REQUEST_PATH_H
#define NEXORAL_SERVER_REQUEST_PATH_H

#include <optional>
#include <string>
#include <string_view>

namespace nexoral::server {

// The target up to its first '?', and the text after it.
std::string_view TargetPath(std::string_view target);
std::string_view TargetQuery(std::string_view target);

// The decoded path of an origin-form target ("/a/b%20c?x" gives "/a/b c"), or nothing when the
// path does not start with '/', has a malformed escape, decodes to a NUL, CR, LF or backslash,
// or has a "." or ".." segment (in any spelling, escaped ones included).
std::optional<std::string> DecodeRequestPath(std::string_view target);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_REQUEST_PATH_H
