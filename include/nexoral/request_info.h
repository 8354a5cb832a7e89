// CRequestInfo: what the module captured of one request (server variables, headers and query
// parameters). Filled before the first worker call of the request; read-only for workers.
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
