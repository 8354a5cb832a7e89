// The notification pipeline (which workers are called, what their control statuses and
// exceptions do to the rest of the request, the status the server gets), the fetching of server
// variables and headers (the buffer protocol, the header fallback, the capture into a request's
// variables) and the request's context tree.
#include <cstring>
#include <map>

#include "host/pipeline_fixture.h"
#include "platform/error_codes.h"

namespace nexoral::testing {
namespace {

enum Setup : unsigned { kPlain = 0, kSecondUninitialised = 1, kSecondPreprocOnly = 2, kOnlyFirstHasContext = 4,
                        kProxied = 8, kSecondTakesProxies = 16, kFailWrite = 32, kThrowInWrite = 64 };
constexpr DWORD kPre = SF_NOTIFY_PREPROC_HEADERS, kAuth = SF_NOTIFY_AUTH_COMPLETE, kResp = SF_NOTIFY_SEND_RESPONSE;
constexpr DWORD kNext = SF_STATUS_REQ_NEXT_NOTIFICATION, kFinished = SF_STATUS_REQ_FINISHED_KEEP_CONN;
const std::string kCall = "BaseNotification::CallServiceWorkers ";
const std::string kTrace = "Service Worker ID: 1 Notification Type: 64 Call HttpFilterProc ";

// Workers 1 and 2, listed in that order. The row's first notification goes through the base
// steps (pre-processing's own steps would build the context, which is attached here); then
// the response headers and the end of the request go through the handlers.
struct Row {
  const char* name;
  DWORD type;
  unsigned setup;
  WorkerStep first, second;  // the two workers' answers to the first notification
  DWORD status;
  Ids called, later;  // called for the first notification; for the response headers after it
  struct More {
    Ids ended = {1, 2};
    std::vector<std::string> writes = {};
    std::string log = "";    // a line that must be logged
    std::string event = "";  // the start of the one error event expected
  } more = {};
};

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"NoneGivesTheLastResult", kPre, kPlain, {.feature = 4}, {.result = SF_STATUS_REQ_HANDLED_NOTIFICATION},
       SF_STATUS_REQ_HANDLED_NOTIFICATION, {1, 2}, {1, 2}, {.log = "CONTROL_NONE, Feature 4, Notification 16384"}},
      {"RedirectedStopsTheOthers", kPre, kPlain, {.controlStatus = REDIRECTED_REQUEST, .feature = 9}, {}, kNext,
       {1}, {}, {.log = "REDIRECTED_REQUEST, Feature 9, Notification 16384"}},
      {"IgnoreEndsOnlyThatWorkersPart", kPre, kPlain, {.controlStatus = IGNORE_REQUEST}, {}, kNext, {1, 2}, {2}},
      {"EveryWorkerIgnoring", kPre, kPlain, {.controlStatus = IGNORE_REQUEST},
       {.controlStatus = IGNORE_REQUEST, .result = SF_STATUS_REQ_HANDLED_NOTIFICATION}, kNext, {1, 2}, {}},
      {"ReplacementWrittenOnce", kResp, kPlain, {.controlStatus = REPLACE_BUFFER, .replacement = "HTTP/1.1 503"},
       {}, kFinished, {1}, {}, {.writes = {"HTTP/1.1 503"}}},
      {"ReplacementDuringRawDataIsNotWritten", SF_NOTIFY_SEND_RAW_DATA, kPlain,
       {.controlStatus = REPLACE_BUFFER, .replacement = "replaced"}, {}, kFinished, {1}, {}},
      {"FailedWriteStillFinishes", kAuth, kFailWrite, {.controlStatus = REPLACE_BUFFER, .replacement = "x"}, {},
       kFinished, {1}, {}, {.log = "PostProcessNotification failed to WriteClient Error: 232"}},
      {"CompletedFinishesWithoutWriting", kAuth, kPlain, {.controlStatus = COMPLETED_REQUEST, .feature = 2}, {},
       kFinished, {1}, {}, {.log = "COMPLETED_REQUEST, Feature 2, Notification 67108864"}},
      {"UndefinedStatusGoesOn", kResp, kPlain, {.controlStatus = 9, .feature = 4}, {}, kNext, {1, 2}, {1, 2},
       {.log = "SW DLL 1 returned an UNDEFINED status, Feature 4, Notification 64"}},
      {"UninitialisedLastWorkerGivesZero", kPre, kSecondUninitialised, {}, {}, 0, {1}, {1}, {.ended = {1}}},
      {"OnlyWorkersWithAContext", kResp, kOnlyFirstHasContext, {}, {}, kNext, {1}, {1}, {.ended = {1}}},
      {"OnlyWorkersTakingTheNotification", kResp, kSecondPreprocOnly, {}, {}, kNext, {1}, {1}, {.ended = {1}}},
      {"ProxiedWhenAllIgnoreProxies", kPre, kProxied, {}, {}, kNext, {}, {}, {.ended = {}}},
      {"ProxiedToTheWorkerTakingProxies", kPre, kProxied | kSecondTakesProxies, {}, {}, kNext, {2}, {2},
       {.ended = {2}}},
      // A worker that throws is reported once, with how far its call got, and takes no further
      // part in the request except its end; the others still run.
      {"ComError", kResp, kPlain, {.throws = Throw::ComError, .hresult = kEInvalidArg}, {}, kNext, {1, 2}, {2},
       {.log = kCall + "got EXCEPTION HR 0x80070057, The parameter is incorrect. " + kTrace,
        .event = kCall + "got COM EXCEPTION HR 0x80070057, The parameter is incorrect. " + kTrace}},
      {"AtlException", kResp, kPlain, {.throws = Throw::AtlException, .hresult = kEFail}, {}, kNext, {1, 2}, {2},
       {.log = kCall + "got ATL EXCEPTION  0x80004005 " + kTrace,
        .event = kCall + "failed  ATL EXCEPTION 0x80004005 " + kTrace}},
      {"StdException", kResp, kPlain, {.throws = Throw::StdException}, {}, kNext, {1, 2}, {2},
       {.log = kCall + "got STD EXCEPTION  scripted failure " + kTrace,
        .event = kCall + "failed  STD scripted failure " + kTrace}},
      {"OtherException", kResp, kPlain, {.throws = Throw::Other}, {}, kNext, {1, 2}, {2},
       {.log = kCall + "got GENERAL EXCEPTION " + kTrace, .event = kCall + "failed GE  " + kTrace}},
      // The server's WriteClient throws while the pipeline sends a replacement: the worker had
      // returned, and the request had finished.
      {"ExceptionAfterTheWorkerReturned", kResp, kThrowInWrite,
       {.controlStatus = REPLACE_BUFFER, .replacement = "x"}, {}, kFinished, {1, 2}, {},
       {.log = kCall + "got STD EXCEPTION  connection reset by test " + kTrace + " Call PostProcessNotification ",
        .event = kCall + "failed  STD connection reset by test " + kTrace}},
  };
  return rows;
}

struct PipelineRun : Pipeline {
  void Check(const Row& row) {
    const Row::More& m = row.more;
    AddWorker(1);
    CServiceWorkerDLLInfo& second = AddWorker(2, row.setup & kSecondPreprocOnly ? kPre : kAllSix);
    second.Initialised = !(row.setup & kSecondUninitialised);
    second.IgnoresProxied = !(row.setup & kSecondTakesProxies);
    GetCoreGeneralSettings()->SetAllWorkersIgnoreProxied(!(row.setup & kSecondTakesProxies));
    // Context order differs from list order: the list decides the call order.
    Attach(row.setup & kOnlyFirstHasContext ? Ids{1} : Ids{2, 1}).Proxied = row.setup & kProxied;
    connection_.failWriteClient = row.setup & kFailWrite;
    connection_.throwInWriteClient = row.setup & kThrowInWrite;
    ScriptedWorkers::Instance().Script(1, row.type, row.first);
    ScriptedWorkers::Instance().Script(2, row.type, row.second);

    EXPECT_EQ(BasePipeline(row.type), row.status);
    EXPECT_EQ(CalledFor(row.type), row.called);
    ScriptedWorkers::Instance().Reset();
    // Ending the request never stops early, whatever a worker answers.
    ScriptedWorkers::Instance().Script(1, SF_NOTIFY_END_OF_REQUEST, {.controlStatus = COMPLETED_REQUEST});
    Send(kResp);
    EXPECT_EQ(CalledFor(kResp), row.later);
    EXPECT_EQ(connection_.clientWrites, m.writes);
    Send(SF_NOTIFY_END_OF_REQUEST);
    EXPECT_EQ(CalledFor(SF_NOTIFY_END_OF_REQUEST), m.ended);
    EXPECT_EQ(Context(), nullptr);

    EXPECT_TRUE(m.log.empty() || log_.Contains(m.log)) << m.log;
    EXPECT_EQ(log_.Count("Call PostProcessNotification"), row.setup & kThrowInWrite ? 1u : 0u);
    EXPECT_EQ(log_.Count("CallServiceWorkers got"), m.event.empty() ? 0u : 1u);
    const auto events = events_.Events();
    ASSERT_EQ(events.size(), m.event.empty() ? 0u : 1u);
    EXPECT_TRUE(events.empty() || (events[0].record.type == platform::kEventError &&
                                   events[0].record.texts.at(0).rfind(m.event, 0) == 0));
  }
};

TEST(PipelineTest, ControlStatusesAndExceptionsDecideWhoIsCalledAndWhatTheServerGets) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    PipelineRun().Check(row);
  }
}

using Base = CBaseNotification;
using Variables = std::map<std::string, std::string>;

// What the scripted fetch answers: to the size query, then to the call with a buffer.
struct ServerAnswer {
  DWORD size, error;
  BOOL secondResult = FALSE;
  DWORD secondError = 0;
  const char* value = "";
  BOOL firstResult = FALSE;
} answer;

BOOL ScriptedFetch(HTTP_FILTER_CONTEXT*, const char*, void* buffer, DWORD* size) {
  *size = answer.size;
  SetLastError(buffer == nullptr ? answer.error : answer.secondError);
  if (buffer == nullptr || !answer.secondResult) return buffer == nullptr && answer.firstResult;
  std::memcpy(buffer, answer.value, answer.size);
  return TRUE;
}

TEST(GetIISParmTTest, ResultValueAndLogFollowTheServersAnswers) {
  const struct { ServerAnswer answer; bool result; std::string value, log; } rows[] = {
      {{4, kErrorInsufficientBuffer, TRUE, 0, "/ow"}, true, "/ow", ""},
      {{1, kErrorInsufficientBuffer, TRUE, 0, ""}, true, "", ""},
      {{0, kErrorInvalidIndex}, false, "before", ""},
      {{0, 0, FALSE, 0, "", TRUE}, true, "before", ""},  // success on the size query: nothing to fetch
      {{10, kErrorInvalidIndex}, false, "before", "GetIISParmT  GetServerVariable failed X Error 1413"},
      {{10, kErrorInvalidParameter}, false, "before", "GetIISParmT  GetServerVariable failed X Error 87"},
      {{10, kErrorAccessDenied}, false, "before", ""},
      {{6, kErrorInsufficientBuffer, FALSE, kErrorAccessDenied}, false, "",
       "GetIISParmT X failed Error: 5   Access is denied."},
      // A broken server's size is refused instead of allocated.
      {{0xFFFFFFFFu, kErrorInsufficientBuffer}, false, "before",
       "GetIISParmT X failed Error: 8   Not enough memory resources are available to process this command."}};
  FakeConnection connection;
  for (const auto& row : rows) {
    LogCapture log;
    answer = row.answer;
    std::string value = "before";
    EXPECT_EQ(Base::GetIISParmT(connection.pfc(), ScriptedFetch, "X", value), row.result) << row.log;
    EXPECT_EQ(value, row.value);
    EXPECT_EQ(log.Lines(), row.log.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.log});
  }
}

// A message about a request names the request when asked, with an empty text for what the
// context does not hold (or for a missing context), and goes to the event log when asked.
TEST(RequestMessageTest, MessagesAboutARequestNameItsUrlQueryUserAndAgent) {
  CFilterContext context;
  context.RequestInfo = MakeRefHandle<CRequestInfo>();
  context.RequestInfo->Variables = {{"URL", "/owa/"}, {"QUERY_STRING", "a=1"}, {"AUTH_USER", "C\\al"}};
  LogCapture log;
  EventCapture events;
  Base::LogWithRequestInfo(true, true, &context, "failed %d", 5);
  Base::LogWithRequestInfo(false, true, nullptr, "no context");
  Base::LogWithRequestInfo(false, false, &context, "plain");
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"failed 5 URL: /owa/ QueryString: a=1 User: C\\al UserAgent: ",
                                                   "no context URL:  QueryString:  User:  UserAgent: ", "plain"}));
  EXPECT_EQ(events.Count("failed 5 URL: /owa/"), 1u);
  EXPECT_EQ(events.Events().size(), 1u);
}

TEST(RequestVariablesTest, HeadersStandInForMissingOrEmptyVariablesAndTheFirstCapturedValueStays) {
  FakeConnection connection;
  connection.serverVariables = {{"URL", "/owa/"}, {"QUERY_STRING", "second"}, {"X-OWA-ProxySid", ""}};
  connection.requestHeaders.Add("X-ZQRequest", "1");
  connection.requestHeaders.Add("X-OWA-ProxySid", "S-1-5-18");
  connection.requestHeaders.Add("User-Agent", "Mozilla/5.0");
  const struct { DWORD type; const char* name; bool result; const char* value; } rows[] = {
      {SF_NOTIFY_PREPROC_HEADERS, "X-ZQRequest", true, "1"},
      {SF_NOTIFY_AUTH_COMPLETE, "X-OWA-ProxySid", true, "S-1-5-18"},
      {SF_NOTIFY_SEND_RAW_DATA, "X-ZQRequest", false, "kept"},  // no headers in its record
      {SF_NOTIFY_READ_RAW_DATA, "X-ZQRequest", true, "kept"}};  // carries no variables
  Variables captured{{"QUERY_STRING", "first"}};
  for (const auto& row : rows) {
    connection.Deliver([&](HTTP_FILTER_CONTEXT* pfc, DWORD, void* data) {
      std::string value = "kept";
      EXPECT_EQ(Base::GetIISParam(pfc, row.type, row.name, value, data), row.result) << row.type;
      EXPECT_EQ(value, row.value) << row.type;
      Base::CaptureRequestVariables(pfc, {"URL", "HTTP_USER_AGENT", "QUERY_STRING", "MISSING"}, captured,
                                    row.type, data);
      return DWORD{0};
    }, row.type);
  }
  EXPECT_EQ(captured, (Variables{{"URL", "/owa/"}, {"HTTP_USER_AGENT", "Mozilla/5.0"}, {"QUERY_STRING", "first"},
                                 {"MISSING", ""}})) << "the names a notification cannot fetch go in empty";
}

std::vector<std::string> released;

template <typename Part>
struct Traced : Part {
  explicit Traced(std::string name) : name_(std::move(name)) {}
  ~Traced() override { released.push_back(name_); }
  std::string name_;
};

// The release order matters: landmarks point into the response the instructions and the
// outbound context describe. A worker still holding its context keeps the request information,
// and the worker's replacement bytes are never freed by the tree.
TEST(RequestContextTest, ReleasesLandmarksInstructionsOutboundThenWorkersAndLeavesWhatOthersHold) {
  char workerBuffer[] = "HTTP/1.1 302 Found";
  CRefHandle<CDLLContext> held(new Traced<CDLLContext>("held"));
  {
    CFilterContext context;
    context.RequestInfo = held->RequestInfo = MakeRefHandle<CRequestInfo>();
    context.RequestInfo->Variables["URL"] = "/owa/";
    held->ReplaceBuffer = workerBuffer;
    context.DLLContexts = {CRefHandle<CDLLContext>(new Traced<CDLLContext>("worker 1")), held,
                           CRefHandle<CDLLContext>(new Traced<CDLLContext>("worker 3"))};
    context.Outbound = CRefHandle<COutboundContext>(new Traced<COutboundContext>("outbound"));
    context.Instructions = CRefHandle<CBufferInstructionList>(new Traced<CBufferInstructionList>("instructions"));
    context.CommonPointers = CRefHandle<CCommonPointers>(new Traced<CCommonPointers>("landmarks"));
  }
  EXPECT_EQ(released, (std::vector<std::string>{"landmarks", "instructions", "outbound", "worker 1", "worker 3"}));
  EXPECT_EQ(held->RequestInfo->ValueOf("URL"), "/owa/");
  EXPECT_EQ(std::string(workerBuffer), "HTTP/1.1 302 Found");
}

}  // namespace
}  // namespace nexoral::testing
