// Server variables by name.
#include "server_variables.h"

#include <cctype>
#include <functional>
#include <map>

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

using Getter = std::function<std::string(const Source&)>;

const std::map<std::string, Getter, std::less<>>& Getters() {
  static const std::map<std::string, Getter, std::less<>> getters = {
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
      {"CONTENT_LENGTH", [](const Source& s) { return Text(s.request[http::field::content_length]); }},
      {"CONTENT_TYPE", [](const Source& s) { return Text(s.request[http::field::content_type]); }},
      {"ALL_RAW", AllRaw},
      {"ALL_HTTP", AllHttp},
      {"AUTH_TYPE", [](const Source& s) { return s.facts.auth.AuthType(); }},
      {"AUTH_USER", [](const Source& s) { return s.facts.auth.LogonUser(); }},
      {"LOGON_USER", [](const Source& s) { return s.facts.auth.LogonUser(); }},
      {"REMOTE_USER", [](const Source& s) { return s.facts.auth.LogonUser(); }},
  };
  return getters;
}

std::optional<std::string> FindRequestHeader(const http::request_header<>& request,
                                             std::string_view variable) {
  std::string name(variable.substr(5));  // after "HTTP_"
  for (char& c : name) c = (c == '_') ? '-' : c;
  auto [first, last] = request.equal_range(name);
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
  const auto getter = Getters().find(name);
  if (getter != Getters().end()) return getter->second(source);
  // Names compare ignoring case, as the filter interface's names always have.
  for (const auto& [known, get] : Getters()) {
    if (EqualsIgnoreCase(known, name)) return get(source);
  }
  if (StartsWithIgnoreCase(name, "HTTP_") && name.size() > 5) {
    return FindRequestHeader(*request->header, name);
  }
  return std::nullopt;
}

}  // namespace nexoral::server
