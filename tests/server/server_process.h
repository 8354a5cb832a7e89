// A nexoral-server process for end-to-end tests: a scratch folder with its configuration,
// users file, document root and (on request) a TLS certificate made with the openssl command,
// the server started on ephemeral ports of a loopback address, and its filter's record. Stopped with SIGTERM
// (or killed) when the object goes.
#ifndef NEXORAL_TESTS_SERVER_SERVER_PROCESS_H
#define NEXORAL_TESTS_SERVER_SERVER_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "harness/temp_folder.h"

namespace nexoral::testing {

struct ServerSetup {
  bool recordingFilter = true;     // load the recording test filter
  std::string filterFlags;         // NEXORAL_TEST_FILTER_FLAGS, "" for all six
  std::string modulePath;          // another module instead of the recording filter
  bool tls = false;                // also listen for HTTPS
  uint16_t upstreamPort = 0;       // route /api/ to this port when not 0
  std::string extraConfig;         // appended lines ("[limits]\nbody_bytes = 10\n")
  // The loopback address every listener binds ("::1" for IPv6); the module takes "127.0.0.2"
  // for a remote one.
  std::string listenAddress = "127.0.0.1";
  // More files for the server's folder (document-root files under "www/"): path -> content.
  std::map<std::string, std::string> files;
};

// The users every test server knows: alice (password "wonderland", two groups) and bob.
inline constexpr const char* kAlicePassword = "wonderland";

class ServerProcess {
 public:
  explicit ServerProcess(const ServerSetup& setup);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool Running() const { return pid_ > 0; }
  uint16_t HttpPort() const { return httpPort_; }
  uint16_t HttpsPort() const { return httpsPort_; }
  std::string Url(const std::string& path) const;
  std::string SecureUrl(const std::string& path) const;
  const std::string& ListenAddress() const { return listenAddress_; }
  const std::string& Folder() const { return folder_.Path(); }
  std::string CertificatePath() const { return folder_.Join("cert.pem"); }

  // The recording filter's lines so far.
  std::vector<std::string> FilterRecord() const;
  std::string AccessLog() const;
  std::string ErrorOutput() const;

  // Sends SIGTERM and waits; the exit status (or -1 when it had to be killed).
  int Stop(int waitMilliseconds = 10000);
  // Sends SIGTERM and returns at once.
  void SignalStop();
  // Waits for the process to end; the exit status or -1.
  int Wait(int waitMilliseconds);

 private:
  void WriteFiles(const ServerSetup& setup);
  void Start(const ServerSetup& setup);

  TempFolder folder_;
  std::string listenAddress_;
  pid_t pid_ = -1;
  uint16_t httpPort_ = 0;
  uint16_t httpsPort_ = 0;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_SERVER_SERVER_PROCESS_H
