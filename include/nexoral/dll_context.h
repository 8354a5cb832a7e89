// CDLLContext: what a worker receives in every HttpFilterProc call of a request: the current
// notification, the request's shared records, the callbacks, and the fields through which the
// worker answers. One per worker taking part in a request; created and destroyed by the module.
// A worker reads and writes it in place, on the calling thread, during its call only.
#ifndef NEXORAL_DLL_CONTEXT_H
#define NEXORAL_DLL_CONTEXT_H

#include <cstdint>
#include <string>

#include "nexoral/callback_table.h"
#include "nexoral/control_status.h"
#include "nexoral/custom_property.h"
#include "nexoral/exchange_urls.h"
#include "nexoral/filter_interface.h"
#include "nexoral/outbound_context.h"
#include "nexoral/ref_handle.h"
#include "nexoral/request_info.h"

class CFilterContext;

class CDLLContext {
 public:
  CDLLContext() = default;
  CDLLContext(const CDLLContext&) = delete;
  CDLLContext& operator=(const CDLLContext&) = delete;
  // Never frees ReplaceBuffer: that memory is the worker's.
  virtual ~CDLLContext() = default;

  // ---- Set by the module before each call ----
  uint32_t NotificationType = 0;  // SF_NOTIFY_* of the current call
  std::string Reserved1;          // empty; free for workers
  // Filled by WorkerGetProperty, read by WorkerSetProperty.
  CustomPropertyList PropertyList;

  // ---- Set by the worker ----
  uint32_t Feature = 0;           // the worker's own code for what it did; logged
  uint64_t Reserved2 = 0;         // zero; free for workers
  uint32_t ControlStatus = CONTROL_NONE;  // a ControlStatusValue
  uint32_t ReplaceLength = 0;     // bytes at ReplaceBuffer
  void* ReplaceBuffer = nullptr;  // bytes to send for REPLACE_BUFFER; owned by the worker

  // ---- The request's shared records ----
  CRefHandle<CFilterCallbackPrototypes> Callbacks;  // the request's callback table
  CRefHandle<COutboundContext> Outbound;  // set for SEND_RESPONSE and SEND_RAW_DATA calls
  CRefHandle<CRequestInfo> RequestInfo;   // the request's captured variables
  CRefHandle<ExchangeURLs> ExchangeUrls;  // the request's front-end URLs
  HTTP_FILTER_CONTEXT* pfc = nullptr;     // the server context of the current call
  void* NotificationData = nullptr;       // the notification record of the current call
  CFilterContext* FilterContext = nullptr;  // the module's record of the request

  // ---- Identity of this participation ----
  uint32_t WorkerId = 0;       // the worker's id in the core settings file
  int32_t CriteriaId = -1;     // the request's policy id, -1 until the user has been matched
  int32_t Reserved3 = -1;      // -1; free for workers
  int32_t MatchedBy = -1;      // code of the subscription rule that matched the URL
  std::string SessionId;       // the user's session, filled by the first property callback
};

#endif  // NEXORAL_DLL_CONTEXT_H
