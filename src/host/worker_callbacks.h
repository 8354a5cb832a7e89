// The callbacks a worker reaches through its CDLLContext: one table per request, shared by all
// of the request's CDLLContexts. Only WorkerLog is there from the table's creation; the other
// entries are set per notification by the handlers.
#ifndef NEXORAL_HOST_WORKER_CALLBACKS_H
#define NEXORAL_HOST_WORKER_CALLBACKS_H

#include "nexoral/callback_table.h"
#include "nexoral/ref_handle.h"

namespace nexoral {

// Writes the worker's NUL-terminated text to the log as it stands; null is ignored.
void WorkerLog(const char* text);

// A new table with WorkerLog set and every other entry null; a null handle when memory is short.
CRefHandle<CFilterCallbackPrototypes> CreateCallbackTable();

}  // namespace nexoral

#endif  // NEXORAL_HOST_WORKER_CALLBACKS_H
