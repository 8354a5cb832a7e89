// The two functions a log module exports. Each stores in *lock a lock object shared by every
// writer of the same log, in this process and in the other processes of the machine; slot
// Lock locks and slot Unlock unlocks. option is the value of the core item that the
// administrator sets for the log module (1 when absent):
//   0          the lock serialises the writers of this process only;
//   any other  the lock is shared with the other processes of the machine.
// When no lock can be made *lock is left as it was.
#ifndef NEXORAL_DIAGNOSTICS_LOG_MODULE_API_H
#define NEXORAL_DIAGNOSTICS_LOG_MODULE_API_H

#include "common/sync.h"

namespace nexoral {

inline constexpr char kLogModuleName[] = "LogModule.dll";
inline constexpr char kGetProductLockExport[] = "GetProductCS";
inline constexpr char kGetGeneralLockExport[] = "GetGeneralCS";

// The lock of the log that logName identifies (a module file name or an installation name).
using GetProductLockFunction = void (*)(const char* logName, CSync** lock, int option);
// The lock of the common log that every module of the machine shares.
using GetGeneralLockFunction = void (*)(CSync** lock, int option);

}  // namespace nexoral

#endif  // NEXORAL_DIAGNOSTICS_LOG_MODULE_API_H
