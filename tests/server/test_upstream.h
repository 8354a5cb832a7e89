// A scriptable upstream for the reverse-proxy tests, on a loopback port of the test process.
// Blocking Beast server, one thread per connection. The path (after /api/open or /api, the
// prefixes the proxy routes) says what to answer:
//   /cl/<n>                 n bytes with Content-Length
//   /chunked/<a>,<b>,...    chunks of those sizes, then the last chunk
//   /drip/<count>/<ms>      count pieces of 10 bytes, one every ms milliseconds
//   /broken                 announces 1000 bytes, sends 100, closes
//   /slow/<ms>              answers "slow" after ms milliseconds
//   /echo...                the request as seen: method, target, headers, body
#ifndef NEXORAL_TESTS_SERVER_TEST_UPSTREAM_H
#define NEXORAL_TESTS_SERVER_TEST_UPSTREAM_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nexoral::testing {

// The body /cl/<n> and the chunks carry: a repeating alphabet, so truncation shows.
std::string UpstreamPattern(size_t length);

class TestUpstream {
 public:
  TestUpstream();
  ~TestUpstream();  // closes every connection and joins the threads

  uint16_t Port() const { return port_; }
  int ConnectionsAccepted() const { return accepted_.load(); }

 private:
  struct Impl;
  void AcceptLoop();
  void Serve(int fd);

  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<int> openSockets_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_SERVER_TEST_UPSTREAM_H
