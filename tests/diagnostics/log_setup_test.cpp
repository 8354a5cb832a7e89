// Configuring the log: which items switch it on, which writer and lock it gets, and the log's
// name and path.
#include "diagnostics/log_setup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "diagnostics/log.h"
#include "diagnostics/log_installation.h"
#include "diagnostics/log_state.h"
#include "diagnostics/log_writers.h"
#include "platform/system_paths.h"

namespace nexoral {
namespace {

using testing::LogInstallation;

// Sets the system directory for one test.
class SystemDirectoryOverride {
 public:
  explicit SystemDirectoryOverride(const std::string& folder) {
    setenv(platform::kSystemDirectoryVariable, folder.c_str(), 1);
  }
  ~SystemDirectoryOverride() { unsetenv(platform::kSystemDirectoryVariable); }
};

TEST(LogFileNameTest, AdministratorsNamesBecomeUsableFileNames) {
  const struct {
    const char* configured;
    const char* expected;
  } cases[] = {
      {"con", "ZQ_con"},
      {"CON", "ZQ_CON"},
      {"clock$", "clock$"},
      {"Clocks$", "ZQ_Clocks$"},
      {"a/b.log", "a_b.log"},
      {"  spaced.log  ", "spaced.log"},
      {"c:\\logs\\x|y?.log", "c__logs_x_y_.log"},
      {"com1", "ZQ_com1"},
      {"lpt9.log", "ZQ_lpt9.log"},
      {"com10.log", "com10.log"},
      {"telecom.log", "telecom.log"},
      {"..", "ZQ_.."},
      {"   ", "ZQ_"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CommonLogFileName(c.configured), c.expected) << '"' << c.configured << '"';
  }
}

TEST(LogFileNameTest, VeryLongNamesKeepTheirLast130Characters) {
  const std::string tail(130, 't');
  EXPECT_EQ(CommonLogFileName(std::string(131, 'h') + tail), tail);
  const std::string exactly260(260, 'k');
  EXPECT_EQ(CommonLogFileName(exactly260), exactly260);
}

TEST(LogFileNameTest, OwnLogIsNamedAfterTheModule) {
  EXPECT_EQ(OwnLogFileName("Nexoral.dll"), "Nexoral.log");
  EXPECT_EQ(OwnLogFileName("Worker.DLL"), "Worker.log");
  EXPECT_EQ(OwnLogFileName("a.dll.dll"), "a.log.log");
  EXPECT_EQ(OwnLogFileName("nexoral.so"), "nexoral.so");
}

TEST(LogPathTest, FolderItemHoldsTheLogsFolder) {
  EXPECT_EQ(LogPathFor("/srv/logs", "Nexoral.log"), "/srv/logs/ZephyrquillLogs/Nexoral.log");
  const std::string name = "Nexoral.log";  // 11 characters: folders below 232 fit
  EXPECT_EQ(LogPathFor(std::string(231, 'f'), name),
            std::string(231, 'f') + "/ZephyrquillLogs/" + name);
  EXPECT_EQ(LogPathFor(std::string(232, 'f'), name), platform::FallbackLogPath());
}

TEST(LogPathTest, WithoutAFolderTheSystemDirectoryIsUsed) {
  {
    SystemDirectoryOverride system("/srv/system");
    EXPECT_EQ(LogPathFor("", "x.log"), "/srv/system/LogFiles/ZephyrquillLogs/x.log");
    EXPECT_EQ(platform::FallbackLogPath(), "/srv/system/LogError.txt");
  }
  {
    SystemDirectoryOverride system(std::string(229, 's'));  // 229 >= 234 - 5
    EXPECT_EQ(LogPathFor("", "x.log"), platform::FallbackLogPath());
  }
  EXPECT_EQ(LogPathFor("", "x.log"), "/var/log/LogFiles/ZephyrquillLogs/x.log");
}

TEST(ConfigureLogTest, WithoutTheSwitchItemNothingIsLogged) {
  LogInstallation install;
  install.SelectOwnLog(testing::kPlainOutput);
  install.settings.items.erase(kItemLogSwitch);
  const std::string path = install.Configure();
  EXPECT_EQ(LogSwitch(), kLogSwitchOff);
  Log("not written");
  EXPECT_TRUE(testing::ReadWholeFile(path).empty());
}

TEST(ConfigureLogTest, SwitchValuesOneAndTenTurnTheLogOn) {
  for (const char* value : {"1", "10", "2", "0", "-1"}) {
    LogInstallation install;
    install.SelectOwnLog(testing::kPlainOutput);
    install.settings.items[kItemLogSwitch] = value;
    install.Configure();
    const bool on = std::string(value) == "1" || std::string(value) == "10";
    EXPECT_EQ(LogSwitch(), on ? kLogSwitchWrite : kLogSwitchOff) << value;
  }
}

TEST(ConfigureLogTest, OwnLogIsNamedAfterTheModuleInTheLogsFolder) {
  LogInstallation install;
  install.SelectOwnLog(testing::kPlainOutput);
  const std::string path = install.Configure();
  EXPECT_EQ(path, install.folder.Path() + "/ZephyrquillLogs/" + install.logFileName);
  EXPECT_TRUE(ProcessLogState().dumpAtExit);
  EXPECT_NE(LogLock(), nullptr);
}

TEST(ConfigureLogTest, OutputKindChoosesTheWriterAndSize) {
  LogInstallation install;
  install.SelectOwnLog(testing::kBufferedOutput, 64);
  install.Configure();
  EXPECT_EQ(CurrentLogWriter(), &BufferedLogWriter);
  EXPECT_EQ(ProcessLogState().sizeLimit, 64 * 1024);

  install.SelectOwnLog(testing::kSharedMemoryOutput, 128);
  install.Configure();
  EXPECT_EQ(CurrentLogWriter(), &SharedMemoryLogWriter);
  EXPECT_EQ(ProcessLogState().sizeLimit, 128 * 1024);

  // Any other kind, and switch value 10, keep the writer chosen before.
  install.SelectOwnLog(testing::kPlainOutput, 256);
  install.Configure();
  EXPECT_EQ(CurrentLogWriter(), &SharedMemoryLogWriter);
  install.SelectOwnLog(testing::kBufferedOutput, 256);
  install.settings.items[kItemLogSwitch] = "10";
  install.Configure();
  EXPECT_EQ(CurrentLogWriter(), &SharedMemoryLogWriter);
  EXPECT_EQ(ProcessLogState().sizeLimit, 128 * 1024);
}

TEST(ConfigureLogTest, AtStartUpSwitchTenKeepsThePlainWriter) {
  LogInstallation install;
  install.SelectOwnLog(testing::kSharedMemoryOutput);
  install.settings.items[kItemLogSwitch] = "10";
  const std::string path = install.Configure();
  EXPECT_EQ(CurrentLogWriter(), &PlainLogWriter);
  Log("plain line %d", 7);
  const std::string content = testing::ReadWholeFile(path);
  EXPECT_EQ(content.rfind("\n\n ****  ", 0), 0u) << content;
  EXPECT_NE(content.find(" plain line 7"), std::string::npos) << content;
}

TEST(ConfigureLogTest, CommonLogSharesTheGeneralLockAndPrefixesLines) {
  LogInstallation install;
  install.SelectOwnLog(testing::kPlainOutput);
  install.settings.items.erase(kItemOwnLog);
  const std::string path = install.Configure();
  EXPECT_EQ(path, install.folder.Path() + "/ZephyrquillLogs/ZQCommonLog.log");
  EXPECT_EQ(ProcessLogState().linePrefix, "[" + install.moduleFileName + "] ");
  EXPECT_NE(LogLock(), nullptr);
}

TEST(ConfigureLogTest, ConfiguredCommonNameTakesTheProductLockOnlyForFileOutputs) {
  LogInstallation install;
  install.SelectOwnLog(testing::kPlainOutput);
  install.settings.items.erase(kItemOwnLog);
  install.settings.items[kItemLogFileName] = "a/b.log";
  const std::string path = install.Configure();
  EXPECT_EQ(path, install.folder.Path() + "/ZephyrquillLogs/a_b.log");
  EXPECT_EQ(LogLock(), nullptr);  // no lock is asked for the plain output

  install.settings.items[kItemLogOutput] = "2";
  install.Configure();
  EXPECT_NE(LogLock(), nullptr);
}

TEST(ConfigureLogTest, WithoutTheLogModuleNothingIsWrittenAndNothingFails) {
  LogInstallation install(false);
  install.SelectOwnLog(testing::kPlainOutput);
  const std::string path = install.Configure();
  EXPECT_EQ(LogLock(), nullptr);
  EXPECT_EQ(LogSwitch(), kLogSwitchWrite);
  Log("nowhere to go");
  LogError(5, "nowhere either");
  EXPECT_TRUE(testing::ReadWholeFile(path).empty());
}

}  // namespace
}  // namespace nexoral
