// The two functions a log module exports. Each stores in *lock a lock object shared by every
// writer of the same log, in this process and in the other processes of the machine; slot
// Lock locks and slot Unlock unlocks. option is the value of the core item that the
// administrator sets for the log module (1 when absent):
//   0          the lock serialises the writers of this process only;
//   any other  the lock is shared with the other processes of the machine.
// When no lock can be made *lock is left as it was.
//
// Access: log files are made with LogFileMode(), the shared-memory log and the lock objects
// with LogObjectMode(), set explicitly whatever the umask. NEXORAL_LOG_MODE (octal) chooses it:
// the owner always reads and writes, the group may read (0640, the default) or not (0600), and
// other accounts never have any access. Other values are ignored. An existing object that is
// reachable by other accounts, or belongs to neither this user nor this group, is not used.
#ifndef NEXORAL_DIAGNOSTICS_LOG_MODULE_API_H
#define NEXORAL_DIAGNOSTICS_LOG_MODULE_API_H

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "common/sync.h"

namespace nexoral {

inline constexpr char kLogModuleName[] = "LogModule.dll";
inline constexpr char kGetProductLockExport[] = "GetProductCS";
inline constexpr char kGetGeneralLockExport[] = "GetGeneralCS";

// The lock of the log that logName identifies (a module file name or an installation name).
using GetProductLockFunction = void (*)(const char* logName, CSync** lock, int option);
// The lock of the common log that every module of the machine shares.
using GetGeneralLockFunction = void (*)(CSync** lock, int option);

inline constexpr char kLogModeVariable[] = "NEXORAL_LOG_MODE";
inline constexpr mode_t kLargestLogFileMode = 0640;

inline mode_t LogFileMode() {
  const char* text = std::getenv(kLogModeVariable);
  char* end = nullptr;
  const unsigned long mode = text != nullptr ? std::strtoul(text, &end, 8) : 0;
  if (text == nullptr || end == text || *end != '\0' || mode > 0777) return kLargestLogFileMode;
  return (static_cast<mode_t>(mode) & kLargestLogFileMode) | 0600;
}

// Read and write for whoever may read the log files.
inline mode_t LogObjectMode() {
  const mode_t fileMode = LogFileMode();
  return (fileMode | ((fileMode & 0440) >> 1)) & 0660;
}

inline bool IsPrivateLogObject(int descriptor) {
  struct stat status {};
  return fstat(descriptor, &status) == 0 && (status.st_mode & 0007) == 0 &&
         (status.st_uid == geteuid() || status.st_gid == getegid());
}

}  // namespace nexoral

#endif  // NEXORAL_DIAGNOSTICS_LOG_MODULE_API_H
