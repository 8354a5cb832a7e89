// BuildBlock: turns the whole, decoded response held in the request's outbound context into
// the response the client gets: the workers' buffer instructions applied in one forward pass,
// the "Content-Length:" line replaced by one stating the new body length, a
// "Transfer-Encoding: chunked" line removed. One allocation of the exact result size. On any
// inconsistency the old buffer stays; the announced length always equals the body that follows.
#ifndef NEXORAL_NOTIFICATIONS_BUILD_BLOCK_H
#define NEXORAL_NOTIFICATIONS_BUILD_BLOCK_H

#include "nexoral/buffer_instruction.h"
#include "nexoral/common_pointers.h"
#include "nexoral/filter_context.h"
#include "nexoral/filter_interface.h"
#include "nexoral/outbound_context.h"

namespace nexoral {

// 0; 13 (ERROR_INVALID_DATA) for missing inputs and boundary failures; 14 (ERROR_OUTOFMEMORY)
// when the new buffer cannot be made.
DWORD BuildBlock(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc);

// The rebuilding itself, over outbound's buffer with instructions (positions inside that
// buffer); landmarks, found over that buffer, are cleared once it is replaced; context (may be null) names the request in failure reports.
// The instructions list gets the header edits added.
DWORD RebuildResponse(COutboundContext& outbound, CBufferInstructionList& instructions,
                      CCommonPointers& landmarks, const CFilterContext* context);

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_BUILD_BLOCK_H
