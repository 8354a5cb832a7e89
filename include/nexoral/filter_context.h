// CFilterContext: the module's record of one request, stored in the connection's
// pFilterContext from the request's SF_NOTIFY_PREPROC_HEADERS until its end. It owns the
// request's CDLLContexts and shares the request's records with them. Workers may read it
// through CDLLContext::FilterContext; only the module writes it.
#ifndef NEXORAL_FILTER_CONTEXT_H
#define NEXORAL_FILTER_CONTEXT_H

#include <cstdint>
#include <string>
#include <vector>

#include "nexoral/buffer_instruction.h"
#include "nexoral/common_pointers.h"
#include "nexoral/dll_context.h"
#include "nexoral/exchange_urls.h"
#include "nexoral/outbound_context.h"
#include "nexoral/ref_handle.h"
#include "nexoral/request_info.h"

// Members are declared so that destruction releases, in this order: the strings, the landmarks,
// the instruction list, the outbound context, the URLs, the request information and last the
// CDLLContexts, whose own handles keep shared records alive while a worker still holds them.
class CFilterContext {
 public:
  CFilterContext() = default;
  CFilterContext(const CFilterContext&) = delete;
  CFilterContext& operator=(const CFilterContext&) = delete;

  bool Finished = false;   // a worker answered the request; notifications end FINISHED_KEEP_CONN
  bool Stop = false;       // no worker is called again for this request (except at its end)
  int32_t CriteriaId = -1; // the request's policy id, -1 until the user has been matched
  std::vector<CRefHandle<CDLLContext>> DLLContexts;  // one per subscribed worker, list order
  CRefHandle<CRequestInfo> RequestInfo;
  CRefHandle<ExchangeURLs> ExchangeUrls;
  CRefHandle<COutboundContext> Outbound;              // from SF_NOTIFY_SEND_RESPONSE on
  CRefHandle<CBufferInstructionList> Instructions;    // once the whole response is held
  CRefHandle<CCommonPointers> CommonPointers;         // once the whole response is held
  HANDLE UserToken = nullptr;           // the authenticated user's token; the server's, never closed
  HANDLE ImpersonationToken = nullptr;  // the module's duplicate of UserToken
  bool Proxied = false;                 // the request came through another front-end server
  std::string UserName;                 // the authenticated user's name
  std::string UserSid;                  // the user's security identifier, text form

  // The CDLLContext of the given worker, or a null handle when the worker takes no part.
  CRefHandle<CDLLContext> GetDLLContext(uint32_t workerId) const {
    for (const CRefHandle<CDLLContext>& context : DLLContexts) {
      if (context && context->WorkerId == workerId) return context;
    }
    return CRefHandle<CDLLContext>();
  }
};

#endif  // NEXORAL_FILTER_CONTEXT_H
