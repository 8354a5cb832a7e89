// SampleWorker: a service worker to start from. It takes part in every request its
// subscriptions in the core settings file give it and writes, through the module's log
// callback, what it sees of each: the request line and client at the request headers, the
// front end's URLs as the module worked them out, the user once known, the criterion id once the
// request has been matched, the response status, and the end.
//
// It also decorates web-mail pages (HTML responses whose head and body the module found): once
// the whole response is held (SF_NOTIFY_SEND_RAW_DATA) it asks the module, in one instruction
// list, to insert right after the "<head>" tag a reference to the script nexoral-demo.js under
// its cached-script name ("/owa/scripts/<prefix>nexoral-demo.js", the prefix being what the
// module sent the web-mail server in "ZQ_CsmPrefix:"), and before "</body>" a banner naming the
// user. Without a usable prefix the page gets the banner only.
//
// Whether a user sees the banner is that user's custom property "ShowBanner" (property 2 of
// this worker in the core settings file, "1" unless the user stored another value): read once
// the user is known (SF_NOTIFY_AUTH_COMPLETE) and kept for the response. A request with the query
// parameter "banner=0" or "banner=1" stores the user's choice first, through the module, in the
// user's mailbox; it holds for the user's later requests, on any server, after restarts.
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "nexoral/filter_context.h"
#include "nexoral/module_version.h"
#include "nexoral/service_worker.h"

NEXORAL_MODULE_VERSION("1.0.0.2", "1.0");

namespace {

// Writes one line to the module's log when the callback is there.
void WriteLog(const CDLLContext& context, const std::string& text) {
  if (context.Callbacks && context.Callbacks->WorkerLog != nullptr) {
    context.Callbacks->WorkerLog(text.c_str());
  }
}

std::string Captured(const CDLLContext& context, const char* name) {
  return context.RequestInfo ? context.RequestInfo->ValueOf(name) : std::string();
}

// One value by the filter interface's buffer protocol (a server variable or a header), or an
// empty text when there is none or it is longer than the values this worker uses.
std::string Fetch(HTTP_FILTER_CONTEXT* pfc, PFN_GETVALUE fetch, const char* name) {
  char value[512];
  DWORD size = sizeof(value);
  if (pfc == nullptr || fetch == nullptr || !fetch(pfc, name, value, &size) || size == 0 ||
      size > sizeof(value)) {
    return std::string();
  }
  return std::string(value, size - 1);
}

std::string Prefix(const CDLLContext& context) {
  return "SampleWorker [" + std::to_string(context.WorkerId) + "] ";
}

std::string CriterionText(const CDLLContext& context) {
  if (context.CriteriaId < 0) return "no criterion yet";
  return "criterion " + std::to_string(context.CriteriaId);
}

void DescribeRequestHeaders(const CDLLContext& context) {
  WriteLog(context, Prefix(context) + "request " + Captured(context, "HTTP_METHOD") + " " +
                        Captured(context, "HTTP_URL") + " from " + Captured(context, "REMOTE_ADDR") +
                        " (subscription rule " + std::to_string(context.MatchedBy) + ")");
  if (!context.ExchangeUrls) return;
  const ExchangeURLs& urls = *context.ExchangeUrls;
  WriteLog(context, Prefix(context) + "external URL " + urls.ExternalURL + ", internal URL " +
                        urls.InternalURL + ", virtual directory " + urls.VirtualDirectory +
                        ", scripts " + urls.ExternalScriptsURL);
}

void DescribeUser(const CDLLContext& context) {
  const std::string user = context.FilterContext != nullptr ? context.FilterContext->UserName : "";
  WriteLog(context, Prefix(context) + "authenticated " +
                        (user.empty() ? std::string("(user not matched)") : user) + ", " +
                        CriterionText(context));
}

void DescribeResponse(const CDLLContext& context) {
  const HTTP_FILTER_SEND_RESPONSE* response =
      static_cast<const HTTP_FILTER_SEND_RESPONSE*>(context.NotificationData);
  const unsigned status = response != nullptr ? response->HttpStatus : 0u;
  WriteLog(context, Prefix(context) + "response " + std::to_string(status) + " for " +
                        Captured(context, "URL") + ", " + CriterionText(context));
}

// ---- The user's banner setting ----

constexpr int32_t kShowBannerProperty = 2;
constexpr int32_t kBannerShown = 1;
constexpr int32_t kBannerHidden = 0;

CustomPropertyDef* FindProperty(CDLLContext& context, int32_t id) {
  for (CustomPropertyDef& property : context.PropertyList) {
    if (property.ID == id) return &property;
  }
  return nullptr;
}

// Stores the value the request's "banner" parameter asks for, if any; false when a store failed.
bool StoreBannerChoice(CDLLContext& context, CFilterCallbackPrototypes& callbacks) {
  const auto& parameters = context.RequestInfo->QueryParameters;
  const auto asked = parameters.find("banner");
  if (asked == parameters.end() || (asked->second != "0" && asked->second != "1")) return true;
  CustomPropertyDef* property = FindProperty(context, kShowBannerProperty);
  if (property == nullptr) return false;
  for (CustomPropertyDef& each : context.PropertyList) each.Loaded = false;
  property->Value = asked->second;
  property->Loaded = true;
  const bool stored = callbacks.WorkerSetProperty(&context, kShowBannerProperty);
  WriteLog(context, Prefix(context) + "banner setting " + asked->second +
                        (stored ? " stored" : " not stored"));
  return stored;
}

// Reads the user's banner setting into the worker's free number of the context (Reserved3),
// storing a new choice first. Without the property callbacks, or when reading fails, the banner
// shows.
void ReadBannerSetting(CDLLContext& context) {
  context.Reserved3 = kBannerShown;
  if (!context.Callbacks || !context.RequestInfo) return;
  CFilterCallbackPrototypes& callbacks = *context.Callbacks;
  if (callbacks.WorkerGetProperty == nullptr || callbacks.WorkerSetProperty == nullptr) return;
  if (!callbacks.WorkerGetProperty(&context, kShowBannerProperty, false)) return;
  StoreBannerChoice(context, callbacks);
  const CustomPropertyDef* property = FindProperty(context, kShowBannerProperty);
  if (property != nullptr && property->Value == "0") context.Reserved3 = kBannerHidden;
}

// ---- Decorating web-mail pages ----

constexpr char kPrefixHeader[] = "ZQ_CsmPrefix:";
constexpr char kScriptFolder[] = "/owa/scripts/";
constexpr char kScriptName[] = "nexoral-demo.js";

bool IsPrefixCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// The cached-script prefix the module added to the request, kept in the worker's free text of
// the context (Reserved1) until the response. A client may send the header as well; the
// module's value comes last. Only a prefix that can stand in a URL and an attribute unescaped is
// kept: anything else leaves the page without the script.
void RememberScriptPrefix(CDLLContext& context) {
  context.Reserved1.clear();
  const auto* headers = static_cast<const HTTP_FILTER_PREPROC_HEADERS*>(context.NotificationData);
  if (headers == nullptr) return;
  const std::string value = Fetch(context.pfc, headers->GetHeader, kPrefixHeader);
  std::string_view prefix(value);
  if (const size_t comma = prefix.rfind(','); comma != std::string_view::npos) {
    prefix.remove_prefix(comma + 1);
  }
  while (!prefix.empty() && prefix.front() == ' ') prefix.remove_prefix(1);
  if (prefix.size() <= 3 || prefix.size() > 64 || !prefix.ends_with("zq_")) return;
  for (const char c : prefix) {
    if (!IsPrefixCharacter(c)) return;
  }
  context.Reserved1.assign(prefix);
}

// The user's name without its domain ("DEMO\\demo" gives "demo"): the module's record of the
// request when it has one, else the server's LOGON_USER; empty for an anonymous request.
std::string UserName(const CDLLContext& context) {
  std::string name = context.FilterContext != nullptr ? context.FilterContext->UserName : "";
  if (name.empty() && context.pfc != nullptr) {
    name = Fetch(context.pfc, context.pfc->GetServerVariable, "LOGON_USER");
  }
  const size_t slash = name.rfind('\\');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string EscapeHtml(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&#39;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

// The first byte after the ">" that closes the tag starting at tag, looked for before limit; a
// ">" inside a quoted attribute value does not close it. Null when the tag is no "<head" tag
// ("<header" is another) or does not close before limit.
char* AfterHeadTag(char* tag, const char* limit) {
  constexpr size_t kOpening = sizeof("<head") - 1;
  if (limit - tag <= static_cast<ptrdiff_t>(kOpening)) return nullptr;
  const char next = tag[kOpening];
  if (next != '>' && next != '/' && next != ' ' && next != '\t' && next != '\r' && next != '\n') {
    return nullptr;
  }
  char quote = 0;
  for (char* at = tag + kOpening; at < limit; ++at) {
    if (quote != 0) {
      if (*at == quote) quote = 0;
    } else if (*at == '"' || *at == '\'') {
      quote = *at;
    } else if (*at == '>') {
      return at + 1;
    }
  }
  return nullptr;
}

// Adds an insertion of text at position to the list; false when the list refused it.
bool AddInsertion(CBufferInstructionList& list, char* position, const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  auto* instruction = new CBufferInstruction;
  instruction->Command = CMD_ADD;
  instruction->Position = position;
  instruction->Text = copy.release();
  instruction->OwnsText = 1;
  return list.AddInstruction(instruction) == 0;  // the list owns it either way
}

// The response's type, as the module captured it at its headers, is HTML (any case).
bool IsHtml(const CDLLContext& context) {
  if (!context.RequestInfo) return false;
  const auto found = context.RequestInfo->Variables.find("Content-Type:");
  if (found == context.RequestInfo->Variables.end()) return false;
  const std::string& type = found->second;
  constexpr std::string_view kHtml = "text/html";
  if (type.size() < kHtml.size()) return false;
  for (size_t i = 0; i < kHtml.size(); ++i) {
    if ((type[i] | 0x20) != kHtml[i]) return false;  // kHtml has letters and "/" only
  }
  return true;
}

void DecoratePage(CDLLContext& context) {
  const COutboundContext* outbound = context.Outbound.get();
  if (outbound == nullptr || outbound->pszBigBuffer == nullptr || !IsHtml(context)) return;
  const CCommonPointers* marks = outbound->CommonPointers.get();
  char* const begin = outbound->pszBigBuffer;
  const char* const end = begin + outbound->BufferSize;
  const auto inside = [&](const char* at) { return at != nullptr && at >= begin && at < end; };
  if (marks == nullptr || !inside(marks->HeadStart) || !inside(marks->HeadEnd) ||
      !inside(marks->BodyEnd) || marks->HeadEnd < marks->HeadStart) {
    return;
  }
  const std::string url = Captured(context, "URL");
  if (!context.Callbacks || context.Callbacks->WorkerSubmitBufferCommands == nullptr) {
    WriteLog(context, Prefix(context) + "page " + url + ": no way to submit instructions");
    return;
  }
  CBufferInstructionList list;
  std::string done;
  if (context.Reserved1.empty()) {
    done = "no cached-script prefix, no script";
  } else if (char* afterTag = AfterHeadTag(marks->HeadStart, marks->HeadEnd)) {
    const std::string script = kScriptFolder + context.Reserved1 + kScriptName;
    if (AddInsertion(list, afterTag, "<script src=\"" + script + "\"></script>")) {
      done = "script " + script + " after the head tag";
    }
  } else {
    done = "no <head> tag, no script";
  }
  const std::string user = UserName(context);
  const std::string banner = user.empty() ? std::string("not signed in")
                                          : "signed in as " + EscapeHtml(user);
  if (context.Reserved3 == kBannerHidden) {
    done += (done.empty() ? "" : ", ") + std::string("banner hidden by the user's setting");
  } else if (AddInsertion(list, marks->BodyEnd,
                          "<div id=\"nexoral-banner\">Nexoral: " + banner + "</div>")) {
    done += (done.empty() ? "" : ", ") + std::string("banner before the body's end");
  }
  if (list.Count() == 0) return;
  const DWORD result = context.Callbacks->WorkerSubmitBufferCommands(&context, &list);
  WriteLog(context, Prefix(context) + "page " + url + ": " + done +
                        (result == 0 ? "" : "; not submitted, error " + std::to_string(result)));
}

}  // namespace

extern "C" BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  if (pVer == nullptr) return FALSE;
  pVer->dwFlags = SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_AUTH_COMPLETE | SF_NOTIFY_SEND_RESPONSE |
                  SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_END_OF_REQUEST;
  return TRUE;
}

extern "C" DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* firstArgument, DWORD, void*) {
  CDLLContext* context = NexoralWorkerContext(firstArgument);
  if (context == nullptr) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  context->ControlStatus = CONTROL_NONE;
  try {
    switch (context->NotificationType) {
      case SF_NOTIFY_PREPROC_HEADERS:
        RememberScriptPrefix(*context);
        DescribeRequestHeaders(*context);
        break;
      case SF_NOTIFY_AUTH_COMPLETE:
        DescribeUser(*context);
        ReadBannerSetting(*context);
        break;
      case SF_NOTIFY_SEND_RESPONSE:
        DescribeResponse(*context);
        break;
      case SF_NOTIFY_SEND_RAW_DATA:
        DecoratePage(*context);
        break;
      case SF_NOTIFY_END_OF_REQUEST:
        WriteLog(*context, Prefix(*context) + "end of request " + Captured(*context, "HTTP_URL"));
        break;
      default:
        break;
    }
  } catch (...) {
    // Out of memory: this request goes on without the worker.
    context->ControlStatus = IGNORE_REQUEST;
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

extern "C" BOOL TerminateFilter(DWORD) { return TRUE; }
