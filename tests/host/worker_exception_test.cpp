// A worker that throws: reported once with how far the call got, marked IGNORE_REQUEST for the
// rest of the request, and the other workers still run.
#include <gtest/gtest.h>

#include "host/pipeline_fixture.h"
#include "platform/error_codes.h"

namespace nexoral::testing {
namespace {

using ::testing::ElementsAre;

struct ThrowCase {
  const char* name;
  Throw kind;
  HRESULT hresult;
  std::string logStart;    // the log line up to the trace
  std::string eventStart;  // the event text up to the trace
};

void PrintTo(const ThrowCase& throwCase, std::ostream* out) { *out << throwCase.name; }

const char kTraceIntoWorker[] = "Service Worker ID: 1 Notification Type: 64 Call HttpFilterProc ";

class WorkerExceptionTest : public PipelineFixture,
                            public ::testing::WithParamInterface<ThrowCase> {};

TEST_P(WorkerExceptionTest, ReportedOnceMarkedIgnoredAndTheOthersRun) {
  const ThrowCase& param = GetParam();
  StartWith({1, 2});
  Script(1, SF_NOTIFY_SEND_RESPONSE, {.throws = param.kind, .hresult = param.hresult});

  connection_.SendResponse(filter_);
  EXPECT_THAT(CalledFor(SF_NOTIFY_SEND_RESPONSE), ElementsAre(1, 2));
  EXPECT_EQ(Context()->GetDLLContext(1)->ControlStatus, IGNORE_REQUEST);

  const std::string logLine = log_.FirstWith("BaseNotification::CallServiceWorkers");
  EXPECT_EQ(logLine.rfind(param.logStart + kTraceIntoWorker, 0), 0u) << logLine;
  EXPECT_EQ(logLine.find("Call PostProcessNotification"), std::string::npos) << logLine;
  EXPECT_EQ(log_.Count("BaseNotification::CallServiceWorkers"), 1u);

  const auto events = events_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].record.type, platform::kEventError);
  EXPECT_EQ(events[0].record.texts.at(0).rfind(param.eventStart + kTraceIntoWorker, 0), 0u)
      << events[0].record.texts.at(0);

  // Ignored from now on, but still told about the end of the request.
  connection_.SendRawData(filter_, "HTTP/1.1 200 OK\r\n\r\n");
  EXPECT_THAT(CalledFor(SF_NOTIFY_SEND_RAW_DATA), ElementsAre(2));
  connection_.EndOfRequest(filter_);
  EXPECT_THAT(CalledFor(SF_NOTIFY_END_OF_REQUEST), ElementsAre(1, 2));
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, WorkerExceptionTest,
    ::testing::Values(
        ThrowCase{"ComError", Throw::ComError, kEInvalidArg,
                  "BaseNotification::CallServiceWorkers got EXCEPTION HR 0x80070057, The parameter is "
                  "incorrect. ",
                  "BaseNotification::CallServiceWorkers got COM EXCEPTION HR 0x80070057, The "
                  "parameter is incorrect. "},
        ThrowCase{"AtlException", Throw::AtlException, kEFail,
                  "BaseNotification::CallServiceWorkers got ATL EXCEPTION  0x80004005 ",
                  "BaseNotification::CallServiceWorkers failed  ATL EXCEPTION 0x80004005 "},
        ThrowCase{"StdException", Throw::StdException, 0,
                  "BaseNotification::CallServiceWorkers got STD EXCEPTION  scripted failure ",
                  "BaseNotification::CallServiceWorkers failed  STD scripted failure "},
        ThrowCase{"Other", Throw::Other, 0,
                  "BaseNotification::CallServiceWorkers got GENERAL EXCEPTION ",
                  "BaseNotification::CallServiceWorkers failed GE  "}),
    [](const ::testing::TestParamInfo<ThrowCase>& test) { return std::string(test.param.name); });

class PostProcessingExceptionTest : public PipelineFixture {};

// The server's WriteClient fails hard while the pipeline sends a replacement: the trace shows
// that the worker had returned.
TEST_F(PostProcessingExceptionTest, TraceShowsThatTheWorkerHadReturned) {
  StartWith({1});
  connection_.throwInWriteClient = true;
  Script(1, SF_NOTIFY_SEND_RESPONSE, {.controlStatus = REPLACE_BUFFER, .replacement = "x"});

  connection_.SendResponse(filter_);
  const std::string logLine = log_.FirstWith("got STD EXCEPTION");
  EXPECT_NE(logLine.find(std::string(kTraceIntoWorker) + " Call PostProcessNotification "),
            std::string::npos)
      << logLine;
  EXPECT_EQ(Context()->GetDLLContext(1)->ControlStatus, IGNORE_REQUEST);
  EXPECT_EQ(events_.Events().size(), 1u);
}

}  // namespace
}  // namespace nexoral::testing
