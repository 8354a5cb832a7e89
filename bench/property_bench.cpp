// User property reads and writes per second through the mailbox property component, under 1 and
// 8 threads, two ways:
//   cache:0  through CExchangeAccess, an instance made and initialised per operation as the
//            module makes it: every operation opens the store and reads or writes it;
//   cache:1  through the settings host's GetCustomProperties / SetCustomProperties, as a worker's
//            callbacks reach them: reads answered by the property cache ("HiddenMessage" of
//            ZQCache.so), writes stored through the component and then put into the cache.
// The store is the one the environment names (NEXORAL_MAILBOX_STORE and its companions: an SQLite
// file or a PostgreSQL URI); when it names none, an SQLite file in the bench's temporary folder.
// Each thread acts, as a request thread does, for its own 100 users (thread tokens), each with four
// properties, taken in turn. bench/property_bench.sh runs it on both stores and prints one table.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "harness/installation.h"
#include "harness/scoped_environment.h"
#include "harness/temp_folder.h"
#include "mailbox/exchange_access_interface.h"
#include "platform/component_factory.h"
#include "platform/error_codes.h"
#include "platform/thread_token.h"
#include "properties/exchange_access.h"
#include "settings/core_general_settings.h"
#include "settings/core_items.h"

namespace {

using nexoral::CCoreGeneralSettings;
using nexoral::CExchangeAccess;
using nexoral::testing::ScopedEnvironment;
using nexoral::testing::TempFolder;

constexpr int kMaxThreads = 8;
constexpr int kUsersPerThread = 100;
constexpr int32_t kMailboxVersion = 1;
constexpr int32_t kAskedId = 2;  // the property a read asks for, as a worker names one
constexpr char kSession[] = "bench-session";

// The worker's four properties, with their declared defaults.
constexpr char kProperties[] =
    R"(<PROPERTY ID="1" NAME="Signature" TYPE="31" GUID="00020329-0000-0000-C000-000000000046" VALUE="-"/>)"
    R"(<PROPERTY ID="2" NAME="Theme" TYPE="31" GUID="00020329-0000-0000-C000-000000000046" VALUE="light"/>)"
    R"(<PROPERTY ID="3" NAME="Zoom" TYPE="31" GUID="00020329-0000-0000-C000-000000000046" VALUE="100"/>)"
    R"(<PROPERTY ID="4" NAME="Language" TYPE="31" GUID="00020329-0000-0000-C000-000000000046" VALUE="en-US"/>)";

struct BenchUser {
  std::string logon;  // "CONTOSO\name", as the request carries it
  HANDLE token = nullptr;
};

// The settings host over a core settings file declaring the properties, its caches started, and
// every user's properties stored once, so that each read finds them. Made on first use, kept until
// the process exits.
class PropertyInstallation {
 public:
  PropertyInstallation() {
    setenv(nexoral::platform::kComponentsFolderVariable, NEXORAL_COMPONENTS_BUILD_DIR, 0);
    if (const char* store = std::getenv("NEXORAL_MAILBOX_STORE"); store == nullptr || store[0] == '\0') {
      setenv("NEXORAL_MAILBOX_STORE", folder_.Join("mailbox-properties.db").c_str(), 1);
    }
    // A property cache with room for every user, whose entries outlive any run.
    nexoral::testing::WorkerEntry worker{1, {}, "", kProperties};
    folder_.WriteFile("Settings/CoreSettings.xml",
                      nexoral::testing::CoreSettingsXml({{nexoral::ID_MAX_CACHE_ITEMS, "4000"},
                                                         {nexoral::ID_CACHE_LIFETIME, "600"}},
                                                        {worker}));
    if (host_.Criteria().LoadSettings(folder_.Join("Settings/")) != nexoral::kSOk) {
      failure_ = "the core settings file could not be loaded";
      return;
    }
    if (!host_.StartCaches() || !host_.PropertyCache().IsInitialized()) {
      failure_ = "the property cache could not be started (is ZQCache.so in " + ComponentsFolder() + "?)";
      return;
    }
    table_ = host_.Criteria().Core().CustomPropertyTable();
    for (int index = 0; index < kMaxThreads * kUsersPerThread; ++index) {
      const std::string name = "bench" + std::to_string(index / kUsersPerThread) + "u" +
                               std::to_string(index % kUsersPerThread);
      users_.push_back({"CONTOSO\\" + name,
                        nexoral::platform::CreateAccessToken({name, "CONTOSO", "S-1-5-21-7-" + std::to_string(index), {}})});
      nexoral::platform::SetThreadToken(users_.back().token);
      failure_ = Store(Written(0));
      if (!failure_.empty()) {
        failure_ = "storing the users' properties before the runs: " + failure_;
        break;
      }
    }
    nexoral::platform::RevertToSelf();
  }

  CCoreGeneralSettings& Host() { return host_; }
  // Empty when the installation is usable.
  const std::string& Failure() const { return failure_; }
  const std::vector<BenchUser>& Users() const { return users_; }
  const CustomPropertyList& Table() const { return table_; }

  // The table with every property given a value of round and marked for storing.
  CustomPropertyList Written(uint64_t round) const {
    CustomPropertyList props = table_;
    for (CustomPropertyDef& prop : props) {
      prop.Value = prop.Name + " " + std::to_string(round);
      prop.Loaded = true;
    }
    return props;
  }

  // Stores props for the calling thread's user through the component; empty, or what failed.
  static std::string Store(const CustomPropertyList& props) {
    CExchangeAccess access;
    HRESULT hr = access.Initialize(kMailboxVersion, nexoral::kConnectionCallingUser, "", "");
    if (nexoral::Succeeded(hr)) hr = access.SetCustomProperties(props);
    return nexoral::Succeeded(hr) ? std::string() : ErrorOf(access, "store", hr);
  }
  // Reads props for the calling thread's user through the component; empty, or what failed.
  static std::string Read(CustomPropertyList& props) {
    CExchangeAccess access;
    HRESULT hr = access.Initialize(kMailboxVersion, nexoral::kConnectionCallingUser, "", "");
    if (nexoral::Succeeded(hr)) hr = access.GetCustomProperties(props);
    return nexoral::Succeeded(hr) ? std::string() : ErrorOf(access, "read", hr);
  }

 private:
  static std::string ComponentsFolder() {
    const char* folder = std::getenv(nexoral::platform::kComponentsFolderVariable);
    return folder != nullptr ? folder : "";
  }
  static std::string ErrorOf(CExchangeAccess& access, const char* operation, HRESULT hr) {
    std::string text;
    int32_t number = 0;
    access.GetErrorInfo(&text, &number);
    char code[16];
    snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(hr));
    return std::string("the mailbox component failed to ") + operation + ": " + code + " " + text +
           " (" + std::to_string(number) + ")";
  }

  TempFolder folder_;
  // The registry and the event log of the bench's own, and no directory: every user acts on
  // its own mailbox.
  ScopedEnvironment registry_{"NEXORAL_REGISTRY_ROOT", folder_.Join("registry")};
  ScopedEnvironment events_{"NEXORAL_EVENT_LOG_FILE", folder_.Join("events.log")};
  ScopedEnvironment directory_{"NEXORAL_MAILBOX_DIRECTORY", ""};
  CCoreGeneralSettings& host_ = *nexoral::GetCoreGeneralSettings();
  CustomPropertyList table_;
  std::vector<BenchUser> users_;
  std::string failure_;
};

PropertyInstallation& Installation() {
  static PropertyInstallation installation;  // its folder goes at exit
  return installation;
}

// The calling benchmark thread's users, or null after reporting why there are none.
const BenchUser* ThreadUsers(benchmark::State& state) {
  PropertyInstallation& installation = Installation();
  if (!installation.Failure().empty()) {
    state.SkipWithError(installation.Failure().c_str());
    return nullptr;
  }
  return installation.Users().data() + state.thread_index() * kUsersPerThread;
}

// One read of user's properties: the store's values (cache:0) or the cached ones (cache:1).
bool ReadOnce(bool cached, const BenchUser& user, CustomPropertyList& props, std::string* failure) {
  nexoral::platform::SetThreadToken(user.token);
  if (!cached) {
    props = Installation().Table();
    *failure = PropertyInstallation::Read(props);
    return failure->empty();
  }
  props.clear();  // a request's property list starts empty
  if (Installation().Host().GetCustomProperties(user.logon, props, "", kSession, kAskedId, "", "")) return true;
  *failure = "GetCustomProperties failed";
  return false;
}

void BM_PropertyRead(benchmark::State& state) {
  const BenchUser* users = ThreadUsers(state);
  if (users == nullptr) return;
  const bool cached = state.range(0) != 0;
  const CustomPropertyList& table = Installation().Table();
  CustomPropertyList props;
  std::string failure;
  // Untimed: every user read once, which fills the cache; each must have its stored values.
  for (int index = 0; index < kUsersPerThread && failure.empty(); ++index) {
    if (ReadOnce(cached, users[index], props, &failure) &&
        (props.size() != table.size() || props[0].Value == table[0].Value)) {
      failure = "a read gave the declared defaults, not the stored values";
    }
  }
  int next = 0;
  for (auto _ : state) {
    if (!failure.empty()) {
      state.SkipWithError(failure.c_str());
      break;
    }
    ReadOnce(cached, users[next], props, &failure);
    benchmark::DoNotOptimize(props.data());
    next = next + 1 == kUsersPerThread ? 0 : next + 1;
  }
  nexoral::platform::RevertToSelf();
  state.SetItemsProcessed(state.iterations());
}

void BM_PropertyWrite(benchmark::State& state) {
  const BenchUser* users = ThreadUsers(state);
  if (users == nullptr) return;
  const bool cached = state.range(0) != 0;
  PropertyInstallation& installation = Installation();
  std::string failure;
  uint64_t round = 0;
  int next = 0;
  for (auto _ : state) {
    // Each write gives new values, made as a worker makes its list.
    CustomPropertyList props = installation.Written(++round);
    nexoral::platform::SetThreadToken(users[next].token);
    if (!cached) {
      failure = PropertyInstallation::Store(props);
    } else if (!installation.Host().SetCustomProperties(users[next].logon, props, "", kSession, 1, "", "")) {
      failure = "SetCustomProperties failed";
    }
    if (!failure.empty()) {
      state.SkipWithError(failure.c_str());
      break;
    }
    next = next + 1 == kUsersPerThread ? 0 : next + 1;
  }
  // Untimed: the store holds the last write (the settings host reports success when the
  // component cannot open the store, so only the store itself tells).
  if (failure.empty() && round > 0) {
    const int last = next == 0 ? kUsersPerThread - 1 : next - 1;
    CustomPropertyList props = installation.Table();
    nexoral::platform::SetThreadToken(users[last].token);
    failure = PropertyInstallation::Read(props);
    if (failure.empty() && props[0].Value != installation.Written(round)[0].Value) {
      failure = "the store does not hold the last value written";
    }
    if (!failure.empty()) state.SkipWithError(failure.c_str());
  }
  nexoral::platform::RevertToSelf();
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_PropertyRead)->ArgName("cache")->Arg(0)->Arg(1)->Threads(1)->Threads(kMaxThreads)->UseRealTime();
BENCHMARK(BM_PropertyWrite)->ArgName("cache")->Arg(0)->Arg(1)->Threads(1)->Threads(kMaxThreads)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
