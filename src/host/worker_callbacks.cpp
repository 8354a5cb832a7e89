// The callback table of a request.
#include "host/worker_callbacks.h"

#include <new>

#include "diagnostics/log.h"

namespace nexoral {

void WorkerLog(const char* text) {
  if (text == nullptr) return;
  Log("%s", text);
}

CRefHandle<CFilterCallbackPrototypes> CreateCallbackTable() {
  try {
    CRefHandle<CFilterCallbackPrototypes> table = MakeRefHandle<CFilterCallbackPrototypes>();
    table->WorkerLog = WorkerLog;
    return table;
  } catch (const std::bad_alloc&) {
    return CRefHandle<CFilterCallbackPrototypes>();
  }
}

}  // namespace nexoral
