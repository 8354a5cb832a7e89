// The request's context tree: lookup of a worker's context, release order, and what outlives
// the tree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nexoral/filter_context.h"

namespace {

std::vector<std::string> released;

struct TracedLandmarks : CCommonPointers {
  ~TracedLandmarks() override { released.push_back("landmarks"); }
};
struct TracedInstructions : CBufferInstructionList {
  ~TracedInstructions() override { released.push_back("instructions"); }
};
struct TracedOutbound : COutboundContext {
  ~TracedOutbound() override { released.push_back("outbound"); }
};
struct TracedDLLContext : CDLLContext {
  explicit TracedDLLContext(uint32_t id) { WorkerId = id; }
  ~TracedDLLContext() override { released.push_back("worker " + std::to_string(WorkerId)); }
};

class RequestContextTest : public ::testing::Test {
 protected:
  void SetUp() override { released.clear(); }
};

TEST_F(RequestContextTest, GetDLLContextFindsTheWorkersContextOrNothing) {
  CFilterContext context;
  context.DLLContexts.push_back(CRefHandle<CDLLContext>(new TracedDLLContext(4)));
  context.DLLContexts.push_back(CRefHandle<CDLLContext>(new TracedDLLContext(9)));
  EXPECT_EQ(context.GetDLLContext(9)->WorkerId, 9u);
  EXPECT_EQ(context.GetDLLContext(9).UseCount(), 2);
  EXPECT_FALSE(context.GetDLLContext(5));
}

TEST_F(RequestContextTest, DestructionReleasesLandmarksInstructionsOutboundThenWorkers) {
  {
    CFilterContext context;
    context.DLLContexts.push_back(CRefHandle<CDLLContext>(new TracedDLLContext(1)));
    context.DLLContexts.push_back(CRefHandle<CDLLContext>(new TracedDLLContext(2)));
    context.Outbound = CRefHandle<COutboundContext>(new TracedOutbound());
    context.Instructions = CRefHandle<CBufferInstructionList>(new TracedInstructions());
    context.CommonPointers = CRefHandle<CCommonPointers>(new TracedLandmarks());
  }
  EXPECT_EQ(released,
            (std::vector<std::string>{"landmarks", "instructions", "outbound", "worker 1", "worker 2"}));
}

TEST_F(RequestContextTest, AContextAWorkerStillHoldsKeepsTheRequestInformation) {
  CRefHandle<CDLLContext> held;
  {
    CFilterContext context;
    context.RequestInfo = MakeRefHandle<CRequestInfo>();
    context.RequestInfo->Variables["URL"] = "/owa/";
    auto dllContext = MakeRefHandle<CDLLContext>();
    dllContext->RequestInfo = context.RequestInfo;
    context.DLLContexts.push_back(dllContext);
    held = dllContext;
  }
  std::string url;
  ASSERT_TRUE(held->RequestInfo->Lookup("URL", url));
  EXPECT_EQ(url, "/owa/");
}

TEST_F(RequestContextTest, ReplaceBufferStaysTheWorkers) {
  char workerBuffer[] = "HTTP/1.1 302 Found\r\n\r\n";
  {
    auto dllContext = MakeRefHandle<CDLLContext>();
    dllContext->ControlStatus = REPLACE_BUFFER;
    dllContext->ReplaceBuffer = workerBuffer;
    dllContext->ReplaceLength = sizeof(workerBuffer) - 1;
  }
  EXPECT_EQ(std::string(workerBuffer), "HTTP/1.1 302 Found\r\n\r\n");
}

}  // namespace
