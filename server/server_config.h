// The server's configuration: the records read from its `key = value` file with [sections]
// (documented in server/README.md) and the loader that checks them. Read once at start-up;
// immutable afterwards, so every thread may read it.
#ifndef NEXORAL_SERVER_SERVER_CONFIG_H
#define NEXORAL_SERVER_SERVER_CONFIG_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nexoral::server {

using Duration = std::chrono::milliseconds;

struct ListenAddress {
  std::string host;  // numeric IPv4 or IPv6 address
  uint16_t port = 0;  // 0: any free port (reported once listening)
};

struct ProxyRoute {
  std::string prefix;  // URL path prefix, matched case-sensitively
  ListenAddress upstream;
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

  // [proxy]
  std::vector<ProxyRoute> routes;
  Duration connectTimeout{std::chrono::seconds(5)};
  Duration responseTimeout{std::chrono::seconds(30)};  // until the upstream's headers: else 504
  Duration upstreamReadTimeout{std::chrono::seconds(30)};  // between body blocks
  size_t idleUpstreamConnections = 16;  // kept per upstream for reuse
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

// "250ms", "30s", "30" (seconds); false for anything else.
bool ParseDuration(const std::string& text, Duration* duration);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_SERVER_CONFIG_H
