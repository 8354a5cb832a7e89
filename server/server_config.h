// The server's configuration: the records read from its `key = value` file with [sections]
// (documented in server/README.md) and the loader that checks them. Read once at start-up;
// immutable afterwards, so every thread may read it.
#ifndef NEXORAL_SERVER_SERVER_CONFIG_H
#define NEXORAL_SERVER_SERVER_CONFIG_H

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nexoral::server {

using Duration = std::chrono::milliseconds;

// How failed logins slow their address down, and how many threads run crypt(3).
struct AuthLimits {
  unsigned cryptThreads = 2;
  size_t failuresBeforeDelay = 5;  // failures an address may have before it is slowed
  Duration failureWindow{std::chrono::seconds(60)};  // a quiet time after which they are forgotten
  Duration failureDelay{std::chrono::seconds(1)};  // between two checks of a slowed address
  size_t failureAddresses = 4096;  // addresses remembered at most
};

struct ListenAddress {
  std::string host;  // numeric IPv4 or IPv6 address
  uint16_t port = 0;  // 0: any free port (reported once listening)
};

struct ProxyRoute {
  std::string prefix;  // URL path prefix, matched case-sensitively
  ListenAddress upstream;
};

// An address or a range of them ("10.0.0.0/8"); IPv4 ones as IPv4-mapped IPv6 addresses.
struct AddressRange {
  std::array<unsigned char, 16> bytes{};
  unsigned prefixLength = 128;  // the leading bits of bytes that an address must share
};

// How responses are compressed for clients that take gzip ([compression]).
struct CompressionSettings {
  bool gzip = true;
  int level = 6;  // zlib's 1 (fastest) to 9 (smallest)
  size_t minLength = 256;  // bodies of a known length below this go uncompressed
  // Media types compressed: "text/html", or "text/*" for a whole top-level type.
  std::vector<std::string> types = {"text/*",          "application/javascript",
                                    "application/json", "application/xml",
                                    "application/x-javascript", "application/xhtml+xml",
                                    "image/svg+xml"};
};

struct ServerConfig {
  std::string sourcePath;  // the file this was read from

  // [server]
  unsigned threads = 4;
  std::string modulePath;  // the filter module; empty: no filter
  std::string accessLogPath;  // "-": standard output; empty: no access log
  std::string serverName;  // SERVER_NAME when the request has no Host
  std::string documentRoot;  // empty: no static content
  std::string indexFile = "index.html";
  std::vector<AddressRange> trustedProxies;  // peers whose proxy-only headers are believed

  // [listen]
  std::optional<ListenAddress> http;
  std::optional<ListenAddress> https;

  // [tls]
  std::string certificatePath;
  std::string privateKeyPath;

  // [limits]
  size_t headerBytes = 16 * 1024;
  size_t bodyBytes = 10 * 1024 * 1024;
  Duration idleTimeout{std::chrono::seconds(60)};
  Duration readTimeout{std::chrono::seconds(30)};
  Duration writeTimeout{std::chrono::seconds(30)};
  Duration shutdownTimeout{std::chrono::seconds(10)};
  size_t maxConnections = 1000;  // beyond: new connections wait in the listen backlog
  size_t totalBodyBytes = 256 * 1024 * 1024;  // request bodies of all connections together

  // [auth]
  std::string usersFile;  // empty: only anonymous paths are served
  std::string realm = "Nexoral";
  std::vector<std::string> anonymousPrefixes;
  AuthLimits authLimits;

  // [proxy]
  std::vector<ProxyRoute> routes;
  Duration connectTimeout{std::chrono::seconds(5)};
  Duration responseTimeout{std::chrono::seconds(30)};  // until the upstream's headers: else 504
  Duration upstreamReadTimeout{std::chrono::seconds(30)};  // between body blocks
  size_t idleUpstreamConnections = 16;  // kept per upstream for reuse
  // The upstream is asked for uncompressed responses when the filter takes raw data.
  bool identityUpstream = true;

  // [compression]
  CompressionSettings compression;
};

struct ConfigError {
  std::string file;
  unsigned line = 0;  // 0: the error concerns the file as a whole
  std::string message;

  std::string ToString() const;  // "file:line: message"
};

struct ConfigResult {
  ServerConfig config;
  std::optional<ConfigError> error;  // the first error found; config is unusable when set
};

// Reads and checks the configuration file. Relative paths in it are taken from the file's folder.
ConfigResult LoadServerConfig(const std::string& path);

// Parses configuration text as if read from sourcePath (whose folder anchors relative paths).
// Checks syntax and values only, not whether the named files exist.
ConfigResult ParseServerConfig(const std::string& text, const std::string& sourcePath);

// "host:port", "[v6]:port"; false for anything else.
bool ParseListenAddress(const std::string& text, ListenAddress* address);

// "192.0.2.7", "10.0.0.0/8", "::1", "2001:db8::/32"; false for anything else.
bool ParseAddressRange(std::string_view text, AddressRange* range);
// True when the numeric address ("192.0.2.7", "::ffff:192.0.2.7", "::1") lies in one of ranges.
bool InAddressRanges(const std::vector<AddressRange>& ranges, std::string_view address);

// "250ms", "30s", "30" (seconds); false for anything else.
bool ParseDuration(const std::string& text, Duration* duration);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_SERVER_CONFIG_H
