// Releasing a request's context tree: the end of a request, the end of a connection, and a
// context left behind by a connection's earlier request. Runs on the request's thread.
#ifndef NEXORAL_HOST_REQUEST_CONTEXT_H
#define NEXORAL_HOST_REQUEST_CONTEXT_H

#include "nexoral/filter_context.h"
#include "nexoral/filter_interface.h"

namespace nexoral {

// Empties the request's instruction list and lets go of the records that only the workers
// needed: instruction list, landmarks, request information, URLs and every CDLLContext.
// Records a worker still holds live on until its own handle goes.
void ReleaseWorkerRecords(CFilterContext& context);

// Destroys the context stored in the server context and clears pFilterContext.
void DestroyFilterContext(HTTP_FILTER_CONTEXT* pfc);

}  // namespace nexoral

#endif  // NEXORAL_HOST_REQUEST_CONTEXT_H
