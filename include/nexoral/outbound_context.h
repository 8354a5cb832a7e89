// COutboundContext: the state of one response on its way to the client: the accumulated
// response bytes, what its headers said, and its landmarks. Created by the module at
// SF_NOTIFY_SEND_RESPONSE; a worker reads it through CDLLContext::Outbound during
// SF_NOTIFY_SEND_RESPONSE and SF_NOTIFY_SEND_RAW_DATA.
#ifndef NEXORAL_OUTBOUND_CONTEXT_H
#define NEXORAL_OUTBOUND_CONTEXT_H

#include <cstdint>

#include "nexoral/common_pointers.h"
#include "nexoral/ref_handle.h"

class COutboundContext {
 public:
  COutboundContext() = default;
  COutboundContext(const COutboundContext&) = delete;
  COutboundContext& operator=(const COutboundContext&) = delete;
  virtual ~COutboundContext() { delete[] pszBigBuffer; }

  uint32_t BufferSize = 0;            // bytes held in pszBigBuffer
  uint32_t RawStatus = 0;             // status code parsed from the accumulated status line
  char* pszBigBuffer = nullptr;       // the response bytes collected so far (module's; new[])
  uint32_t ZeroLength = 0;            // the response announced no body
  uint32_t Chunked = 0;               // the response uses chunked transfer encoding
  uint32_t RawContentLength = 0;      // body length found while accumulating
  int32_t ResponseContentLength = 0;  // the "Content-Length:" the headers announced
  uint32_t HeaderSize = 0;            // bytes of status line and headers
  uint32_t HttpStatus = 0;            // the response's status code
  CRefHandle<CCommonPointers> CommonPointers;  // the landmarks of pszBigBuffer
  uint32_t HeadersComplete = 0;       // the header block has been seen whole
  uint32_t AlreadySent = 0;           // the rebuilt response has been handed to the server

  // The module's bookkeeping, so that accumulating costs time in proportion to the response:
  uint32_t BufferCapacity = 0;        // bytes pszBigBuffer can hold (one more for the NUL)
  uint32_t HeaderScanned = 0;         // bytes already searched for the header block's end
  uint32_t LinesScanned = 0;          // bytes of whole head lines already searched for a length
  uint32_t ChunkScanned = 0;          // offset of the first chunk not yet verified (0: none)
};

#endif  // NEXORAL_OUTBOUND_CONTEXT_H
