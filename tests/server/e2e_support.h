// Helpers shared by the end-to-end test files: reading the recording filter's lines and the
// test upstream's echo.
#ifndef NEXORAL_TESTS_SERVER_E2E_SUPPORT_H
#define NEXORAL_TESTS_SERVER_E2E_SUPPORT_H

#include <sstream>
#include <string>
#include <vector>

#include "platform/ascii_text.h"

namespace nexoral::testing {

// The notification names of the record in order ("PREPROC", "AUTH", ...), without the
// START line; lines of one connection only when connection is not empty ("conn=1").
inline std::vector<std::string> Kinds(const std::vector<std::string>& record,
                                      const std::string& connection = {}) {
  std::vector<std::string> kinds;
  for (const std::string& line : record) {
    if (line.rfind("conn=", 0) != 0) {
      if (line != "TERMINATE" || !connection.empty()) continue;
      kinds.push_back(line);
      continue;
    }
    const size_t space = line.find(' ');
    if (!connection.empty() && line.substr(0, space) != connection) continue;
    kinds.push_back(line.substr(space + 1, line.find(' ', space + 1) - space - 1));
  }
  return kinds;
}

// The record's lines that contain text.
inline std::vector<std::string> LinesWith(const std::vector<std::string>& record,
                                          const std::string& text) {
  std::vector<std::string> lines;
  for (const std::string& line : record) {
    if (line.find(text) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// The values of every header named name (ignoring case) in a body the upstream's /echo made:
// "METHOD target", then one "Name: value" line per header, an empty line and the body.
inline std::vector<std::string> EchoedHeaders(const std::string& echo, const std::string& name) {
  std::vector<std::string> values;
  std::istringstream lines(echo);
  std::string line;
  std::getline(lines, line);  // the request line
  while (std::getline(lines, line) && !line.empty()) {
    const size_t colon = line.find(": ");
    if (colon != std::string::npos &&
        platform::EqualsIgnoreCase(std::string_view(line).substr(0, colon), name)) {
      values.push_back(line.substr(colon + 2));
    }
  }
  return values;
}

// The first line of an echo: "GET /api/open/echo?x=1".
inline std::string EchoedRequestLine(const std::string& echo) {
  return echo.substr(0, echo.find('\n'));
}

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_SERVER_E2E_SUPPORT_H
