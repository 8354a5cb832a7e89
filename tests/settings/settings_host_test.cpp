// The settings host: installation folders, start-up over a test installation, refresh,
// shutdown, user-name forms and the start-up failures with their reports.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "harness/diagnostics_capture.h"
#include "harness/installation.h"
#include "harness/settings_host_double.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/thread_token.h"
#include "settings/installation_paths.h"

namespace nexoral::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(InstallationPathsTest, FoldersAreDerivedFromTheModuleFolder) {
  EXPECT_EQ(ModuleFolderOf("/A/B/Nexoral.so", 0), "/A/B/");
  EXPECT_EQ(ModuleFolderOf("/A/B/Nexoral.so", 1), "/A/");
  EXPECT_EQ(ModuleFolderOf("/A/B/Nexoral.so", 3), "");
  EXPECT_EQ(ModuleFolderOf("Nexoral.so", 0), "");

  const InstallationPaths paths = DeriveInstallationPaths("/A/B/", "CoreRes.dll");
  EXPECT_EQ(paths.installationFolderName, "B");
  EXPECT_EQ(paths.commonFolder, "/A/Common Files/");
  EXPECT_EQ(paths.settingsFolder, "/A/B/Settings/");
  EXPECT_EQ(paths.resourcePath, "/A/B/Resource/CoreRes.so");
  EXPECT_EQ(DeriveInstallationPaths("/B/", "CoreRes.dll").commonFolder, "/Common Files/");
}

TEST(InstallationPathsTest, WorkerPathsAreRelativeToTheFolderAboveTheProductFolder) {
  EXPECT_EQ(ServiceWorkerRoot("/opt/Zephyrquill/Nexoral/"), "/opt/");
  EXPECT_EQ(ServiceWorkerRoot("/opt/Zephyrquill/Nexoral"), "/opt/");
  EXPECT_EQ(ServiceWorkerRoot("/opt/Zephyrquill/Nexoral/Nexoral.so"), "/opt/Zephyrquill/");
  EXPECT_EQ(ServiceWorkerRoot("/Nexoral/"), "/Nexoral/") << "too few separators: unchanged";
  EXPECT_EQ(ServiceWorkerRoot("Nexoral"), "Nexoral");
  EXPECT_EQ(ServiceWorkerRoot("/"), "/");
}

TEST(ExtractUserNameTest, LogonNamesAreReducedToTheUserName) {
  LogCapture log;
  SettingsHostDouble host("");
  const auto extract = [&host](std::string name) {
    const bool valid = host.ExtractUserName(name);
    return (valid ? "ok:" : "invalid:") + name;
  };
  EXPECT_EQ(extract("CONTOSO\\alice"), "ok:alice");
  EXPECT_EQ(extract("alice@contoso.com"), "ok:alice");
  EXPECT_EQ(extract("contoso/alice"), "ok:alice");
  EXPECT_EQ(extract("alice"), "ok:alice");
  EXPECT_EQ(extract("alice@"), "ok:alice@") << "a name ending with its only at sign stays";
  EXPECT_EQ(extract("CONTOSO\\alice@x"), "ok:alice@x") << "the backslash rule comes first";
  EXPECT_EQ(extract("CONTOSO\\"), "invalid:CONTOSO\\");
  EXPECT_EQ(extract("contoso/"), "invalid:contoso/");
  EXPECT_EQ(extract(""), "invalid:");
  EXPECT_TRUE(log.Contains("[CGeneralSettings::ExtractUserName] Username is empty."));
  EXPECT_TRUE(log.Contains("CGeneralSettings::ExtractUserName got an invalid Username format CONTOSO\\ "));
}

class SettingsHostTest : public ::testing::Test {
 protected:
  size_t EventsWithId(DWORD id) const {
    size_t count = 0;
    for (const CapturedEvent& event : events_.Events()) count += event.record.id == id ? 1 : 0;
    return count;
  }

  TestInstallation install_;
  InstallationEnvironment environment_{install_, BuiltComponentsFolder()};
  LogCapture log_;
  EventCapture events_;
};

TEST_F(SettingsHostTest, StartUpReadsTheInstallationAndTellsWhatItFound) {
  install_.WriteCoreSettings({{6, "/owa/ev.owa;/owa/service.svc"}, {60, "50"}, {80, "2"}}, {});
  SettingsHostDouble host(install_.ModulePath());
  ASSERT_TRUE(host.Start());

  EXPECT_TRUE(host.IsInitialised());
  EXPECT_EQ(host.AppPool(), "OwaPool");
  EXPECT_EQ(host.ModuleFolder(), install_.ModuleFolder());
  EXPECT_EQ(host.SettingsFolder(), install_.SettingsFolder());
  EXPECT_EQ(host.CommonFilesFolder(), install_.Root() + "Zephyrquill/Common Files/");
  EXPECT_EQ(host.InstallationName(), "Nexoral");
  EXPECT_THAT(host.UrlList(), ElementsAre("/owa/ev.owa", "/owa/service.svc"));
  EXPECT_TRUE(host.Resource().IsLoaded());
  EXPECT_EQ(host.OsMajorVersion(), platform::kFrontEndMajorVersion);
  EXPECT_EQ(host.logConfigurations, 1);
  EXPECT_EQ(host.configuredModule, "Nexoral.dll");
  EXPECT_FALSE(host.ComputerName().empty());
  EXPECT_EQ(host.ComputerName().find('.'), std::string::npos);
  EXPECT_TRUE(host.PropertyCache().IsInitialized());
  EXPECT_TRUE(host.DirectoryUserCache().IsInitialized());

  EXPECT_TRUE(log_.Contains("CCoreGeneralSettings::Init could find ID_MAX_CACHE_ITEMS use 3000 as default"));
  EXPECT_TRUE(log_.Contains("CCoreGeneralSettings::Init could find ID_CACHE_LIFETIME use 30 minutes as default"));
  EXPECT_FALSE(log_.Contains("InitializeADUserCache could find ID_MAX_CACHE_ITEMS"));
  EXPECT_TRUE(log_.Contains("InitializeADUserCache could find ID_CACHE_LIFETIME use 30 minutes as default"));
  EXPECT_TRUE(log_.Contains("GetComputerName " + host.ComputerName()));
  EXPECT_TRUE(log_.Contains("Process ID " + std::to_string(getpid()) + ", APP POOL OwaPool"));
  EXPECT_TRUE(log_.Contains("Version 5.2 Build: "));
  EXPECT_TRUE(log_.Contains("General Settings successful initialization"));
  EXPECT_TRUE(log_.Contains("Load RSA ZQ_RSALoad.dll failed with error 126"));
  EXPECT_TRUE(log_.Contains("Nexoral.dll FileVer: 0.1.0.0, Product Ver: 0.1.0  DD.MM.YYY H:MM:S:MS "));
  EXPECT_TRUE(log_.Contains("CHandleCriteriaSettings::LoadSettings no criteria file"));
  EXPECT_FALSE(log_.Contains("Primary Domain DNS")) << "item 80 = 2 logs no domain information";
  EXPECT_FALSE(log_.Contains("GetRegistryInfo SSLOffloaded")) << "no key, no message";
  EXPECT_EQ(EventsWithId(kEventIdInitialized), 1u);

  EXPECT_TRUE(host.Term());
  EXPECT_FALSE(host.IsInitialised());
  EXPECT_FALSE(host.EventLog().IsRegistered());
  EXPECT_FALSE(host.Resource().IsLoaded());
  EXPECT_FALSE(host.PropertyCache().IsInitialized());
}

TEST_F(SettingsHostTest, WithoutAnApplicationPoolThePoolIsEmpty) {
  unsetenv("APP_POOL_ID");
  install_.WriteCoreSettings({}, {});
  SettingsHostDouble host(install_.ModulePath());
  EXPECT_TRUE(host.Start());
  EXPECT_EQ(host.AppPool(), "");
  EXPECT_TRUE(log_.Contains("Process ID " + std::to_string(getpid()) + ", APP POOL "));
}

TEST_F(SettingsHostTest, TheRegistryAndTheEnvironmentGiveTheSslFlagAndTheOsVersion) {
  platform::RegistryKey key;
  ASSERT_EQ(platform::RegistryKey::Open(kSslOffloadedKey, platform::RegistryAccess::kWrite, &key), 0u);
  ASSERT_EQ(key.SetNumberValue(kSslOffloadedValue, 1), 0u);
  ScopedEnvironment version(platform::kOsMajorVersionVariable, "6");
  install_.WriteCoreSettings({}, {});
  SettingsHostDouble host(install_.ModulePath());
  ASSERT_TRUE(host.Start());
  EXPECT_TRUE(host.SslOffloaded());
  EXPECT_TRUE(log_.Contains("GetRegistryInfo SSLOffloaded 1"));
  EXPECT_EQ(host.OsMajorVersion(), 6u);

  ASSERT_EQ(key.SetNumberValue(kSslOffloadedValue, 2), 0u);
  SettingsHostDouble second(install_.ModulePath());
  ASSERT_TRUE(second.Start());
  EXPECT_FALSE(second.SslOffloaded());
  EXPECT_TRUE(log_.Contains("GetRegistryInfo SSLOffloaded 2"));
}

TEST_F(SettingsHostTest, ARefreshWithoutAChangedCriteriaFileLeavesTheLogAlone) {
  install_.WriteCoreSettings({}, {});
  SettingsHostDouble host(install_.ModulePath());
  ASSERT_TRUE(host.Start());
  HANDLE token = platform::CreateAccessToken({"alice", "CONTOSO", "S-1-5-21-7", {}});
  ASSERT_TRUE(platform::SetThreadToken(token));
  bool changed = true;
  EXPECT_TRUE(host.Refresh(&changed));
  EXPECT_FALSE(changed);
  EXPECT_EQ(host.logConfigurations, 1);
  EXPECT_EQ(platform::EffectiveIdentity().user, "alice") << "the request's identity is put back";
  platform::RevertToSelf();
  platform::CloseAccessToken(token);
}

TEST_F(SettingsHostTest, IdentitiesAreLoggedAndTheThreadKeepsItsToken) {
  SettingsHostDouble host("");
  host.LogProcessAndThreadUser();
  const platform::TokenIdentity process = platform::ProcessIdentity();
  EXPECT_TRUE(log_.Contains("Process User: " + process.user + " Domain: " + process.domain));
  EXPECT_TRUE(log_.Contains("Thread User:  Domain:  SID: "));

  HANDLE token = platform::CreateAccessToken({"bob", "CONTOSO", "S-1-5-21-9", {}});
  ASSERT_TRUE(platform::SetThreadToken(token));
  const size_t handles = platform::OpenTokenHandleCount();
  host.LogProcessAndThreadUser();
  EXPECT_TRUE(log_.Contains("Thread User: bob Domain: CONTOSO SID: S-1-5-21-9"));
  EXPECT_EQ(platform::EffectiveIdentity().user, "bob");
  EXPECT_EQ(platform::OpenTokenHandleCount(), handles);
  platform::RevertToSelf();
  platform::CloseAccessToken(token);
}

TEST_F(SettingsHostTest, AMissingModuleFailsStartUpWithItsReports) {
  SettingsHostDouble host("");
  EXPECT_FALSE(host.Start());
  EXPECT_FALSE(host.IsInitialised());
  EXPECT_TRUE(log_.Contains("GetModulePath didn't find the module Nexoral.dll"));
  EXPECT_TRUE(log_.Contains("General Settings failed initialization Can not get module path Nexoral.dll"));
  EXPECT_EQ(events_.Count("Can not get module path Nexoral.dll"), 2u);
  EXPECT_EQ(EventsWithId(kEventIdInitFailed), 1u);
  EXPECT_EQ(EventsWithId(kEventIdInitialized), 0u);
  EXPECT_TRUE(log_.Contains("Version 5.2")) << "the diagnostic steps still run";
  EXPECT_EQ(host.logConfigurations, 0);
}

TEST_F(SettingsHostTest, ABrokenSettingsFileOrTooLongAFolderFailsStartUp) {
  install_.WriteFile("Zephyrquill/Nexoral/Settings/CoreSettings.xml", "<SETTINGS><CORESETTINGS>");
  SettingsHostDouble broken(install_.ModulePath());
  EXPECT_FALSE(broken.Start());
  EXPECT_EQ(events_.Count("Loading Settings failed " + install_.SettingsFolder() + " -2147024883"), 2u);
  EXPECT_TRUE(log_.Contains("Failed to load settings from  " + install_.SettingsFolder() + " HR 0x8007000d"));

  const std::string deep = "/x/" + std::string(250, 'd') + "/Nexoral.so";
  SettingsHostDouble tooLong(deep);
  EXPECT_FALSE(tooLong.Start());
  EXPECT_TRUE(log_.Contains(" LoadSettings incorrect path /x/"));
  EXPECT_TRUE(log_.Contains("General Settings failed initialization Path length exceeded MAX_PATH "));
}

}  // namespace
}  // namespace nexoral::testing
