// Text rules of request pre-processing.
#include "notifications/preproc_rules.h"

#include <arpa/inet.h>

#include <algorithm>
#include <new>
#include <string_view>

#include "platform/ascii_text.h"

namespace nexoral {
namespace {

constexpr std::string_view kCredentialHeaders[] = {"cookie", "authorization",
                                                   "proxy-authorization"};
constexpr std::string_view kMaskedValue = "XXXX";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsCredentialHeader(std::string_view name) {
  while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
  for (const std::string_view header : kCredentialHeaders) {
    if (platform::EqualsIgnoreCase(name, header)) return true;
  }
  return false;
}

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

void MaskCredentials(std::string& raw) {
  std::string masked;
  masked.reserve(raw.size());
  bool inCredential = false;  // the line continues a credential header
  for (size_t start = 0; start < raw.size();) {
    const size_t newline = raw.find('\n', start);
    const size_t next = newline == std::string::npos ? raw.size() : newline + 1;
    size_t stop = newline == std::string::npos ? raw.size() : newline;
    if (stop > start && raw[stop - 1] == '\r') --stop;
    const std::string_view line(raw.data() + start, stop - start);
    size_t value = std::string_view::npos;
    if (!line.empty() && IsBlank(line[0])) {
      if (inCredential) value = 0;  // a folded continuation of the value
    } else {
      const size_t colon = line.find(':');
      inCredential = colon != std::string_view::npos && IsCredentialHeader(line.substr(0, colon));
      if (inCredential) value = colon + 1;
    }
    while (value < line.size() && IsBlank(line[value])) ++value;
    if (value >= line.size()) {
      masked.append(raw, start, next - start);
    } else {
      masked.append(raw, start, value);
      masked += kMaskedValue;
      masked.append(raw, stop, next - stop);
    }
    start = next;
  }
  raw.swap(masked);
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
