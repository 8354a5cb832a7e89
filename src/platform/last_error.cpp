// The calling thread's last error. Lives in the runtime library so that the server, the module
// and the workers, each a separate shared object, see one value per thread.
#include "nexoral/filter_interface.h"

namespace {
thread_local DWORD lastError = 0;
}  // namespace

extern "C" DWORD GetLastError(void) { return lastError; }

extern "C" void SetLastError(DWORD code) { lastError = code; }
