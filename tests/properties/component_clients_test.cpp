// The clients of the two components, CZQCache and CExchangeAccess, against the components built
// here and against scripted ones: the operations end to end, failures and exceptions stopping at
// the client, and many threads at once.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <stdexcept>
#include <thread>

#include "cache/cache_interface.h"
#include "harness/diagnostics_capture.h"
#include "harness/temp_folder.h"
#include "mailbox/exchange_access_interface.h"
#include "mailbox/mailbox_identity.h"
#include "platform/com_errors.h"
#include "platform/thread_token.h"
#include "properties/exchange_access.h"
#include "properties/zq_cache.h"

namespace nexoral {
namespace {

// The scripted components: every cache call runs cacheScript and is counted; the mailbox
// component's Initialize runs initScript, its read readScript.
std::function<HRESULT()> cacheScript;
int cacheCalls = 0;
std::function<HRESULT(int32_t* returnCode)> initScript;
std::function<HRESULT(PropertyValues* values, int32_t* errorCount)> readScript;

class ScriptedCache final : public platform::RefCounted<IZQCache> {
  using Text = std::string_view;
  static HRESULT Call() { return ++cacheCalls, cacheScript(); }
  HRESULT Initialize() override { return Call(); }
  HRESULT CreateCache(Text, int32_t, int32_t) override { return Call(); }
  HRESULT DestroyCache(Text) override { return Call(); }
  HRESULT AddItem(Text, Text, Text, Text) override { return Call(); }
  HRESULT GetItem(Text, Text, std::string*, Text) override { return Call(); }
  HRESULT InvalidateItem(Text, Text) override { return Call(); }
  HRESULT ClearCache(Text) override { return Call(); }
  HRESULT Shutdown() override { return Call(); }
};

class ScriptedAccess final : public platform::RefCounted<IZqExchangeAccess> {
  using Text = std::string_view;
  using Texts = const std::vector<std::string>&;
  using Numbers = const std::vector<int32_t>&;
  HRESULT Initialize(int32_t, int32_t, Text, Text, Text, Text, Text, int32_t* code) override { return initScript(code); }
  HRESULT GetCustomProperties(Texts, Numbers, Numbers, PropertyValues* values, int32_t* errors) override {
    return readScript(values, errors);
  }
  HRESULT SetCustomProperties(Numbers, Texts, Texts, Numbers, int32_t*) override { return kSOk; }
  HRESULT GetErrorInfo(std::string* text, int32_t* number) override { return *text = "scripted", *number = 77, kSOk; }
  HRESULT AnnounceChange() override { return kSOk; }
};

template <class Interface, class Scripted>
HRESULT CreateScripted(const char* interfaceId, void** instance) {
  return platform::CreateInstanceOf<Interface, Scripted>(interfaceId, instance);
}

// Acts as user on this thread, as a request thread does; null: as the process again.
void ActAs(const char* user) {
  static thread_local HANDLE token = nullptr;
  platform::RevertToSelf();
  if (token != nullptr) platform::CloseAccessToken(token);
  token = user == nullptr ? nullptr : platform::CreateAccessToken({user, "CONTOSO", std::string("S-1-5-21-") + user, {}});
  if (token != nullptr) platform::SetThreadToken(token);
}

class ComponentClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(platform::kComponentsFolderVariable, NEXORAL_COMPONENTS_BUILD_DIR, 1);
    setenv("NEXORAL_MAILBOX_STORE", folder_.Join("store/properties.db").c_str(), 1);
    setenv("NEXORAL_MAILBOX_STORE_TIMEOUT_MS", "4000", 1);
    // Bob may act for Alice's mailbox; Bob also answers to a second SMTP address.
    folder_.WriteFile("dir.ldif", "dn: dc=contoso\nobjectClass: domain\n\ndn: cn=Alice,dc=contoso\nobjectClass: user\nsAMAccountName: alice\n"
                      "proxyAddresses: SMTP:alice@contoso.com\npublicDelegates: CN=BOB,dc=contoso\n\ndn: cn=Bob,dc=contoso\n"
                      "objectClass: user\nsAMAccountName: bob\nuserPrincipalName: bob@corp.contoso.com\n"
                      "proxyAddresses: smtp:robert@contoso.com\n");
    folder_.WriteFile("Directory.conf", "ldif = dir.ldif\nbase = dc=contoso\ndomain = CONTOSO\n");
    setenv(mailbox::kDirectoryVariable, folder_.Join("Directory.conf").c_str(), 1);
  }
  void TearDown() override {
    cacheScript = [] { return kSOk; };
    if (cache_.IsInitialized()) cache_.Shutdown();
    platform::RegisterInProcessComponent(kCacheComponentName, nullptr);
    platform::RegisterInProcessComponent(kExchangeAccessComponentName, nullptr);
    ActAs(nullptr);
  }
  // Puts the scripted components in place of the real ones.
  static void Script() {
    cacheScript = [] { return kSOk; };
    initScript = [](int32_t*) { return kSOk; };
    platform::RegisterInProcessComponent(kCacheComponentName, CreateScripted<IZQCache, ScriptedCache>);
    platform::RegisterInProcessComponent(kExchangeAccessComponentName, CreateScripted<IZqExchangeAccess, ScriptedAccess>);
  }

  testing::TempFolder folder_;
  CZQCache cache_;
  testing::EventCapture events_;
};

TEST_F(ComponentClientTest, CacheClientsShareTheComponentsCachesWithinItsBounds) {
  // Ops of the first client (upper case) or the second (lower case): 'N' inits, 'S' shuts down,
  // 'A' adds (cache, key, data), 'G' gets (cache, key; session: data) the data, "miss" or "failed",
  // 'I' invalidates, 'C' creates (cache, items: key, minutes: data), 'D' destroys.
  const std::string longKey(kCacheMaxKeyBytes + 1, 'k'), longSession(kCacheMaxSessionBytes + 1, 's');
  const std::string fullData(kCacheMaxDataBytes, 'd');
  const struct { char op; std::string cache, key, data, result; } kSteps[] = {
      {'N', "", "", "", "ok"}, {'n', "", "", "", "ok"}, {'C', "Hidden", "100", "30", "ok"},
      {'G', "Hidden", "bob", "s1", "miss"}, {'A', "Hidden", "bob", "<a>1</a>", "ok"},
      {'g', "Hidden", "bob", "", "<a>1</a>"}, {'A', "Hidden", "bob", "<a>2</a>", "ok"},  // any session reads
      {'G', "Hidden", "bob", "s2", "<a>2</a>"}, {'G', "hidden", "bob", "s2", "failed"},
      {'C', "Hidden", "5", "5", "ok"}, {'G', "Hidden", "bob", "s", "<a>2</a>"},  // a taken name keeps its cache
      {'I', "Hidden", "bob", "", "ok"}, {'G', "Hidden", "bob", "", "miss"}, {'I', "Hidden", "bob", "", "ok"},
      {'A', "Hidden", "sta", "v", "ok"}, {'A', "Hidden", "", "d", "failed"}, {'A', "Hidden", longKey, "d", "failed"},
      {'A', "Hidden", "k", fullData + "d", "failed"}, {'A', "Hidden", "k", fullData, "ok"},
      {'G', "Hidden", "k", longSession, "failed"}, {'C', "other", "0", "30", "failed"},
      {'C', "other", "10", "-1", "failed"}, {'C', "", "10", "30", "failed"}, {'D', "Hidden", "", "", "ok"},
      {'G', "Hidden", "sta", "s7", "failed"}, {'A', "Hidden", "bob", "text", "failed"}, {'D', "Hidden", "", "", "failed"},
      {'C', "Hidden", "10", "30", "ok"}, {'G', "Hidden", "sta", "s", "miss"}, {'A', "Hidden", "bob", "kept", "ok"},
      // Each start needs its own stop: a second one must not end the other client's start.
      {'S', "", "", "", "ok"}, {'S', "", "", "", "failed"}, {'g', "Hidden", "bob", "s", "kept"},
      {'s', "", "", "", "ok"}, {'n', "", "", "", "ok"}, {'g', "Hidden", "bob", "s", "failed"}, {'s', "", "", "", "ok"}};
  CZQCache clients[2];
  for (const auto& step : kSteps) {
    CZQCache& client = clients[std::islower(step.op) ? 1 : 0];
    const char op = static_cast<char>(std::toupper(step.op));
    std::optional<std::string> data = "stale";
    bool done = false;
    if (op == 'N') done = client.Init();
    if (op == 'S') done = Succeeded(client.Shutdown());
    if (op == 'A') done = client.AddItem(step.cache, step.key, step.data, "s");
    if (op == 'G' && (done = client.GetItem(step.cache, step.key, &data, step.data))) data = data.value_or("miss");
    if (op == 'I') done = client.InvalidateItem(step.cache, step.key);
    if (op == 'C') done = client.CreateCache(step.cache, std::stoi(step.key), std::stoi(step.data));
    if (op == 'D') done = client.DestroyCache(step.cache);
    EXPECT_EQ(!done ? "failed" : op == 'G' ? *data : "ok", step.result) << &step - kSteps;
  }
}

TEST_F(ComponentClientTest, FailuresAndExceptionsOfTheCacheComponentStopAtTheClient) {
  // The component's calls fail or throw: in Init (after which no call reaches it), or in AddItem
  // of a started client; events: how many reports, event: one of them.
  const struct { std::function<HRESULT()> script; bool init; size_t events; const char* event; } kCases[] = {
      {[] { return REGDB_E_CLASSNOTREG; }, true, 1, "Cache component initialization failed HRESULT: 0X80040154"},
      {[]() -> HRESULT { throw 42; }, true, 2, "Cache component initialization failed HRESULT: 0X8000ffff"},
      {[]() -> HRESULT { throw _com_error(kEOutOfMemory); }, false, 1, "AddItem failed COM Exception with 0x8007000e"},
      {[]() -> HRESULT { throw std::runtime_error("boom"); }, false, 1, "AddItem Cache component failed GE"},
      {[] { return kEFail; }, false, 0, nullptr}};
  Script();
  for (const auto& failure : kCases) {
    ASSERT_TRUE(failure.init || cache_.Init());
    cacheScript = failure.script;
    const size_t events = events_.Events().size();
    EXPECT_FALSE(failure.init ? cache_.Init() : cache_.AddItem("c", "bob", "d", "s")) << &failure - kCases;
    EXPECT_EQ(events_.Events().size() - events, failure.events) << &failure - kCases;
    EXPECT_TRUE(failure.event == nullptr || events_.Count(failure.event) == 1u) << failure.event;
    cacheScript = [] { return kSOk; };
    const int calls = cacheCalls;
    std::optional<std::string> data;
    EXPECT_EQ(cache_.CreateCache("c", 1, 1) || cache_.DestroyCache("c") || cache_.GetItem("c", "k", &data, "s") ||
                  cache_.InvalidateItem("c", "k") || Succeeded(cache_.Shutdown()) || cacheCalls != calls,
              !failure.init) << &failure - kCases;
  }
  // A component that cannot be found: the instance, not its start, failed.
  platform::RegisterInProcessComponent(kCacheComponentName, [](const char*, void**) { return REGDB_E_CLASSNOTREG; });
  EXPECT_FALSE(cache_.Init());
  EXPECT_EQ(events_.Count("Cache component failed to instantiate HRESULT: 0X80040154"), 1u);
}

// Eight threads add 100,000 items over four caches, and all overwrite and read 32 shared keys.
// A value is its key and a run of its writer's letter, so a torn or mixed one shows.
std::string ValueOf(const std::string& key, int writer) { return key + std::string(100 + key.size(), 'a' + writer); }

TEST_F(ComponentClientTest, EightThreadsLoseAndTearNoCacheItem) {
  constexpr int kThreads = 8, kItems = 100000;
  auto cacheOf = [](int item) { return "c" + std::to_string(item % 4); };
  auto keyOf = [](int item) { return "user" + std::to_string(item); };
  ASSERT_TRUE(cache_.Init());
  for (int cache = 0; cache < 4; ++cache) ASSERT_TRUE(cache_.CreateCache(cacheOf(cache), kItems, 60));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < kThreads; ++writer) {
    threads.emplace_back([&, writer] {
      // The first thread joined the other apartment kind: the client calls from it all the same.
      EXPECT_TRUE(writer != 0 || CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) == kSOk);
      std::optional<std::string> seen;
      for (int item = writer; item < kItems; item += kThreads) {
        const std::string shared = "shared" + std::to_string(item % 32);
        failures += !cache_.AddItem(cacheOf(item), keyOf(item), ValueOf(keyOf(item), writer), "s") ||
                    !cache_.AddItem("c0", shared, ValueOf(shared, writer), "s") ||
                    !cache_.GetItem("c0", shared, &seen, "s") || !seen || *seen != ValueOf(shared, seen->back() - 'a');
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  int lost = 0;
  for (int item = 0; item < kItems; ++item) {
    std::optional<std::string> seen;
    lost += !cache_.GetItem(cacheOf(item), keyOf(item), &seen, "s") || seen != ValueOf(keyOf(item), item % kThreads);
  }
  EXPECT_EQ(lost, 0);
}

constexpr char kUrl[] = "https://mail.contoso.com/EWS/Exchange.asmx";

CustomPropertyDef Property(int32_t id, const std::string& value, bool loaded = false,
                           const std::string& guid = "{00020329-0000-0000-C000-000000000046}") {
  return CustomPropertyDef{1, 31, id, value, guid, "name", loaded};
}
// The declared properties with their defaults, as the settings host's table holds them.
const CustomPropertyList kDeclared = {Property(1, "none"), Property(2, "light"), Property(3, "100")};
const std::vector<std::string> kDefaults = {"none", "light", "100"};

std::vector<std::string> ValuesOf(const CustomPropertyList& props) {
  std::vector<std::string> values;
  for (const CustomPropertyDef& prop : props) values.push_back(prop.Value);
  return values;
}

TEST_F(ComponentClientTest, MailboxPropertiesAreStoredPerMailboxAndReadOverTheirDefaults) {
  // Writes store the Loaded properties only, all or none; a read keeps the default of what the
  // mailbox never stored, and of a property it cannot name.
  const std::string longest(kAccessMaxValueBytes, 'v');
  const struct { const char* user; const char* mailbox; bool write; CustomPropertyList props; HRESULT result;
                 std::vector<std::string> values; } kSteps[] = {
      {"bob", "", true, {Property(1, "Regards", true), Property(2, "dark"), Property(3, "125", true)}, kSOk, {}},
      {"bob", "", false, kDeclared, kSOk, {"Regards", "light", "125"}},
      {"alice", "", false, kDeclared, kSOk, kDefaults},
      {"bob", " Alice@Contoso.COM", true, {Property(2, "delegate's", true)}, kSOk, {}},
      {"alice", "", false, kDeclared, kSOk, {"none", "delegate's", "100"}},
      {"alice", "robert@contoso.com", false, kDeclared, kEFail, kDefaults},
      {"alice", "", true, kDeclared, kSOk, {}}, {"alice", "", false, kDeclared, kSOk, {"none", "delegate's", "100"}},
      {"bob", "", true, {Property(1, "lost", true), Property(7, "x", true, "00020329-0000-0000-C000-00000000004G")},
       kEFail, {}},
      {"bob", "", true, {Property(1, "lost", true), Property(8, longest + "v", true)}, kEFail, {}},
      {"bob", "", true, {Property(8, longest, true)}, kSOk, {}},
      {"bob", "", false, {Property(7, "default", false, "nope"), Property(1, "none", false, "{00020329-0000-0000-c000-"
       "000000000046}"), Property(8, "")}, kSOk, {"default", "Regards", longest}}};
  std::thread([&] {  // from a thread of the other apartment kind
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), kSOk);
    for (const auto& step : kSteps) {
      ActAs(step.user);
      CExchangeAccess access;
      CustomPropertyList props = step.props;
      HRESULT result = access.Initialize(1, 2, kUrl, step.mailbox);
      if (Succeeded(result)) result = step.write ? access.SetCustomProperties(props) : access.GetCustomProperties(props);
      EXPECT_EQ(result, step.result) << &step - kSteps;
      EXPECT_EQ(ValuesOf(props), step.write ? ValuesOf(step.props) : step.values) << &step - kSteps;
    }
    ActAs(nullptr);
  }).join();
  // The component refuses to start without a mailbox, for another connection kind, and with
  // explicit credentials (it acts as the calling thread); then it reads nothing.
  const struct { int32_t connection; const char* mailbox; const char* user; int32_t code; } kRefusals[] = {
      {2, "", "", kAccessErrorNoMailbox}, {3, "box", "", kAccessErrorConnectionKind},
      {2, "box", "bob", kAccessErrorCredentials}};
  ASSERT_TRUE(Succeeded(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  for (const auto& refusal : kRefusals) {
    platform::ComPtr<IZqExchangeAccess> component;
    int32_t code = -1, number = -1;
    std::string text;
    PropertyValues values;
    EXPECT_TRUE(CreateComponentInstance(kExchangeAccessComponentName, &component) == kSOk &&
                component->Initialize(1, refusal.connection, kUrl, refusal.mailbox, refusal.user, "", "", &code) == kSOk &&
                component->GetErrorInfo(&text, &number) == kSOk && code == refusal.code && number == code &&
                component->GetCustomProperties({}, {}, {}, &values, &code) == kAccessENotInitialized) << text;
  }
}

TEST_F(ComponentClientTest, AnExplicitMailboxIsTheUsersOwnOrOneTheDirectoryNamesThemADelegateOf) {
  // The calling user ("": none), the mailbox named, whether the directory is asked: the store
  // key, or the number of the refusal.
  std::string error;
  const std::shared_ptr<platform::Directory> directory = mailbox::MailboxDirectory(&error);
  ASSERT_NE(directory, nullptr) << error;
  const struct { const char* user; const char* mailbox; bool asked; std::string result; } kRows[] = {
      {"bob", "", true, "contoso\\bob"}, {"bob", "robert@contoso.com", true, "contoso\\bob"},
      {"bob", "bob@corp.contoso.com", true, "contoso\\bob"}, {"bob", "CONTOSO\\alice", true, "contoso\\alice"},
      {"bob", "alice", true, "contoso\\alice"}, {"alice", "bob", true, "1007"}, {"bob", "OTHER\\alice", true, "1007"},
      {"bob", "a*", true, "1007"}, {"bob", "nobody@contoso.com", true, "1007"}, {"carol", "alice", true, "1007"},
      {"bob", "Contoso\\BOB", false, "contoso\\bob"}, {"bob", "alice", false, "1007"}, {"", "alice", true, "1001"}};
  for (const auto& row : kRows) {
    ActAs(row.user[0] != '\0' ? row.user : nullptr);
    std::string key;
    mailbox::StoreError refusal;
    const bool granted = mailbox::ResolveMailbox(row.mailbox, row.asked ? directory.get() : nullptr, &key, &refusal);
    EXPECT_EQ(granted ? key : std::to_string(refusal.number), row.result) << row.user << " for " << row.mailbox;
  }
}

TEST_F(ComponentClientTest, WhatTheMailboxComponentAnswersOrThrowsStopsAtTheClient) {
  auto reads = [](PropertyValues values, int32_t errors) {
    return [=](PropertyValues* out, int32_t* count) { return *out = values, *count = errors, kSOk; };
  };
  auto throws = [](auto exception) { return [=](auto...) -> HRESULT { throw exception; }; };
  // Not one value per property, no values at all, errors counted (not a failure); a failed or
  // refused start; each kind of exception from Initialize and from the read. reported: one event.
  const struct { std::function<HRESULT(int32_t*)> init; std::function<HRESULT(PropertyValues*, int32_t*)> read;
                 HRESULT result; std::vector<std::string> values; bool reported = true; } kCases[] = {
      {nullptr, reads({"only one"}, 0), kEInvalidArg, kDefaults, false},
      {nullptr, reads({}, 0), kEFail, kDefaults, false},
      {nullptr, reads({"a", std::nullopt, "c"}, 1), kSOk, {"a", "light", "c"}, false},
      {[](int32_t*) { return kEFail; }, nullptr, kEFail, kDefaults},
      {[](int32_t* code) { return *code = kAccessErrorNoMailbox, kSOk; }, nullptr, kEFail, kDefaults},
      {throws(_com_error(kEOutOfMemory)), nullptr, kEOutOfMemory, kDefaults},
      {throws(CAtlException(kEInvalidArg)), nullptr, kEInvalidArg, kDefaults},
      {throws(std::runtime_error("boom")), nullptr, kEFail, kDefaults}, {throws(7), nullptr, kEUnexpected, kDefaults},
      {nullptr, throws(_com_error(kEOutOfMemory)), kEOutOfMemory, kDefaults},
      {nullptr, throws(CAtlException(kEInvalidArg)), kEInvalidArg, kDefaults},
      {nullptr, throws(std::runtime_error("boom")), kEFail, kDefaults}, {nullptr, throws(7), kEUnexpected, kDefaults}};
  Script();
  for (const auto& answer : kCases) {
    initScript = answer.init ? answer.init : [](int32_t*) { return kSOk; };
    readScript = answer.read;
    const size_t events = events_.Events().size();
    CExchangeAccess access;
    CustomPropertyList props = kDeclared;
    HRESULT result = access.Initialize(5, 2, kUrl, "");
    if (answer.init == nullptr) result = access.GetCustomProperties(props);
    EXPECT_EQ(result, answer.result) << &answer - kCases;
    EXPECT_EQ(ValuesOf(props), answer.values) << &answer - kCases;
    EXPECT_EQ(events_.Events().size() - events, answer.reported ? 1u : 0u) << &answer - kCases;
  }
  // Without an instance every call fails, and the error text says so.
  CExchangeAccess none;
  CustomPropertyList props = kDeclared;
  std::string text;
  int32_t number = -1;
  EXPECT_TRUE(none.GetCustomProperties(props) == E_POINTER && none.SetCustomProperties(props) == E_POINTER &&
              none.GetErrorInfo(&text, &number) == E_POINTER && number == 0 && !text.empty());
}

}  // namespace
}  // namespace nexoral
