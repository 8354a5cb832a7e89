// CFilterCallbackPrototypes: the module's services for a worker, one table per request, shared
// by all of the request's CDLLContexts and reached through CDLLContext::Callbacks.
// Entries are filled per notification; a worker must test an entry for null before calling it.
// Callbacks run on the thread of the worker's HttpFilterProc call and must not be kept beyond it.
#ifndef NEXORAL_CALLBACK_TABLE_H
#define NEXORAL_CALLBACK_TABLE_H

#include <cstdint>

#include "nexoral/win_types.h"

class CDLLContext;
class CBufferInstructionList;

// Merges the worker's instructions into the request's list. 0, or 13 (ERROR_INVALID_DATA) when
// there is no list to merge into. The module keeps references to the worker's instructions.
typedef DWORD (*PFN_WorkerSubmitBufferCommands)(CDLLContext* context,
                                                CBufferInstructionList* instructions);
// Writes a NUL-terminated line to the module's log.
typedef void (*PFN_WorkerLog)(const char* text);
// Fills context->PropertyList with the user's custom properties; propertyId is the one asked
// for; refresh first forgets the cached value.
typedef bool (*PFN_WorkerGetProperty)(CDLLContext* context, int32_t propertyId, bool refresh);
// Stores the properties of context->PropertyList.
typedef bool (*PFN_WorkerSetProperty)(CDLLContext* context, int32_t propertyId);
// Forgets the cached value of one property, so that the next read fetches it again.
typedef bool (*PFN_WorkerRefreshProperty)(CDLLContext* context, int32_t propertyId);
// Sends *bytes bytes to the client now.
typedef BOOL (*PFN_WorkerWriteClient)(CDLLContext* context, const void* buffer, DWORD* bytes);

class CFilterCallbackPrototypes {
 public:
  virtual ~CFilterCallbackPrototypes() = default;

  void* Reserved1 = nullptr;  // entry 1: always null
  // From SF_NOTIFY_AUTH_COMPLETE on.
  PFN_WorkerSubmitBufferCommands WorkerSubmitBufferCommands = nullptr;
  // Always set.
  PFN_WorkerLog WorkerLog = nullptr;
  void* Reserved4 = nullptr;  // entry 4: always null
  // From SF_NOTIFY_AUTH_COMPLETE on.
  PFN_WorkerGetProperty WorkerGetProperty = nullptr;
  PFN_WorkerSetProperty WorkerSetProperty = nullptr;
  PFN_WorkerRefreshProperty WorkerRefreshProperty = nullptr;
  // From SF_NOTIFY_AUTH_COMPLETE on, null again during SF_NOTIFY_SEND_RAW_DATA.
  PFN_WorkerWriteClient WorkerWriteClient = nullptr;
};

#endif  // NEXORAL_CALLBACK_TABLE_H
