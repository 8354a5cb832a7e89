// The custom user properties: the property text helpers, the settings host's operations over the
// real cache component and mailbox store, and many request threads at once through the callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "harness/diagnostics_capture.h"
#include "harness/scoped_environment.h"
#include "harness/temp_folder.h"
#include "host/worker_callbacks.h"
#include "nexoral/filter_context.h"
#include "platform/component_factory.h"
#include "platform/thread_token.h"
#include "properties/property_text.h"
#include "settings/core_general_settings.h"

namespace nexoral {
namespace {

CustomPropertyDef Prop(int32_t id, const std::string& name, const std::string& value, bool loaded = false) {
  return CustomPropertyDef{1, 31, id, value, "00020329-0000-0000-C000-000000000046", name, loaded};
}
std::string ValuesOf(const CustomPropertyList& props) {
  std::string values;
  for (const CustomPropertyDef& prop : props) values += prop.Value + (prop.Loaded ? "*|" : "|");
  return values;
}

TEST(PropertyText, ElementsAreFoundFilledInsertedAndRemovedAndValuesCannotForgeTags) {
  // 'B' builds, 'F' finds, 'R' removes id, 'P' parses; then the text, result and the values (a
  // "*" marks Loaded). A built text read back gives the values it was built from.
  const struct { char op; std::string text; CustomPropertyList props; int32_t id; std::string after; bool result;
                 std::string values; } kRows[] = {
      {'B', "<SETTINGS><a>1</a></SETTINGS>", {Prop(1, "a", "1"), Prop(2, "b", "2", true)}, 0,
       "<SETTINGS><b>2</b><a>1</a></SETTINGS>", true, "1|2*|"},
      {'B', "<SETTINGS><a></a></SETTINGS>", {Prop(1, "a", "new", true)}, 0, "<SETTINGS><a>new</a></SETTINGS>", true, "new*|"},
      {'B', "<SETTINGS><a>1</SETTINGS>", {Prop(1, "a", "2", true)}, 0, "<SETTINGS><a>1</SETTINGS>", true, "*|"},
      {'B', "<SETTINGS>", {Prop(1, "b", "2", true)}, 0, "<SETTINGS>", false, "*|"},
      {'B', "", {Prop(1, "a", "<b>x</b>"), Prop(2, "b", "y</a>&lt;"), Prop(3, "", "lost"), Prop(4, "c><d", "e")}, 0,
       "<SETTINGS><a>&lt;b&gt;x&lt;/b&gt;</a><b>y&lt;/a&gt;&amp;lt;</b></SETTINGS>", true, "<b>x</b>|y</a>&lt;|||"},
      {'B', "<SETTINGS><a>1</a></SETTINGS>", {Prop(1, "a>x</a><b", "2", true)}, 0, "<SETTINGS><a>1</a></SETTINGS>",
       true, "*|"},
      {'P', "<SETTINGS><a>&quot;&amp;gt;&x;&lt</a><b>2</b></SETTINGS>", {Prop(1, "a", "?"), Prop(2, "c", "?")}, 0,
       "", true, "&quot;&gt;&x;&lt||"},
      {'F', "<SETTINGS><a>1</a></SETTINGS>", {Prop(1, "a", ""), Prop(2, "b", "")}, 2, "", false, "|*|"},
      {'F', "<SETTINGS><a>1</a></SETTINGS>", {Prop(1, "a", ""), Prop(2, "b", "")}, 1, "", true, "*||"},
      {'F', "<SETTINGS><a>1</a></SETTINGS>", {Prop(1, "a", "")}, 9, "", false, "|"},
      {'R', "<SETTINGS><a>1</a><b>2</b></SETTINGS>", {Prop(1, "a", ""), Prop(2, "b", "")}, 2,
       "<SETTINGS><a>1</a></SETTINGS>", true, "1||"},
      {'R', "<SETTINGS><a>1</a></SETTINGS>", {Prop(1, "a", ""), Prop(2, "b", "")}, 2, "<SETTINGS><a>1</a></SETTINGS>",
       true, "1||"},
      {'R', "<SETTINGS><a>1</a></SETTINGS>", {Prop(1, "a", "")}, 9, "<SETTINGS><a>1</a></SETTINGS>", false, "1|"}};
  for (const auto& row : kRows) {
    testing::EventCapture events;
    std::string text = row.text;
    CustomPropertyList props = row.props;
    bool result = true;
    if (row.op == 'B') result = BuildXMLProperties(text, props);
    if (row.op == 'F') result = FindPropertyInXML(text, props, row.id);
    if (row.op == 'R') result = RemovePropertyFromXML(text, props, row.id);
    if (row.op != 'F') ParseXMLProperties(text, props);
    EXPECT_EQ(row.op == 'B' || row.op == 'R' ? text : "", row.after) << &row - kRows;
    EXPECT_EQ(result, row.result) << &row - kRows;
    EXPECT_EQ(ValuesOf(props), row.values) << &row - kRows;
    EXPECT_EQ(events.Events().size(), row.op != 'F' && !row.result ? 1u : 0u) << &row - kRows;  // refusals reported
  }
}

constexpr char kCoreSettings[] = R"(<SETTINGS><SERVICEWORKERS><SERVICEWORKER ID="1" DESCR="w"><CUSTOMPROPERTIES>
<PROPERTY ID="1" NAME="sig" TYPE="31" GUID="00020329-0000-0000-C000-000000000046" VALUE="&lt;b&gt;x&lt;/b&gt;"/>
<PROPERTY ID="2" NAME="theme" TYPE="31" GUID="00020329-0000-0000-C000-000000000046" VALUE="light"/>
<PROPERTY ID="3" NAME="bad&gt;&lt;x" TYPE="31" GUID="00020329-0000-0000-C000-000000000046" VALUE="v"/>
</CUSTOMPROPERTIES></SERVICEWORKER></SERVICEWORKERS></SETTINGS>)";
constexpr char kDefaultText[] = "<SETTINGS><sig>&lt;b&gt;x&lt;/b&gt;</sig><theme>light</theme></SETTINGS>";

// Acts as the "CONTOSO" account user on this thread, as a request thread does.
void ActAs(const std::string& user) {
  static thread_local HANDLE token = nullptr;
  platform::RevertToSelf();
  if (token != nullptr) platform::CloseAccessToken(token);
  token = user.empty() ? nullptr : platform::CreateAccessToken({user, "CONTOSO", "S-1-5-21-" + user, {}});
  if (token != nullptr) platform::SetThreadToken(token);
}

// The process's settings host over a core settings file declaring sig and theme, with both caches
// of the cache component and a mailbox store of the test's own.
class CustomPropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.WriteFile("Settings/CoreSettings.xml", kCoreSettings);
    folder_.WriteFile("file", "");
    ASSERT_EQ(host_.Criteria().LoadSettings(folder_.Join("Settings/")), kSOk);
    ASSERT_TRUE(host_.StartCaches());
  }
  void TearDown() override {
    for (CZQCache* cache : {&host_.PropertyCache(), &host_.DirectoryUserCache()}) cache->Shutdown();
    ActAs("");
  }
  std::optional<std::string> Cached(const std::string& key) {
    std::optional<std::string> text;
    EXPECT_TRUE(host_.PropertyCache().GetItem(host_.PropertyCacheName(), key, &text, "s"));
    return text;
  }

  CCoreGeneralSettings& host_ = *GetCoreGeneralSettings();
  testing::TempFolder folder_;
  testing::ScopedEnvironment components_{platform::kComponentsFolderVariable, NEXORAL_COMPONENTS_BUILD_DIR};
  testing::ScopedEnvironment store_{"NEXORAL_MAILBOX_STORE", folder_.Join("store.db")};
  testing::ScopedEnvironment directory_{"NEXORAL_MAILBOX_DIRECTORY", ""};
};

TEST_F(CustomPropertiesTest, OperationsKeepCacheAndStoreInStepPerUser) {
  // 'S' stores (sig, theme), 'G' reads id (the values read), 'R' refreshes id, 'M'/'N' read/store
  // through the explicit mailbox "bob", 'I' drops the user from the directory-user cache; down:
  // the store cannot be opened. cached: alice's cache entry afterwards ("-": none).
  const std::string kAlice = "<SETTINGS><sig>Regards &amp; &lt;b&gt;</sig><theme>dark</theme></SETTINGS>";
  const struct { char op; std::string user; int32_t id; std::vector<std::string> values; bool result; std::string cached;
                 bool down = false; } kRows[] = {
      {'S', "CONTOSO\\alice", 1, {"Regards & <b>", "dark"}, true, kAlice},
      {'G', "alice@contoso.com", 2, {"Regards & <b>", "dark"}, true, kAlice},
      {'R', "alice", 2, {}, true, "<SETTINGS><sig>Regards &amp; &lt;b&gt;</sig></SETTINGS>"},
      {'G', "CONTOSO\\alice", 2, {"Regards & <b>", "dark"}, true,
       "<SETTINGS><theme>dark</theme><sig>Regards &amp; &lt;b&gt;</sig></SETTINGS>"},
      {'R', "alice", 9, {}, false, "<SETTINGS><theme>dark</theme><sig>Regards &amp; &lt;b&gt;</sig></SETTINGS>"},
      {'S', "alice", 1, {"Regards & <b>", "dark"}, true, kAlice},
      {'G', "bob", 1, {"<b>x</b>", "light"}, true, kAlice},
      {'M', "alice", 1, {"<b>x</b>", "light"}, false, kAlice}, {'N', "alice", 1, {"forged", "forged"}, false, kAlice},
      {'G', "CONTOSO\\", 1, {}, false, kAlice},
      {'S', "alice", 1, {"offline", "x"}, true, "<SETTINGS><sig>offline</sig><theme>x</theme></SETTINGS>", true},
      {'G', "carol", 1, {"<b>x</b>", "light"}, true, "<SETTINGS><sig>offline</sig><theme>x</theme></SETTINGS>", true},
      {'I', "CONTOSO\\alice", 0, {}, true, "-"}, {'I', "alice@contoso.com", 0, {}, true, "-"},
      {'I', "alice", 0, {}, true, "-"}, {'I', "CONTOSO\\", 0, {}, false, "alice"}};
  EXPECT_EQ(host_.Criteria().Core().DefaultCustomProperties(), kDefaultText);  // escaped, without "bad><x"
  testing::LogCapture log;
  for (const auto& row : kRows) {
    store_.Set(folder_.Join(row.down ? "file/store.db" : "store.db"));
    std::string user = row.user;
    ActAs(host_.ExtractUserName(user) ? user : "");
    CustomPropertyList props;
    if (row.op == 'S' || row.op == 'N') {
      props = host_.Criteria().Core().CustomPropertyTable();
      for (size_t index = 0; index < props.size(); ++index) props[index].Value = row.values[index], props[index].Loaded = true;
    }
    const std::string mailbox = row.op == 'M' || row.op == 'N' ? "bob" : "";
    bool result = false;
    if (row.op == 'S' || row.op == 'N') result = host_.SetCustomProperties(row.user, props, "", "s", row.id, "", mailbox);
    if (row.op == 'G' || row.op == 'M') result = host_.GetCustomProperties(row.user, props, "", "s", row.id, "", mailbox);
    if (row.op == 'R') result = host_.RefreshCustomProperties(row.user, "s", row.id);
    std::optional<std::string> left = "-";
    if (row.op == 'I') {
      ASSERT_TRUE(host_.DirectoryUserCache().AddItem(kDirectoryUserCacheName, "alice", "alice", "s"));
      result = host_.InvalidateADUserCache(row.user);
      EXPECT_TRUE(host_.DirectoryUserCache().GetItem(kDirectoryUserCacheName, "alice", &left, "s"));
    }
    EXPECT_EQ(result, row.result) << &row - kRows;
    std::vector<std::string> values;
    for (const CustomPropertyDef& prop : props) values.push_back(prop.Value);
    EXPECT_EQ(values, row.op == 'G' || row.op == 'M' ? row.values : values) << &row - kRows;
    EXPECT_EQ(row.op == 'I' ? left.value_or("-") : Cached("alice").value_or("-"), row.cached) << &row - kRows;
  }
  EXPECT_FALSE(Cached("carol"));  // defaults read while the store was down are not kept
  EXPECT_GE(log.Count("access refused: contoso\\alice may not act on mailbox bob"), 2u);  // read and write
}

// Eight threads store all properties of 50 users, each store tagged by its thread and round, and
// read them back, through the callbacks: every read sees one store whole (or the defaults), and
// in the end each user's cached text is what the store holds.
TEST_F(CustomPropertiesTest, EightThreadsOfFiftyUsersNeitherMixNorLoseStores) {
  constexpr int kThreads = 8, kUsers = 50, kBursts = 10, kRounds = 10;
  auto call = [&](int user, const std::string& tag) {
    CFilterContext request;
    request.UserName = "CONTOSO\\user" + std::to_string(user);
    CDLLContext context;
    context.FilterContext = &request;
    ActAs("user" + std::to_string(user));
    if (tag.empty()) {
      if (!WorkerGetProperty(&context, 2, false)) return std::string("failed");
    } else {
      context.PropertyList = host_.Criteria().Core().CustomPropertyTable();
      for (CustomPropertyDef& prop : context.PropertyList) prop.Value = tag, prop.Loaded = true;
      if (!WorkerSetProperty(&context, 1)) return std::string("failed");
    }
    return context.PropertyList.size() == 2 && context.PropertyList[0].Value == context.PropertyList[1].Value
               ? context.PropertyList[0].Value
               : context.PropertyList[0].Value + "|" + context.PropertyList[1].Value;
  };
  // After each burst no store runs: every user's cached text must be what the store holds.
  for (int burst = 0; burst < kBursts; ++burst) {
    std::atomic<int> faults{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
      threads.emplace_back([&, thread] {
        for (int round = burst * kRounds; round < (burst + 1) * kRounds; ++round) {
          // Two threads store one user at once while the next two store the user they read.
          const int user = (round + thread / 2) % kUsers, read = (user + 1) % kUsers;
          const std::string tag = std::to_string(thread) + "." + std::to_string(round);
          faults += call(user, tag) != tag;
          if (round % 3 == 0) host_.PropertyCache().InvalidateItem(host_.PropertyCacheName(), "user" + std::to_string(read));
          const std::string seen = call(read, "");
          faults += seen == "failed" || (seen.find('|') != std::string::npos && seen != "<b>x</b>|light");
        }
        ActAs("");
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(faults.load(), 0);
    for (int user = 0; user < kUsers; ++user) {
      const std::string key = "user" + std::to_string(user);
      const std::optional<std::string> cached = Cached(key);
      if (!cached) continue;  // not stored yet
      ASSERT_TRUE(host_.PropertyCache().InvalidateItem(host_.PropertyCacheName(), key)) << key;
      call(user, "");
      EXPECT_EQ(Cached(key), cached) << key << " after burst " << burst;
    }
  }
  ActAs("");
}

}  // namespace
}  // namespace nexoral
