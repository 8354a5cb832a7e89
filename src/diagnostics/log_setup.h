// Configuring the log from the core items: the switch, the writer and its size, the log module
// and the lock it gives out, the log's name and its path. The settings host calls ConfigureLog
// at start-up and again after each refresh of its settings.
//
// Paths: with a log folder item, the log is "<folder>/ZephyrquillLogs/<name>"; without it,
// "<system directory>/LogFiles/ZephyrquillLogs/<name>" (platform/system_paths.h). A path that
// would be too long becomes the fallback log file. Missing folders of the path are created
// when the first line is written.
#ifndef NEXORAL_DIAGNOSTICS_LOG_SETUP_H
#define NEXORAL_DIAGNOSTICS_LOG_SETUP_H

#include <string>

#include "diagnostics/log_settings.h"

namespace nexoral {

inline constexpr char kCommonLogFileName[] = "ZQCommonLog.log";
inline constexpr char kLogFolderName[] = "ZephyrquillLogs";

void ConfigureLog(LogSettingsSource& settings, const char* moduleFileName);

// False for names the system reserves for devices ("con", "com1.log", ...), and for names
// that are empty or only dots.
bool IsUsableLogFileName(const std::string& name);

// The common log's file name made from the administrator's text: long texts keep their last
// 130 characters, blanks around are removed, characters that cannot be in a file name become
// "_", and an unusable result gets "ZQ_" in front.
std::string CommonLogFileName(const std::string& configuredName);

// The name of a module's own log: every ".dll" (any case) of the module file name as ".log".
std::string OwnLogFileName(const std::string& moduleFileName);

// The log path for the folder item (empty: none) and the file name.
std::string LogPathFor(const std::string& folderItem, const std::string& name);

}  // namespace nexoral

#endif  // NEXORAL_DIAGNOSTICS_LOG_SETUP_H
