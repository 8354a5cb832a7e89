// Server variables by name.
#include "server_variables.h"

#include <cctype>
#include <algorithm>
#include <vector>

#include "request_path.h"
#include "text_util.h"

namespace nexoral::server {
namespace {

struct Source {
  const ConnectionFacts& connection;
  const http::request_header<>& request;
  const RequestFacts& facts;
};

std::string Text(beast::string_view view) { return std::string(view.data(), view.size()); }

// The path as routed and authorised: decoded (as sent when a filter set one that does not
// decode, which is refused afterwards).
std::string DecodedPath(const Source& source) {
  const std::string target = Text(source.request.target());
  return DecodeRequestPath(target).value_or(std::string(TargetPath(target)));
}

std::string ServerName(const Source& source) {
  std::string host = Text(source.request[http::field::host]);
  if (host.empty()) return source.connection.serverName.empty() ? source.connection.localAddress
                                                                : source.connection.serverName;
  // "[v6]:port" and "name:port" lose the port.
  const size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos) host.resize(colon);
  return host;
}

// "HTTP_ACCEPT:*/*\n" for every header, as CGI names them.
std::string AllHttp(const Source& source) {
  std::string all;
  for (const auto& field : source.request) {
    std::string name = "HTTP_" + Text(field.name_string());
    for (char& c : name) c = (c == '-') ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    all.append(name).append(":").append(Text(field.value())).append("\n");
  }
  return all;
}

// The headers as the request carries them now, one "Name: value\r\n" each.
std::string AllRaw(const Source& source) {
  std::string all;
  for (const auto& field : source.request) {
    all.append(Text(field.name_string())).append(": ").append(Text(field.value())).append("\r\n");
  }
  return all;
}

std::string VersionText(unsigned version) {
  return "HTTP/" + std::to_string(version / 10) + "." + std::to_string(version % 10);
}

using Getter = std::string (*)(const Source&);

// Orders names by length, then ignoring case (the filter interface's names have always
// compared ignoring case): most comparisons end at the length.
bool LessIgnoringCase(std::string_view left, std::string_view right) {
  if (left.size() != right.size()) return left.size() < right.size();
  for (size_t i = 0; i < left.size(); ++i) {
    const char a = platform::LowerAscii(left[i]), b = platform::LowerAscii(right[i]);
    if (a != b) return a < b;
  }
  return false;
}

struct NamedGetter {
  std::string_view name;
  Getter get;
};

// Sorted by name ignoring case, for a binary search.
const std::vector<NamedGetter>& Getters() {
  static const std::vector<NamedGetter> getters = [] {
    std::vector<NamedGetter> table = {
        {"URL", DecodedPath},
        {"PATH_INFO", DecodedPath},
        {"HTTP_URL", [](const Source& s) { return s.facts.receivedTarget; }},
        {"QUERY_STRING",
         [](const Source& s) { return std::string(TargetQuery(Text(s.request.target()))); }},
        {"REQUEST_METHOD", [](const Source& s) { return Text(s.request.method_string()); }},
        {"HTTP_METHOD", [](const Source& s) { return Text(s.request.method_string()); }},
        {"HTTP_VERSION", [](const Source& s) { return VersionText(s.request.version()); }},
        {"SERVER_PROTOCOL", [](const Source& s) { return VersionText(s.request.version()); }},
        {"REMOTE_ADDR", [](const Source& s) { return s.connection.remoteAddress; }},
        {"REMOTE_HOST", [](const Source& s) { return s.connection.remoteAddress; }},
        {"REMOTE_PORT", [](const Source& s) { return std::to_string(s.connection.remotePort); }},
        {"LOCAL_ADDR", [](const Source& s) { return s.connection.localAddress; }},
        {"SERVER_PORT", [](const Source& s) { return std::to_string(s.connection.localPort); }},
        {"SERVER_PORT_SECURE",
         [](const Source& s) { return std::string(s.connection.secure ? "1" : "0"); }},
        {"HTTPS", [](const Source& s) { return std::string(s.connection.secure ? "on" : "off"); }},
        {"SERVER_NAME", ServerName},
        {"SERVER_SOFTWARE", [](const Source&) { return std::string("nexoral-server"); }},
        {"CONTENT_LENGTH",
         [](const Source& s) { return Text(s.request[http::field::content_length]); }},
        {"CONTENT_TYPE", [](const Source& s) { return Text(s.request[http::field::content_type]); }},
        {"ALL_RAW", AllRaw},
        {"ALL_HTTP", AllHttp},
        {"AUTH_TYPE", [](const Source& s) { return s.facts.auth.AuthType(); }},
        {"AUTH_USER", [](const Source& s) { return s.facts.auth.LogonUser(); }},
        {"LOGON_USER", [](const Source& s) { return s.facts.auth.LogonUser(); }},
        {"REMOTE_USER", [](const Source& s) { return s.facts.auth.LogonUser(); }},
    };
    std::sort(table.begin(), table.end(), [](const NamedGetter& a, const NamedGetter& b) {
      return LessIgnoringCase(a.name, b.name);
    });
    return table;
  }();
  return getters;
}

Getter FindGetter(std::string_view name) {
  const std::vector<NamedGetter>& getters = Getters();
  const auto found = std::lower_bound(
      getters.begin(), getters.end(), name,
      [](const NamedGetter& entry, std::string_view key) { return LessIgnoringCase(entry.name, key); });
  if (found == getters.end() || !EqualsIgnoreCase(found->name, name)) return nullptr;
  return found->get;
}

// "HTTP_X_OWA_PROXYSID" is the header "X-OWA-PROXYSID" (names compare ignoring case); several
// fields of the name give one value, joined by ", ".
std::optional<std::string> FindRequestHeader(const http::request_header<>& request,
                                             std::string_view variable) {
  char name[256];
  const std::string_view header = variable.substr(5);  // after "HTTP_"
  if (header.size() > sizeof(name)) return std::nullopt;
  for (size_t i = 0; i < header.size(); ++i) name[i] = header[i] == '_' ? '-' : header[i];
  auto [first, last] = request.equal_range(std::string_view(name, header.size()));
  if (first == last) return std::nullopt;
  std::string value = Text(first->value());
  for (++first; first != last; ++first) value.append(", ").append(Text(first->value()));
  return value;
}

}  // namespace

std::optional<std::string> FindServerVariable(const ConnectionFacts& connection,
                                              const RequestFacts* request, std::string_view name) {
  if (request == nullptr || request->header == nullptr) return std::nullopt;
  const Source source{connection, *request->header, *request};
  if (const Getter get = FindGetter(name)) return get(source);
  if (StartsWithIgnoreCase(name, "HTTP_") && name.size() > 5) {
    return FindRequestHeader(*request->header, name);
  }
  return std::nullopt;
}

}  // namespace nexoral::server
