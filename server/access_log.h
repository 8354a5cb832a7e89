// The access log: one line per request, in the common log format followed by the request's
// duration in milliseconds:
//   127.0.0.1 - CONTOSO\alice [06/Dec/2024:07:29:01 +0000] "GET /owa/ HTTP/1.1" 200 1234 3
// Lines gather in a buffer of the thread that serves the request (each thread has its own, behind
// a mutex that only Flush contends for) and go out whole, one write(2) per buffer: when a buffer
// passes kFlushBytes, and at each Flush (the server's every second and at its stop) and at
// destruction. Lines from many threads never mix.
#ifndef NEXORAL_SERVER_ACCESS_LOG_H
#define NEXORAL_SERVER_ACCESS_LOG_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
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
  static constexpr size_t kFlushBytes = 32 * 1024;

  AccessLog();
  ~AccessLog();  // flushes
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  // path: a file to append to, "-" for standard output, "" for no log. False when the file
  // cannot be opened.
  bool Open(const std::string& path, std::string* reason);

  // Whether lines are written at all.
  bool Enabled() const { return fd_ >= 0; }
  // Any thread; once a thread has written its first line, no allocation and no lock that other
  // threads' lines take.
  void Write(const AccessRecord& record) const;
  // Writes out every thread's pending lines; any thread.
  void Flush() const;

 private:
  struct ThreadBuffer;
  struct Buffers;
  ThreadBuffer& BufferOfThisThread() const;
  // Writes the lines whole and empties them; the caller holds their buffer's mutex.
  void WriteOut(std::string& lines) const;

  int fd_ = -1;
  bool ownsFd_ = false;
  std::unique_ptr<Buffers> buffers_;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_ACCESS_LOG_H
