// Small text helpers for header names and values: ASCII case folding and the checks that keep
// a header block well-formed. Pure functions; any thread.
#ifndef NEXORAL_SERVER_TEXT_UTIL_H
#define NEXORAL_SERVER_TEXT_UTIL_H

#include <optional>
#include <string>
#include <string_view>

#include "platform/ascii_text.h"

namespace nexoral::server {

using platform::AsciiLower;
using platform::EqualsIgnoreCase;
using platform::StartsWithIgnoreCase;

// A header name as HTTP allows it (a token: no separators, no controls, not empty).
bool IsHeaderName(std::string_view name);

// A header value that cannot break the header block: no CR, LF or NUL (so no response
// splitting), no other control character but tab.
bool IsSafeHeaderValue(std::string_view value);

// Strict base64 (RFC 4648, padding required); nothing for malformed input.
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_TEXT_UTIL_H
