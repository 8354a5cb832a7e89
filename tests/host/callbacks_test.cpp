// The callback table: which entries each notification offers, the session id's sources, the
// inputs of the property callbacks, and what the callbacks make of missing records.
#include <map>
#include <string>

#include "host/pipeline_fixture.h"
#include "host/worker_callbacks.h"

namespace nexoral::testing {
namespace {

TEST(WorkerCallbacks, EntriesFollowTheNotificationsOfTheRequest) {
  Pipeline pipeline;
  pipeline.AddWorker(1);
  CFilterContext& request = pipeline.Attach({1});
  request.DLLContexts[0]->Callbacks = CreateCallbackTable();
  const CFilterCallbackPrototypes& table = *request.DLLContexts[0]->Callbacks;
  // Entries set after each notification: submit, get, set, refresh, write.
  for (const auto& [type, set] : std::vector<std::pair<DWORD, std::string>>{
           {SF_NOTIFY_PREPROC_HEADERS, "00000"}, {SF_NOTIFY_AUTH_COMPLETE, "11111"},
           {SF_NOTIFY_SEND_RAW_DATA, "11110"}, {SF_NOTIFY_SEND_RESPONSE, "11111"},
           {SF_NOTIFY_END_OF_REQUEST, "11111"}}) {
    pipeline.BasePipeline(type);
    const std::string entries = {char('0' + !!table.WorkerSubmitBufferCommands), char('0' + !!table.WorkerGetProperty),
                                 char('0' + !!table.WorkerSetProperty), char('0' + !!table.WorkerRefreshProperty),
                                 char('0' + !!table.WorkerWriteClient)};
    EXPECT_EQ(entries, set) << type;
    EXPECT_TRUE(table.WorkerLog != nullptr && table.Reserved1 == nullptr && table.Reserved4 == nullptr);
  }
}

TEST(WorkerCallbacks, SessionIdComesFromCookiesThenTheUser) {
  struct Row { std::map<std::string, std::string> captured; std::string user, session; };
  for (const Row& row : std::vector<Row>{
           {{{"HTTP_COOKIE", "a=1; USERCONTEXT=abc; b=2"}}, "bob", "abc"},
           {{{"HTTP_COOKIE", "a=1;UserContext=last"}}, "", "last"},
           {{{"HTTP_COOKIE", "XUserContext=no; sessionid=s1"}}, "", "s1"},
           {{{"HTTP_COOKIE", "UserContext=; b=2"}, {"LOGON_USER", "lu"}}, "bob", "bob"},
           {{{"LOGON_USER", ""}, {"AUTH_USER", "au"}, {"REMOTE_USER", "ru"}}, "", "au"},
           {{{"REMOTE_USER", "ru"}}, "", "ru"},
           {{}, "", ""}}) {
    CFilterContext request;
    request.UserName = row.user;
    CDLLContext context;
    context.FilterContext = &request;
    context.RequestInfo = MakeRefHandle<CRequestInfo>();
    context.RequestInfo->Variables = row.captured;
    EXPECT_EQ(GetSessionID(&context), !row.session.empty());
    EXPECT_EQ(context.SessionId, row.session);
  }
}

TEST(WorkerCallbacks, MissingRecordsAndAnEmptyUserGiveTheDocumentedResults) {
  CFilterContext request;
  CDLLContext context;
  context.FilterContext = &request;
  EXPECT_EQ(EwsUrlOf(context), "");
  context.ExchangeUrls = MakeRefHandle<ExchangeURLs>();
  context.ExchangeUrls->InternalURL = "http://10.0.0.5:8080";
  EXPECT_EQ(EwsUrlOf(context), "http://10.0.0.5:8080/EWS/exchange.asmx");
  CBufferInstructionList list;
  DWORD bytes = 3;
  EXPECT_EQ(WorkerSubmitBufferCommands(&context, &list), 13u);  // no server context
  EXPECT_EQ(WorkerSubmitBufferCommands(nullptr, &list), 13u);
  EXPECT_EQ(WorkerWriteClient(&context, "abc", &bytes), FALSE);
  EXPECT_EQ(WorkerWriteClient(nullptr, "abc", &bytes), FALSE);
  EXPECT_TRUE(WorkerGetProperty(&context, 7, true) && WorkerSetProperty(&context, 7) && WorkerRefreshProperty(&context, 7));
  EXPECT_FALSE(WorkerGetProperty(nullptr, 7, false) || WorkerSetProperty(nullptr, 7) || WorkerRefreshProperty(nullptr, 7));
}

TEST(WorkerCallbacks, WriteAndSubmitReachTheRequest) {
  Pipeline pipeline;
  CDLLContext& context = *pipeline.Attach({1}).DLLContexts[0];
  pipeline.connection_.throwInWriteClient = true;
  DWORD bytes = 2;
  EXPECT_EQ(WorkerWriteClient(&context, "hi", &bytes), FALSE);
  EXPECT_EQ(WorkerWriteClient(&context, nullptr, &bytes), FALSE);
  pipeline.connection_.throwInWriteClient = false;
  EXPECT_EQ(WorkerWriteClient(&context, "hi", &bytes), TRUE);
  EXPECT_THAT(pipeline.connection_.clientWrites, ElementsAre("hi"));
  CBufferInstructionList list;
  EXPECT_EQ(WorkerSubmitBufferCommands(&context, &list), 13u);  // the request has no list yet
  pipeline.Context()->Instructions = MakeRefHandle<CBufferInstructionList>();
  auto* add = new CBufferInstruction;
  add->Text = const_cast<char*>("x");
  list.AddInstruction(add);
  EXPECT_EQ(WorkerSubmitBufferCommands(&context, &list), 0u);
  EXPECT_EQ(pipeline.Context()->Instructions->Count(), 1u);
}

}  // namespace
}  // namespace nexoral::testing
