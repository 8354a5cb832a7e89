// CCommonPointers: the landmarks of one assembled response (status line, headers, HTML head and
// body) as addresses inside the response buffer. The module fills it once the whole response is
// held; a worker reads it through COutboundContext::CommonPointers to place its instructions:
//
//   const CCommonPointers* marks = context->Outbound->CommonPointers.get();
//   if (marks != nullptr && marks->BodyEnd != nullptr) {
//     // insert before "</BODY>": Position = marks->BodyEnd
//   }
//
// Every pointer is null or inside the buffer it was filled over (COutboundContext::pszBigBuffer);
// every size is a byte count. GetCommonPointers never reads outside [buffer, buffer + length)
// and stops at a NUL byte. Header-only, so that a worker may run it over a buffer of its own.
#ifndef NEXORAL_COMMON_POINTERS_H
#define NEXORAL_COMMON_POINTERS_H

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

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

  // Fills the landmarks over the buffer. 1 when the header block and an "<HTML" tag were
  // found, else 0; a null buffer or a length of 0 changes nothing. Fields of steps not reached
  // keep their values. unused: callers pass 1. log, when given, takes the messages about
  // missing landmarks.
  int GetCommonPointers(char* buffer, uint32_t length, int unused = 1,
                        void (*log)(const char* text) = nullptr) {
    (void)unused;
    log_ = log;
    if (buffer == nullptr || length == 0) return 0;
    char* const last = buffer + length - 1;
    char* html = nullptr;  // the first "<HTML" after the header block
    HeaderStart = HeaderFieldsStart = buffer;
    BufferLast = last;
    if (length > 4 && StartsWith(buffer, last, "HTTP")) {
      char* at = buffer;
      while (at < last && *at != '\r' && *at != '\0') ++at;
      while (at <= last && (*at == '\r' || *at == '\n')) ++at;
      HeaderFieldsStart = at;
    }
    if (char* blank = Find(HeaderStart, last, "\r\n\r\n")) {
      char* end = blank + 4;
      HeaderFieldsSize = end > HeaderFieldsStart ? static_cast<uint32_t>(end - HeaderFieldsStart) : 0;
      HeaderEnd = end;
      if (end > last) {
        Say("GetCommonPointers - Headers out of boundary");
        HeaderFieldsStart = nullptr;
        HeaderFieldsSize = 0;
        HeaderEnd = nullptr;
      } else {
        // Only a tag before "<HTML" could ever be kept (see FindMeta), so the page is not
        // searched past it.
        html = Find(end, last, "<HTML");
        MetaStart = Find(end, html != nullptr ? html + 4 : last, "<META");
      }
    } else {
      HeaderFieldsStart = nullptr;
      HeaderFieldsSize = 0;
      MetaStart = Find(HeaderStart, last, "<META");
    }
    if (HeaderFieldsStart != nullptr) {
      ContentLengthStart = FindWithin(HeaderFieldsStart, HeaderFieldsSize, last, "Content-Length:");
      if (ContentLengthStart != nullptr) {
        if (char* lineEnd = Find(ContentLengthStart, last, "\r\n")) {
          ContentLengthEnd = lineEnd + 2;
          ContentLengthSize = static_cast<uint32_t>(ContentLengthEnd - ContentLengthStart);
        } else {
          ContentLengthStart = nullptr;
          ContentLengthSize = 0;
        }
      }
    }
    if (HeaderEnd == nullptr || HeaderEnd <= HeaderStart || HeaderEnd >= last) {
      Say("GetCommonPointer found a wrong end header");
      return 0;
    }
    HtmlStart = html;
    if (HtmlStart == nullptr || HtmlStart <= HeaderStart || HtmlStart >= last) return 0;
    FindMeta(last);
    FindOwaPage(last);
    HeadStart = Find(HtmlStart, last, "<HEAD");
    if (HeadStart != nullptr) {
      HeadEnd = Find(HeadStart, last, "</HEAD>");
      if (HeadEnd != nullptr) {
        HeadEndMark = HeadEnd;
        HeadSize = static_cast<uint32_t>(HeadEnd - HeadStart);
      } else {
        HeadStart = nullptr;
        HeadSize = 0;
      }
    }
    if (HeadEnd == nullptr) return 1;
    BodyStart = Find(HeadEnd, last, "<BODY");
    if (BodyStart == nullptr) return 1;
    BodyEnd = Find(BodyStart, last, "</BODY>");
    if (BodyEnd == nullptr) {
      BodyStart = nullptr;
      BodySize = 0;
      return 1;
    }
    BodyStartMark = BodyStart;
    BodySize = static_cast<uint32_t>(BodyEnd - BodyStart);
    if (char* tagEnd = Find(BodyStart, last, ">")) {
      BodyOnload = FindWithin(BodyStart, static_cast<uint32_t>(tagEnd - BodyStart), last, "onload");
    }
    return 1;
  }

  // The search helpers: case-insensitive for a to z, stopping at a NUL byte and at limit (the
  // last byte that may be read).
  //
  // The first place from start on where needle matches in full, its last byte at or before
  // limit; null when there is none. Sixteen places are tested at once for the needle's first
  // two bytes (and for a NUL); only those candidates are compared in full.
  static char* Find(char* start, const char* limit, const char* needle) {
    if (start == nullptr || limit == nullptr || needle == nullptr || *needle == '\0') return nullptr;
    char* at = start;
#if defined(__SSE2__)
    at = SkipByBlocks(start, limit, needle);
    if (at == nullptr) return nullptr;
#endif
    for (; at <= limit && *at != '\0'; ++at) {
      if (MatchesAt(at, limit, needle)) return at;
    }
    return nullptr;
  }
  // The first place within the count bytes from start where the whole needle fits and matches;
  // never past limit.
  static char* FindWithin(char* start, uint32_t count, const char* limit, const char* needle) {
    if (start == nullptr || count == 0) return nullptr;
    const char* end = start + count - 1;  // last byte of the range
    if (end > limit) end = limit;
    return Find(start, end, needle);
  }

 private:
  static char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
  static bool MatchesAt(const char* at, const char* limit, const char* needle) {
    for (; *needle != '\0'; ++at, ++needle) {
      if (at > limit || *at == '\0' || Upper(*at) != Upper(*needle)) return false;
    }
    return true;
  }
#if defined(__SSE2__)
  // Walks blocks of 32 bytes (AVX2, where the processor has it) or 16 while all the bytes
  // tested fit before limit. Gives the match, or null once a NUL or no match is certain, or the
  // place from which the bytewise search goes on. Places are candidates when the needle's
  // first, second and last bytes agree (the last keeps a frequent pair such as "</" from
  // stopping the walk at every closing tag).
  static char* SkipByBlocks(char* start, const char* limit, const char* needle) {
    static const bool wide = __builtin_cpu_supports("avx2");
    return wide ? SkipByWideBlocks(start, limit, needle) : SkipByNarrowBlocks(start, limit, needle);
  }
  struct Probe {  // the needle's tested bytes: offsets, folding and wanted values
    size_t second = 0, last = 0;
    char want[3] = {}, fold[3] = {};
    explicit Probe(const char* needle) {
      size_t size = 0;
      while (needle[size] != '\0') ++size;
      second = size < 2 ? 0 : 1;
      last = size - 1;
      const char bytes[3] = {needle[0], needle[second], needle[last]};
      for (int i = 0; i < 3; ++i) {
        want[i] = Folded(bytes[i]);
        fold[i] = IsLetter(bytes[i]) ? 0x20 : 0;
      }
    }
  };
  // Tries the candidates of one block whose bits are set in found.
  static bool TryCandidates(char* at, unsigned found, const char* limit, const char* needle,
                            char*& result) {
    for (; found != 0; found &= found - 1) {
      char* const place = at + __builtin_ctz(found);
      if (*place == '\0' || MatchesAt(place, limit, needle)) {
        result = *place == '\0' ? nullptr : place;
        return true;
      }
    }
    return false;
  }
  static char* SkipByNarrowBlocks(char* start, const char* limit, const char* needle) {
    const Probe probe(needle);
    const __m128i want0 = _mm_set1_epi8(probe.want[0]), fold0 = _mm_set1_epi8(probe.fold[0]);
    const __m128i want1 = _mm_set1_epi8(probe.want[1]), fold1 = _mm_set1_epi8(probe.fold[1]);
    const __m128i want2 = _mm_set1_epi8(probe.want[2]), fold2 = _mm_set1_epi8(probe.fold[2]);
    const __m128i zero = _mm_setzero_si128();
    char* at = start;
    while (at <= limit && static_cast<size_t>(limit - at) >= 15 + probe.last) {
      const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + probe.second));
      const __m128i end = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + probe.last));
      const __m128i hits = _mm_and_si128(
          _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(here, fold0), want0),
                        _mm_cmpeq_epi8(_mm_or_si128(next, fold1), want1)),
          _mm_cmpeq_epi8(_mm_or_si128(end, fold2), want2));
      const unsigned found = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_or_si128(hits, _mm_cmpeq_epi8(here, zero))));
      char* result = nullptr;
      if (found != 0 && TryCandidates(at, found, limit, needle, result)) return result;
      at += 16;
    }
    return at;
  }
  __attribute__((target("avx2"))) static char* SkipByWideBlocks(char* start, const char* limit,
                                                                 const char* needle) {
    const Probe probe(needle);
    const __m256i want0 = _mm256_set1_epi8(probe.want[0]), fold0 = _mm256_set1_epi8(probe.fold[0]);
    const __m256i want1 = _mm256_set1_epi8(probe.want[1]), fold1 = _mm256_set1_epi8(probe.fold[1]);
    const __m256i want2 = _mm256_set1_epi8(probe.want[2]), fold2 = _mm256_set1_epi8(probe.fold[2]);
    const __m256i zero = _mm256_setzero_si256();
    char* at = start;
    while (at <= limit && static_cast<size_t>(limit - at) >= 31 + probe.last) {
      const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
      const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + probe.second));
      const __m256i end = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + probe.last));
      const __m256i hits = _mm256_and_si256(
          _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(here, fold0), want0),
                           _mm256_cmpeq_epi8(_mm256_or_si256(next, fold1), want1)),
          _mm256_cmpeq_epi8(_mm256_or_si256(end, fold2), want2));
      const unsigned found = static_cast<unsigned>(
          _mm256_movemask_epi8(_mm256_or_si256(hits, _mm256_cmpeq_epi8(here, zero))));
      char* result = nullptr;
      if (found != 0 && TryCandidates(at, found, limit, needle, result)) return result;
      at += 32;
    }
    return SkipByNarrowBlocks(at, limit, needle);
  }
  static char Folded(char c) { return IsLetter(c) ? static_cast<char>(c | 0x20) : c; }
  static bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
#endif
  static bool StartsWith(const char* at, const char* limit, const char* prefix) {
    return MatchesAt(at, limit, prefix);
  }
  void Say(const char* text) const {
    if (log_ != nullptr) log_(text);
  }

  void (*log_)(const char* text) = nullptr;  // during GetCommonPointers

  // A "<META" tag is looked for backwards from "<HTML" down to the body start, and taken only
  // when it lies after "<HTML", which such a search cannot find: once "<HTML" is known, the
  // landmark is always cleared, and the message says a tag before "<HTML" was seen. (No
  // rewriting step reads it.)
  void FindMeta(const char*) {
    if (MetaStart == nullptr) return;
    Say("GetCommonPointer didn't find <META");
    MetaStart = nullptr;
    MetaSize = 0;
    MetaEnd = nullptr;
  }

  void FindOwaPage(const char* last) {
    OwaPageStart = Find(HeaderEnd, last, "<!-- OwaPage ");
    if (OwaPageStart == nullptr) return;
    char* close = Find(OwaPageStart, last, ">");
    if (close == nullptr) {
      OwaPageStart = nullptr;
      OwaPageSize = 0;
    } else if (close >= last) {
      Say("GetCommonPointer found invalid end of <!-- OwaPage, page is ignored");
      OwaPageEnd = nullptr;
      OwaPageStart = nullptr;
      OwaPageSize = 0;
    } else {
      OwaPageEnd = close + 1;
      OwaPageSize = static_cast<uint32_t>(OwaPageEnd - OwaPageStart);
    }
  }
};

#endif  // NEXORAL_COMMON_POINTERS_H
