// The log and the event log: line bounds, reports, the set-up from the core items, the
// shared-memory and buffered writers, and processes sharing one log. Started with kWriterFlag,
// this program is instead one writer process of the stress test.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "diagnostics/event_log.h"
#include "diagnostics/log_line.h"
#include "diagnostics/log_setup.h"
#include "diagnostics/log_writers.h"
#include "harness/diagnostics_capture.h"
#include "harness/installation.h"
#include "platform/error_codes.h"
#include "platform/error_text.h"
#include "platform/forked_processes.h"
#include "platform/system_paths.h"

namespace nexoral {
namespace {

using testing::ReadWholeFile;

constexpr int kShared = 1, kBuffered = 2, kPlain = 3;  // output kinds (item 12)

// Core items as an administrator writes them: text, read as numbers by their leading digits.
struct FakeLogSettings : LogSettingsSource {
  bool CoreItemNumber(int32_t id, int32_t* value) override {
    *value = items.contains(id) ? std::atoi(items[id].c_str()) : 0;
    return items.contains(id);
  }
  bool CoreItemText(int32_t id, std::string* value) override {
    if (items.contains(id)) *value = items[id];
    return items.contains(id);
  }
  std::string InstallationFolderName() override { return "Nexoral"; }
  std::string CommonFolder() override { return commonFolder; }
  // Items for an own log named like the module, switched on, written by the output kind into
  // folder; sizeKb 0 leaves the size item out.
  void SelectOwnLog(int kind, const std::string& folder, int sizeKb = 0) {
    items = {{kItemLogSwitch, "1"}, {kItemLogOutput, std::to_string(kind)}, {kItemOwnLog, "1"},
             {kItemLogFolder, folder}};
    if (sizeKb > 0) items[kItemLogSizeKb] = std::to_string(sizeKb);
  }

  std::map<int32_t, std::string> items;
  std::string commonFolder;
};

// A temporary installation whose common folder holds the log module, and a log name of its own
// so that tests running at the same time never share a log, a lock or a mapping. The log is in
// its process-start state before and after.
struct LogInstallation {
  LogInstallation() {
    ResetLogState();
    settings.commonFolder = folder.Join("Common Files/");
    std::filesystem::create_directories(settings.commonFolder + "bin");
    std::filesystem::create_symlink(testing::BuiltLogModulePath(),
                                    settings.commonFolder + "bin/LogModule.so");
  }
  ~LogInstallation() {
    ResetLogState();
    platform::RemoveSharedMemory(MappingName());
    shm_unlink(("/nexoral.loglock." + moduleFileName).c_str());  // the log module's lock object
  }
  // Configures the log from the items, after selecting an own log when kind is given.
  std::string Configure(int kind = 0, int sizeKb = 0) {
    if (kind != 0) settings.SelectOwnLog(kind, folder.Path(), sizeKb);
    ConfigureLog(settings, moduleFileName.c_str());
    return ProcessLogState().logPath;
  }
  std::string MappingName() const { return "Global\\" + logFileName; }
  std::string MappingPath() const { return "/dev/shm" + platform::SharedMemoryObjectName(MappingName()); }
  // The whole mapping, as another process sees it.
  std::string MappingBytes() const {
    const auto mapping = platform::SharedMemory::Open(MappingName());
    return mapping ? std::string(mapping->Map(mapping->Size()), mapping->Size()) : "";
  }

  FakeLogSettings settings;
  testing::TempFolder folder;
  const std::string moduleFileName = testing::UniqueName("LogTest") + ".dll";
  const std::string logFileName = OwnLogFileName(moduleFileName);
};

struct stat StatOf(const std::string& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status;
}

LogHeader HeaderOf(const std::string& bytes) {
  LogHeader header;
  EXPECT_TRUE(bytes.size() >= kLogHeaderSize && ParseLogHeader(bytes.data(), &header));
  return header;
}

// The texts of the lines after a log's header, each after its stamp ("2026/12/06 07:41:28.123
// 1A2 ": the thread id upper-case hexadecimal, at least four wide); nullopt for a line that
// does not start with a well-formed stamp.
std::vector<std::optional<std::string_view>> TextsAfterHeader(std::string_view log) {
  std::vector<std::optional<std::string_view>> texts;
  for (size_t start = kLogHeaderSize, stop = start; stop < log.size(); start = stop) {
    stop = std::min(log.find("\r\n", start + 2), log.size());
    const std::string_view line = log.substr(start, stop - start);
    constexpr std::string_view kShape = "\r\n0000/00/00 00:00:00.000 ";  // a digit for each 0
    bool stamped = line.size() > kShape.size();
    for (size_t at = 0; stamped && at < kShape.size(); ++at) {
      stamped = kShape[at] == '0' ? line[at] >= '0' && line[at] <= '9' : line[at] == kShape[at];
    }
    const size_t end = line.find_first_not_of("0123456789ABCDEF", line.find_first_not_of(' ', 26));
    stamped = stamped && end != line.npos && end >= kShape.size() + 4 && line[end] == ' ';
    texts.push_back(stamped ? std::optional(line.substr(end + 1)) : std::nullopt);
  }
  return texts;
}

// The texts of a plain log's entries ("\n\n ****  ", the date as ctime writes it, a blank and
// the text); nullopt for an entry of another shape.
std::vector<std::optional<std::string_view>> PlainTexts(std::string_view log) {
  constexpr std::string_view kStart = "\n\n ****  ";
  std::vector<std::optional<std::string_view>> texts;
  for (size_t start = 0, stop = 0; start < log.size(); start = stop) {
    stop = std::min(log.find(kStart, start + 1), log.size());
    const std::string_view entry = log.substr(start, stop - start);
    const bool shaped = entry.starts_with(kStart) && entry.size() >= kStart.size() + 26 &&
                        entry.substr(kStart.size() + 24, 2) == "\n ";
    texts.push_back(shaped ? std::optional(entry.substr(kStart.size() + 26)) : std::nullopt);
  }
  return texts;
}

void ThrowingWriter(const char*) { throw std::runtime_error("disk gone"); }

TEST(LogTest, LinesAndReportsAreBoundedInEveryFormattingPathAndNothingReachesTheCaller) {
  testing::LogCapture log;
  testing::EventCapture events;
  const std::string huge(1 << 20, 'h');
  Log("%s%s", huge.c_str(), huge.c_str());
  LogError(0x80070002u, "%s", huge.c_str());
  LogError(999999, "%s %d", huge.c_str(), 7);  // a code without any text
  ReportText(kReportWarning, "%s", huge.c_str());
  ReportText(kReportInformation, "%s", "");  // an empty text reports nothing
  ReportError(28, kReportError, "%s", huge.c_str());  // a code only the C library names
  SetLogSwitch(kLogSwitchOff);
  Log("dropped %d", 1);
  LogError(2, "dropped too");
  const std::string cut = huge.substr(0, kLogErrorMessageChars) + "   ";
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{huge.substr(0, kLogLineChars),
                                                   cut + SystemErrorText(2), cut}));
  const auto written = events.Events();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0].record.texts.at(0), huge.substr(0, kReportTextChars));
  EXPECT_EQ(written[1].record.texts.at(0),
            "ERROR: No space left on device. " + huge.substr(0, kReportErrorChars));
  SetLogSwitch(kLogSwitchWrite);
  SetLogWriter(ThrowingWriter);
  EXPECT_NO_THROW(Log("still fine"));
}

TEST(EventLogTest, TypesTextsSourceAndTheIdentityEventsAreWrittenAs) {
  testing::EventCapture capture;
  CEventLog eventLog;
  EXPECT_EQ(eventLog.Report(kReportError, 0, kEventIdText, 0, nullptr, {"lost"}),
            kErrorInvalidParameter) << "before registration";
  ASSERT_TRUE(eventLog.Register(nullptr));
  for (uint16_t type : {1, 2, 3, 0, 9}) {
    eventLog.Report(type, 0, kEventIdText, 0, nullptr, {"a", "b", nullptr, "c"});
  }
  eventLog.Report(3, 0, kEventIdInitialized, 2, "ab", {"1", "2", "3", "4", "5", "6", "7"});
  HANDLE token = platform::CreateAccessToken({"bob", "CONTOSO", "S-1-5-21-9", {}});
  ASSERT_TRUE(platform::SetThreadToken(token));
  ReportText(kReportError, "as %s", "process");
  platform::RevertToSelf();
  platform::CloseAccessToken(token);
  const auto events = capture.Events();
  ASSERT_EQ(events.size(), 7u);
  std::vector<uint16_t> types;
  for (size_t i = 0; i < 5; ++i) types.push_back(events[i].record.type);
  EXPECT_EQ(types, (std::vector<uint16_t>{1, 2, 4, 4, 4}));
  EXPECT_EQ(events[0].record.texts, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(events[0].record.source, "Zephyrquill Docuglimpse");
  EXPECT_EQ(std::make_pair(events[5].record.texts.size(), events[5].record.rawData.size()),
            std::make_pair(size_t{6}, size_t{2}));
  EXPECT_EQ(events[6].writtenAs, platform::ProcessIdentity().user);
  EXPECT_EQ(events[6].record.message, "as process");
}

TEST(LogSetupTest, AdministratorsNamesBecomeUsableFileNamesInTheLogsFolder) {
  const std::pair<std::string, std::string> names[] = {
      {"con", "ZQ_con"}, {"CON", "ZQ_CON"}, {"clock$", "clock$"}, {"Clocks$", "ZQ_Clocks$"},
      {"a/b.log", "a_b.log"}, {"  spaced.log  ", "spaced.log"}, {"c:\\x|y?.log", "c__x_y_.log"},
      {"com1", "ZQ_com1"}, {"lpt9.log", "ZQ_lpt9.log"}, {"com10.log", "com10.log"},
      {"telecom.log", "telecom.log"}, {"..", "ZQ_.."}, {"   ", "ZQ_"},
      {std::string(131, 'h') + std::string(130, 't'), std::string(130, 't')},  // the last 130
      {std::string(260, 'k'), std::string(260, 'k')}};
  for (const auto& [configured, name] : names) EXPECT_EQ(CommonLogFileName(configured), name);
  EXPECT_EQ(OwnLogFileName("W.DLL") + OwnLogFileName("a.dll.dll") + OwnLogFileName("x.so"),
            "W.loga.log.logx.so");  // every ".dll", in any case, becomes ".log"
  // Rows: system directory, folder item, path ("" for the fallback file).
  const std::string folder231(231, 'f');  // with an 11-character name folders below 232 fit
  const std::string paths[][3] = {
      {"/srv/system", "/srv/logs", "/srv/logs/ZephyrquillLogs/Nexoral.log"},
      {"/srv/system", folder231, folder231 + "/ZephyrquillLogs/Nexoral.log"},
      {"/srv/system", folder231 + "f", ""},
      {"/srv/system", "", "/srv/system/LogFiles/ZephyrquillLogs/Nexoral.log"},
      {std::string(223, 's'), "", ""},  // 223 >= 234 - 11
      {"", "", ""}};
  testing::ScopedEnvironment system(platform::kSystemDirectoryVariable, "");
  for (const auto& [directory, folder, path] : paths) {
    system.Set(directory);
    EXPECT_EQ(LogPathFor(folder, "Nexoral.log"), path.empty() ? directory + "/LogError.txt" : path);
  }
  unsetenv(platform::kSystemDirectoryVariable);
  EXPECT_EQ(LogPathFor("", "x.log"), "/var/log/LogFiles/ZephyrquillLogs/x.log");
}

// Configurations one after another on one installation, each row changing some items (an empty
// text removes the item). A kind other than 1 or 2, and switch 10, keep the writer and size
// chosen before.
TEST(LogSetupTest, TheItemsChooseSwitchWriterSizeLogAndLock) {
  LogInstallation install;
  const std::string own = install.logFileName, common = kCommonLogFileName;
  const std::string prefix = "[" + install.moduleFileName + "] ";
  const LogWriter plain = PlainLogWriter, buffered = BufferedLogWriter;
  const LogWriter shared = SharedMemoryLogWriter;
  // Items, then writer, size limit, switch on, log file and whether there is a lock.
  const std::tuple<std::map<int32_t, std::string>, LogWriter, int32_t, bool, std::string, bool>
      rows[] = {
      // A configured common name asks for the module's lock, with a plain file too.
      {{{kItemOwnLog, ""}, {kItemLogFileName, "a/b.log"}}, plain, 10485760, true, "a_b.log", true},
      {{{kItemLogOutput, "2"}}, buffered, 1073741824, true, "a_b.log", true},
      {{{kItemOwnLog, "1"}, {kItemLogOutput, "1"}, {kItemLogSizeKb, "128"}},
       shared, 131072, true, own, true},
      {{{kItemLogSizeKb, "4194304"}}, shared, 131072, true, own, true},  // beyond 1 GiB: ignored
      {{{kItemLogSizeKb, "20"}}, shared, 131072, true, own, true},  // not above the wrap start
      {{{kItemLogOutput, "3"}, {kItemLogSizeKb, "256"}}, shared, 131072, true, own, true},
      {{{kItemLogOutput, "2"}, {kItemLogSwitch, "10"}}, shared, 131072, true, own, true},
      {{{kItemLogOutput, "3"}, {kItemLogSwitch, "0"}}, shared, 131072, false, own, true},
      {{{kItemLogSwitch, "2"}}, shared, 131072, false, own, true},
      {{{kItemLogSwitch, ""}}, shared, 131072, false, own, true},
      // The common log shares the general lock and names the module on each line.
      {{{kItemLogSwitch, "1"}, {kItemOwnLog, ""}, {kItemLogFileName, ""}},
       shared, 131072, true, common, true},
      {{{kItemOwnLog, "1"}}, shared, 131072, true, own, true}};  // and back: no module name
  install.settings.SelectOwnLog(kPlain, install.folder.Path());
  for (const auto& [items, writer, size, on, file, locked] : rows) {
    for (const auto& [item, value] : items) {
      if (value.empty()) install.settings.items.erase(item);
      if (!value.empty()) install.settings.items[item] = value;
    }
    EXPECT_EQ(install.Configure(), install.folder.Join("ZephyrquillLogs/" + file));
    EXPECT_EQ(std::make_tuple(CurrentLogWriter(), ProcessLogState().sizeLimit, LogSwitch() != 0,
                              LogLock() != nullptr), std::make_tuple(writer, size, on, locked));
    EXPECT_EQ(ProcessLogState().linePrefix, file == common ? prefix : "") << file;
  }
  EXPECT_NE(install.MappingBytes().find("item 13 is 20 KB, outside 21 to 1048576 KB: ignored"), std::string::npos);
}

size_t OpenDescriptors() {
  const std::filesystem::directory_iterator descriptors("/proc/self/fd");
  return static_cast<size_t>(std::distance(descriptors, {}));
}

// Switch 10 keeps the plain writer. It keeps its file open, yet a line after the file was deleted
// or renamed (looked for once a second) or after the folder item changed goes to a file at the
// path; a log switched off or flushed at unload keeps no descriptor.
TEST(PlainLogTest, SwitchTenKeepsItFollowsTheFileAtThePathAndWithoutTheLogModuleWritesNothing) {
  using namespace std::chrono_literals;
  enum Change { kNone, kDeleted, kRenamed, kOtherFolder, kSwitchedOff };
  const std::pair<bool, Change> rows[] = {{true, kNone},    {false, kNone},       {true, kDeleted},
                                          {true, kRenamed}, {true, kOtherFolder}, {true, kSwitchedOff}};
  for (const auto& [withLogModule, change] : rows) {
    const size_t descriptors = OpenDescriptors();
    LogInstallation install;
    if (!withLogModule) std::filesystem::remove(install.settings.commonFolder + "bin/LogModule.so");
    install.settings.SelectOwnLog(kShared, install.folder.Path());
    install.settings.items[kItemLogSwitch] = "10";
    std::string path = install.Configure();
    EXPECT_EQ(CurrentLogWriter(), PlainLogWriter);
    EXPECT_EQ(LogLock() != nullptr, withLogModule);
    Log("plain line %d", 7);
    if (change == kDeleted) std::filesystem::remove(path);
    if (change == kRenamed) std::filesystem::rename(path, path + ".1");
    if (change == kDeleted || change == kRenamed) std::this_thread::sleep_for(1100ms);
    if (change == kOtherFolder) install.settings.items[kItemLogFolder] = install.folder.Join("other");
    if (change == kSwitchedOff) install.settings.items[kItemLogSwitch] = "0";
    if (change == kOtherFolder || change == kSwitchedOff) path = install.Configure();
    Log("plain line %d", 8);
    const std::string content = ReadWholeFile(path);
    const bool sameFile = change == kNone || change == kSwitchedOff;
    EXPECT_EQ(content.rfind("\n\n ****  ", 0), withLogModule ? 0u : std::string::npos);
    EXPECT_EQ(content.find(" plain line 7") != std::string::npos, withLogModule && sameFile) << content;
    EXPECT_EQ(content.find(" plain line 8") != std::string::npos, withLogModule && change != kSwitchedOff);
    EXPECT_EQ(ReadWholeFile(path + ".1").find(" plain line 7") != std::string::npos, change == kRenamed);
    if (change != kSwitchedOff) FlushLog();
    EXPECT_EQ(OpenDescriptors(), descriptors) << change;
  }
}

TEST(SharedMemoryLogTest, LinesFollowTheHeaderWrapToTheWrapStartAndAreDumpedAtTheFlush) {
  LogInstallation install;
  const mode_t umaskBefore = umask(0);  // modes are set whatever the umask
  const std::string path = install.Configure(kShared, 64);
  Log("first %d", 1);
  Log("second");
  const struct stat mapping = StatOf(install.MappingPath());
  EXPECT_EQ(std::make_tuple(mapping.st_mode & 0777, mapping.st_size, mapping.st_blocks * 512 < 65536),
            std::make_tuple(0660u, 65536, true)) << "sparse, for this user and group";
  EXPECT_EQ(StatOf("/dev/shm/nexoral.loglock." + install.moduleFileName).st_mode & 0777, 0660u);
  std::string bytes = install.MappingBytes();
  LogHeader header = HeaderOf(bytes);
  EXPECT_EQ(std::make_tuple(header.wrapStart, header.size, header.highWaterMark),
            std::make_tuple(20480, 65536, header.writePosition));
  EXPECT_EQ(TextsAfterHeader(std::string_view(bytes).substr(0, header.writePosition)),
            (std::vector<std::optional<std::string_view>>{"first 1 ", "second "}));
  // Full, the log goes on at the wrap start; what lies before it stays.
  const std::string text(1000, 'w');
  for (int line = 0; line < 25; ++line) Log("%03d %s", line, text.c_str());
  const std::string keptBefore = install.MappingBytes().substr(kLogHeaderSize, 20380);
  for (int line = 25; line < 85; ++line) Log("%03d %s", line, text.c_str());
  bytes = install.MappingBytes();
  header = HeaderOf(bytes);
  EXPECT_EQ(bytes.substr(kLogHeaderSize, 20380), keptBefore);
  EXPECT_EQ(bytes.substr(20480, 2), "\r\n");
  EXPECT_LT(header.writePosition, header.highWaterMark);
  const int otherUser = shm_open(platform::SharedMemoryObjectName(install.MappingName()).c_str(), O_RDWR, 0);
  ASSERT_EQ(flock(otherUser, LOCK_SH), 0) << "another process that uses the mapping";
  FlushLog();
  EXPECT_EQ(ReadWholeFile(path), bytes.substr(0, header.highWaterMark));
  EXPECT_EQ(std::make_pair(StatOf(path).st_mode & 0777, install.MappingBytes().size()), std::make_pair(0640u, 65536ul));
  close(otherUser);
  umask(umaskBefore);
}

TEST(SharedMemoryLogTest, AnotherProcesssMappingIsAdoptedAndADamagedHeaderKeepsWritesInside) {
  const struct { size_t size; std::string header; bool writes; bool foreign = false; } rows[] = {
      {32768, "100, 100, 4096, 32768", true},    // adopted: its size and wrap start count
      {8192, "999999, 5, 200, 8192", true},      // position beyond the mapping
      {8192, "-50, -50, -10, 8192", true},       // position inside the header
      {8192, "150, 150, 100, 100000000", true},  // size beyond the mapping
      {8192, "150, 150, 9000, 8192", true},      // wrap start beyond the size
      {8192, "not a header", false},
      {8192, "100, 100, 20480, 50", false},  // a size smaller than the header
      {8192, "100, 100, 200, 8192", false, true}};  // made by another account, open to all
  const std::string text(3000, 'd');
  for (auto [size, header, writes, foreign] : rows) {
    if (foreign && geteuid() != 0) continue;  // only root can make a mapping for another account
    LogInstallation install;
    const auto mapping = platform::SharedMemory::Create(install.MappingName(), size);
    ASSERT_NE(mapping, nullptr);
    if (foreign) chmod(install.MappingPath().c_str(), 0666), chown(install.MappingPath().c_str(), 65534, 65534);
    header.resize(kLogHeaderSize, ' ');
    header.copy(mapping->Map(size), kLogHeaderSize);
    install.Configure(kShared, 1024);  // this process would make 1 MB
    for (int line = 0; line < 10; ++line) Log("%s", text.c_str());
    install.Configure();  // configured again, the size item asks for more than the mapping
    for (int line = 0; line < 10; ++line) Log("%s", text.c_str());
    const std::string bytes = install.MappingBytes();
    ASSERT_EQ(bytes.size(), size);
    EXPECT_EQ(bytes.find("\r\n") != std::string::npos, writes) << header;
    if (!writes) continue;
    const LogHeader written = HeaderOf(bytes);
    EXPECT_GE(written.writePosition, 100) << header;
    EXPECT_LE(written.writePosition, written.size) << header;
    EXPECT_EQ(written.size, static_cast<int32_t>(size)) << header;
    if (size == 32768) { EXPECT_EQ(bytes.substr(4096, 2), "\r\n") << "wrapped where it says"; }
  }
}

TEST(BufferedLogTest, LinesWaitForAFullBufferSurviveAFailedWriteAndWrapAfterTheWrapStart) {
  LogInstallation install;
  const std::string path = install.Configure(kBuffered, 64);
  Log("first line");
  EXPECT_EQ(ReadWholeFile(path), "") << "a line waits for a full buffer";
  install.folder.WriteFile("ZephyrquillLogs", "in the way");  // the log file cannot be made
  const std::string text(1000, 'r');
  for (int line = 0; line < 120; ++line) Log("%03d %s", line, text.c_str());
  std::filesystem::remove(install.folder.Join("ZephyrquillLogs"));
  FlushLog();  // no line reached the file yet: the flush makes it
  std::string content = ReadWholeFile(path);
  EXPECT_EQ(HeaderOf(content).writePosition, static_cast<int32_t>(content.size()));
  const auto texts = TextsAfterHeader(content);
  ASSERT_EQ(texts.size(), 121u);
  EXPECT_EQ(texts[0], "first line");
  for (int line = 0; line < 120; ++line) {
    EXPECT_EQ(texts[line + 1], std::to_string(1000 + line).substr(1) + " " + text);
  }
  // Past its size, the file goes on after the wrap start, as soon as the buffer is full.
  for (int line = 120; line < 180; ++line) Log("%03d %s", line, text.c_str());
  EXPECT_NE(ReadWholeFile(path), content) << "a full buffer is written before the flush";
  FlushLog();
  content = ReadWholeFile(path);
  const LogHeader header = HeaderOf(content);
  EXPECT_EQ(content.substr(20481, 2), "\r\n");
  EXPECT_LT(header.writePosition, header.highWaterMark);
  EXPECT_EQ(header.highWaterMark, static_cast<int32_t>(content.size()));
  const auto last = TextsAfterHeader(std::string_view(content).substr(0, header.writePosition));
  EXPECT_EQ(last.back(), "179 " + text) << "the last line ends at the write position";
}

constexpr char kWriterFlag[] = "--log-stress-writer";
constexpr int kProcesses = 2, kThreads = 4, kLinesPerThread = 3000;  // processes: tags 0 and 1
int writerTag = 0;

// "P<tag> T<thread> L<line> " and a payload that depends on all three, so that a torn or mixed
// line is recognisable.
std::string StressLine(int tag, int thread, int line) {
  std::string text = "P" + std::to_string(tag) + " T" + std::to_string(thread) + " L" +
                     std::to_string(line) + " ";
  for (int i = 0; i < 40; ++i) text += static_cast<char>('a' + (tag + thread * 3 + line + i) % 26);
  return text;
}

// One more line, then the module's shutdown order: the log lock cleared, then the flush.
void FlushAtExit() {
  Log("%s", StressLine(writerTag, kThreads, 0).c_str());
  SetLogLock(nullptr);
  FlushLog();
}

// A writer process: argv holds the program, kWriterFlag, the output kind, the log folder, the
// common folder, the module file name and the writer's tag. It configures its own log the way
// an installation does and writes from several threads; what it holds back reaches the log only
// through its exit handler, which runs after every static object is gone, as the module's
// unload hook does.
int RunWriter(char** argv) {
  std::atexit(FlushAtExit);  // before the log state is first used
  FakeLogSettings settings;
  settings.SelectOwnLog(std::atoi(argv[2]), argv[3], 16384);
  settings.commonFolder = argv[4];
  ConfigureLog(settings, argv[5]);
  writerTag = std::atoi(argv[6]);
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([thread] {
      for (int line = 0; line < kLinesPerThread; ++line) {
        Log("%s", StressLine(writerTag, thread, line).c_str());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return LogLock() == nullptr ? 1 : 0;
}

// Two writer processes of four threads each write into one log and leave: every line appears
// whole and exactly once, the lines held back at exit included, and the header (of the shared
// and buffered logs) agrees.
TEST(LogStressTest, ProcessesSharingALogLoseAndTearNoLine) {
  for (const int kind : {kShared, kBuffered, kPlain}) {
    LogInstallation install;
    testing::ForkedProcesses writers;
    for (const std::string tag : {"0", "1"}) {
      writers.Fork([&] {
        return execl("/proc/self/exe", "writer", kWriterFlag, std::to_string(kind).c_str(),
                     install.folder.Path().c_str(), install.settings.commonFolder.c_str(),
                     install.moduleFileName.c_str(), tag.c_str(), nullptr);
      });
    }
    ASSERT_TRUE(writers.WaitAll()) << "a writer failed";
    const std::string log = ReadWholeFile(LogPathFor(install.folder.Path(), install.logFileName));
    if (kind != kPlain) {
      const LogHeader header = HeaderOf(log);
      EXPECT_EQ(std::make_tuple(header.writePosition, header.highWaterMark, header.wrapStart),
                std::make_tuple(static_cast<int32_t>(log.size()), header.writePosition, 20480));
    }
    std::set<std::string_view> seen;
    size_t malformed = 0;
    for (const std::optional<std::string_view> text : kind == kPlain ? PlainTexts(log) : TextsAfterHeader(log)) {
      int tag = -1, thread = -1, line = -1;
      const std::string whole = text ? std::string(*text) : "";
      std::sscanf(whole.c_str(), "P%d T%d L%d", &tag, &thread, &line);
      // Torn, mixed and repeated lines are malformed; shared-memory lines end with a blank.
      const std::string expected = StressLine(tag, thread, line) + (kind == kShared ? " " : "");
      malformed += whole == expected && seen.insert(*text).second ? 0 : 1;
    }
    EXPECT_EQ(malformed, 0u) << kind;
    EXPECT_TRUE(install.MappingBytes().empty()) << "the last process removed the mapping";
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * (kThreads * kLinesPerThread + 1)));
  }
}

}  // namespace
}  // namespace nexoral

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == nexoral::kWriterFlag) {
    return argc == 7 ? nexoral::RunWriter(argv) : 2;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
