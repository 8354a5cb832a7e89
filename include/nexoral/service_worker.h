// The service-worker contract: how a worker module plugs into the Nexoral filter module.
// Include this header (it brings in every record a worker sees) and link libnexoral_runtime.
//
// A worker author's guide
// -----------------------
// A service worker is a shared object that exports the three filter entry points with C linkage
// (GetFilterVersion, HttpFilterProc, TerminateFilter; see filter_interface.h). An administrator
// lists it in the core settings file with an id, a load value, an order and the application
// pools it serves; the module loads it once at start-up and keeps it loaded until it unloads.
//
//  * GetFilterVersion(HTTP_FILTER_VERSION* v): called once, with every field of *v zero. Set
//    v->dwFlags to the SF_NOTIFY_* notifications you want and return TRUE to take part. FALSE
//    leaves the worker loaded but never called (lpszFilterDesc and dwFilterVersion are logged).
//
//  * HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD, void*): called for every notification you
//    asked for, of every request whose URL you are subscribed to. The first argument is not a
//    server context: it is your CDLLContext for the request (use NexoralWorkerContext below);
//    the second is 0 and the third null. Read the notification from the context
//    (NotificationType, pfc, NotificationData, RequestInfo, ExchangeUrls, CriteriaId); act
//    through the server context in context->pfc and the callbacks in context->Callbacks; answer
//    by setting ControlStatus (control_status.h), Feature and, for REPLACE_BUFFER,
//    ReplaceBuffer/ReplaceLength before you return. Return an SF_STATUS_* value: the module hands
//    it to the server when you are the last worker called for the notification.
//    Calls for one request never overlap, but different requests arrive on many threads at once:
//    keep per-request state in the context, and lock whatever you share between requests.
//    An exception leaving HttpFilterProc is caught and logged by the module, and your worker is
//    set to IGNORE_REQUEST for the rest of that request.
//
//  * TerminateFilter(DWORD flags): called once at shutdown, in list order, if your
//    GetFilterVersion returned TRUE. Release everything you hold (including copied handles).
//
// Memory: records reached through the context belong to the module; copy a CRefHandle to keep
// one alive beyond a call. Buffers you hand over (ReplaceBuffer, instruction texts you do not
// mark as owned) stay yours and must outlive the request.
#ifndef NEXORAL_SERVICE_WORKER_H
#define NEXORAL_SERVICE_WORKER_H

#include "nexoral/buffer_instruction.h"
#include "nexoral/callback_table.h"
#include "nexoral/common_pointers.h"
#include "nexoral/control_status.h"
#include "nexoral/custom_property.h"
#include "nexoral/dll_context.h"
#include "nexoral/exchange_urls.h"
#include "nexoral/filter_context.h"
#include "nexoral/filter_interface.h"
#include "nexoral/outbound_context.h"
#include "nexoral/ref_handle.h"
#include "nexoral/request_info.h"

// The worker's CDLLContext, passed in place of the server context to a worker's HttpFilterProc.
inline CDLLContext* NexoralWorkerContext(HTTP_FILTER_CONTEXT* firstArgument) {
  return reinterpret_cast<CDLLContext*>(firstArgument);
}

// How the module passes a CDLLContext as a worker's first argument.
inline HTTP_FILTER_CONTEXT* NexoralWorkerArgument(CDLLContext* context) {
  return reinterpret_cast<HTTP_FILTER_CONTEXT*>(context);
}

#endif  // NEXORAL_SERVICE_WORKER_H
