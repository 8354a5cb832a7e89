// Where the system writes when no folder is configured. The "system directory" is /var/log
// unless the environment variable NEXORAL_SYSTEM_DIR names another folder (an empty value
// means there is none). The fallback log file, used when a configured log path would be too
// long, is "LogError.txt" in that folder.
#ifndef NEXORAL_PLATFORM_SYSTEM_PATHS_H
#define NEXORAL_PLATFORM_SYSTEM_PATHS_H

#include <string>

namespace nexoral::platform {

inline constexpr char kSystemDirectoryVariable[] = "NEXORAL_SYSTEM_DIR";
inline constexpr char kDefaultSystemDirectory[] = "/var/log";

// The system directory without a trailing slash; may be empty.
std::string SystemDirectory();

// The system directory followed by "/LogError.txt".
std::string FallbackLogPath();

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_SYSTEM_PATHS_H
