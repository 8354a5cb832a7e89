// The access log: one line per request, in the common log format followed by the request's
// duration in milliseconds:
//   127.0.0.1 - CONTOSO\alice [06/Dec/2024:07:29:01 +0000] "GET /owa/ HTTP/1.1" 200 1234 3
// Written whole with one write(2) each, so lines from many threads never mix.
#ifndef NEXORAL_SERVER_ACCESS_LOG_H
#define NEXORAL_SERVER_ACCESS_LOG_H

#include <chrono>
#include <cstdint>
#include <string>

namespace nexoral::server {

struct AccessRecord {
  std::string remoteAddress;
  std::string user;  // "" for anonymous
  std::string method;
  std::string target;
  unsigned version = 11;
  unsigned status = 0;  // 0: no response was sent
  uint64_t bytesSent = 0;
  std::chrono::steady_clock::duration duration{};
};

class AccessLog {
 public:
  // path: a file to append to, "-" for standard output, "" for no log. False when the file
  // cannot be opened.
  bool Open(const std::string& path, std::string* reason);
  ~AccessLog();

  // Whether lines are written at all.
  bool Enabled() const { return fd_ >= 0; }
  void Write(const AccessRecord& record) const;

  // The line for a record, as written (without the newline).
  static std::string Format(const AccessRecord& record,
                            std::chrono::system_clock::time_point when);

 private:
  int fd_ = -1;
  bool ownsFd_ = false;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_ACCESS_LOG_H
