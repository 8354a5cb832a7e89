// A test installation of the real module for server processes.
#include "installed_module.h"

#include <filesystem>
#include <sstream>

namespace nexoral::testing {
namespace {

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

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

std::vector<std::string> InstalledModule::LogLines() const {
  std::string text;
  const std::filesystem::path logs = install_.Path("logs");
  if (!std::filesystem::exists(logs)) return {};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(logs)) {
    if (entry.is_regular_file()) text += ReadWholeFile(entry.path().string());
  }
  return LinesOf(text);
}

std::vector<std::string> InstalledModule::Events() const {
  return LinesOf(ReadWholeFile(install_.Path("events.log")));
}

std::vector<std::string> InstalledModule::WorkerCalls() const {
  return LinesOf(ReadWholeFile(install_.Path("calls.txt")));
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
  size_t count = 0;
  for (const std::string& line : lines) count += line.find(text) != std::string::npos ? 1 : 0;
  return count;
}

}  // namespace nexoral::testing
