// The settings host: installation folders, logon names, and over a test installation start-up
// with what it reads from the settings file, the registry and the environment, shutdown,
// refresh, identities, and failed start-ups.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "harness/diagnostics_capture.h"
#include "harness/installation.h"
#include "harness/settings_host_double.h"
#include "platform/os_version.h"
#include "platform/thread_token.h"
#include "settings/installation_paths.h"

namespace nexoral::testing {
namespace {

TEST(InstallationPaths, FoldersAreDerivedFromTheModulePath) {
  const std::vector<std::tuple<std::string, int, std::string>> moduleFolders = {
      {"/A/B/Nexoral.so", 0, "/A/B/"}, {"/A/B/Nexoral.so", 1, "/A/"},
      {"/A/B/Nexoral.so", 3, ""}, {"Nexoral.so", 0, ""}};
  for (const auto& [path, levels, folder] : moduleFolders) {
    EXPECT_EQ(ModuleFolderOf(path, levels), folder) << path << " " << levels;
  }
  // The other folders follow from the module folder (start-up checks them): with no folder
  // above it, the common folder is at the root.
  EXPECT_EQ(DeriveInstallationPaths("/B/", "CoreRes.dll").commonFolder, "/Common Files/");
  // Worker paths are relative to the folder above the product folder.
  const std::vector<std::pair<std::string, std::string>> workerRoots = {
      {"/opt/Zephyrquill/Nexoral/", "/opt/"}, {"/opt/Zephyrquill/Nexoral", "/opt/"},
      {"/opt/Zephyrquill/Nexoral/Nexoral.so", "/opt/Zephyrquill/"},
      {"/Nexoral/", "/Nexoral/"}, {"Nexoral", "Nexoral"}, {"/", "/"}};
  for (const auto& [path, root] : workerRoots) EXPECT_EQ(ServiceWorkerRoot(path), root) << path;
}

TEST(ExtractUserName, LogonNamesAreReducedToTheUserName) {
  LogCapture log;
  SettingsHostDouble host("");
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"CONTOSO\\alice", "ok:alice"}, {"alice@contoso.com", "ok:alice"}, {"alice", "ok:alice"},
      {"contoso/alice", "ok:alice"}, {"contoso/", "invalid:contoso/"}, {"", "invalid:"},
      {"alice@", "ok:alice@"},              // its only at sign at the end: kept
      {"CONTOSO\\alice@x", "ok:alice@x"},  // the backslash rule comes first
      {"CONTOSO\\", "invalid:CONTOSO\\"}};
  for (auto [name, expected] : rows) {
    const bool valid = host.ExtractUserName(name);
    EXPECT_EQ((valid ? "ok:" : "invalid:") + name, expected);
  }
  EXPECT_TRUE(log.Contains("[CGeneralSettings::ExtractUserName] Username is empty."));
  EXPECT_TRUE(log.Contains("ExtractUserName got an invalid Username format CONTOSO\\ "));
}

class SettingsHostTest : public ::testing::Test {
 protected:
  static size_t EventsWithId(const EventCapture& events, DWORD id) {
    size_t count = 0;
    for (const CapturedEvent& event : events.Events()) count += event.record.id == id ? 1 : 0;
    return count;
  }

  TestInstallation install_;
  InstallationEnvironment environment_{install_, BuiltComponentsFolder()};
};

// Start-up with what the settings file, the registry and the environment say; a refresh
// without a changed criteria file leaves the log alone; the identities are logged and the
// request's identity is put back; shutdown.
TEST_F(SettingsHostTest, StartUpRefreshAndShutdown) {
  install_.WriteCoreSettings({{6, "/owa/ev.owa;/owa/service.svc"}, {60, "50"}, {80, "2"}}, {});
  // The pool (nullptr: not set), "SSLOffloaded" in the registry (0: not there), the OS major
  // version setting (empty: the system's), then the SSL flag and the major version read.
  const std::vector<std::tuple<const char*, DWORD, const char*, bool, DWORD>> rows = {
      {"OwaPool", 0, "", false, platform::kFrontEndMajorVersion},
      {nullptr, 1, "6", true, 6},
      {"OwaPool", 2, "", false, platform::kFrontEndMajorVersion}};
  for (const auto& [pool, sslOffloaded, osMajorVersion, ssl, major] : rows) {
    LogCapture log;
    EventCapture events;
    pool != nullptr ? setenv("APP_POOL_ID", pool, 1) : unsetenv("APP_POOL_ID");
    if (sslOffloaded != 0) {
      install_.WriteFile("registry/system/currentcontrolset/services/msexchange owa.reg",
                         "SSLOffloaded=REG_DWORD:" + std::to_string(sslOffloaded) + "\n");
    }
    ScopedEnvironment version(platform::kOsMajorVersionVariable, osMajorVersion);
    SettingsHostDouble host(install_.ModulePath());
    ASSERT_TRUE(host.Start()) << sslOffloaded;
    EXPECT_EQ(host.AppPool(), pool != nullptr ? pool : "");
    EXPECT_EQ(host.SslOffloaded(), ssl);
    EXPECT_EQ(log.Count("GetRegistryInfo SSLOffloaded " + std::to_string(sslOffloaded)),
              sslOffloaded != 0 ? 1u : 0u);
    EXPECT_EQ(host.OsMajorVersion(), major);
    EXPECT_EQ(host.CommonFilesFolder(), install_.Root() + "Zephyrquill/Common Files/");
    EXPECT_EQ(host.UrlList(), (std::vector<std::string>{"/owa/ev.owa", "/owa/service.svc"}));
    EXPECT_TRUE(!host.ComputerName().empty() && host.ComputerName().find('.') == std::string::npos);
    EXPECT_TRUE(host.Resource().IsLoaded() && host.PropertyCache().IsInitialized() &&
                host.DirectoryUserCache().IsInitialized());
    // Cache sizes not in the file take their defaults; item 60 is there.
    EXPECT_TRUE(log.Contains("Init could find ID_MAX_CACHE_ITEMS use 3000 as default"));
    EXPECT_FALSE(log.Contains("InitializeADUserCache could find ID_MAX_CACHE_ITEMS"));
    EXPECT_TRUE(log.Contains("Nexoral.dll FileVer: 0.1.0.0, Product Ver: 0.1.0  DD.MM.YYY "));
    EXPECT_FALSE(log.Contains("Primary Domain DNS")) << "item 80 = 2 logs no domain information";
    EXPECT_EQ(EventsWithId(events, kEventIdInitialized), 1u);
    EXPECT_TRUE(log.Contains("Thread User:  Domain:  SID: "));  // not impersonating

    HANDLE token = platform::CreateAccessToken({"alice", "CONTOSO", "S-1-5-21-7", {}});
    ASSERT_TRUE(platform::SetThreadToken(token));
    const size_t handles = platform::OpenTokenHandleCount();
    bool changed = true;
    EXPECT_TRUE(host.Refresh(&changed) && !changed);
    host.LogProcessAndThreadUser();
    EXPECT_TRUE(log.Contains("Thread User: alice Domain: CONTOSO SID: S-1-5-21-7"));
    EXPECT_EQ(platform::EffectiveIdentity().user, "alice");
    EXPECT_EQ(platform::OpenTokenHandleCount(), handles);
    EXPECT_EQ(host.logConfigurations, 1);
    platform::RevertToSelf();
    platform::CloseAccessToken(token);

    EXPECT_TRUE(host.Term());
    EXPECT_FALSE(host.IsInitialised() || host.EventLog().IsRegistered());
    EXPECT_FALSE(host.Resource().IsLoaded() || host.PropertyCache().IsInitialized());
  }
}

// A failed start-up logs and reports its reason, in an event of its own as well when the
// reason is found before the end; the diagnostic steps still run.
TEST_F(SettingsHostTest, FailedStartUps) {
  install_.WriteFile("Zephyrquill/Nexoral/Settings/CoreSettings.xml", "<SETTINGS><CORESETTINGS>");
  const std::vector<std::tuple<std::string, std::string, size_t>> rows = {
      {"", "Can not get module path Nexoral.dll", 2},  // the module is not found
      {install_.ModulePath(),
       "Loading Settings failed " + install_.SettingsFolder() + " -2147024883", 2},
      {"/x/" + std::string(250, 'd') + "/Nexoral.so", "Path length exceeded MAX_PATH ", 1},
  };
  for (const auto& [modulePath, reason, reports] : rows) {
    LogCapture log;
    EventCapture events;
    SettingsHostDouble host(modulePath);
    EXPECT_FALSE(host.Start() || host.IsInitialised()) << reason;
    EXPECT_TRUE(log.Contains("General Settings failed initialization " + reason)) << reason;
    EXPECT_EQ(events.Count(reason), reports) << reason;
    EXPECT_EQ(EventsWithId(events, kEventIdInitFailed), 1u);
    EXPECT_EQ(EventsWithId(events, kEventIdInitialized), 0u);
    EXPECT_TRUE(log.Contains("Version 5.2") && host.logConfigurations == 0) << reason;
  }
}

}  // namespace
}  // namespace nexoral::testing
