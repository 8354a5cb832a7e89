// Holding back, gathering and handing over the raw blocks of a response.
#include "notifications/send_raw_data_notification.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <string_view>

#include "common/names.h"
#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "host/request_context.h"
#include "notifications/build_block.h"
#include "platform/ascii_text.h"
#include "platform/com_errors.h"
#include "platform/error_codes.h"
#include "platform/error_text.h"
#include "platform/os_version.h"
#include "platform/thread_token.h"
#include "settings/core_general_settings.h"
#include "settings/core_items.h"

namespace nexoral {
namespace {

constexpr uint32_t kInvalidStatus = 999;
constexpr uint32_t kContinueStatus = 100;
constexpr uint32_t kFirstAllocation = 16 * 1024;
constexpr uint32_t kMaxResponseBytes = std::numeric_limits<uint32_t>::max() - 1;

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The first place in [from, to) where needle matches, ignoring case for a to z; the search
// stops at a NUL byte. Null when there is none.
const char* FindText(const char* from, const char* to, std::string_view needle) {
  for (const char* at = from; at < to && *at != '\0'; ++at) {
    if (static_cast<size_t>(to - at) < needle.size()) return nullptr;
    size_t i = 0;
    while (i < needle.size() && at[i] != '\0' && Upper(at[i]) == Upper(needle[i])) ++i;
    if (i == needle.size()) return at;
  }
  return nullptr;
}

// The next CR from at on, before to; null at a NUL byte or the end.
const char* NextCarriageReturn(const char* at, const char* to) {
  while (at < to && *at != '\r' && *at != '\0') ++at;
  return (at < to && *at == '\r') ? at : nullptr;
}

HTTP_FILTER_RAW_DATA* RawRecord(void* notificationData) {
  return static_cast<HTTP_FILTER_RAW_DATA*>(notificationData);
}

void HoldBack(HTTP_FILTER_RAW_DATA& raw) {
  raw.pvInData = nullptr;
  raw.cbInData = raw.cbInBuffer = 0;
}

void HandOver(HTTP_FILTER_RAW_DATA& raw, void* data, uint32_t length) {
  raw.pvInData = data;
  raw.cbInData = raw.cbInBuffer = length;
}

uintptr_t Address(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

uint32_t HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
  return static_cast<uint32_t>(Upper(c) - 'A' + 10);
}

std::string RequestValue(const CFilterContext& context, const char* name) {
  std::string value;
  if (context.RequestInfo) context.RequestInfo->Lookup(name, value);
  return value;
}

}  // namespace

CSendRawDataNotification::CSendRawDataNotification(CServiceWorkers* serviceWorkers)
    : CBaseNotification(serviceWorkers, SF_NOTIFY_SEND_RAW_DATA) {}

void LogLandmarkMessage(const char* text) { Log("%s", text); }

// ---- Accumulation ----

bool CSendRawDataNotification::AppendBlock(COutboundContext& outbound, const char* data,
                                           uint32_t length) {
  Log("[AppendBlock] DataToAppendBuffer=%08lX(hex) dwAppendLength=%u(decimal)",
      static_cast<unsigned long>(Address(data)), length);
  if (data == nullptr || length == 0) return false;
  Log("[AppendBlock] parameters valid.  Continue.");
  if (length > kMaxResponseBytes - outbound.BufferSize) return false;
  const uint32_t size = outbound.BufferSize + length;
  if (outbound.pszBigBuffer == nullptr || size > outbound.BufferCapacity) {
    // Grows geometrically, so that a response of n bytes is copied O(n) times in all.
    uint64_t capacity = std::max<uint64_t>(kFirstAllocation, uint64_t{outbound.BufferCapacity} * 2);
    capacity = std::clamp<uint64_t>(capacity, size, kMaxResponseBytes);
    Log("[AppendBlock] Allocating new buffer of %u bytes.", static_cast<unsigned>(capacity + 1));
    char* grown = new (std::nothrow) char[capacity + 1];
    if (grown == nullptr) return false;
    if (outbound.BufferSize > 0) std::memcpy(grown, outbound.pszBigBuffer, outbound.BufferSize);
    if (outbound.pszBigBuffer != nullptr) {
      Log("[AppendBlock] Allocated delete previous pszBigBuffer buffer %08lX",
          static_cast<unsigned long>(Address(outbound.pszBigBuffer)));
    }
    delete[] outbound.pszBigBuffer;
    outbound.pszBigBuffer = grown;
    outbound.BufferCapacity = static_cast<uint32_t>(capacity);
  }
  Log("[AppendBlock] Appending to allocated block %08lX from block %08lX. Buffer size is %u. "
      "Wrote %u bytes previously. Now writing %u bytes.",
      static_cast<unsigned long>(Address(outbound.pszBigBuffer)),
      static_cast<unsigned long>(Address(data)), size, outbound.BufferSize, length);
  std::memcpy(outbound.pszBigBuffer + outbound.BufferSize, data, length);
  outbound.BufferSize = size;
  outbound.pszBigBuffer[size] = '\0';
  Log("[AppendBlock] Ends.  Returning buffer %08lX.  rc=%d",
      static_cast<unsigned long>(Address(outbound.pszBigBuffer)), 1);
  return true;
}

uint32_t CSendRawDataNotification::GetRawStatus(const char* buffer, uint32_t size) {
  if (buffer == nullptr || size < 13) return kInvalidStatus;
  if (FindText(buffer, buffer + 7, "HTTP/1.") != buffer) return kInvalidStatus;
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!digit(buffer[7]) || buffer[8] != ' ' || !digit(buffer[9]) || !digit(buffer[10]) ||
      !digit(buffer[11])) {
    return kInvalidStatus;
  }
  return static_cast<uint32_t>((buffer[9] - '0') * 100 + (buffer[10] - '0') * 10 + (buffer[11] - '0'));
}

bool CSendRawDataNotification::GetRawContentLength(const char* buffer, uint32_t size,
                                                   uint32_t& value) {
  if (buffer == nullptr) return false;
  const char* end = buffer + size;
  const char* found = FindText(buffer, end, "\r\nContent-Length:");
  if (found == nullptr) return false;
  const char* at = found + std::strlen("\r\nContent-Length:");
  while (at < end && *at == ' ') ++at;
  uint64_t number = 0;
  for (; at < end && *at >= '0' && *at <= '9'; ++at) {
    number = std::min<uint64_t>(number * 10 + static_cast<uint64_t>(*at - '0'), UINT32_MAX);
  }
  value = static_cast<uint32_t>(number);
  return true;
}

namespace {

// The bytes up to and including the last "\r\n" of the buffer, looked for after from only;
// from when there is none there.
uint32_t CompleteLinesSize(const char* buffer, uint32_t size, uint32_t from) {
  for (uint32_t at = size; at >= 2 && at > from; --at) {
    if (buffer[at - 1] == '\n' && buffer[at - 2] == '\r') return at;
  }
  return from;
}

// A "Content-Length:" line among the whole head lines that came since the last block (a
// length cut by the block's end may have more digits to come).
bool FindLengthInNewLines(COutboundContext& outbound, uint32_t& value) {
  const uint32_t done = outbound.LinesScanned;
  const uint32_t lines = CompleteLinesSize(outbound.pszBigBuffer, outbound.BufferSize, done);
  if (lines == done) return false;
  outbound.LinesScanned = lines;
  const uint32_t from = done >= 2 ? done - 2 : 0;  // with the line break before the first new line
  return CSendRawDataNotification::GetRawContentLength(outbound.pszBigBuffer + from, lines - from, value);
}

}  // namespace

bool CSendRawDataNotification::CheckFullHeaders(COutboundContext& outbound, bool& letThrough) {
  if (outbound.HeadersComplete != 0) return true;  // read once, when the block was complete
  Log("[NotifySendRawData] Step2: Check for full headers pFltContext=<%p>",
      static_cast<void*>(&outbound));
  const char* buffer = outbound.pszBigBuffer;
  const char* end = buffer + outbound.BufferSize;
  // Only the bytes new since the last block are searched (with the three before them).
  const uint32_t from = outbound.HeaderScanned >= 3 ? outbound.HeaderScanned - 3 : 0;
  const char* blank = FindText(buffer + from, end, "\r\n\r\n");
  outbound.HeaderScanned = outbound.BufferSize;
  uint32_t rawLength = 0;
  bool lengthFound = false;
  if (blank != nullptr) {
    outbound.HeadersComplete = 1;
    outbound.HeaderSize = static_cast<uint32_t>(blank + 4 - buffer);
  } else if (FindLengthInNewLines(outbound, rawLength)) {
    lengthFound = true;
    if (rawLength == 0) {
      outbound.HeadersComplete = 1;
      outbound.HeaderSize = outbound.BufferSize;
      // The rest of the head is still to come: it passes as it comes, so the response is never
      // rebuilt around a head cut short. There is no body to rewrite.
      Log("[SF_NOTIFY_SENDRAWDATA] Content length is 0, nothing to modify");
      letThrough = true;
      return true;
    }
  }
  if (outbound.HeadersComplete == 0) {
    Log("[NotifySendRawData] Have not received full headers yet.");
    return true;
  }
  Log("[CSendRawDataNotification::CheckFullHeaders] SubStep1: now with full headers, get "
      "headers size.");
  Log("[NotifySendRawData] Headers size is %u bytes including terminating double crlf (if "
      "present)", outbound.HeaderSize);
  if (outbound.RawStatus == 0) outbound.RawStatus = GetRawStatus(buffer, outbound.BufferSize);
  Log("[NotifySendRawData] Raw http status is %u", outbound.RawStatus);
  if (outbound.RawStatus == kContinueStatus) letThrough = true;
  if (outbound.RawStatus == kInvalidStatus) {
    Log("[NotifySendRawData] Detected invalid http status.  Do not modify, let through.");
    letThrough = true;
    outbound.AlreadySent = 1;
  }
  if (letThrough) return true;
  // Only the header block: a "Content-Length:" in the body is text, not framing.
  if (!lengthFound) lengthFound = GetRawContentLength(buffer, outbound.HeaderSize, rawLength);
  Log("Raw content length  {-1 = Not Found} header: <%d>",
      lengthFound ? static_cast<int>(rawLength) : -1);
  if (!lengthFound) {
    Log("No ContentHeader in SendRawData CheckFullHeaders");
    // Without a length a body that is not chunked ends with the connection: where it ends
    // cannot be known here, so the response goes as it comes.
    if (outbound.Chunked == 0 && outbound.ResponseContentLength <= 0) letThrough = true;
    return true;
  }
  outbound.RawContentLength = rawLength;
  if (static_cast<int64_t>(rawLength) == outbound.ResponseContentLength) {
    Log("[SF_NOTIFY_SENDRAWDATA] Raw content length matches response header content length.  %u",
        rawLength);
  } else {
    Log("[SF_NOTIFY_SENDRAWDATA] Raw content length doesn't match sendresponse content length.  "
        "Raw=<%u> RspHdr=<%d>", rawLength, outbound.ResponseContentLength);
    outbound.ResponseContentLength =
        static_cast<int32_t>(std::min<uint32_t>(rawLength, std::numeric_limits<int32_t>::max()));
    if (rawLength == 0) {
      Log("[SF_NOTIFY_SENDRAWDATA] Content length is 0, nothing to modify");
      letThrough = true;
    }
  }
  return true;
}

DWORD CSendRawDataNotification::HexVerify(const char* line, const char* end, uint32_t& value) {
  uint32_t digits = 0;
  uint32_t number = 0;
  const char* at = line;
  while (digits < 4 && at < end && IsHex(*at)) {
    Log("[HexVerify] Index <%u> Character <%c>", digits, *at);
    number = number * 16 + HexValue(*at);
    ++digits;
    ++at;
  }
  Log("[HexVerify] Found %u hex digits", digits);
  const char next = at < end ? *at : '\0';
  if (digits == 0) {
    if (next == '\0') {
      Log("[HexVerify] Buffer is not complete on first character.");
      return kHexIncomplete;
    }
    Log("[HexVerify] Buffer is invalid.  First character is <%c>.  This is an error.", next);
    return kHexInvalid;
  }
  if (next == '\r') {
    value = number;
    Log("[HexVerify] String value is <%x>", number);
    return 0;
  }
  if (next == '\0') {
    Log("[HexVerify] Buffer is not complete.");
    return kHexIncomplete;
  }
  Log("[HexVerify] Buffer is invalid.  Current character is <%c>.  This is an error.", next);
  return kHexInvalid;
}

bool CSendRawDataNotification::VerifyCompleteChunk(COutboundContext& outbound, bool& complete) {
  complete = false;
  Log("[VerifyCompleteChunk] Begins pFltContext=<%p>", static_cast<void*>(&outbound));
  if (outbound.HeaderSize == 0) {
    Log("[VerifyCompleteChunk] Headers size is zero.");
    return false;
  }
  const char* buffer = outbound.pszBigBuffer;
  const char* end = buffer + outbound.BufferSize;
  if (outbound.BufferSize <= outbound.HeaderSize) {
    Log("[VerifyCompleteChunk] No data past headers yet");
    return true;
  }
  Log("[VerifyCompleteChunk] There is data past headers");
  // Chunks verified with earlier blocks are not looked at again.
  const char* line = buffer + std::max(outbound.HeaderSize, outbound.ChunkScanned);
  for (;;) {
    const char* cr = NextCarriageReturn(line, end);
    if (cr == nullptr) {
      Log("[VerifyCompleteChunk] Found end of buffer instead of carriage return.  May be normal.");
      break;
    }
    if (cr + 1 >= end || cr[1] == '\0') {
      Log("[VerifyCompleteChunk] End of buffer followed carriage return.  This may be normal.");
      break;
    }
    if (cr[1] != '\n') {
      Log("[VerifyCompleteChunk] Newline did not follow carriage return.  This is an error.");
      return false;
    }
    uint32_t size = 0;
    const DWORD hex = HexVerify(line, end, size);
    Log("[VerifyCompleteChunk] Result of verify hex was %u", hex);
    if (hex == kHexIncomplete) {
      Log("[VerifyCompleteChunk] Insufficient buffer.  This may be normal.");
      break;
    }
    if (hex != 0) return false;
    Log("[VerifyCompleteChunk] Chunk Number <%u>", size);
    const char* data = cr + 2;
    if (size == 0) {
      // The last chunk: complete with its final CRLF, after a trailer or without one.
      if (end - data < 2) {
        Log("[VerifyCompleteChunk] End of buffer followed carriage return.  May be normal.");
        break;
      }
      const bool bare = data[0] == '\r' && data[1] == '\n';
      if (!bare && FindText(cr, end, "\r\n\r\n") == nullptr) {
        Log("[VerifyCompleteChunk] Found end of buffer instead of carriage return.  May be normal.");
        break;
      }
      Log("[VerifyCompleteChunk] Chunk Number is 0, verified final data.");
      Log(bare ? "[VerifyCompleteChunk] No footer present." : "[VerifyCompleteChunk] Footer present: ");
      complete = UnChunkifyBlock(outbound);
      Log("[VerifyCompleteChunk] called unchunk, fComplete=<%d>", complete ? 1 : 0);
      break;
    }
    if (static_cast<size_t>(end - data) <= size + 1) {  // the chunk and its CRLF are not all here
      Log("[VerifyCompleteChunk] not enough data to continue to unchunk.  May be normal.");
      break;
    }
    Log("[VerifyCompleteChunk] still more data");
    const char* after = data + size;
    if (after[0] != '\r') {
      Log("[VerifyCompleteChunk] format error in data, not at CR");
      return false;
    }
    if (after[1] != '\n') {
      Log("[VerifyCompleteChunk] format error in data, not at LF");
      return false;
    }
    line = after + 2;
    outbound.ChunkScanned = static_cast<uint32_t>(line - buffer);
    Log("[VerifyCompleteChunk] Bottom of while, continue loop = <%d>", line < end ? 1 : 0);
    if (line >= end) {
      Log("[VerifyCompleteChunk] at end of existing data but need more data. May be normal.");
      break;
    }
  }
  Log("[VerifyCompleteChunk] Outside of while");
  Log("[VerifyCompleteChunk] Ends rc= %s complete=%s", "true", complete ? "true" : "false");
  return true;
}

bool CSendRawDataNotification::UnChunkifyBlock(COutboundContext& outbound) {
  Log("[UnChunkifyBlock] Begins");
  char* const buffer = outbound.pszBigBuffer;
  const char* end = buffer + outbound.BufferSize;
  const char* read = buffer + outbound.HeaderSize;
  char* write = buffer + outbound.HeaderSize;
  for (;;) {
    const char* cr = NextCarriageReturn(read, end);
    uint32_t size = 0;
    if (cr == nullptr || HexVerify(read, end, size) != 0) {
      Log("[UnChunkifyBlock] Parse Error reading Chunk number");
      return false;
    }
    Log("[UnChunkifyBlock] Chunk number value: <%u>", size);
    if (cr + 1 >= end || cr[1] != '\n') {
      Log(cr + 1 >= end ? "[UnChunkifyBlock] format error in data, not at CR"
                        : "[UnChunkifyBlock] format error in data, not at LF");
      return false;
    }
    const char* data = cr + 2;
    if (size == 0) {
      Log("[UnChunkifyBlock] Data is complete.");
      *write = '\0';
      outbound.BufferSize = static_cast<uint32_t>(write - buffer);
      Log("[UnChunkifyBlock] new length after unchunking is %u", outbound.BufferSize);
      Log("[UnChunkifyBlock] returning successful");
      return true;
    }
    Log("[UnChunkifyBlock] Chunk number not zero, see if we can skip");
    if (static_cast<size_t>(end - data) <= size + 1) {
      Log("[UnChunkifyBlock] buffer error, insufficient.");
      return false;
    }
    Log("[UnChunkifyBlock] Enough buffer to skip chunk.");
    std::memmove(write, data, size);
    write += size;
    const char* after = data + size;
    if (after[0] != '\r') {
      Log("[UnChunkifyBlock] format error in data, not at CR");
      return false;
    }
    if (after[1] != '\n') {
      Log("[UnChunkifyBlock] format error in data, not at LF");
      return false;
    }
    read = after + 2;
    Log("[UnChunkifyBlock] Bottom of while");
  }
}

bool CSendRawDataNotification::BodyFollows(const COutboundContext& outbound,
                                           std::string_view method) {
  const uint32_t status = outbound.RawStatus;
  if ((status >= 100 && status < 200) || status == 204 || status == 304) return false;
  return !platform::EqualsIgnoreCase(method, "HEAD");
}

bool CSendRawDataNotification::CheckBody(COutboundContext& outbound, bool& letThrough) {
  Log("[NotifySendRawData] Step3: Check for whole response. pFltContext=<%p>",
      static_cast<void*>(&outbound));
  if (outbound.HeadersComplete == 0) return false;
  if (outbound.Chunked == 0) {
    const uint64_t needed =
        uint64_t{outbound.HeaderSize} + static_cast<uint64_t>(std::max(outbound.ResponseContentLength, 0));
    if (outbound.BufferSize >= needed) {
      Log("[NotifySendRawData] Data is not chunked, buffer length %u meets content length %d so "
          "we have whole buffer Header size: %u, ",
          outbound.BufferSize, outbound.ResponseContentLength, outbound.HeaderSize);
      return true;
    }
    Log("[NotifySendRawData] Data is not chunked, but we haven't received enough data.");
    return false;
  }
  Log("[NotifySendRawData] Data is chunked, so verify whole chunk");
  bool complete = false;
  if (!VerifyCompleteChunk(outbound, complete)) {
    Log("[NotifySendRawData] Verify failed with format problem.  Just send the chunk that we have.");
    letThrough = true;
    outbound.AlreadySent = 1;
    return false;
  }
  return complete;
}

// ---- The notification ----

bool CSendRawDataNotification::PreProcessNotification(CFilterContext* context,
                                                      HTTP_FILTER_CONTEXT* pfc,
                                                      void* notificationData, DWORD& status) {
  const char* step = " base::PreProcessNotification ";
  try {
    if (context == nullptr || context->Finished || context->Stop ||
        (context->Proxied && GetCoreGeneralSettings()->AllWorkersIgnoreProxied())) {
      ReleaseEarly(context, pfc);
      return false;
    }
    if (!context->Outbound) {
      Log("[CSendRawDataNotification::PreProcessNotification] OutboundContext is NULL doesn't do "
          "any processing. ");
      return false;
    }
    HTTP_FILTER_RAW_DATA* raw = RawRecord(notificationData);
    if (raw == nullptr) return false;
    step = " GetHeaderValues ";
    Log("CSendRawDataNotification::PreProcessNotification URL=<%s> QueryString=<%s> "
        "User-Agent=<%s> pFltContext=<%p>",
        RequestValue(*context, names::kUrl).c_str(),
        RequestValue(*context, names::kQueryString).c_str(),
        RequestValue(*context, names::kHttpUserAgent).c_str(), static_cast<void*>(context));
    COutboundContext& outbound = *context->Outbound;
    if (outbound.AlreadySent != 0) {
      Log("[CSendRawDataNotification::PreProcessNotification] Already sent a buffer, need to pass "
          "remaining buffers through.");
      status = SF_STATUS_REQ_NEXT_NOTIFICATION;
      return false;
    }
    step = " AppendBlock ";
    Log("[NotifySendRawData] Step1: AppendBlock");
    if (!AppendBlock(outbound, static_cast<const char*>(raw->pvInData), raw->cbInData)) {
      Log("[NotifySendRawData] CRITICAL ERROR AppendBlock failed pFltContext=<%p>",
          static_cast<void*>(context));
      context->Stop = true;
      status = SF_STATUS_REQ_NEXT_NOTIFICATION;
      // What was held back goes out before this block, which passes as it is.
      if (outbound.BufferSize > 0 && pfc != nullptr && pfc->WriteClient != nullptr) {
        DWORD length = outbound.BufferSize;
        pfc->WriteClient(pfc, outbound.pszBigBuffer, &length, 0);
      }
      outbound.AlreadySent = 1;
      return false;
    }
    step = " CheckFullHeaders ";
    bool letThrough = false;
    CheckFullHeaders(outbound, letThrough);
    bool whole = false;
    if (!letThrough) {
      // A response that grows past the rewriting limit (a chunked one never announced its
      // length) goes as it comes.
      const int32_t limit = GetCoreGeneralSettings()->CoreItemOr(kItemRewriteLengthLimit,
                                                                 kDefaultRewriteLengthLimit);
      if (outbound.HeadersComplete != 0 &&
          outbound.BufferSize - outbound.HeaderSize > static_cast<uint32_t>(std::max(limit, 0))) {
        Log("[NotifySendRawData] Response body passed the limit <%d>. Let it through.", limit);
        letThrough = true;
      }
    }
    if (!letThrough && outbound.HeadersComplete != 0 &&
        !BodyFollows(outbound, RequestValue(*context, names::kHttpMethod))) {
      letThrough = true;  // nothing would ever complete it
    }
    if (!letThrough) {
      step = " CheckBody ";
      whole = CheckBody(outbound, letThrough);
      if (whole && !AttachLandmarks(*context)) {
        letThrough = true;
        // A decoded chunked body cannot go out under its chunked head: the connection ends.
        if (outbound.Chunked != 0) {
          status = SF_STATUS_REQ_ERROR;
          HoldBack(*raw);
          outbound.AlreadySent = 1;
          return false;
        }
      }
    }
    if (!letThrough) {
      HoldBack(*raw);
      Log("NotifySendRawData::SendRawData Clear the IIS block! pFltContext=<%p>",
          static_cast<void*>(context));
    } else {
      // Everything gathered goes now, as it came; later blocks pass through.
      HandOver(*raw, outbound.pszBigBuffer, outbound.BufferSize);
      outbound.AlreadySent = 1;
      Log("NotifySendRawData::SendRawData Send the block to client! %08lX length %u",
          static_cast<unsigned long>(Address(outbound.pszBigBuffer)), outbound.BufferSize);
    }
    const bool result = whole && !letThrough;
    Log("NotifySendRawData::PreProcessNotification exited with %d pFltContext=<%p>", result ? 1 : 0,
        static_cast<void*>(context));
    return result;
  } catch (const _com_error& error) {
    const unsigned hr = static_cast<unsigned>(error.Error());
    const std::string message = error.ErrorMessage();
    Log("SendRawData PreProcessNotification got EXCEPTION HR 0x%x, %s %s", hr, message.c_str(), step);
    ReportText(kReportError, "SendRawData PreProcessNotification got COM EXCEPTION HR 0x%x, %s %s",
               hr, message.c_str(), step);
  } catch (const std::exception& error) {
    const int code = static_cast<int>(GetLastError());
    Log("SendRawData PreProcessNotification exit with std EXCEPTION %d  %s Ret %s %s", code,
        error.what(), "FALSE", step);
    ReportText(kReportError, "SendRawData PreProcessNotification exit with std EXCEPTION Error: %d %s %s",
               code, error.what(), step);
  } catch (...) {
    const int code = static_cast<int>(GetLastError());
    Log("SendRawData PreProcessNotification exit with EXCEPTION %d Ret %s", code, "FALSE");
    ReportText(kReportError, "SendRawData PreProcessNotification exit with GE EXCEPTION ERROR: %d %s",
               code, step);
  }
  return false;
}

bool CSendRawDataNotification::AttachLandmarks(CFilterContext& context) {
  COutboundContext& outbound = *context.Outbound;
  CRefHandle<CCommonPointers> landmarks = MakeRefHandle<CCommonPointers>();
  CRefHandle<CBufferInstructionList> instructions = MakeRefHandle<CBufferInstructionList>();
  if (!landmarks || !instructions) {
    const DWORD error = kErrorNotEnoughMemory;
    Log("SendRawData::PreprocessNotification allocation of CCommonPointers failed");
    ReportText(kReportWarning, "ERROR: %s. %s", SystemErrorText(error).c_str(),
               ("Out of Memory in SendRawData::PreprocessNotification  allocation of "
                "CCommonPointers failed " + std::to_string(error)).c_str());
    return false;
  }
  context.CommonPointers = landmarks;
  landmarks->GetCommonPointers(outbound.pszBigBuffer, outbound.BufferSize, 1, LogLandmarkMessage);
  outbound.CommonPointers = landmarks;
  context.Instructions = instructions;
  return true;
}

DWORD CSendRawDataNotification::CallServiceWorkers(CFilterContext* context,
                                                   HTTP_FILTER_CONTEXT* pfc,
                                                   void* notificationData) {
  const HANDLE token = context != nullptr ? context->ImpersonationToken : nullptr;
  const bool impersonating =
      token != nullptr && token != INVALID_HANDLE_VALUE && platform::SetThreadToken(token);
  const DWORD result = CBaseNotification::CallServiceWorkers(context, pfc, notificationData);
  if (context != nullptr) CloseImpersonationToken(*context);
  if (impersonating && !platform::RevertToSelf()) std::abort();
  return result;
}

bool CSendRawDataNotification::ReplaceBuffer(CFilterContext* context, HTTP_FILTER_RAW_DATA* raw) {
  if (serviceWorkers_ == nullptr || context == nullptr || raw == nullptr) return false;
  for (const CRefHandle<CServiceWorkerDLLInfo>& worker : serviceWorkers_->Workers()) {
    if (!worker->WantsNotification(notificationType_)) continue;
    CRefHandle<CDLLContext> dllContext = context->GetDLLContext(worker->Id);
    if (!dllContext || dllContext->ControlStatus != REPLACE_BUFFER) continue;
    // The worker's bytes stay the worker's: the server copies them before the worker's
    // context can go.
    HandOver(*raw, dllContext->ReplaceBuffer,
             dllContext->ReplaceBuffer != nullptr ? dllContext->ReplaceLength : 0);
    Log("Replacing buffer for Service Worker %s buffer to replace.", worker->Name.c_str());
    return true;
  }
  return false;
}

bool CSendRawDataNotification::EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                                 void* notificationData, DWORD& status) {
  HTTP_FILTER_RAW_DATA* raw = RawRecord(notificationData);
  if (context == nullptr || !context->Outbound || raw == nullptr) return true;
  COutboundContext& outbound = *context->Outbound;
  outbound.AlreadySent = 1;
  if (serviceWorkers_ != nullptr && ReplaceBuffer(context, raw)) {
    Log("IIS already has replacement block!");
    Log("Send the block to client! %08lX length %u", static_cast<unsigned long>(Address(raw->pvInData)),
        static_cast<unsigned>(raw->cbInData));
    return true;
  }
  Log("Getting pMyContext->m_pcobBufferInstructionList");
  if (context->Instructions) {
    Log("Getting count of BIL %lu", static_cast<unsigned long>(context->Instructions->Count()));
    const DWORD result = BuildBlock(context, pfc);
    Log("BuildBlock returned %d", static_cast<int>(result));
    if (result != 0 && outbound.Chunked != 0) {
      // The body was decoded: it goes out under a head that says so, without the workers'
      // edits, or not at all.
      CBufferInstructionList none;
      CCommonPointers landmarks;
      if (RebuildResponse(outbound, none, landmarks, context) != 0) {
        status = SF_STATUS_REQ_ERROR;
        HoldBack(*raw);
        return true;
      }
    }
  } else if (outbound.Chunked != 0) {
    status = SF_STATUS_REQ_ERROR;  // decoded, and nothing to rebuild its head with
    HoldBack(*raw);
    return true;
  }
  HandOver(*raw, outbound.pszBigBuffer, outbound.BufferSize);
  Log("Send the block to client! Total length %u Significant %u, Header size: %u Content-Length: %d",
      outbound.BufferSize, outbound.BufferSize, outbound.HeaderSize, outbound.ResponseContentLength);
  return true;
}

void CSendRawDataNotification::ReleaseEarly(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc) {
  if (context == nullptr) return;
  CCoreGeneralSettings* settings = GetCoreGeneralSettings();
  bool early = false;
  {
    CSyncGuard guard(settings->SettingsLock());
    const std::vector<std::string>& fragments = settings->UrlList();
    if (!fragments.empty() && context->RequestInfo) {
      const std::string url = platform::AsciiLower(RequestValue(*context, names::kHttpUrl));
      for (const std::string& fragment : fragments) {
        if (!fragment.empty() && url.find(platform::AsciiLower(fragment)) != std::string::npos) {
          early = true;
          break;
        }
      }
    }
  }
  if (!early) return;
  context->Instructions.Release();
  context->CommonPointers.Release();
  context->RequestInfo.Release();
  context->ExchangeUrls.Release();
  context->DLLContexts.clear();
  context->Stop = true;
  platform::OsVersionInfo version;
  const bool generationSix = platform::GetVersionEx(&version) && version.majorVersion == 6;
  if (!generationSix || !context->Outbound) {
    DestroyFilterContext(pfc);
  } else {
    context->Outbound->CommonPointers.Release();
  }
}

}  // namespace nexoral
