// A log set up the way an installation sets it up: a temporary installation folder whose common
// folder holds the log module, core items fed directly, and a log name of its own so that
// tests running at the same time never share a log, a lock or a mapping.
#ifndef NEXORAL_TESTS_DIAGNOSTICS_LOG_INSTALLATION_H
#define NEXORAL_TESTS_DIAGNOSTICS_LOG_INSTALLATION_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/log_settings.h"
#include "harness/temp_folder.h"

namespace nexoral::testing {

// Core items as an administrator writes them: text, read as numbers by their leading digits.
class FakeLogSettings : public LogSettingsSource {
 public:
  bool CoreItemNumber(int32_t id, int32_t* value) override;
  bool CoreItemText(int32_t id, std::string* value) override;
  std::string InstallationFolderName() override { return installationName; }
  std::string CommonFolder() override { return commonFolder; }

  std::map<int32_t, std::string> items;
  std::string installationName = "Nexoral";
  std::string commonFolder;
};

inline constexpr int kSharedMemoryOutput = 1;
inline constexpr int kBufferedOutput = 2;
inline constexpr int kPlainOutput = 3;

class LogInstallation {
 public:
  // Starts from a log in its process-start state. Without the log module, the common folder
  // is empty.
  explicit LogInstallation(bool withLogModule = true);
  ~LogInstallation();
  LogInstallation(const LogInstallation&) = delete;
  LogInstallation& operator=(const LogInstallation&) = delete;

  // Items for an own log named like the module, switched on, written by the output kind into
  // the temporary folder; sizeKb 0 leaves the size item out.
  void SelectOwnLog(int kind, int sizeKb = 0);
  // Configures the log from the items; returns the log path.
  std::string Configure();

  FakeLogSettings settings;
  TempFolder folder;
  const std::string moduleFileName;  // a unique "<name>.dll"
  const std::string logFileName;     // the module's own log: "<name>.log"
  std::string MappingName() const { return "Global\\" + logFileName; }
};

// The lines of a log after its header: the pieces between the "\r\n" that start each line.
std::vector<std::string_view> LinesAfterHeader(std::string_view log);

// The text of a line after its stamp ("2026/12/06 07:41:28.123  1A2 "); nullopt when the line
// does not start with a well-formed stamp.
std::optional<std::string_view> TextAfterStamp(std::string_view line);

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_DIAGNOSTICS_LOG_INSTALLATION_H
