// The answers a worker leaves in CDLLContext::ControlStatus before returning from its
// HttpFilterProc. The module reads it after every call; it persists for the rest of the request.
#ifndef NEXORAL_CONTROL_STATUS_H
#define NEXORAL_CONTROL_STATUS_H

#include <cstdint>

enum ControlStatusValue : uint32_t {
  // Nothing special: the next worker is called.
  CONTROL_NONE = 0,
  // This worker is done with the request: it is not called again, except at
  // SF_NOTIFY_END_OF_REQUEST; the other workers go on.
  IGNORE_REQUEST = 1,
  // This worker took the request over (a redirection, say): no further worker is called for
  // the request; every worker still sees SF_NOTIFY_END_OF_REQUEST.
  REDIRECTED_REQUEST = 2,
  // Send ReplaceBuffer (ReplaceLength bytes) to the client instead of the normal answer and
  // finish the request. During SF_NOTIFY_SEND_RAW_DATA the module hands the bytes to the server
  // as the response block instead of writing them. The buffer stays the worker's: keep it valid
  // until the request ends; the module never frees it.
  REPLACE_BUFFER = 3,
  // The worker answered the request itself (through WorkerWriteClient): finish it.
  COMPLETED_REQUEST = 4,
};

#endif  // NEXORAL_CONTROL_STATUS_H
