// The filter interface between the web server, the filter module and the service workers:
// the server context record, the version record, the notification data records and their
// constants, the entry points and the calling thread's last error.
// Every record here is owned by the web server unless a field comment says otherwise; all calls
// for one request arrive one at a time, on whichever server thread serves the request.
#ifndef NEXORAL_FILTER_INTERFACE_H
#define NEXORAL_FILTER_INTERFACE_H

#include "nexoral/win_types.h"

// Version of this contract. Records only ever grow at their end and enum values are
// append-only; a worker built against an older version keeps working.
#define NEXORAL_CONTRACT_VERSION 1

// ---- Notification types (HTTP_FILTER_VERSION::dwFlags, HttpFilterProc's second argument) ----
#define SF_NOTIFY_SEND_RESPONSE 0x00000040u      // response status line and headers are ready
#define SF_NOTIFY_END_OF_REQUEST 0x00000080u     // the request is over (no notification data)
#define SF_NOTIFY_END_OF_NET_SESSION 0x00000100u // the connection closes (no notification data)
#define SF_NOTIFY_SEND_RAW_DATA 0x00000400u      // a block of response bytes is about to be sent
#define SF_NOTIFY_PREPROC_HEADERS 0x00004000u    // request headers have been read
#define SF_NOTIFY_READ_RAW_DATA 0x00008000u      // raw request bytes were read (not served here)
#define SF_NOTIFY_AUTH_COMPLETE 0x04000000u      // the user has been authenticated

// ---- Results of HttpFilterProc ----
enum SF_STATUS_TYPE : DWORD {
  SF_STATUS_REQ_FINISHED = 0x8000000,            // the filter answered; close the connection
  SF_STATUS_REQ_FINISHED_KEEP_CONN = 0x8000001,  // the filter answered; keep the connection
  SF_STATUS_REQ_NEXT_NOTIFICATION = 0x8000002,   // go on with the next filter / normal processing
  SF_STATUS_REQ_HANDLED_NOTIFICATION = 0x8000003, // no further filter sees this notification
  SF_STATUS_REQ_ERROR = 0x8000004,               // fail the request (last error tells why)
  SF_STATUS_REQ_READ_NEXT = 0x8000005,           // read more raw request data
};

// ---- Requests of ServerSupportFunction ----
enum SF_REQ_TYPE : DWORD {
  // pData: status text such as "302 Object Moved"; ul1: pointer to the header text (each
  // header ended by "\r\n", may be null); ul2: 0. Sends the status line and headers now.
  SF_REQ_SEND_RESPONSE_HEADER = 0,
};

// ---- Error codes a call may leave in the last error ----
#define ERROR_INVALID_PARAMETER 87u     // a required argument was missing
#define ERROR_INSUFFICIENT_BUFFER 122u  // the buffer is too small; the size now holds the need
#define ERROR_NO_DATA 232u              // the connection has no data for this call any more
#define ERROR_INVALID_INDEX 1413u       // no such server variable or header

#define SF_MAX_FILTER_DESC_LEN 257

struct HTTP_FILTER_CONTEXT;

// Buffer protocol shared by GetServerVariable and GetHeader: the caller passes a buffer of
// *size bytes. When the value (with its terminating NUL) fits, it is copied, *size becomes the
// bytes written including the NUL, and the call returns TRUE. When it does not fit, or buffer is
// null, *size becomes the bytes needed including the NUL, the last error becomes
// ERROR_INSUFFICIENT_BUFFER and the call returns FALSE. An unknown name leaves *size untouched and
// fails with ERROR_INVALID_INDEX.
typedef BOOL (*PFN_GETVALUE)(HTTP_FILTER_CONTEXT* pfc, const char* name, void* buffer,
                             DWORD* size);

// The server's context for one connection; valid only during the call it is passed to.
struct HTTP_FILTER_CONTEXT {
  DWORD cbSize;          // sizeof(HTTP_FILTER_CONTEXT) as the server built it
  DWORD Revision;        // NEXORAL_CONTRACT_VERSION of the server
  void* ServerContext;   // the server's own; filters must not touch it
  DWORD ulReserved;
  BOOL fIsSecurePort;    // the connection arrived on a TLS port
  // Free for the filter: one pointer per connection, kept by the server from one notification
  // to the next and across the requests of a keep-alive connection. The filter owns what it
  // points to and must release it at SF_NOTIFY_END_OF_NET_SESSION at the latest.
  void* pFilterContext;

  // Server variable by name ("URL", "REMOTE_ADDR", "HTTP_USER_AGENT", ...), buffer protocol above.
  PFN_GETVALUE GetServerVariable;
  // Adds response headers to the response of this request ("Name: value\r\n" each).
  BOOL (*AddResponseHeaders)(HTTP_FILTER_CONTEXT* pfc, const char* headers, DWORD reserved);
  // Sends *bytes bytes to the client now. reserved must be 0. On failure the last error says why.
  BOOL (*WriteClient)(HTTP_FILTER_CONTEXT* pfc, const void* buffer, DWORD* bytes, DWORD reserved);
  // Server services named by SF_REQ_TYPE; see each value for its arguments.
  BOOL (*ServerSupportFunction)(HTTP_FILTER_CONTEXT* pfc, SF_REQ_TYPE request, void* pData,
                                ULONG_PTR ul1, ULONG_PTR ul2);
};

// Passed to GetFilterVersion. The filter sets dwFlags to the notifications it wants.
struct HTTP_FILTER_VERSION {
  DWORD dwServerFilterVersion;  // filled by the server
  DWORD dwFilterVersion;        // the filter's own version, for diagnostics
  char lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];  // the filter's description, NUL-terminated
  DWORD dwFlags;                // SF_NOTIFY_* bits the filter wants
};

// SF_NOTIFY_PREPROC_HEADERS (request headers) and SF_NOTIFY_SEND_RESPONSE (response headers).
// Header names carry their colon ("Content-Length:"). SetHeader replaces the header, or removes
// it when value is empty; AddHeader appends another header line. The pseudo-headers "method",
// "url" and "version" name the parts of the request line.
struct HTTP_FILTER_PREPROC_HEADERS {
  PFN_GETVALUE GetHeader;  // always the first member, see the buffer protocol
  BOOL (*SetHeader)(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value);
  BOOL (*AddHeader)(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value);
  DWORD HttpStatus;  // SEND_RESPONSE: the response's status code; PREPROC: 0
  DWORD dwReserved;
};
typedef HTTP_FILTER_PREPROC_HEADERS HTTP_FILTER_SEND_RESPONSE;

// SF_NOTIFY_AUTH_COMPLETE: the request headers after authentication, and the user's token.
struct HTTP_FILTER_AUTH_COMPLETE_INFO {
  PFN_GETVALUE GetHeader;  // always the first member, see the buffer protocol
  BOOL (*SetHeader)(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value);
  BOOL (*AddHeader)(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value);
  // The authenticated user's token. The server owns it: never close it, duplicate it instead.
  BOOL (*GetUserToken)(HTTP_FILTER_CONTEXT* pfc, HANDLE* token);
  DWORD HttpStatus;
  BOOL fResetAuth;
  DWORD dwReserved;
};

// SF_NOTIFY_SEND_RAW_DATA (and READ_RAW_DATA): one block of bytes on its way. A filter may
// point pvInData at its own buffer (which must stay valid until the next notification of the
// request) and set both counts to its length, or hold the block back with null and 0.
struct HTTP_FILTER_RAW_DATA {
  void* pvInData;    // the bytes
  DWORD cbInData;    // valid bytes at pvInData
  DWORD cbInBuffer;  // size of the buffer at pvInData
  DWORD dwReserved;
};

// ---- Entry points: exported by the filter module and by every service worker ----
#ifndef NEXORAL_EXPORT
#define NEXORAL_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
NEXORAL_EXPORT BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer);
NEXORAL_EXPORT DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                                    void* pvNotification);
NEXORAL_EXPORT BOOL TerminateFilter(DWORD dwFlags);
}
typedef BOOL (*PFN_GETFILTERVERSION)(HTTP_FILTER_VERSION* pVer);
typedef DWORD (*PFN_HTTPFILTERPROC)(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                                    void* pvNotification);
typedef BOOL (*PFN_TERMINATEFILTER)(DWORD dwFlags);

// ---- The calling thread's last error (libnexoral_runtime.so) ----
// Every interface call above that fails sets it; it survives until the thread's next failing
// call. One value per thread, shared by the server, the module and the workers.
extern "C" {
NEXORAL_EXPORT DWORD GetLastError(void);
NEXORAL_EXPORT void SetLastError(DWORD code);
}

#endif  // NEXORAL_FILTER_INTERFACE_H
