// A test installation of the real module for server processes.
#include "installed_module.h"

namespace nexoral::testing {

InstalledModule::InstalledModule(const std::string& workerRules)
    : environment_(install_, ""),
      events_("NEXORAL_EVENT_LOG_FILE", install_.Path("events.log")),
      calls_("NEXORAL_TEST_WORKER_RECORD", install_.Path("calls.txt")) {
  WorkerEntry worker = install_.Worker(1, "RequestWorker", "Requests", 1);
  worker.rules = workerRules;
  // Items 14, 12 and 39: plain log lines, at the most detailed level, under <root>/logs.
  install_.WriteCoreSettings({{14, "1"}, {12, "3"}, {39, install_.Path("logs")}}, {worker});
}

std::unique_ptr<ServerProcess> InstalledModule::StartServer(ServerSetup setup) const {
  setup.modulePath = install_.ModulePath();
  return std::make_unique<ServerProcess>(setup);
}

std::vector<std::string> InstalledModule::LogLines() const { return install_.LogLines(); }

std::vector<std::string> InstalledModule::Events() const {
  return install_.FileLines("events.log");
}

std::vector<std::string> InstalledModule::WorkerCalls() const {
  return install_.FileLines("calls.txt");
}

}  // namespace nexoral::testing
