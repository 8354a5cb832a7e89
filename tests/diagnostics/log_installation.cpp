// Log installations for tests.
#include "diagnostics/log_installation.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <filesystem>

#include "diagnostics/log_setup.h"
#include "diagnostics/log_state.h"
#include "platform/shared_memory.h"

namespace nexoral::testing {

bool FakeLogSettings::CoreItemNumber(int32_t id, int32_t* value) {
  const auto found = items.find(id);
  if (found == items.end()) return false;
  const std::string& text = found->second;
  *value = 0;
  std::from_chars(text.data(), text.data() + text.size(), *value);
  return true;
}

bool FakeLogSettings::CoreItemText(int32_t id, std::string* value) {
  const auto found = items.find(id);
  if (found == items.end()) return false;
  *value = found->second;
  return true;
}

LogInstallation::LogInstallation(bool withLogModule)
    : moduleFileName(UniqueName("LogTest") + ".dll"),
      logFileName(moduleFileName.substr(0, moduleFileName.size() - 4) + ".log") {
  ResetLogState();
  settings.commonFolder = folder.Join("Common Files/");
  std::filesystem::create_directories(settings.commonFolder + "bin");
  if (withLogModule) {
    std::filesystem::create_symlink(NEXORAL_LOG_MODULE_PATH,
                                    settings.commonFolder + "bin/LogModule.so");
  }
}

LogInstallation::~LogInstallation() {
  ResetLogState();
  platform::RemoveSharedMemory(MappingName());
  // The lock object the log module made for this log (its documented name).
  shm_unlink(("/nexoral.loglock." + moduleFileName).c_str());
}

void LogInstallation::SelectOwnLog(int kind, int sizeKb) {
  settings.items[kItemLogSwitch] = "1";
  settings.items[kItemLogOutput] = std::to_string(kind);
  settings.items[kItemOwnLog] = "1";
  settings.items[kItemLogFolder] = folder.Path();
  if (sizeKb > 0) settings.items[kItemLogSizeKb] = std::to_string(sizeKb);
}

std::string LogInstallation::Configure() {
  ConfigureLog(settings, moduleFileName.c_str());
  return ProcessLogState().logPath;
}

std::vector<std::string_view> LinesAfterHeader(std::string_view log) {
  std::vector<std::string_view> lines;
  if (log.size() < 102 || log.substr(100, 2) != "\r\n") return lines;
  size_t start = 102;
  while (true) {
    const size_t stop = log.find("\r\n", start);
    lines.push_back(log.substr(start, stop == std::string_view::npos ? log.npos : stop - start));
    if (stop == std::string_view::npos) return lines;
    start = stop + 2;
  }
}

std::optional<std::string_view> TextAfterStamp(std::string_view line) {
  // "dddd/dd/dd dd:dd:dd.ddd " with d a digit.
  constexpr std::string_view kShape = "dddd/dd/dd dd:dd:dd.ddd ";
  if (line.size() < kShape.size()) return std::nullopt;
  for (size_t at = 0; at < kShape.size(); ++at) {
    const bool digit = std::isdigit(static_cast<unsigned char>(line[at])) != 0;
    if (kShape[at] == 'd' ? !digit : line[at] != kShape[at]) return std::nullopt;
  }
  // The thread id: upper-case hexadecimal, at least four wide with leading blanks.
  size_t at = kShape.size();
  const size_t idStart = at;
  while (at < line.size() && line[at] == ' ') ++at;
  const size_t digitsStart = at;
  while (at < line.size() && std::isxdigit(static_cast<unsigned char>(line[at])) &&
         !std::islower(static_cast<unsigned char>(line[at]))) {
    ++at;
  }
  if (at == digitsStart || at - idStart < 4 || at >= line.size() || line[at] != ' ') {
    return std::nullopt;
  }
  return line.substr(at + 1);
}

}  // namespace nexoral::testing
