// A filter module for the server's end-to-end tests. It records every call it gets, one line
// each, in the file named by NEXORAL_TEST_FILTER_LOG, and acts as the request header
// "X-Test-Action" says: rewrite:<url>, redirect, writeclient, crlf, addheader, accumulate, error.
// NEXORAL_TEST_FILTER_FLAGS (hexadecimal) chooses the notifications it asks for; all six by
// default.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nexoral/filter_interface.h"
#include "platform/thread_token.h"

namespace {

constexpr DWORD kAllNotifications = SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_AUTH_COMPLETE |
                                    SF_NOTIFY_SEND_RESPONSE | SF_NOTIFY_SEND_RAW_DATA |
                                    SF_NOTIFY_END_OF_REQUEST | SF_NOTIFY_END_OF_NET_SESSION;

std::atomic<int> nextConnectionId{1};
DWORD askedFlags = 0;

// What the filter keeps per connection in pFilterContext.
struct ConnectionState {
  int id = 0;
  int requests = 0;
  std::string action;
  std::string held;         // raw blocks held back (accumulate)
  std::string replacement;  // the buffer handed back in place of the held blocks
};

void Record(const std::string& line) {
  const char* path = std::getenv("NEXORAL_TEST_FILTER_LOG");
  if (path == nullptr) return;
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string text = line + "\n";
  [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
  ::close(fd);
}

// Control characters shown as \r, \n or \xNN so that a line stays one line.
std::string Visible(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    if (c == '\r') shown += "\\r";
    else if (c == '\n') shown += "\\n";
    else if (static_cast<unsigned char>(c) < 0x20) shown += "\\x" + std::to_string(c);
    else shown += c;
  }
  return shown;
}

std::string ReadValue(PFN_GETVALUE get, HTTP_FILTER_CONTEXT* pfc, const char* name) {
  DWORD size = 0;
  if (get(pfc, name, nullptr, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) return "-";
  std::string value(size, '\0');
  if (!get(pfc, name, value.data(), &size)) return "?";
  value.resize(size - 1);
  return value;
}

std::string Variable(HTTP_FILTER_CONTEXT* pfc, const char* name) {
  return ReadValue(pfc->GetServerVariable, pfc, name);
}

ConnectionState& StateOf(HTTP_FILTER_CONTEXT* pfc) {
  if (pfc->pFilterContext == nullptr) {
    auto* state = new ConnectionState();
    state->id = nextConnectionId++;
    pfc->pFilterContext = state;
  }
  return *static_cast<ConnectionState*>(pfc->pFilterContext);
}

std::string Prefix(const ConnectionState& state) { return "conn=" + std::to_string(state.id) + " "; }

DWORD OnPreproc(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS* headers) {
  ConnectionState& state = StateOf(pfc);
  ++state.requests;
  state.held.clear();
  state.action = ReadValue(headers->GetHeader, pfc, "X-Test-Action:");
  Record(Prefix(state) + "PREPROC method=" + ReadValue(headers->GetHeader, pfc, "method") +
         " url=" + ReadValue(headers->GetHeader, pfc, "url") +
         " version=" + ReadValue(headers->GetHeader, pfc, "version") +
         " secure=" + std::to_string(pfc->fIsSecurePort));
  Record(Prefix(state) + "VARS URL=" + Variable(pfc, "URL") + " QUERY_STRING=" +
         Variable(pfc, "QUERY_STRING") + " HTTP_URL=" + Variable(pfc, "HTTP_URL") +
         " REMOTE_ADDR=" + Variable(pfc, "REMOTE_ADDR") + " SERVER_PORT=" +
         Variable(pfc, "SERVER_PORT") + " HTTPS=" + Variable(pfc, "HTTPS") +
         " HTTP_X_TEST_TAG=" + Variable(pfc, "HTTP_X_TEST_TAG"));
  headers->AddHeader(pfc, "X-Filter-Saw:", "preproc");
  const std::string& action = state.action;
  if (action.rfind("rewrite:", 0) == 0) {
    headers->SetHeader(pfc, "url", action.substr(8).c_str());
  } else if (action == "redirect") {
    // Like the module's loopback redirection: the header text has no line terminator.
    const BOOL sent = pfc->ServerSupportFunction(
        pfc, SF_REQ_SEND_RESPONSE_HEADER, const_cast<char*>("302 Object Moved"),
        reinterpret_cast<ULONG_PTR>("Location: http://mail.example/owa/"), 0);
    Record(Prefix(state) + "REDIRECT sent=" + std::to_string(sent));
    return SF_STATUS_REQ_FINISHED_KEEP_CONN;
  } else if (action == "writeclient") {
    static const char kResponse[] =
        "HTTP/1.1 200 OK\r\nContent-Length: 11\r\nContent-Type: text/plain\r\n\r\nfrom filter";
    DWORD bytes = sizeof(kResponse) - 1;
    const BOOL written = pfc->WriteClient(pfc, kResponse, &bytes, 0);
    Record(Prefix(state) + "WRITECLIENT written=" + std::to_string(written));
    return SF_STATUS_REQ_FINISHED_KEEP_CONN;
  } else if (action == "crlf") {
    const BOOL set = headers->SetHeader(pfc, "X-Injected:", "a\r\nSet-Cookie: stolen=1");
    const DWORD setError = GetLastError();
    const BOOL added = pfc->AddResponseHeaders(pfc, "X-Split: a\r\nb\r\n", 0);
    const DWORD addError = GetLastError();
    Record(Prefix(state) + "CRLF set=" + std::to_string(set) + " error=" +
           std::to_string(setError) + " added=" + std::to_string(added) + " error=" +
           std::to_string(addError));
  } else if (action == "addheader") {
    pfc->AddResponseHeaders(pfc, "X-Filter-Added: yes\r\n", 0);
  } else if (action == "error") {
    SetLastError(5);
    return SF_STATUS_REQ_ERROR;
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD OnAuthComplete(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_AUTH_COMPLETE_INFO* info) {
  ConnectionState& state = StateOf(pfc);
  HANDLE token = nullptr;
  nexoral::platform::TokenIdentity identity;
  const bool haveToken = info->GetUserToken(pfc, &token) &&
                         nexoral::platform::GetAccessTokenIdentity(token, &identity);
  std::string groups;
  for (const std::string& group : identity.groupSids) groups += (groups.empty() ? "" : ",") + group;
  Record(Prefix(state) + "AUTH token=" + std::to_string(haveToken) + " user=" + identity.user +
         " domain=" + identity.domain + " sid=" + identity.sid + " groups=" + groups +
         " logon=" + Variable(pfc, "LOGON_USER") + " type=" + Variable(pfc, "AUTH_TYPE"));
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD OnSendResponse(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response) {
  ConnectionState& state = StateOf(pfc);
  Record(Prefix(state) + "SEND_RESPONSE status=" + std::to_string(response->HttpStatus) +
         " type=" + ReadValue(response->GetHeader, pfc, "Content-Type:"));
  if (state.action == "addheader") {
    response->SetHeader(pfc, "X-Seen-Status:", std::to_string(response->HttpStatus).c_str());
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

// Whole when the held bytes hold the headers and the body they announce (or the last chunk).
bool HeldResponseIsWhole(const std::string& held, size_t* headerEnd) {
  const size_t end = held.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  *headerEnd = end + 4;
  const size_t length = held.find("Content-Length: ");
  if (length != std::string::npos && length < end) {
    return held.size() - *headerEnd >= std::strtoul(held.c_str() + length + 16, nullptr, 10);
  }
  return held.size() >= 5 && held.compare(held.size() - 5, 5, "0\r\n\r\n") == 0;
}

DWORD OnSendRawData(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw) {
  ConnectionState& state = StateOf(pfc);
  const std::string block(static_cast<const char*>(raw->pvInData), raw->cbInData);
  Record(Prefix(state) + "RAW bytes=" + std::to_string(block.size()) + " first=" +
         Visible(block.substr(0, block.find("\r\n"))));
  if (state.action != "accumulate") return SF_STATUS_REQ_NEXT_NOTIFICATION;
  state.held += block;
  size_t headerEnd = 0;
  if (!HeldResponseIsWhole(state.held, &headerEnd)) {
    raw->pvInData = nullptr;  // hold the block back
    raw->cbInData = raw->cbInBuffer = 0;
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  const std::string body = "[rewritten]" + state.held.substr(headerEnd);
  state.replacement = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body;
  raw->pvInData = state.replacement.data();  // longer than any block it replaces
  raw->cbInData = raw->cbInBuffer = static_cast<DWORD>(state.replacement.size());
  state.held.clear();
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

}  // namespace

extern "C" BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  const char* flags = std::getenv("NEXORAL_TEST_FILTER_FLAGS");
  pVer->dwFlags = flags != nullptr ? static_cast<DWORD>(std::strtoul(flags, nullptr, 16))
                                   : kAllNotifications;
  askedFlags = pVer->dwFlags;
  std::strcpy(pVer->lpszFilterDesc, "recording test filter");
  Record("START server_version=" + std::to_string(pVer->dwServerFilterVersion));
  return TRUE;
}

extern "C" DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, void* data) {
  switch (notificationType) {
    case SF_NOTIFY_PREPROC_HEADERS:
      return OnPreproc(pfc, static_cast<HTTP_FILTER_PREPROC_HEADERS*>(data));
    case SF_NOTIFY_AUTH_COMPLETE:
      return OnAuthComplete(pfc, static_cast<HTTP_FILTER_AUTH_COMPLETE_INFO*>(data));
    case SF_NOTIFY_SEND_RESPONSE:
      return OnSendResponse(pfc, static_cast<HTTP_FILTER_SEND_RESPONSE*>(data));
    case SF_NOTIFY_SEND_RAW_DATA:
      return OnSendRawData(pfc, static_cast<HTTP_FILTER_RAW_DATA*>(data));
    case SF_NOTIFY_END_OF_REQUEST: {
      ConnectionState& state = StateOf(pfc);
      Record(Prefix(state) + "END_OF_REQUEST requests=" + std::to_string(state.requests));
      if ((askedFlags & SF_NOTIFY_END_OF_NET_SESSION) == 0) {
        delete &state;  // no later chance to release it
        pfc->pFilterContext = nullptr;
      }
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    }
    case SF_NOTIFY_END_OF_NET_SESSION: {
      auto* state = static_cast<ConnectionState*>(pfc->pFilterContext);
      Record((state ? Prefix(*state) : std::string("conn=none ")) + "END_OF_NET_SESSION");
      delete state;
      pfc->pFilterContext = nullptr;
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    }
    default:
      Record("UNEXPECTED " + std::to_string(notificationType));
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
}

extern "C" BOOL TerminateFilter(DWORD) {
  Record("TERMINATE");
  return TRUE;
}
