// A filter module for the server's end-to-end tests. It records every call it gets, one line
// each ("conn=<n> <NOTIFICATION> ..."), in the file named by NEXORAL_TEST_FILTER_LOG, and acts as
// the request header "X-Test-Action" says: rewrite:<url>, redirect, writeclient, addheader,
// accumulate, status:<the value to return, hexadecimal>. NEXORAL_TEST_FILTER_FLAGS (hexadecimal)
// are the notifications it asks for; END_OF_NET_SESSION among them, as it frees its state then.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nexoral/filter_interface.h"
#include "platform/thread_token.h"

namespace {

std::atomic<int> nextConnectionId{1};

// What the filter keeps per connection in pFilterContext.
struct ConnectionState {
  int id = nextConnectionId++;
  int requests = 0;
  std::string action;
  std::string kinds;  // the notifications of the request so far
  std::string held;  // the buffer that replaces a raw block (accumulate)
};

ConnectionState& StateOf(HTTP_FILTER_CONTEXT* pfc) {
  if (pfc->pFilterContext == nullptr) pfc->pFilterContext = new ConnectionState();
  return *static_cast<ConnectionState*>(pfc->pFilterContext);
}

void Record(HTTP_FILTER_CONTEXT* pfc, const std::string& line) {
  if (pfc) StateOf(pfc).kinds += " " + line.substr(0, line.find(' '));
  const std::string text =
      (pfc ? "conn=" + std::to_string(StateOf(pfc).id) + " " : "") + line + "\n";
  const int fd = ::open(std::getenv("NEXORAL_TEST_FILTER_LOG"),
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
  ::close(fd);
}

// Headers or variables through the buffer protocol (the size first): " name=value" each.
std::string Values(PFN_GETVALUE get, HTTP_FILTER_CONTEXT* pfc,
                   std::initializer_list<const char*> names) {
  std::string text;
  for (const char* name : names) {
    DWORD size = 0;
    const bool sized =
        !get(pfc, name, nullptr, &size) && GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    std::string value(sized ? size : 1, '-');  // "-": no such value
    if (sized) value = get(pfc, name, value.data(), &size) ? value.substr(0, size - 1) : "?";
    text += std::string(" ") + name + "=" + value;
  }
  return text;
}

DWORD OnPreproc(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS* headers) {
  ConnectionState& state = StateOf(pfc);
  ++state.requests;
  state.kinds.clear();
  state.action = Values(headers->GetHeader, pfc, {"X-Test-Action:"}).substr(16);
  Record(pfc, "PREPROC" + Values(headers->GetHeader, pfc, {"method", "url", "version"}) +
                  " secure=" + std::to_string(pfc->fIsSecurePort));
  Record(pfc, "VARS" + Values(pfc->GetServerVariable, pfc,
                              {"URL", "QUERY_STRING", "HTTP_URL", "REMOTE_ADDR", "LOCAL_ADDR",
                               "SERVER_PORT", "SERVER_PORT_SECURE", "HTTPS", "SERVER_NAME",
                               "request_method", "HTTP_X_Test_Tag", "HTTP_COOKIE", "NO_SUCH"}));
  headers->AddHeader(pfc, "X-Filter-Saw:", "preproc");
  const std::string& action = state.action;
  if (action.starts_with("rewrite:")) headers->SetHeader(pfc, "url", action.substr(8).c_str());
  if (action == "addheader") pfc->AddResponseHeaders(pfc, "X-Filter-Added: yes\r\n", 0);
  if (action == "redirect") {
    // Like the module's loopback redirection: the header text has no line terminator.
    Record(pfc, "REDIRECT sent=" + std::to_string(pfc->ServerSupportFunction(
                                       pfc, SF_REQ_SEND_RESPONSE_HEADER,
                                       const_cast<char*>("302 Object Moved"),
                                       reinterpret_cast<ULONG_PTR>("Location: http://mail/"), 0)));
  } else if (action == "writeclient") {
    char response[] = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nfrom filter";
    DWORD bytes = sizeof(response) - 1;
    const BOOL written = pfc->WriteClient(pfc, response, &bytes, 0);
    Record(pfc, "WRITECLIENT written=" + std::to_string(written));
  }
  if (action.starts_with("status:")) return static_cast<DWORD>(std::stoul(action.substr(7), 0, 16));
  return action == "redirect" || action == "writeclient" ? SF_STATUS_REQ_FINISHED_KEEP_CONN
                                                         : SF_STATUS_REQ_NEXT_NOTIFICATION;
}

void OnAuthComplete(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_AUTH_COMPLETE_INFO* info) {
  HANDLE token = nullptr;
  nexoral::platform::TokenIdentity identity;
  const bool haveToken = info->GetUserToken(pfc, &token) &&
                         nexoral::platform::GetAccessTokenIdentity(token, &identity);
  std::string groups;
  for (const std::string& group : identity.groupSids) groups += (groups.empty() ? "" : ",") + group;
  Record(pfc, "AUTH token=" + std::to_string(haveToken) + " user=" + identity.user + " domain=" +
                  identity.domain + " sid=" + identity.sid + " groups=" + groups +
                  Values(pfc->GetServerVariable, pfc, {"LOGON_USER", "AUTH_TYPE"}));
}

void OnSendRawData(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw) {
  ConnectionState& state = StateOf(pfc);
  const std::string block(static_cast<const char*>(raw->pvInData), raw->cbInData);
  Record(pfc, "RAW bytes=" + std::to_string(block.size()) +
                  " first=" + block.substr(0, block.find_first_of("\r\n")));
  if (state.action != "accumulate") return;
  // Holds the head back, and hands back in place of the body a whole, longer response.
  const std::string body = "[rewritten]" + block;
  state.held = block.starts_with("HTTP/") ? "" : "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  raw->pvInData = state.held.empty() ? nullptr : state.held.data();
  raw->cbInData = raw->cbInBuffer = static_cast<DWORD>(state.held.size());
}

}  // namespace

extern "C" BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  const char* flags = std::getenv("NEXORAL_TEST_FILTER_FLAGS");
  pVer->dwFlags = static_cast<DWORD>(std::strtoul(flags, nullptr, 16));
  std::strcpy(pVer->lpszFilterDesc, "recording test filter");
  Record(nullptr, "START");
  return TRUE;
}

extern "C" DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, void* data) {
  if (notificationType == SF_NOTIFY_PREPROC_HEADERS) {
    return OnPreproc(pfc, static_cast<HTTP_FILTER_PREPROC_HEADERS*>(data));
  } else if (notificationType == SF_NOTIFY_AUTH_COMPLETE) {
    OnAuthComplete(pfc, static_cast<HTTP_FILTER_AUTH_COMPLETE_INFO*>(data));
  } else if (notificationType == SF_NOTIFY_SEND_RAW_DATA) {
    OnSendRawData(pfc, static_cast<HTTP_FILTER_RAW_DATA*>(data));
  } else if (notificationType == SF_NOTIFY_SEND_RESPONSE) {
    auto* response = static_cast<HTTP_FILTER_SEND_RESPONSE*>(data);
    const std::string status = std::to_string(response->HttpStatus);
    Record(pfc, "SEND_RESPONSE status=" + status +
                    Values(response->GetHeader, pfc, {"Content-Type:"}));
    if (StateOf(pfc).action == "addheader") {
      response->SetHeader(pfc, "X-Seen-Status:", status.c_str());
    }
  } else {
    Record(pfc, notificationType == SF_NOTIFY_END_OF_REQUEST
                    ? "END_OF_REQUEST requests=" + std::to_string(StateOf(pfc).requests) +
                          " after" + StateOf(pfc).kinds
                    : "END_OF_NET_SESSION");  // the only other one it asks for
  }
  if (notificationType == SF_NOTIFY_END_OF_NET_SESSION) {
    delete static_cast<ConnectionState*>(pfc->pFilterContext);
    pfc->pFilterContext = nullptr;
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

extern "C" BOOL TerminateFilter(DWORD) {
  Record(nullptr, "TERMINATE");
  return TRUE;
}
