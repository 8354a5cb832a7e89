// What the log reads when it is configured: the core items that set it up and the folders of
// the installation. The settings host implements this interface over its settings file and
// takes its settings lock around each item lookup; tests feed items directly.
#ifndef NEXORAL_DIAGNOSTICS_LOG_SETTINGS_H
#define NEXORAL_DIAGNOSTICS_LOG_SETTINGS_H

#include <cstdint>
#include <string>

namespace nexoral {

// Core items of the log.
inline constexpr int32_t kItemLogOutput = 12;        // 1 shared memory, 2 buffered file, else plain
inline constexpr int32_t kItemLogSizeKb = 13;        // size limit in kilobytes
inline constexpr int32_t kItemLogSwitch = 14;        // 1 or 10 turn the log on
inline constexpr int32_t kItemLogFileName = 23;      // name of the common log file
inline constexpr int32_t kItemLogFolder = 39;        // base folder of the log
inline constexpr int32_t kItemOwnLog = 75;           // non-zero: a log named after the module
inline constexpr int32_t kItemLogModuleOption = 76;  // handed to the log module

class LogSettingsSource {
 public:
  virtual ~LogSettingsSource() = default;

  // The item as a number; false when it is absent or has no usable value.
  virtual bool CoreItemNumber(int32_t id, int32_t* value) = 0;
  // The item as text; false when it is absent.
  virtual bool CoreItemText(int32_t id, std::string* value) = 0;
  // The last component of the folder the module was loaded from.
  virtual std::string InstallationFolderName() = 0;
  // The parent of the module's folder followed by "Common Files/".
  virtual std::string CommonFolder() = 0;
};

}  // namespace nexoral

#endif  // NEXORAL_DIAGNOSTICS_LOG_SETTINGS_H
