// Loading worker modules: exports found, missing exports and files reported.
#include "platform/module_loader.h"

#include <gtest/gtest.h>

#include "nexoral/service_worker.h"
#include "platform/error_codes.h"

namespace nexoral::platform {
namespace {

TEST(ModuleLoaderTest, LoadsAWorkerFindsItsEntryPointsAndReportsMissingOnes) {
  std::unique_ptr<LoadedModule> module = LoadedModule::Load(NEXORAL_TEST_WORKER_PATH);
  ASSERT_NE(module, nullptr);
  auto getVersion = module->FindFunction<PFN_GETFILTERVERSION>("GetFilterVersion");
  auto filterProc = module->FindFunction<PFN_HTTPFILTERPROC>("HttpFilterProc");
  ASSERT_NE(getVersion, nullptr);
  ASSERT_NE(filterProc, nullptr);
  HTTP_FILTER_VERSION version{};
  EXPECT_EQ(getVersion(&version), TRUE);
  EXPECT_EQ(version.dwFlags, SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_SEND_RESPONSE);
  CDLLContext context;
  EXPECT_EQ(filterProc(NexoralWorkerArgument(&context), 0, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(context.Feature, 7u);
  EXPECT_TRUE(IsModuleLoaded("nexoral_test_worker.so"));
  SetLastError(0);
  EXPECT_EQ(module->FindExport("NoSuchEntryPoint"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorProcNotFound);
}

TEST(ModuleLoaderTest, MissingFileFailsWithModNotFoundAndAReason) {
  std::string reason;
  SetLastError(0);
  EXPECT_EQ(LoadedModule::Load("/nonexistent/worker.so", &reason), nullptr);
  EXPECT_EQ(GetLastError(), kErrorModNotFound);
  EXPECT_NE(reason.find("worker.so"), std::string::npos);
}

}  // namespace
}  // namespace nexoral::platform
