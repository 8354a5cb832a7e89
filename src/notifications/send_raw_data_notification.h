// CSendRawDataNotification: handles SF_NOTIFY_SEND_RAW_DATA for a response the send-response
// step took. Every block is held back and appended to the request's outbound buffer until the
// response is whole: the header block complete, and the body of the announced length or, when
// chunked, up to its last chunk (then decoded in place). Then the workers are called on the
// whole response, under the request's user, and it is handed to the server replaced by a
// worker's buffer or rebuilt from the workers' instructions (BuildBlock). Any doubt about the
// data lets the response through: what was gathered goes out unchanged, the rest passes.
//
// The accumulation steps work on one outbound context and are public for the tests; each costs
// time in proportion to the new bytes only: the buffer grows geometrically and the searches
// resume where the last block's ended.
#ifndef NEXORAL_NOTIFICATIONS_SEND_RAW_DATA_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_SEND_RAW_DATA_NOTIFICATION_H

#include <cstdint>
#include <string_view>

#include "host/base_notification.h"
#include "nexoral/outbound_context.h"

namespace nexoral {

// Writes a message of the landmark search to the log.
void LogLandmarkMessage(const char* text);

// HexVerify results besides 0.
inline constexpr DWORD kHexIncomplete = 122;  // ERROR_INSUFFICIENT_BUFFER: more bytes needed
inline constexpr DWORD kHexInvalid = 13;      // ERROR_INVALID_DATA

class CSendRawDataNotification : public CBaseNotification {
 public:
  explicit CSendRawDataNotification(CServiceWorkers* serviceWorkers);

  bool PreProcessNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                              void* notificationData, DWORD& status) override;
  // The workers run while the thread impersonates the request's user; the token is closed
  // afterwards and the thread never goes on as the user (a failed revert ends the process).
  DWORD CallServiceWorkers(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                           void* notificationData) override;
  // A worker's replacement, else the rebuilt response, goes to the server in this block.
  bool EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                         void* notificationData, DWORD& status) override;

  // ---- The accumulation steps, on one response ----
  // Appends a block; false for no data, a length of 0, a response past 4 GiB or no memory.
  static bool AppendBlock(COutboundContext& outbound, const char* data, uint32_t length);
  // Looks for the end of the header block and, once it is there, reads the status line and the
  // "Content-Length:". Sets letThrough for status 100, an invalid status line (also
  // AlreadySent) and a raw length of 0. Always true.
  static bool CheckFullHeaders(COutboundContext& outbound, bool& letThrough);
  // The status code of a status line "HTTP/1.x nnn", else 999.
  static uint32_t GetRawStatus(const char* buffer, uint32_t size);
  // The value of the "Content-Length:" header within the header block of size bytes.
  static bool GetRawContentLength(const char* buffer, uint32_t size, uint32_t& value);
  // True when the response is whole (a chunked body is then decoded); sets letThrough (and
  // AlreadySent) on a chunk format error.
  static bool CheckBody(COutboundContext& outbound, bool& letThrough);
  // One to four hexadecimal digits ended by CR at line (never reading at or past end): 0 with
  // value, kHexIncomplete when the bytes end first, kHexInvalid for anything else.
  static DWORD HexVerify(const char* line, const char* end, uint32_t& value);
  // Checks the chunks received so far; complete once the last chunk is there (and the body
  // decoded). False on a format error.
  static bool VerifyCompleteChunk(COutboundContext& outbound, bool& complete);
  // Whether a body follows the complete header block: none after a HEAD request or with a
  // status 1xx, 204 or 304, whatever the headers announce.
  static bool BodyFollows(const COutboundContext& outbound, std::string_view method);
  // Decodes the chunked body in place; BufferSize becomes the header size plus the data.
  static bool UnChunkifyBlock(COutboundContext& outbound);

 private:
  // The whole response's landmarks and a new instruction list for the request; false when
  // memory is short.
  static bool AttachLandmarks(CFilterContext& context);
  // A worker that returned REPLACE_BUFFER: its bytes become the block. True when one did.
  bool ReplaceBuffer(CFilterContext* context, HTTP_FILTER_RAW_DATA* raw);
  // The request is no longer the system's: its records go, early when item 6 asks for it.
  void ReleaseEarly(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc);
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_SEND_RAW_DATA_NOTIFICATION_H
