// The real module inside a whole test installation, for tests that run nexoral-server with it:
// one recording service worker (RequestWorker: request headers and end of request) with the
// given subscription rules, the installation's environment for this process and the servers
// it starts (registry root, components, application pool, event log, the worker's record),
// and the module's log as plain lines under <root>/logs.
#ifndef NEXORAL_TESTS_SERVER_INSTALLED_MODULE_H
#define NEXORAL_TESTS_SERVER_INSTALLED_MODULE_H

#include <memory>
#include <string>
#include <vector>

#include "harness/installation.h"
#include "harness/scoped_environment.h"
#include "server_process.h"

namespace nexoral::testing {

// The worker's record lines of one call: "RequestWorker HttpFilterProc 16384".
inline constexpr char kWorkerPreprocCall[] = "RequestWorker HttpFilterProc 16384";
inline constexpr char kWorkerEndOfRequestCall[] = "RequestWorker HttpFilterProc 128";

// Worker rules that take what lies under /api/ and /owa/, except for URLs with an "unwatched"
// folder ("/api/open/echo/unwatched").
inline constexpr char kApiAndOwaRules[] =
    R"(<SUBSCRIBE FOLDER="api" FOLDERONLY="1" Type="10"/>)"
    R"(<SUBSCRIBE FOLDER="owa" FOLDERONLY="1" Type="11"/>)"
    R"(<EXCLUDE FOLDER="unwatched" FOLDERONLY="1" Type="12"/>)";

class InstalledModule {
 public:
  // rules: the worker's "SUBSCRIBE" and "EXCLUDE" elements.
  explicit InstalledModule(const std::string& workerRules);
  InstalledModule(const InstalledModule&) = delete;
  InstalledModule& operator=(const InstalledModule&) = delete;

  const TestInstallation& Installation() const { return install_; }

  // A server loading the installed module (setup.modulePath is replaced).
  std::unique_ptr<ServerProcess> StartServer(ServerSetup setup) const;

  // Every line of every file under <root>/logs.
  std::vector<std::string> LogLines() const;
  std::vector<std::string> Events() const;
  std::vector<std::string> WorkerCalls() const;

 private:
  TestInstallation install_;
  InstallationEnvironment environment_;
  ScopedEnvironment events_;
  ScopedEnvironment calls_;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_SERVER_INSTALLED_MODULE_H
