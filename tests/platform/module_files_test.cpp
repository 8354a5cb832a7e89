// Finding loaded modules, their version texts, modules mapped as data, and the facts the
// system reports about itself: host name, OS version, directory domain.
#include <dlfcn.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "harness/installation.h"
#include "platform/computer_name.h"
#include "platform/data_module.h"
#include "platform/domain_controllers.h"
#include "platform/error_codes.h"
#include "platform/module_path.h"
#include "platform/module_version.h"
#include "platform/os_version.h"

namespace nexoral::platform {
namespace {

using testing::BuiltTestWorkerPath;
using testing::ScopedEnvironment;
using testing::TempFolder;

TEST(ModulePathTest, ALoadedModuleIsFoundByItsWindowsNameIgnoringCase) {
  TempFolder folder;
  const std::string copy = folder.Join("Nexoral.so");
  std::filesystem::copy_file(BuiltTestWorkerPath("HeadersWorker"), copy);
  void* module = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();

  std::string path;
  EXPECT_TRUE(GetLoadedModulePath("NEXORAL.DLL", &path));
  EXPECT_EQ(path, copy);
  EXPECT_TRUE(GetLoadedModulePath("nexoral.so", &path));
  EXPECT_EQ(path, copy);
  dlclose(module);
}

TEST(ModulePathTest, ATestProgramIsNoModule) {
  std::string path = "unchanged";
  EXPECT_FALSE(GetOwnModulePath(&path));
  SetLastError(0);
  EXPECT_FALSE(GetLoadedModulePath("NotLoadedAnywhere.dll", &path));
  EXPECT_EQ(GetLastError(), kErrorModNotFound);
  EXPECT_EQ(path, "unchanged");
}

TEST(ModuleVersionTest, VersionTextsAreReadAndAModuleLoadedForThemIsUnloadedAgain) {
  const std::string worker = BuiltTestWorkerPath("AuthWorker");
  ModuleVersionTexts texts;
  ASSERT_TRUE(ReadModuleVersion(worker, &texts));
  EXPECT_EQ(texts.fileVersion, "AuthWorker-file-1.2");
  EXPECT_EQ(texts.productVersion, "AuthWorker-product-1");
  EXPECT_EQ(dlopen(worker.c_str(), RTLD_LAZY | RTLD_NOLOAD), nullptr);

  TempFolder folder;
  folder.WriteFile("plain.so", "not a module");
  SetLastError(0);
  EXPECT_FALSE(ReadModuleVersion(folder.Join("plain.so"), &texts));
  EXPECT_EQ(GetLastError(), kErrorModNotFound);
  EXPECT_TRUE(texts.fileVersion.empty());
}

TEST(ModuleVersionTest, AModuleWithoutVersionTextsHasNone) {
  ModuleVersionTexts texts;
  SetLastError(0);
  EXPECT_FALSE(ReadModuleVersion(NEXORAL_TEST_WORKER_PATH, &texts));
  EXPECT_EQ(GetLastError(), kErrorResourceTypeNotFound);
  EXPECT_TRUE(texts.fileVersion.empty());
  EXPECT_TRUE(texts.productVersion.empty());
}

TEST(DataModuleTest, AnyReadableFileLoadsAndEverythingElseSaysWhy) {
  TempFolder folder;
  folder.WriteFile("CoreRes.so", std::string("\x7f" "ELF\0data", 9));
  folder.WriteFile("empty.so", "");
  std::unique_ptr<DataModule> module = DataModule::Load(folder.Join("CoreRes.so"));
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->Size(), 9u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(module->Bytes()), 4), "\x7f" "ELF");
  std::unique_ptr<DataModule> empty = DataModule::Load(folder.Join("empty.so"));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->Size(), 0u);

  const auto failure = [](const std::string& path) {
    SetLastError(0);
    return DataModule::Load(path) == nullptr ? GetLastError() : 0u;
  };
  EXPECT_EQ(failure(folder.Join("missing.so")), kErrorFileNotFound);
  EXPECT_EQ(failure(folder.Join("CoreRes.so/inner.so")), kErrorPathNotFound);
  EXPECT_EQ(failure(folder.Path()), kErrorAccessDenied);
}

TEST(SystemFactsTest, TheOsVersionIsTheFrontEndsUnlessAValidSettingSaysOtherwise) {
  const auto major = [](const char* setting) {
    ScopedEnvironment variable(kOsMajorVersionVariable, setting);
    OsVersionInfo info;
    EXPECT_TRUE(GetVersionEx(&info));
    return info.majorVersion;
  };
  EXPECT_EQ(major(""), kFrontEndMajorVersion);
  EXPECT_EQ(major("6"), 6u);
  EXPECT_EQ(major("abc"), kFrontEndMajorVersion);
  EXPECT_EQ(major("6x"), kFrontEndMajorVersion);
  EXPECT_EQ(major("0"), kFrontEndMajorVersion);
  EXPECT_EQ(major("100"), kFrontEndMajorVersion);

  OsVersionInfo info;
  ASSERT_TRUE(GetVersionEx(&info));
  EXPECT_EQ(info.minorVersion, kFrontEndMinorVersion);
  EXPECT_EQ(info.platformId, kPlatformIdNt);
  EXPECT_EQ(info.servicePack.rfind("Linux ", 0), 0u);
  EXPECT_FALSE(GetVersionEx(nullptr));
}

TEST(SystemFactsTest, HostNameAndConfiguredDomain) {
  std::string host;
  ASSERT_TRUE(GetDnsHostName(&host));
  EXPECT_FALSE(host.empty());
  EXPECT_EQ(host.find('.'), std::string::npos);

  ScopedEnvironment domain(kDnsDomainVariable, "corp.example");
  PrimaryDomainInfo info;
  EXPECT_EQ(GetPrimaryDomainInformation(&info), 0u);
  EXPECT_EQ(info.dnsDomainName, "corp.example");
  EXPECT_EQ(info.forestName, "corp.example");
}

}  // namespace
}  // namespace nexoral::platform
