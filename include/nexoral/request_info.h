// CRequestInfo: what the module captured of one request (server variables, headers and query
// parameters). Filled before the first worker call of the request; read-only for workers.
//
// Captured at the request headers, each as a server variable or else as the request header of
// that name (a value that could not be read is absent): HTTP_URL (path and query as sent), URL,
// QUERY_STRING, REMOTE_ADDR, LOCAL_ADDR, AUTH_TYPE, HTTP_USER_AGENT, HTTPS, HTTP_HOST,
// X-ZQRequest, HTTP_X_Remote_Client_IP, HTTP_X_Forwarded_For, HTTP_METHOD, HTTP_VERSION,
// HTTP_ACCEPT-LANGUAGE, HTTP_Front-End-HTTPS, ZQHTTP, X-OWA-ProxySid, ZQ_CRITERIA,
// HTTP_X_OWA_EXPLICITLOGONUSER, ALL_RAW, ALL_HTTP, REMOTE_HOST, SERVER_PORT,
// SERVER_PORT_SECURE, HTTP_Authorization and HTTP_COOKIE. Values are as the request had them
// before the module changed any header.
#ifndef NEXORAL_REQUEST_INFO_H
#define NEXORAL_REQUEST_INFO_H

#include <map>
#include <string>

class CRequestInfo {
 public:
  // Name and value of each query-string parameter.
  std::map<std::string, std::string> QueryParameters;
  // Captured server variables and headers by name; the first value stored under a name stays.
  std::map<std::string, std::string> Variables;

  // Finds a captured value by exact name, then by the name followed by ":" (the header form).
  bool Lookup(const std::string& name, std::string& value) const {
    auto found = Variables.find(name);
    if (found == Variables.end()) found = Variables.find(name + ":");
    if (found == Variables.end()) return false;
    value = found->second;
    return true;
  }

  // The captured value, or an empty text when there is none.
  std::string ValueOf(const std::string& name) const {
    std::string value;
    Lookup(name, value);
    return value;
  }
};

#endif  // NEXORAL_REQUEST_INFO_H
