// The platform layer: tokens and last errors per thread, events, shared memory, modules, the
// component model, and the file-backed registry with processes sharing a key.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "harness/installation.h"
#include "platform/component_factory.h"
#include "platform/data_module.h"
#include "platform/domain_controllers.h"
#include "platform/error_codes.h"
#include "platform/event_sink.h"
#include "platform/forked_processes.h"
#include "platform/module_loader.h"
#include "platform/module_path.h"
#include "platform/module_version.h"
#include "platform/registry_root.h"
#include "platform/shared_memory.h"
#include "platform/thread_token.h"

namespace nexoral::platform {
namespace {

using testing::ReadWholeFile;
using testing::ScopedEnvironment;
using testing::TempFolder;

// Each call's result against the row's; LastErrorOf makes a call that must fail return the last
// error it leaves (codes as the headers give them).
void ExpectResults(const std::vector<std::pair<std::function<DWORD()>, DWORD>>& rows) {
  for (size_t row = 0; row < rows.size(); ++row) EXPECT_EQ(rows[row].first(), rows[row].second);
}
std::function<DWORD()> LastErrorOf(const std::function<bool()>& call) {
  return [call] {
    SetLastError(0);
    return call() ? 0xFFFFFFFFu : GetLastError();  // must fail
  };
}

TEST(ThreadTokenTest, HandlesImpersonationAndTheProcessIdentityScope) {
  const size_t handlesBefore = OpenTokenHandleCount();
  HANDLE token = CreateAccessToken({"alice", "CONTOSO", "S-1-5-21-1", {}});
  HANDLE duplicate = nullptr;
  ASSERT_TRUE(DuplicateAccessToken(token, &duplicate));
  ASSERT_TRUE(CloseAccessToken(token));
  ExpectResults({{LastErrorOf([&] { return CloseAccessToken(token); }), 6},
                 {LastErrorOf([&] { return DuplicateAccessToken(token, &token); }), 6},
                 {LastErrorOf([&] { return SetThreadToken(token); }), 6}});
  // The duplicate outlives the original; the thread keeps its identity after it is closed, and
  // no other thread sees it.
  ASSERT_TRUE(SetThreadToken(duplicate));
  ASSERT_TRUE(CloseAccessToken(duplicate));
  const std::string process = ProcessIdentity().user;
  SetLastError(122);
  std::thread([&] {
    EXPECT_EQ(EffectiveIdentity().user, process);
    EXPECT_EQ(GetLastError(), 0u) << "each thread has its own last error";
    SetLastError(87);
  }).join();
  EXPECT_EQ(GetLastError(), 122u);
  {
    ProcessIdentityScope asProcess;
    EXPECT_EQ(EffectiveIdentity().user, process);
  }
  EXPECT_EQ(EffectiveIdentity().user, "alice");
  RevertToSelf();
  SetLastError(1234);
  { ProcessIdentityScope nothingToTakeOff; }
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(OpenTokenHandleCount(), handlesBefore);
}

TEST(EventSinkTest, EventsFileGetsALinePerEventAndFailuresSayWhy) {
  TempFolder folder;
  ScopedEnvironment route(kEventLogFileVariable, folder.Join("events.log"));
  HANDLE source = RegisterEventSource("S", {{0x600000CA, "%1 in %2(%3) 100% %"}});
  EXPECT_TRUE(ReportEvent(source, kEventWarning, 0, 0x600000CA, {"a\nb", "c"}, nullptr, 0));
  EXPECT_EQ(ReadWholeFile(folder.Join("events.log")), "S WARNING [0x600000CA] a b in c() 100% %\n");
  route.Set(folder.Join("missing/events.log"));
  ExpectResults(
      {{LastErrorOf([&] { return ReportEvent(source, 1, 0, 1, {}, nullptr, 0); }), 13},
       {LastErrorOf([&] { return DeregisterEventSource(source) && DeregisterEventSource(source); }),
        kErrorInvalidHandle},
       {LastErrorOf([] { return RegisterEventSource("", {}) != nullptr; }), 87}});
  route.Set("");  // no events file: the system log takes the event
  EXPECT_TRUE(ReportEvent(RegisterEventSource("S", {}), kEventError, 0, 1, {}, nullptr, 0));
}

// The directory domain is the configured one, else the host's DNS domain; none is an error.
TEST(DomainTest, TheConfiguredDomainWinsAndNoDomainIsAnError) {
  ScopedEnvironment domain(kDnsDomainVariable, "corp.example");
  PrimaryDomainInfo info;
  ASSERT_EQ(GetPrimaryDomainInformation(&info), 0u);
  EXPECT_EQ(info.dnsDomainName + " " + info.forestName, "corp.example corp.example");
  domain.Set("");
  const DWORD fromHost = GetPrimaryDomainInformation(&info);
  EXPECT_TRUE(fromHost == kErrorNoSuchDomain || (fromHost == 0 && !info.dnsDomainName.empty()));
}

TEST(SharedMemoryTest, MappingsAreSharedByNameAndFailuresSayWhy) {
  EXPECT_EQ(SharedMemoryObjectName(std::string(500, 'n')).size(), 240u);
  const std::string name = "Global\\shm-test-" + std::to_string(getpid());
  EXPECT_EQ(LastErrorOf([&] { return SharedMemory::Open(name) != nullptr; })(), 2u);
  const auto created = SharedMemory::Create(name, 8192);
  ASSERT_NE(created, nullptr);
  created->Map(8192)[8191] = 'z';
  const auto opened = SharedMemory::Open(name);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened->Map(8192)[8191], 'z');
  ExpectResults(
      {{LastErrorOf([&] { return SharedMemory::Create(name, 4096) != nullptr; }), 183},
       {LastErrorOf([&] { return opened->Map(8193) != nullptr; }), kErrorInvalidParameter},
       {LastErrorOf([&] { return RemoveSharedMemory(name) && RemoveSharedMemory(name); }), 2}});
}

TEST(ModuleFilesTest, LoadingFindingAndReadingModules) {
  std::unique_ptr<LoadedModule> worker = LoadedModule::Load(NEXORAL_TEST_WORKER_PATH);
  ASSERT_NE(worker, nullptr);
  EXPECT_TRUE(IsModuleLoaded("nexoral_test_worker.so"));
  std::string path, reason;
  EXPECT_TRUE(GetLoadedModulePath("NEXORAL_TEST_WORKER.SO", &path));  // any case, as named
  EXPECT_EQ(path, NEXORAL_TEST_WORKER_PATH);
  TempFolder folder;
  // Version texts; a module loaded only to read them is unloaded again.
  const std::string authWorker = testing::BuiltTestWorkerPath("AuthWorker");
  ModuleVersionTexts texts;
  ASSERT_TRUE(ReadModuleVersion(authWorker, &texts));
  EXPECT_EQ(texts.fileVersion + texts.productVersion, "AuthWorker-file-1.2AuthWorker-product-1");
  EXPECT_EQ(dlopen(authWorker.c_str(), RTLD_LAZY | RTLD_NOLOAD), nullptr);
  // Any readable file loads as data.
  folder.WriteFile("CoreRes.so", std::string("\x7f" "ELF\0data", 9));
  const auto module = DataModule::Load(folder.Join("CoreRes.so"));
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(module->Bytes()), module->Size()),
            std::string("\x7f" "ELF\0data", 9));
  const auto data = [&folder](const std::string& relative) {
    return LastErrorOf(
        [&folder, relative] { return DataModule::Load(folder.Join(relative)) != nullptr; });
  };
  ExpectResults({
      {LastErrorOf([&] { return worker->FindExport("NoSuchEntryPoint") != nullptr; }), 127},
      {LastErrorOf([&] { return LoadedModule::Load("/no/worker.so", &reason) != nullptr; }), 126},
      {LastErrorOf([&] { return GetOwnModulePath(&path); }), 0},  // the test program is no module
      {LastErrorOf([&] { return GetLoadedModulePath("NotLoadedAnywhere.dll", &path); }), 126},
      {LastErrorOf([&] { return ReadModuleVersion(folder.Join("none.so"), &texts); }), 126},
      {LastErrorOf([&] { return ReadModuleVersion(NEXORAL_TEST_WORKER_PATH, &texts); }), 1813},
      {data("missing.so"), kErrorFileNotFound},
      {data("CoreRes.so/inner.so"), kErrorPathNotFound},
      {data(""), kErrorAccessDenied}});
  EXPECT_NE(reason.find("worker.so"), std::string::npos);
  EXPECT_EQ(path, NEXORAL_TEST_WORKER_PATH) << "failures leave the path alone";
}

TEST(ComponentFactoryTest, ApartmentsArgumentsAndWhereComponentsComeFrom) {
  std::thread([] {
    void* instance = &instance;
    const std::pair<HRESULT, HRESULT> rows[] = {  // a braced list evaluates in order
        {CoCreateInstance("Counter", "ICounter", &instance), CO_E_NOTINITIALIZED},
        {CoInitializeEx(nullptr, 7), kEInvalidArg},
        {CoInitializeEx(&instance, COINIT_MULTITHREADED), kEInvalidArg},
        {CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), kSOk},
        {CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), kSFalse},
        {CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE},
        {CoCreateInstance(nullptr, "ICounter", &instance), kEInvalidArg},
        {CoCreateInstance("", "ICounter", &instance), kEInvalidArg},
        {CoCreateInstance("Counter", nullptr, &instance), kEInvalidArg},
        {CoCreateInstance("Counter", "ICounter", nullptr), E_POINTER}};
    for (size_t row = 0; row < std::size(rows); ++row) EXPECT_EQ(rows[row].first, rows[row].second);
    EXPECT_EQ(instance, nullptr);
  }).join();

  // A registration comes first; its removal reaches a thread that used it before.
  ASSERT_TRUE(Succeeded(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  ScopedEnvironment folder(kComponentsFolderVariable, testing::BuiltComponentsFolder());
  void* instance = nullptr;
  ASSERT_EQ(CoCreateInstance("ZQCache", "IZQCache", &instance), kSOk);
  static_cast<IComponentUnknown*>(instance)->Release();
  RegisterInProcessComponent("ZQCache", [](const char*, void**) { return E_NOINTERFACE; });
  EXPECT_EQ(CoCreateInstance("ZQCache", "IZQCache", &instance), E_NOINTERFACE);
  RegisterInProcessComponent("ZQCache", nullptr);
  EXPECT_EQ(CoCreateInstance("ZQCache", "IZQCache", &instance), kSOk);
  static_cast<IComponentUnknown*>(instance)->Release();
}

constexpr char kSetupKey[] = "Software\\Zephyrquill\\Setup";
constexpr char kSetupFile[] = "software/zephyrquill/setup.reg";

class RegistryTest : public ::testing::Test {
 protected:
  static RegistryKey Open(const std::string& path, RegistryAccess access = RegistryAccess::kWrite) {
    RegistryKey key;
    EXPECT_EQ(RegistryKey::Open(path, access, &key), kErrorSuccess) << path;
    return key;
  }
  static RegistryValue Query(const RegistryKey& key, const std::string& name) {
    RegistryValue value;
    EXPECT_EQ(key.QueryValue(name, &value), kErrorSuccess) << name;
    return value;
  }
  std::string Path(const std::string& relative = kSetupFile) const {
    return root_.Folder().Join(relative);
  }
  std::string Content() const { return ReadWholeFile(Path()); }
  size_t EntriesIn(const std::string& relative) const {
    const std::filesystem::directory_iterator entries(Path(relative));
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
  }

  testing::RegistryRootOverride root_;
};

TEST_F(RegistryTest, ValuesRoundTripIgnoringCaseAndKeepTheirFirstSpelling) {
  const RegistryValue values[] = {{REG_SZ, "LDWwD"}, {REG_EXPAND_SZ, "%NEXORAL_HOME%/x"},
                                  {REG_SZ, "  a=b: c ; not a comment  "}, {REG_SZ, ""},
                                  {REG_DWORD, "", 15}, {REG_DWORD, "", 0xFFFFFFFFu}};
  RegistryKey writer = Open(kSetupKey);
  for (size_t i = 0; i < std::size(values); ++i) {
    const std::string name = "Value" + std::to_string(i);
    const RegistryValue& value = values[i];
    EXPECT_EQ(value.type == REG_DWORD ? writer.SetNumberValue(name, value.number)
                                      : writer.SetTextValue(name, value.text, value.type), 0u);
  }
  // Another spelling of the key path and of the names reaches the same values.
  const RegistryKey reader = Open("/SOFTWARE//zephyrquill\\\\SETUP\\", RegistryAccess::kRead);
  for (size_t i = 0; i < std::size(values); ++i) {
    const RegistryValue value = Query(reader, "VALUE" + std::to_string(i));
    EXPECT_EQ(std::tie(value.type, value.text, value.number),
              std::tie(values[i].type, values[i].text, values[i].number)) << i;
  }
  ASSERT_EQ(writer.SetNumberValue("value0", 7), kErrorSuccess);  // another type under it
  EXPECT_EQ(Query(reader, "Value0").number, 7u);
  EXPECT_NE(Content().find("\nValue0=REG_DWORD:7\n"), std::string::npos) << Content();
  ASSERT_EQ(writer.DeleteValue("VALUE1"), kErrorSuccess);
  EXPECT_EQ(Content().find("Value1"), std::string::npos);

  root_.Use("/srv/registry//");
  EXPECT_EQ(RegistryRoot(), "/srv/registry");
}

TEST_F(RegistryTest, MissingUnopenedReadOnlyAndRefusedKeysValuesAndTextsChangeNothing) {
  RegistryKey key, unopened;
  RegistryValue value;
  const std::string paths[] = {"", "\\\\//", ".", "Software\\..\\Setup", "Software\\.\\Setup",
                               std::string("Soft\0ware\\Setup", 15), "Software\\Set\nup",
                               "Software\\Setup.reg", "Software\\SETUP.LOCK\\Below",
                               std::string(201, 'k')};
  for (const std::string& path : paths) {
    EXPECT_EQ(RegistryKey::Open(path, RegistryAccess::kWrite, &key), 87u) << path;
    EXPECT_EQ(RegistryKey::Open(path, RegistryAccess::kRead, &key), 87u) << path;
  }
  EXPECT_EQ(RegistryKey::Open(kSetupKey, RegistryAccess::kRead, &key), kErrorFileNotFound);
  EXPECT_EQ(EntriesIn(""), 0u) << "refused paths and reading create nothing";
  RegistryKey writer = Open(kSetupKey);
  RegistryKey reader = Open(kSetupKey, RegistryAccess::kRead);
  ExpectResults({
      {[&] { return reader.QueryValue("CsmHash", &value); }, kErrorFileNotFound},
      {[&] { return writer.DeleteValue("CsmHash"); }, kErrorFileNotFound},
      {[&] { return RegistryKey::Open(kSetupKey, RegistryAccess::kWrite, nullptr); }, 87},
      {[&] { return reader.SetTextValue("CsmHash", "B"); }, kErrorAccessDenied},
      {[&] { return reader.SetNumberValue("CsmHash", 3); }, kErrorAccessDenied},
      {[&] { return unopened.QueryValue("CsmHash", &value); }, kErrorInvalidHandle}});
  EXPECT_EQ(Content(), "") << "writing creates an empty key; refused writes change nothing";
  // Removed behind the open key, the file is made again by a write, which names the key in a
  // comment line and gives the file the usual mode.
  std::filesystem::remove(Path());
  EXPECT_EQ(writer.SetTextValue("CsmHash", "CCCCC"), kErrorSuccess);
  EXPECT_EQ(Content(), "; Software\\Zephyrquill\\Setup\nCsmHash=REG_SZ:CCCCC\n");
  struct stat status {};
  ASSERT_EQ(stat(Path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);

  const std::string before = Content();
  const std::string names[] = {"", "a=b", "line\nbreak", "tab\there", " leading", "trailing\t",
                               ";comment", "#comment", std::string("nul\0name", 8),
                               std::string(256, 'n')};
  for (const std::string& name : names) {
    EXPECT_EQ(writer.SetNumberValue(name, 1), 87u) << name;
    EXPECT_EQ(writer.QueryValue(name, &value), 87u) << name;
  }
  const std::string texts[] = {"two\nlines", "cr\rhere", "ends\n", std::string("nul\0text", 8)};
  for (const std::string& text : texts) EXPECT_EQ(writer.SetTextValue("CsmHash", text), 87u);
  EXPECT_EQ(writer.SetTextValue("CsmHash", "BBBBB", REG_DWORD), 87u);
  EXPECT_EQ(Content(), before);
  // The longest names allowed, and inner blanks and punctuation, are fine.
  EXPECT_EQ(Open(std::string(200, 'k')).SetNumberValue(std::string(255, 'n'), 1), kErrorSuccess);
  EXPECT_EQ(writer.SetTextValue("Inner blank: [x];#", "y"), kErrorSuccess);
  EXPECT_EQ(Query(writer, "inner BLANK: [x];#").text, "y");
}

TEST_F(RegistryTest, AWriteKeepsEveryOtherLineOfAHandWrittenFileAndReplacesItWhole) {
  const std::string handWritten =
      "# Set up by the administrator\r\n\n  ; indented comment\n"
      "  CsmHash = reg_sz :  spaced text\n"
      "CsmRefreshInterval=REG_DWORD: 0x1F \r\n"
      "Decimal=Reg_Dword:0004294967295\n"
      "Expand\t=\tREG_EXPAND_SZ:%HOME%\n"
      "Windows=REG_SZ:ends with CR\r\n"
      "Last=REG_SZ:no final line break";
  root_.Folder().WriteFile(kSetupFile, handWritten);
  ASSERT_EQ(chmod(Path().c_str(), 0600), 0);
  RegistryKey key = Open(kSetupKey);
  const std::pair<std::string, RegistryValue> expected[] = {
      {"csmhash", {REG_SZ, "  spaced text"}}, {"CsmRefreshInterval", {REG_DWORD, "", 0x1F}},
      {"Decimal", {REG_DWORD, "", 4294967295u}}, {"Expand", {REG_EXPAND_SZ, "%HOME%"}},
      {"Windows", {REG_SZ, "ends with CR"}}, {"Last", {REG_SZ, "no final line break"}}};
  for (const auto& [name, value] : expected) {
    const RegistryValue read = Query(key, name);
    EXPECT_EQ(std::tie(read.type, read.text, read.number),
              std::tie(value.type, value.text, value.number)) << name;
  }
  ASSERT_EQ(key.SetNumberValue("CSMREFRESHINTERVAL", 20), kErrorSuccess);
  ASSERT_EQ(key.SetTextValue("Added", "new"), kErrorSuccess);
  ASSERT_EQ(key.DeleteValue("Decimal"), kErrorSuccess);
  // The changed line is written anew, the removed one goes, every other byte stays.
  std::string changed = handWritten + "\nAdded=REG_SZ:new\n";
  changed.replace(changed.find(" 0x1F \r"), std::strlen(" 0x1F \r"), "20");
  changed.erase(changed.find("Decimal"), changed.find("Expand") - changed.find("Decimal"));
  EXPECT_EQ(Content(), changed);
  struct stat after {};
  ASSERT_EQ(stat(Path().c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0600u) << "a rewritten key keeps the administrator's mode";
  EXPECT_EQ(EntriesIn("software/zephyrquill"), 2u) << "the key file and its lock, no temporary";
}

TEST_F(RegistryTest, CorruptOrOversizedFilesFailEveryAccessAndStayUntouched) {
  RegistryKey key = Open(kSetupKey);
  RegistryValue value;
  const std::string malformed[] = {
      "NoEqualsSign", "Name=REG_SZ", "Name=REG_BINARY:00ff", "Name=:text", "=REG_SZ:no name",
      "Name=REG_DWORD:", "Name=REG_DWORD:0x", "Name=REG_DWORD:4294967296",
      "Name=REG_DWORD:0x100000000", "Name=REG_DWORD:-1", "Name=REG_DWORD:+1",
      "Name=REG_DWORD:12abc", "Name=REG_DWORD:1 2", "good=REG_SZ:twice",
      std::string("Name=REG_SZ:a\0b", 15), std::string(1, '\0'), "Bad\x01Name=REG_SZ:x",
      std::string(kMaxRegistryFileSize, '#')};
  for (const std::string& line : malformed) {
    const std::string content = "; kept\nGood=REG_SZ:ok\n" + line + "\nAfter=REG_DWORD:1\n";
    root_.Folder().WriteFile(kSetupFile, content);
    ExpectResults({{[&] { return key.QueryValue("Good", &value); }, kErrorBadDatabase},
                   {[&] { return key.QueryValue("Missing", &value); }, kErrorBadDatabase},
                   {[&] { return key.SetTextValue("Good", "changed"); }, kErrorBadDatabase},
                   {[&] { return key.DeleteValue("After"); }, kErrorBadDatabase}});
    EXPECT_EQ(Content(), content) << line.substr(0, 40);
  }
  // Mending the file by hand mends the key. Just below the size limit a file is read and
  // written, until a write would cross it.
  const std::string nearly = std::string(kMaxRegistryFileSize - 121, ';') + "\nGood=REG_SZ:ok\n";
  root_.Folder().WriteFile(kSetupFile, nearly);
  EXPECT_EQ(Query(key, "Good").text, "ok");
  EXPECT_EQ(key.SetTextValue("Small", "y"), kErrorSuccess);
  EXPECT_EQ(key.SetTextValue("Large", std::string(200, 'z')), kErrorRegistryQuotaLimit);
  EXPECT_EQ(Content(), nearly + "Small=REG_SZ:y\n");
}

// The text a writer stores at its count-th write: the count, then a run of letters whose length
// changes with the count, so a file cut short or mixed from two versions reads wrong.
std::string WriterText(int writer, unsigned count) {
  const char letter = static_cast<char>('a' + writer);
  return std::to_string(count) + ":" + std::string(300 + 97 * (count % 13), letter);
}

// Processes writing one key while this one reads it: no writer loses another's value and no
// reader sees a torn file.
TEST_F(RegistryTest, ProcessesWritingOneKeyKeepEachOthersValuesAndReadersSeeWholeFiles) {
  constexpr int kWriters = 3;
  constexpr unsigned kWritesEach = 60;
  RegistryKey reader = Open(kSetupKey);
  testing::ForkedProcesses processes;
  for (int writer = 0; writer < kWriters; ++writer) {
    processes.Fork([writer] {
      RegistryKey key = Open(kSetupKey);
      const std::string name = "Writer" + std::to_string(writer);
      for (unsigned count = 1; count <= kWritesEach; ++count) {
        if (key.SetTextValue(name, WriterText(writer, count)) != kErrorSuccess) return 1;
      }
      return 0;
    });
  }
  processes.Start();
  // Once a writer's value was seen, every later read sees it again, with a count no lower.
  std::vector<unsigned> seen(kWriters, 0);
  int readsWhileWriting = 0;
  for (bool running = true; running;) {
    running = processes.AnyRunning();
    for (int writer = 0; writer < kWriters; ++writer) {
      RegistryValue value;
      const DWORD result = reader.QueryValue("Writer" + std::to_string(writer), &value);
      if (result == kErrorFileNotFound && seen[writer] == 0) continue;
      ASSERT_EQ(result, kErrorSuccess) << writer << " after count " << seen[writer];
      const unsigned count = static_cast<unsigned>(std::atoi(value.text.c_str()));
      ASSERT_EQ(value.text, WriterText(writer, count)) << "torn value of writer " << writer;
      ASSERT_GE(count, seen[writer]) << writer << " went back";
      seen[writer] = count;
      readsWhileWriting += running ? 1 : 0;
    }
  }
  ASSERT_TRUE(processes.WaitAll()) << "a writer failed";
  EXPECT_EQ(seen, std::vector<unsigned>(kWriters, kWritesEach)) << "every last value is there";
  EXPECT_EQ(EntriesIn("software/zephyrquill"), 2u) << "only the key file and its lock stay";
  EXPECT_GT(readsWhileWriting, 0) << "the reader ran while the writers wrote";
}

}  // namespace
}  // namespace nexoral::platform
