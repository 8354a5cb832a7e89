// CExchangeAccess against the mailbox property component: values stored and read for the
// calling user, declared defaults for what was never stored, the texts of every failure, and
// two worker processes writing the same mailbox.
#include "properties/exchange_access.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "harness/diagnostics_capture.h"
#include "harness/temp_folder.h"
#include "platform/com_errors.h"
#include "platform/error_codes.h"
#include "platform/thread_token.h"
#include "properties/component_doubles.h"

namespace nexoral {
namespace {

using testing::EventCapture;
using testing::LogCapture;
using testing::ScriptedComponents;

constexpr char kUrl[] = "https://mail.contoso.com/EWS/Exchange.asmx";
constexpr char kSet[] = "{00020329-0000-0000-C000-000000000046}";
constexpr char kStoreVariable[] = "NEXORAL_MAILBOX_STORE";

CustomPropertyDef Property(int32_t id, const std::string& name, const std::string& value,
                           bool loaded = false, const std::string& guid = kSet) {
  return CustomPropertyDef{1, 31, id, value, guid, name, loaded};
}

// The declared properties with their defaults, as the settings host's table holds them.
CustomPropertyList DeclaredProperties() {
  return {Property(1, "Signature", "none"), Property(2, "Theme", "light"),
          Property(3, "Zoom", "100")};
}

// Runs as a user, as a request thread does.
class ActingAs {
 public:
  explicit ActingAs(const std::string& user) {
    token_ = platform::CreateAccessToken({user, "CONTOSO", "S-1-5-21-1-" + user, {}});
    platform::SetThreadToken(token_);
  }
  ~ActingAs() {
    platform::RevertToSelf();
    platform::CloseAccessToken(token_);
  }
  ActingAs(const ActingAs&) = delete;
  ActingAs& operator=(const ActingAs&) = delete;

 private:
  HANDLE token_;
};

class ExchangeAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(platform::kComponentsFolderVariable, NEXORAL_COMPONENTS_BUILD_DIR, 1);
    setenv(kStoreVariable, store_.c_str(), 1);
  }

  // Stores props for the thread's user (or mailbox) through a client of its own.
  HRESULT Store(const CustomPropertyList& props, const std::string& mailbox = "") {
    CExchangeAccess access;
    const HRESULT hr = access.Initialize(1, 2, kUrl, mailbox);
    return Failed(hr) ? hr : access.SetCustomProperties(props);
  }
  // The declared properties with the values read for the thread's user (or mailbox).
  CustomPropertyList Read(const std::string& mailbox = "") {
    CExchangeAccess access;
    CustomPropertyList props = DeclaredProperties();
    EXPECT_EQ(access.Initialize(1, 2, kUrl, mailbox), kSOk);
    EXPECT_EQ(access.GetCustomProperties(props), kSOk);
    return props;
  }
  static std::vector<std::string> ValuesOf(const CustomPropertyList& props) {
    std::vector<std::string> values;
    for (const CustomPropertyDef& prop : props) values.push_back(prop.Value);
    return values;
  }

  testing::TempFolder folder_;
  const std::string store_ = folder_.Join("store/properties.db");
  LogCapture log_;
  EventCapture events_;
};

TEST_F(ExchangeAccessTest, LoadedPropertiesAreStoredAndTheRestReadAsTheirDefaults) {
  ActingAs bob("bob");
  ASSERT_EQ(Store({Property(1, "Signature", "Regards, Bob", true), Property(2, "Theme", "dark"),
                   Property(3, "Zoom", "125", true)}),
            kSOk);
  EXPECT_TRUE(log_.Contains("SetCustomProperties ID:1, GUID:" + std::string(kSet) +
                            " Val: Regards, Bob Type: 31 Updated: TRUE"));
  EXPECT_TRUE(log_.Contains("SetCustomProperties ID:3, GUID:" + std::string(kSet) +
                            " Val: 125 Type: 31 Updated: TRUE"));
  EXPECT_FALSE(log_.Contains("SetCustomProperties ID:2"));
  EXPECT_EQ(ValuesOf(Read()), (std::vector<std::string>{"Regards, Bob", "light", "125"}));
}

TEST_F(ExchangeAccessTest, EachUserAndEachExplicitMailboxHasItsOwnValues) {
  {
    ActingAs bob("bob");
    ASSERT_EQ(Store({Property(2, "Theme", "bob's", true)}), kSOk);
    ASSERT_EQ(Store({Property(2, "Theme", "shared box", true)}, "Shared@Contoso.com"), kSOk);
  }
  ActingAs alice("alice");
  EXPECT_EQ(ValuesOf(Read()), (std::vector<std::string>{"none", "light", "100"}));
  EXPECT_EQ(ValuesOf(Read("shared@contoso.com")),
            (std::vector<std::string>{"none", "shared box", "100"}));
}

TEST_F(ExchangeAccessTest, WithNothingLoadedNothingIsWritten) {
  ActingAs bob("bob");
  EXPECT_EQ(Store(DeclaredProperties()), kSOk);
  EXPECT_TRUE(log_.Contains(
      "SetCustomProperties got a vector with all properties set to bUpdated = FALSE. No Updates were done"));
  EXPECT_EQ(ValuesOf(Read()), (std::vector<std::string>{"none", "light", "100"}));
}

TEST_F(ExchangeAccessTest, WithoutAnInstanceEveryCallFailsWithItsText) {
  CExchangeAccess access;
  CustomPropertyList props = DeclaredProperties();
  EXPECT_EQ(access.GetCustomProperties(props), E_POINTER);
  EXPECT_EQ(access.SetCustomProperties(props), E_POINTER);
  EXPECT_TRUE(log_.Contains("GetCustomProperties called but has a NULL POINTER to EWS"));
  EXPECT_TRUE(log_.Contains("SetCustomProperties called but has a NULL POINTER to EWS"));
  std::string text = "before:";
  int32_t number = -1;
  EXPECT_TRUE(Failed(access.GetErrorInfo(&text, &number)));
  EXPECT_EQ(text, "before:Null pointer found for ZqExchangeAccess  ");
  EXPECT_EQ(number, 0);
}

TEST_F(ExchangeAccessTest, InitializeReportsAMissingComponentAndEveryNonZeroReturnCode) {
  testing::TempFolder empty;
  setenv(platform::kComponentsFolderVariable, empty.Path().c_str(), 1);
  CExchangeAccess access;
  EXPECT_EQ(access.Initialize(1, 2, kUrl, ""), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(events_.Count("Initialize ExchangeAccess Initialize failed " + std::string(kUrl) +
                          " HR:0x80040154"),
            1u);

  setenv(platform::kComponentsFolderVariable, NEXORAL_COMPONENTS_BUILD_DIR, 1);
  EXPECT_EQ(access.Initialize(1, 2, kUrl, ""), kEFail);  // no user, no mailbox
  EXPECT_EQ(events_.Count("Initialize ExchangeAccess Initialize returned a failure code " +
                          std::string(kUrl) + " RC: 1001"),
            1u);
  std::string text;
  int32_t number = 0;
  EXPECT_EQ(access.GetErrorInfo(&text, &number), kSOk);
  EXPECT_EQ(number, kAccessErrorNoMailbox);
  EXPECT_NE(text.find("no mailbox"), std::string::npos);

  EXPECT_EQ(access.Initialize(1, 3, kUrl, "box"), kEFail);
  EXPECT_EQ(events_.Count("RC: 1002"), 1u);
  folder_.WriteFile("store/properties.db", "not a database at all");
  EXPECT_EQ(access.Initialize(1, 2, kUrl, "box"), kEFail);
  EXPECT_EQ(events_.Count("RC: 26"), 1u);
  EXPECT_EQ(testing::ReadWholeFile(store_), "not a database at all");
  CustomPropertyList props = DeclaredProperties();
  EXPECT_EQ(access.GetCustomProperties(props), kAccessENotInitialized);
  EXPECT_TRUE(log_.Contains("GetCustomProperties failed the component is not initialized"));
}

TEST_F(ExchangeAccessTest, AnInvalidPropertyFailsTheWholeWriteAndOnlyItselfOnRead) {
  ActingAs bob("bob");
  ASSERT_EQ(Store({Property(1, "Signature", "kept", true)}), kSOk);
  EXPECT_EQ(Store({Property(1, "Signature", "lost", true), Property(7, "Bad", "x", true, "nope")}),
            kEFail);
  EXPECT_TRUE(log_.Contains("SetCustomProperties failed property 7: its property-set GUID \"nope\" "
                            "is not a GUID. HR: 0x80004005, NO: 1004"));
  EXPECT_EQ(ValuesOf(Read()), (std::vector<std::string>{"kept", "light", "100"}));

  CExchangeAccess access;
  ASSERT_EQ(access.Initialize(1, 2, kUrl, ""), kSOk);
  CustomPropertyList props = {Property(7, "Bad", "default", false, "nope"),
                              Property(1, "Signature", "none")};
  EXPECT_EQ(access.GetCustomProperties(props), kSOk);
  EXPECT_EQ(ValuesOf(props), (std::vector<std::string>{"default", "kept"}));
  EXPECT_TRUE(log_.Contains("GetCustomProperties encountered some errors property 7"));
}

TEST_F(ExchangeAccessTest, AResultWithoutAValuePerPropertyIsAFailure) {
  ScriptedComponents scripted;
  CExchangeAccess access;
  ASSERT_EQ(access.Initialize(1, 2, kUrl, ""), kSOk);
  CustomPropertyList props = DeclaredProperties();
  scripted.Access().onRead = [](PropertyValues* values, int32_t*) {
    *values = {std::string("only one")};
    return kSOk;
  };
  EXPECT_EQ(access.GetCustomProperties(props), kEInvalidArg);
  EXPECT_TRUE(log_.Contains("GetCustomProperties failed scripted failure. HR: 0x80070057, NO: 77"));
  scripted.Access().onRead = [](PropertyValues*, int32_t*) { return kSOk; };
  EXPECT_EQ(access.GetCustomProperties(props), kEFail);  // no array at all
  EXPECT_EQ(ValuesOf(props), (std::vector<std::string>{"none", "light", "100"}));
}

TEST_F(ExchangeAccessTest, ExceptionsOfTheComponentAreLoggedReportedAndStopThere) {
  ScriptedComponents scripted;
  CExchangeAccess access;
  scripted.Access().onInitialize = [](int32_t*) -> HRESULT { throw _com_error(kEOutOfMemory); };
  EXPECT_EQ(access.Initialize(5, 2, kUrl, ""), kEOutOfMemory);
  const std::string message = _com_error(kEOutOfMemory).ErrorMessage();
  EXPECT_TRUE(log_.Contains("CExchangeAccess::Initialize got EXCEPTION HR 0x8007000e, " + message +
                            ". Version 5, Connection 2, EWS " + kUrl));
  EXPECT_EQ(events_.Count("Initialize failed with 0x8007000e to access EWS " + message +
                          ". Version 5, Connection 2, EWS " + kUrl),
            1u);

  scripted.Access().onInitialize = [](int32_t*) -> HRESULT { throw std::runtime_error("boom"); };
  EXPECT_EQ(access.Initialize(5, 2, kUrl, ""), kEFail);
  EXPECT_TRUE(log_.Contains("CExchangeAccess::Initialize got STD EXCEPTION boom. Version 5"));

  scripted.Access().onInitialize = [](int32_t*) { return kSOk; };
  ASSERT_EQ(access.Initialize(5, 2, kUrl, ""), kSOk);
  scripted.Access().onRead = [](PropertyValues*, int32_t*) -> HRESULT { throw 7; };
  CustomPropertyList props = DeclaredProperties();
  EXPECT_EQ(access.GetCustomProperties(props), kEUnexpected);
  EXPECT_TRUE(log_.Contains("CExchangeAccess::GetCustomProperties got GENERAL EXCEPTION for Prop No -1"));
  EXPECT_EQ(events_.Count("GetCustomProperties failed with GENERAL EXCEPTION for Prop No -1"), 1u);
}

// Each writer process stores its own properties and a shared one many times, one client per
// write as the request threads do.
void WriteAsWorkerProcess(int worker, int rounds) {
  ActingAs bob("bob");
  for (int round = 0; round < rounds; ++round) {
    CExchangeAccess access;
    if (Failed(access.Initialize(1, 2, kUrl, ""))) _exit(1);
    const CustomPropertyList props = {
        Property(100 * (worker + 1) + round, "Own", std::to_string(round), true),
        Property(1, "Signature", "worker " + std::to_string(worker), true)};
    if (access.SetCustomProperties(props) != kSOk) _exit(2);
  }
  _exit(0);
}

TEST_F(ExchangeAccessTest, TwoProcessesWritingTheSameMailboxLoseNothing) {
  constexpr int kRounds = 40;
  pid_t workers[2];
  for (int worker = 0; worker < 2; ++worker) {
    workers[worker] = fork();
    ASSERT_GE(workers[worker], 0);
    if (workers[worker] == 0) WriteAsWorkerProcess(worker, kRounds);
  }
  for (pid_t worker : workers) {
    int status = 0;
    ASSERT_EQ(waitpid(worker, &status, 0), worker);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  ActingAs bob("bob");
  CExchangeAccess access;
  ASSERT_EQ(access.Initialize(1, 2, kUrl, ""), kSOk);
  CustomPropertyList props = {Property(1, "Signature", "unset")};
  for (int worker = 0; worker < 2; ++worker) {
    for (int round = 0; round < kRounds; ++round) {
      props.push_back(Property(100 * (worker + 1) + round, "Own", "unset"));
    }
  }
  ASSERT_EQ(access.GetCustomProperties(props), kSOk);
  EXPECT_TRUE(props[0].Value == "worker 0" || props[0].Value == "worker 1") << props[0].Value;
  for (size_t index = 1; index < props.size(); ++index) {
    EXPECT_EQ(props[index].Value, std::to_string((index - 1) % kRounds)) << props[index].ID;
  }
}

}  // namespace
}  // namespace nexoral
