// The built module as the web server sees it: its exports, and its behaviour without settings.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "nexoral/filter_interface.h"

namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
  const std::string command = "nm -D --defined-only '" + path + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::set<std::string> symbols;
  if (!pipe) return symbols;
  char line[512];
  while (std::fgets(line, sizeof(line), pipe.get()) != nullptr) {
    std::istringstream fields(line);
    std::string address, kind, name;
    if (fields >> address >> kind >> name) symbols.insert(name);
  }
  return symbols;
}

TEST(ModuleTest, ExportsTheThreeFilterEntryPointsAndItsVersionTexts) {
  EXPECT_EQ(DefinedDynamicSymbols(NEXORAL_MODULE_PATH),
            (std::set<std::string>{"GetFilterVersion", "HttpFilterProc", "TerminateFilter",
                                   "NexoralFileVersion", "NexoralProductVersion"}));
}

TEST(ModuleTest, WithoutSettingsItAcceptsAndLetsEveryNotificationPass) {
  void* module = dlopen(NEXORAL_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto getVersion = reinterpret_cast<PFN_GETFILTERVERSION>(dlsym(module, "GetFilterVersion"));
  auto filterProc = reinterpret_cast<PFN_HTTPFILTERPROC>(dlsym(module, "HttpFilterProc"));
  auto terminate = reinterpret_cast<PFN_TERMINATEFILTER>(dlsym(module, "TerminateFilter"));
  ASSERT_TRUE(getVersion && filterProc && terminate);

  HTTP_FILTER_VERSION version{};
  version.dwFlags = SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_SEND_RAW_DATA;
  version.dwFilterVersion = 0x60000;
  EXPECT_EQ(getVersion(&version), TRUE);
  EXPECT_EQ(version.dwFlags, SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_SEND_RAW_DATA);
  EXPECT_EQ(version.dwFilterVersion, 0x60000u);

  HTTP_FILTER_CONTEXT pfc{};
  HTTP_FILTER_RAW_DATA raw{};
  for (DWORD type : {SF_NOTIFY_PREPROC_HEADERS, SF_NOTIFY_AUTH_COMPLETE, SF_NOTIFY_SEND_RESPONSE,
                     SF_NOTIFY_SEND_RAW_DATA, SF_NOTIFY_END_OF_REQUEST,
                     SF_NOTIFY_END_OF_NET_SESSION, SF_NOTIFY_READ_RAW_DATA}) {
    EXPECT_EQ(filterProc(&pfc, type, &raw), SF_STATUS_REQ_NEXT_NOTIFICATION) << type;
  }
  EXPECT_EQ(filterProc(nullptr, SF_NOTIFY_PREPROC_HEADERS, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(pfc.pFilterContext, nullptr);
  EXPECT_EQ(terminate(0), TRUE);
  EXPECT_EQ(dlclose(module), 0);
}

}  // namespace
