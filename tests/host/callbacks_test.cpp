// The callback table: which entries each notification offers, the session id's sources, and
// what the callbacks do with the request's records or without them.
#include <map>
#include <string>
#include <tuple>

#include "host/pipeline_fixture.h"
#include "host/worker_callbacks.h"

namespace nexoral::testing {
namespace {

// Entries set after each notification: submit, get, set, refresh, write, log ("!" when entry 1
// or 4 is not null).
TEST(WorkerCallbacks, EntriesFollowTheNotificationsOfTheRequest) {
  Pipeline pipeline;
  pipeline.AddWorker(1);
  const CFilterCallbackPrototypes& t = *(pipeline.Attach({1}).DLLContexts[0]->Callbacks = CreateCallbackTable());
  for (const auto& [type, set] : std::vector<std::pair<DWORD, std::string>>{
           {SF_NOTIFY_PREPROC_HEADERS, "000001"}, {SF_NOTIFY_AUTH_COMPLETE, "111111"},
           {SF_NOTIFY_SEND_RAW_DATA, "111101"}, {SF_NOTIFY_SEND_RESPONSE, "111111"}}) {
    pipeline.BasePipeline(type);
    const std::string entries = {"01"[!!t.WorkerSubmitBufferCommands], "01"[!!t.WorkerGetProperty], "01"[!!t.WorkerSetProperty],
                                 "01"[!!t.WorkerRefreshProperty], "01"[!!t.WorkerWriteClient], "01"[!!t.WorkerLog]};
    EXPECT_EQ(entries + (t.Reserved1 || t.Reserved4 ? "!" : ""), set) << type;
  }
}

TEST(WorkerCallbacks, SessionIdComesFromCookiesThenTheUser) {
  for (const auto& [captured, user, session] : std::vector<std::tuple<std::map<std::string, std::string>, std::string, std::string>>{
           {{{"HTTP_COOKIE", "a=1; USERCONTEXT=abc; b=2"}}, "bob", "abc"}, {{{"HTTP_COOKIE", "a=1;UserContext=z"}}, "", "z"},
           {{{"HTTP_COOKIE", "XUserContext=no; sessionid=s1"}}, "", "s1"}, {{{"HTTP_COOKIE", "UserContext=;"}}, "bob", "bob"},
           {{{"LOGON_USER", ""}, {"AUTH_USER", "au"}, {"REMOTE_USER", "ru"}}, "", "au"}, {{{"REMOTE_USER", "ru"}}, "", "ru"},
           {{}, "", "(none)"}}) {
    CFilterContext request;
    request.UserName = user;
    CDLLContext context;
    context.FilterContext = &request;
    context.RequestInfo = MakeRefHandle<CRequestInfo>(CRequestInfo{{}, captured});
    EXPECT_EQ(GetSessionID(&context) ? context.SessionId : "(none)", session);
  }
}

TEST(WorkerCallbacks, CallbacksReachTheRequestOrFailWithoutIt) {
  Pipeline pipeline;
  CDLLContext& context = *pipeline.Attach({1}).DLLContexts[0];
  context.ExchangeUrls->InternalURL = "http://10.0.0.5:8080";
  EXPECT_EQ(EwsUrlOf(context), "http://10.0.0.5:8080/EWS/exchange.asmx");
  EXPECT_TRUE(WorkerGetProperty(&context, 7, true) && WorkerSetProperty(&context, 7));  // no user: nothing to do
  DWORD bytes = 2;
  pipeline.connection_.throwInWriteClient = true;
  EXPECT_FALSE(WorkerWriteClient(&context, "hi", &bytes) || WorkerWriteClient(nullptr, "hi", &bytes) ||
               WorkerWriteClient(&context, nullptr, &bytes) || WorkerGetProperty(nullptr, 7, false));
  pipeline.connection_.throwInWriteClient = false;
  EXPECT_TRUE(WorkerWriteClient(&context, "hi", &bytes));
  CBufferInstructionList list;
  EXPECT_EQ(WorkerSubmitBufferCommands(&context, &list) + WorkerSubmitBufferCommands(nullptr, &list), 26u);
  pipeline.Context()->Instructions = MakeRefHandle<CBufferInstructionList>();
  EXPECT_EQ(WorkerSubmitBufferCommands(&context, &list), 0u);
}

}  // namespace
}  // namespace nexoral::testing
