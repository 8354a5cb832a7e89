// The text rules request pre-processing applies to what a request carries: credential masking
// for the log, loopback addresses, the URL's extension, virtual directory and static file name,
// the host without its default port, and the query-string split. Pure functions of their
// arguments; any thread.
#ifndef NEXORAL_NOTIFICATIONS_PREPROC_RULES_H
#define NEXORAL_NOTIFICATIONS_PREPROC_RULES_H

#include <cstddef>
#include <map>
#include <string>

namespace nexoral {

// Masks the credentials for the log: the value of every "Cookie", "Authorization" and
// "Proxy-Authorization" line (names compared ignoring case, blanks before the colon allowed)
// becomes "XXXX", whatever its length; the name and the line ends stay. Lines end at "\n", an
// "\r" before it kept; the last line may have no end. Folded continuation lines (starting with
// a blank) of such a value are masked too. Empty values stay empty.
void MaskCredentials(std::string& raw);

// True for "127.0.0.1" and "::1" only; other addresses of the loopback range are ordinary ones.
bool IsLoopbackAddress(const std::string& address);

// From the first '.' after the URL's last '/' to the end, the '.' included; empty without
// a '/' or without a '.' after it.
std::string UrlExtension(const std::string& url);

// The URL up to its first '/' from the second character on; without one, up to its first
// '\'; without either, the whole URL.
std::string VirtualDirectoryOf(const std::string& url);

// The host without a trailing ":80" or, failing that, ":443"; other ports stay.
std::string WithoutDefaultPort(const std::string& host);

// An IPv6 address (a ':', an IPv4-mapped one too) in brackets, for use in a URL; others
// unchanged.
std::string AddressForUrl(const std::string& address);

// The last segment of the URL's path before any query, with trailing '/' stepped over.
// False when that name is shorter than two characters.
bool FindStaticFileName(const std::string& url, size_t* start, size_t* length);

// Splits a query string at every '&' and each piece at its first '=' (a piece without one is
// both name and value) into parameters; a name already there keeps its first value. Values
// are taken as sent, without decoding. False when the parameters could not be stored.
bool ParseQueryParameters(const std::string& query, std::map<std::string, std::string>& parameters);

// True for a host a URL may be built from: a name of letters, digits, '-', '.', '_' and '~'
// (an IPv4 address among them) or an IPv6 address in brackets, at most 255 characters,
// optionally followed by ':' and a port of 1 to 5 digits up to 65535. Nothing else: no user
// information, path, space, control character, percent escape or zone.
bool IsValidHostAndPort(const std::string& text);

// The configured external URL as "http[s]://host[:port]" (scheme in lower case, one trailing
// '/' dropped); empty when it is not an http or https URL of a valid host and port alone.
std::string ExternalUrlFromSetting(const std::string& configured);

// A request target as a header value may carry it: every byte a URL cannot hold as it is
// (controls, space, non-ASCII, '"', '<', '>', '#', '%' that starts no escape and the like)
// percent-encoded; valid escapes are kept.
std::string EncodedForHeader(const std::string& target);

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_PREPROC_RULES_H
