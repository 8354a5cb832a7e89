// Reading the configuration file: one `key = value` per line under [section] headings,
// '#' or ';' starting a comment line, repeatable keys for lists.
#include "server_config.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "text_util.h"

namespace nexoral::server {
namespace {

constexpr size_t kMaxLineBytes = 4096;

std::string Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

template <class Number>
bool ParseNumber(std::string_view text, Number* value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Anchor(const std::string& folder, const std::string& path) {
  if (path.empty() || path == "-" || path.front() == '/') return path;
  return folder + "/" + path;
}

// One key's effect on the configuration; returns an error message or "".
using Setter = std::function<std::string(ServerConfig&, const std::string&)>;

Setter Text(std::string ServerConfig::*member) {
  return [member](ServerConfig& config, const std::string& value) {
    config.*member = value;
    return std::string();
  };
}

Setter FilePath(std::string ServerConfig::*member) {
  return [member](ServerConfig& config, const std::string& value) {
    if (value.empty()) return std::string("a path is required");
    config.*member = Anchor(FolderOf(config.sourcePath), value);
    return std::string();
  };
}

Setter Size(size_t ServerConfig::*member, size_t minimum) {
  return [member, minimum](ServerConfig& config, const std::string& value) {
    size_t number = 0;
    if (!ParseNumber(value, &number) || number < minimum) {
      return "expected a whole number of at least " + std::to_string(minimum);
    }
    config.*member = number;
    return std::string();
  };
}

Setter Time(Duration ServerConfig::*member) {
  return [member](ServerConfig& config, const std::string& value) {
    Duration duration{};
    if (!ParseDuration(value, &duration) || duration.count() <= 0) {
      return std::string("expected a positive duration such as 30s or 500ms");
    }
    config.*member = duration;
    return std::string();
  };
}

Setter Address(std::optional<ListenAddress> ServerConfig::*member) {
  return [member](ServerConfig& config, const std::string& value) {
    ListenAddress address;
    if (!ParseListenAddress(value, &address)) {
      return std::string("expected a numeric address and port such as 127.0.0.1:8080");
    }
    config.*member = address;
    return std::string();
  };
}

std::string SetThreads(ServerConfig& config, const std::string& value) {
  unsigned threads = 0;
  if (value == "auto") {
    threads = std::max(2u, std::thread::hardware_concurrency());
  } else if (!ParseNumber(value, &threads) || threads < 1 || threads > 256) {
    return "expected a thread count from 1 to 256, or auto";
  }
  config.threads = threads;
  return {};
}

std::string SetCryptThreads(ServerConfig& config, const std::string& value) {
  unsigned threads = 0;
  if (!ParseNumber(value, &threads) || threads < 1 || threads > 64) {
    return "expected a thread count from 1 to 64";
  }
  config.authLimits.cryptThreads = threads;
  return {};
}

Setter AuthSize(size_t AuthLimits::*member, size_t minimum) {
  return [member, minimum](ServerConfig& config, const std::string& value) {
    size_t number = 0;
    if (!ParseNumber(value, &number) || number < minimum) {
      return "expected a whole number of at least " + std::to_string(minimum);
    }
    config.authLimits.*member = number;
    return std::string();
  };
}

Setter AuthTime(Duration AuthLimits::*member) {
  return [member](ServerConfig& config, const std::string& value) {
    Duration duration{};
    if (!ParseDuration(value, &duration) || duration.count() <= 0) {
      return std::string("expected a positive duration such as 30s or 500ms");
    }
    config.authLimits.*member = duration;
    return std::string();
  };
}

std::string AddAnonymousPrefix(ServerConfig& config, const std::string& value) {
  if (value.empty() || value.front() != '/') return "expected a URL path prefix starting with /";
  config.anonymousPrefixes.push_back(value);
  return {};
}

std::string AddTrustedProxies(ServerConfig& config, const std::string& value) {
  std::istringstream items(value);
  for (std::string item; std::getline(items, item, ',');) {
    AddressRange range;
    if (!ParseAddressRange(Trim(item), &range)) {
      return "expected numeric addresses or ranges such as 10.0.0.0/8 or ::1, comma-separated";
    }
    config.trustedProxies.push_back(range);
  }
  return {};
}

std::string AddRoute(ServerConfig& config, const std::string& value) {
  std::istringstream words(value);
  ProxyRoute route;
  std::string upstream, extra;
  words >> route.prefix >> upstream >> extra;
  if (route.prefix.empty() || route.prefix.front() != '/' || upstream.empty() || !extra.empty()) {
    return "expected a URL path prefix and an upstream address, such as /api/ 127.0.0.1:9000";
  }
  if (!ParseListenAddress(upstream, &route.upstream) || route.upstream.port == 0) {
    return "the upstream must be a numeric address with a port, such as 127.0.0.1:9000";
  }
  config.routes.push_back(std::move(route));
  return {};
}

Setter Switch(bool ServerConfig::*member) {
  return [member](ServerConfig& config, const std::string& value) {
    if (value != "on" && value != "off") return std::string("expected on or off");
    config.*member = value == "on";
    return std::string();
  };
}

std::string SetGzip(ServerConfig& config, const std::string& value) {
  if (value != "on" && value != "off") return "expected on or off";
  config.compression.gzip = value == "on";
  return {};
}

std::string SetLevel(ServerConfig& config, const std::string& value) {
  int level = 0;
  if (!ParseNumber(value, &level) || level < 1 || level > 9) return "expected a level from 1 to 9";
  config.compression.level = level;
  return {};
}

std::string SetMinLength(ServerConfig& config, const std::string& value) {
  if (!ParseNumber(value, &config.compression.minLength)) return "expected a number of bytes";
  return {};
}

// The first types line replaces the default list; later ones add to it.
std::string AddTypes(ServerConfig& config, const std::string& value) {
  static const CompressionSettings defaults;
  std::vector<std::string>& types = config.compression.types;
  if (types == defaults.types) types.clear();
  std::istringstream items(value);
  for (std::string item; items >> item;) {
    const size_t slash = item.find('/');
    if (slash == 0 || slash == std::string::npos || slash + 1 == item.size() ||
        item.find_first_of("/;,", slash + 1) != std::string::npos) {
      return "expected media types such as text/html or text/*, separated by blanks";
    }
    types.push_back(platform::AsciiLower(item));
  }
  return {};
}

const std::map<std::string, Setter>& Setters() {
  static const std::map<std::string, Setter> setters = {
      {"server.threads", SetThreads},
      {"server.module", FilePath(&ServerConfig::modulePath)},
      {"server.access_log", FilePath(&ServerConfig::accessLogPath)},
      {"server.server_name", Text(&ServerConfig::serverName)},
      {"server.document_root", FilePath(&ServerConfig::documentRoot)},
      {"server.index", Text(&ServerConfig::indexFile)},
      {"server.trusted_proxies", AddTrustedProxies},
      {"listen.http", Address(&ServerConfig::http)},
      {"listen.https", Address(&ServerConfig::https)},
      {"tls.certificate", FilePath(&ServerConfig::certificatePath)},
      {"tls.private_key", FilePath(&ServerConfig::privateKeyPath)},
      {"limits.header_bytes", Size(&ServerConfig::headerBytes, 256)},
      {"limits.body_bytes", Size(&ServerConfig::bodyBytes, 0)},
      {"limits.idle_timeout", Time(&ServerConfig::idleTimeout)},
      {"limits.read_timeout", Time(&ServerConfig::readTimeout)},
      {"limits.write_timeout", Time(&ServerConfig::writeTimeout)},
      {"limits.shutdown_timeout", Time(&ServerConfig::shutdownTimeout)},
      {"limits.max_connections", Size(&ServerConfig::maxConnections, 1)},
      {"limits.total_body_bytes", Size(&ServerConfig::totalBodyBytes, 0)},
      {"auth.users_file", FilePath(&ServerConfig::usersFile)},
      {"auth.realm", Text(&ServerConfig::realm)},
      {"auth.anonymous", AddAnonymousPrefix},
      {"auth.crypt_threads", SetCryptThreads},
      {"auth.failures_before_delay", AuthSize(&AuthLimits::failuresBeforeDelay, 1)},
      {"auth.failure_window", AuthTime(&AuthLimits::failureWindow)},
      {"auth.failure_delay", AuthTime(&AuthLimits::failureDelay)},
      {"auth.failure_addresses", AuthSize(&AuthLimits::failureAddresses, 16)},
      {"proxy.route", AddRoute},
      {"proxy.connect_timeout", Time(&ServerConfig::connectTimeout)},
      {"proxy.response_timeout", Time(&ServerConfig::responseTimeout)},
      {"proxy.read_timeout", Time(&ServerConfig::upstreamReadTimeout)},
      {"proxy.idle_connections", Size(&ServerConfig::idleUpstreamConnections, 0)},
      {"proxy.identity_upstream", Switch(&ServerConfig::identityUpstream)},
      {"compression.gzip", SetGzip},
      {"compression.level", SetLevel},
      {"compression.min_length", SetMinLength},
      {"compression.types", AddTypes},
  };
  return setters;
}

// Where each key was last set, for errors found after parsing.
using KeyLines = std::map<std::string, unsigned>;

bool IsKnownSection(const std::string& section) {
  return section == "server" || section == "listen" || section == "tls" || section == "limits" ||
         section == "auth" || section == "proxy" || section == "compression";
}

std::optional<ConfigError> ParseLines(const std::string& text, ServerConfig& config,
                                      KeyLines& lines) {
  const std::string& file = config.sourcePath;
  std::istringstream input(text);
  std::string line, section;
  unsigned number = 0;
  while (std::getline(input, line)) {
    ++number;
    if (line.size() > kMaxLineBytes) return ConfigError{file, number, "line too long"};
    const std::string content = Trim(line);
    if (content.empty() || content.front() == '#' || content.front() == ';') continue;
    if (content.front() == '[') {
      if (content.back() != ']') return ConfigError{file, number, "unterminated section heading"};
      section = Trim(std::string_view(content).substr(1, content.size() - 2));
      if (!IsKnownSection(section)) {
        return ConfigError{file, number, "unknown section [" + section + "]"};
      }
      continue;
    }
    const size_t equals = content.find('=');
    if (equals == std::string::npos) return ConfigError{file, number, "expected key = value"};
    if (section.empty()) return ConfigError{file, number, "key outside of a [section]"};
    const std::string key = section + "." + Trim(std::string_view(content).substr(0, equals));
    const auto setter = Setters().find(key);
    if (setter == Setters().end()) return ConfigError{file, number, "unknown key " + key};
    const std::string problem = setter->second(config, Trim(content.substr(equals + 1)));
    if (!problem.empty()) return ConfigError{file, number, key + ": " + problem};
    lines[key] = number;
  }
  return std::nullopt;
}

std::optional<ConfigError> CheckCombination(const ServerConfig& config, const KeyLines& lines) {
  if (!config.http && !config.https) {
    return ConfigError{config.sourcePath, 0, "no listener: set [listen] http or https"};
  }
  if (config.https && (config.certificatePath.empty() || config.privateKeyPath.empty())) {
    return ConfigError{config.sourcePath, lines.at("listen.https"),
                       "listen.https needs [tls] certificate and private_key"};
  }
  return std::nullopt;
}

bool IsFile(const std::string& path, bool folder) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return false;
  return folder ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
}

std::optional<ConfigError> CheckPaths(const ServerConfig& config, const KeyLines& lines) {
  const struct {
    const char* key;
    const std::string* path;
    bool folder;
  } checks[] = {
      {"server.module", &config.modulePath, false},
      {"server.document_root", &config.documentRoot, true},
      {"tls.certificate", &config.certificatePath, false},
      {"tls.private_key", &config.privateKeyPath, false},
      {"auth.users_file", &config.usersFile, false},
  };
  for (const auto& check : checks) {
    if (check.path->empty() || IsFile(*check.path, check.folder)) continue;
    const char* kind = check.folder ? "no such folder: " : "no such file: ";
    return ConfigError{config.sourcePath, lines.at(check.key),
                       std::string(check.key) + ": " + kind + *check.path};
  }
  return std::nullopt;
}

ConfigResult Parse(const std::string& text, const std::string& sourcePath, KeyLines& lines) {
  ConfigResult result;
  result.config.sourcePath = sourcePath;
  result.error = ParseLines(text, result.config, lines);
  if (!result.error) result.error = CheckCombination(result.config, lines);
  return result;
}

}  // namespace

std::string ConfigError::ToString() const {
  if (line == 0) return file + ": " + message;
  return file + ":" + std::to_string(line) + ": " + message;
}

bool ParseListenAddress(const std::string& text, ListenAddress* address) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  unsigned port = 0;
  if (!ParseNumber(std::string_view(text).substr(colon + 1), &port) || port > 65535) return false;
  if (host.find_first_not_of("0123456789abcdefABCDEF.:") != std::string::npos) return false;
  address->host = host;
  address->port = static_cast<uint16_t>(port);
  return true;
}

bool ParseAddressRange(std::string_view text, AddressRange* range) {
  const size_t slash = text.find('/');
  const std::string address(text.substr(0, slash));
  AddressRange parsed;
  unsigned width = 128;
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    parsed.bytes[10] = parsed.bytes[11] = 0xFF;
    std::memcpy(&parsed.bytes[12], &v4, sizeof(v4));
    width = 32;
  } else if (inet_pton(AF_INET6, address.c_str(), parsed.bytes.data()) != 1) {
    return false;
  }
  unsigned prefix = width;
  if (slash != std::string_view::npos &&
      (!ParseNumber(text.substr(slash + 1), &prefix) || prefix > width)) {
    return false;
  }
  parsed.prefixLength = 128 - width + prefix;
  *range = parsed;
  return true;
}

bool InAddressRanges(const std::vector<AddressRange>& ranges, std::string_view address) {
  AddressRange peer;
  if (ranges.empty() || address.find('/') != std::string_view::npos ||
      !ParseAddressRange(address, &peer)) {
    return false;
  }
  for (const AddressRange& range : ranges) {
    bool inside = true;
    for (unsigned bit = 0; inside && bit < range.prefixLength; bit += 8) {
      const unsigned mask = (0xFF00u >> std::min(8u, range.prefixLength - bit)) & 0xFFu;
      inside = ((peer.bytes[bit / 8] ^ range.bytes[bit / 8]) & mask) == 0;
    }
    if (inside) return true;
  }
  return false;
}

bool ParseDuration(const std::string& text, Duration* duration) {
  std::string_view digits = text;
  long long factor = 1000;
  if (digits.ends_with("ms")) {
    digits.remove_suffix(2);
    factor = 1;
  } else if (digits.ends_with("s")) {
    digits.remove_suffix(1);
  }
  long long value = 0;
  if (!ParseNumber(digits, &value) || value < 0 || value > 365LL * 24 * 3600 * 1000 / factor) {
    return false;
  }
  *duration = Duration(value * factor);
  return true;
}

ConfigResult ParseServerConfig(const std::string& text, const std::string& sourcePath) {
  KeyLines lines;
  return Parse(text, sourcePath, lines);
}

ConfigResult LoadServerConfig(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    ConfigResult result;
    result.error = ConfigError{path, 0, "cannot read the configuration file"};
    return result;
  }
  std::ostringstream text;
  text << file.rdbuf();
  KeyLines lines;
  ConfigResult result = Parse(text.str(), path, lines);
  if (!result.error) result.error = CheckPaths(result.config, lines);
  return result;
}

}  // namespace nexoral::server
