// CCommonPointers: the landmarks of one assembled response (status line, headers, HTML head and
// body) as addresses inside the response buffer. Filled by the module once the whole response is
// held; a worker reads it through COutboundContext::CommonPointers to place its instructions.
// Every pointer is null or inside COutboundContext::pszBigBuffer; every size is a byte count.
#ifndef NEXORAL_COMMON_POINTERS_H
#define NEXORAL_COMMON_POINTERS_H

#include <cstdint>

class CCommonPointers {
 public:
  virtual ~CCommonPointers() = default;

  char* HeaderStart = nullptr;         // first byte of the buffer (the status line)
  char* BufferLast = nullptr;          // last byte of the buffer
  char* HeaderFieldsStart = nullptr;   // first byte after the status line and its line break
  char* HeaderEnd = nullptr;           // first body byte, after the blank line
  uint32_t HeaderFieldsSize = 0;       // HeaderEnd - HeaderFieldsStart
  char* ContentLengthStart = nullptr;  // start of the "Content-Length:" line
  char* ContentLengthEnd = nullptr;    // first byte after that line's "\r\n"
  uint32_t ContentLengthSize = 0;      // that line's length including "\r\n"
  char* MetaStart = nullptr;           // a "<META" tag
  char* MetaEnd = nullptr;             // the ">" closing it
  uint32_t MetaSize = 0;
  char* OwaPageStart = nullptr;        // the "<!-- OwaPage " comment
  char* OwaPageEnd = nullptr;          // first byte after its ">"
  uint32_t OwaPageSize = 0;
  char* HtmlStart = nullptr;           // the first "<HTML" of the body
  char* HeadStart = nullptr;           // the first "<HEAD" after it
  char* HeadEnd = nullptr;             // the first "</HEAD>" after that
  uint32_t HeadSize = 0;
  char* BodyStart = nullptr;           // the first "<BODY" after HeadEnd
  char* BodyOnload = nullptr;          // "onload" inside the body tag
  char* BodyEnd = nullptr;             // the first "</BODY>" after BodyStart
  uint32_t BodySize = 0;
  char* HeadEndMark = nullptr;         // copy of HeadEnd once "</HEAD>" was found
  char* BodyStartMark = nullptr;       // copy of BodyStart once "</BODY>" was found
};

#endif  // NEXORAL_COMMON_POINTERS_H
