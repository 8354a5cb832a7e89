// Text rules of request pre-processing.
#include "notifications/preproc_rules.h"

#include <arpa/inet.h>

#include <algorithm>
#include <new>
#include <string_view>

#include "platform/ascii_text.h"

namespace nexoral {
namespace {

constexpr char kAuthorizationLabel[] = "authorization: ";
constexpr size_t kAuthorizationLabelLength = sizeof(kAuthorizationLabel) - 1;
constexpr size_t kShortestMaskedRaw = 15;
constexpr size_t kKeptCredentialChars = 9;
constexpr size_t kLongestHost = 255;
constexpr size_t kLongestPort = 5;
constexpr unsigned kLargestPort = 65535;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
// The unreserved characters of a URL: all a host name may be made of here.
bool IsUnreserved(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

bool IsValidPort(std::string_view port) {
  if (port.empty() || port.size() > kLongestPort) return false;
  if (!std::all_of(port.begin(), port.end(), IsDigit)) return false;
  unsigned value = 0;
  for (char c : port) value = value * 10 + static_cast<unsigned>(c - '0');
  return value <= kLargestPort;
}

}  // namespace

void MaskAuthorization(std::string& raw) {
  if (raw.size() < kShortestMaskedRaw) return;
  const std::string lower = platform::AsciiLower(raw);
  size_t label = lower.find(kAuthorizationLabel);
  while (label != std::string::npos) {
    const size_t valueStart = label + kAuthorizationLabelLength;
    size_t valueEnd = raw.find("\r\n", valueStart);
    if (valueEnd == std::string::npos) valueEnd = raw.size();
    const size_t length = valueEnd - valueStart;
    const size_t kept = length > kKeptCredentialChars ? kKeptCredentialChars : 0;
    for (size_t i = valueStart + kept; i < valueEnd; ++i) raw[i] = 'X';
    label = lower.find(kAuthorizationLabel, valueEnd);
  }
}

bool IsLoopbackAddress(const std::string& address) {
  if (address.find('.') != std::string::npos) {
    return platform::EqualsIgnoreCase(address, "127.0.0.1");
  }
  if (address.find(':') != std::string::npos) return platform::EqualsIgnoreCase(address, "::1");
  return platform::EqualsIgnoreCase(address, "127.0.0.1");
}

std::string UrlExtension(const std::string& url) {
  const size_t slash = url.rfind('/');
  if (slash == std::string::npos) return std::string();
  const size_t dot = url.find('.', slash);
  return dot == std::string::npos ? std::string() : url.substr(dot);
}

std::string VirtualDirectoryOf(const std::string& url) {
  const size_t slash = url.size() > 1 ? url.find('/', 1) : std::string::npos;
  if (slash != std::string::npos) return url.substr(0, slash);
  const size_t backslash = url.find('\\');
  if (backslash != std::string::npos) return url.substr(0, backslash);
  return url;
}

std::string WithoutDefaultPort(const std::string& host) {
  auto endsWith = [&host](const std::string& suffix) {
    return host.size() >= suffix.size() &&
           host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  if (endsWith(":80")) return host.substr(0, host.size() - 3);
  if (endsWith(":443")) return host.substr(0, host.size() - 4);
  return host;
}

std::string AddressForUrl(const std::string& address) {
  if (address.find(':') != std::string::npos) {
    return "[" + address + "]";
  }
  return address;
}

bool FindStaticFileName(const std::string& url, size_t* start, size_t* length) {
  size_t end = url.find('?');
  if (end == std::string::npos) end = url.size();
  while (end > 0 && url[end - 1] == '/') --end;
  if (end == 0) return false;
  const size_t slash = url.rfind('/', end - 1);
  const size_t first = slash == std::string::npos ? 0 : slash + 1;
  if (end - first < 2) return false;
  *start = first;
  *length = end - first;
  return true;
}

bool ParseQueryParameters(const std::string& query,
                          std::map<std::string, std::string>& parameters) {
  try {
    size_t pieceStart = 0;
    while (pieceStart <= query.size()) {
      size_t pieceEnd = query.find('&', pieceStart);
      if (pieceEnd == std::string::npos) pieceEnd = query.size();
      const std::string piece = query.substr(pieceStart, pieceEnd - pieceStart);
      const size_t equals = piece.find('=');
      if (equals == std::string::npos) {
        parameters.emplace(piece, piece);
      } else {
        parameters.emplace(piece.substr(0, equals), piece.substr(equals + 1));
      }
      pieceStart = pieceEnd + 1;
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool IsValidHostAndPort(const std::string& text) {
  if (text.size() > kLongestHost + 1 + kLongestPort) return false;
  const std::string_view all = text;
  size_t hostEnd = 0;
  if (!all.empty() && all.front() == '[') {
    hostEnd = all.find(']');
    if (hostEnd == std::string_view::npos) return false;
    const std::string literal(all.substr(1, hostEnd - 1));
    in6_addr address{};
    if (inet_pton(AF_INET6, literal.c_str(), &address) != 1) return false;
    ++hostEnd;
  } else {
    hostEnd = std::min(all.find(':'), all.size());
    const std::string_view host = all.substr(0, hostEnd);
    if (host.empty() || host.size() > kLongestHost) return false;
    if (!std::all_of(host.begin(), host.end(), IsUnreserved)) return false;
  }
  if (hostEnd == all.size()) return true;
  return all[hostEnd] == ':' && IsValidPort(all.substr(hostEnd + 1));
}

std::string ExternalUrlFromSetting(const std::string& configured) {
  const std::string lower = platform::AsciiLower(configured.substr(0, 8));
  const char* scheme = lower.rfind("https://", 0) == 0  ? "https"
                       : lower.rfind("http://", 0) == 0 ? "http"
                                                         : nullptr;
  if (scheme == nullptr) return std::string();
  std::string authority = configured.substr(std::string_view(scheme).size() + 3);
  if (!authority.empty() && authority.back() == '/') authority.pop_back();
  if (!IsValidHostAndPort(authority)) return std::string();
  return std::string(scheme) + "://" + authority;
}

std::string EncodedForHeader(const std::string& target) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr std::string_view kKept = "!$&'()*+,;=:@/?";
  std::string encoded;
  encoded.reserve(target.size());
  for (size_t i = 0; i < target.size(); ++i) {
    const char c = target[i];
    const bool escape =
        c == '%' && i + 2 < target.size() && IsHexDigit(target[i + 1]) && IsHexDigit(target[i + 2]);
    if (IsUnreserved(c) || kKept.find(c) != std::string_view::npos || escape) {
      encoded += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0x0F];
    }
  }
  return encoded;
}

}  // namespace nexoral
