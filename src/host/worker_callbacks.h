// The callbacks a worker reaches through its CDLLContext: one table per request, shared by all
// of the request's CDLLContexts. Only WorkerLog is there from the table's creation; the other
// entries are set per notification by the handlers (PrepareCallbackTable). Every callback takes
// whatever the worker passes: null or missing records give the failure result, and no exception
// goes back into the worker.
#ifndef NEXORAL_HOST_WORKER_CALLBACKS_H
#define NEXORAL_HOST_WORKER_CALLBACKS_H

#include <string>

#include "nexoral/callback_table.h"
#include "nexoral/dll_context.h"
#include "nexoral/ref_handle.h"

namespace nexoral {

// Writes the worker's NUL-terminated text to the log as it stands; null is ignored.
void WorkerLog(const char* text);

// Sends *bytes bytes of buffer to the client through the context's server context. FALSE
// without a server context, a count or (for a non-zero count) a buffer, or when the write fails.
BOOL WorkerWriteClient(CDLLContext* context, const void* buffer, DWORD* bytes);

// Merges the worker's list into the request's instruction list: 0, or 13 without a server
// context, filter context, worker list or request list (8 when memory ran short).
DWORD WorkerSubmitBufferCommands(CDLLContext* context, CBufferInstructionList* instructions);

// The user's custom properties. An empty user name is not an error: true, nothing touched.
bool WorkerGetProperty(CDLLContext* context, int32_t propertyId, bool refresh);
bool WorkerSetProperty(CDLLContext* context, int32_t propertyId);
bool WorkerRefreshProperty(CDLLContext* context, int32_t propertyId);

// Fills context->SessionId when it is empty: the "UserContext" cookie, else the "sessionid"
// cookie, else the request's user name, else LOGON_USER, AUTH_USER or REMOTE_USER. True when
// the session id is not empty afterwards.
bool GetSessionID(CDLLContext* context);

// The mailbox service URL for the request: core item 38, or else the request's internal URL
// followed by "/EWS/exchange.asmx"; empty when neither is known.
std::string EwsUrlOf(const CDLLContext& context);

// A new table with WorkerLog set and every other entry null; a null handle when memory is short.
CRefHandle<CFilterCallbackPrototypes> CreateCallbackTable();

// Sets the entries that a worker may call for the given notification. The table is shared by
// the request's workers, so a setting stays until a later notification changes it.
void PrepareCallbackTable(DWORD notificationType, CFilterCallbackPrototypes& table);

}  // namespace nexoral

#endif  // NEXORAL_HOST_WORKER_CALLBACKS_H
