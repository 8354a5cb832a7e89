// Creation and release of a request's context tree: the end of a request, the end of a
// connection, and a context left behind by a connection's earlier request. Runs on the
// request's thread. Live contexts are counted, so that shutdown can tell whether any request's
// state was left behind.
#ifndef NEXORAL_HOST_REQUEST_CONTEXT_H
#define NEXORAL_HOST_REQUEST_CONTEXT_H

#include <cstdint>

#include "nexoral/filter_context.h"
#include "nexoral/filter_interface.h"

namespace nexoral {

// A new, empty request context; null when memory is short.
CFilterContext* NewFilterContext();
// Destroys a context made by NewFilterContext (null is ignored), closing its impersonation
// token first: every way a context goes passes here.
void DeleteFilterContext(CFilterContext* context);
// Closes the context's impersonation token, if it has one, and clears it. For a context that
// outlives its request; DeleteFilterContext calls it.
void CloseImpersonationToken(CFilterContext& context);
// Contexts made and not yet destroyed, in this process.
int64_t LiveFilterContexts();

enum class InstructionList { kClear, kKeepEntries };

// Lets go of the records that only the workers needed: instruction list (emptied first unless
// told otherwise), landmarks, request information, URLs and every CDLLContext. Records a
// worker still holds live on until its own handle goes.
void ReleaseWorkerRecords(CFilterContext& context,
                          InstructionList instructions = InstructionList::kClear);

// Destroys the context stored in the server context and clears pFilterContext.
void DestroyFilterContext(HTTP_FILTER_CONTEXT* pfc);

}  // namespace nexoral

#endif  // NEXORAL_HOST_REQUEST_CONTEXT_H
