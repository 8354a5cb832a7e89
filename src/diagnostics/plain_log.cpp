// The plain writer: each line appended to the log file with the date and time.
#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <mutex>
#include <string>

#include "diagnostics/log_writers.h"
#include "platform/file_system.h"
#include "platform/module_names.h"

namespace nexoral {
namespace {

// A conversion tool loaded into the process keeps its log beside itself.
void TakeConvertToolFolder(LogState& state) {
  std::string toolPath;
  if (platform::IsModuleLoaded(platform::SharedObjectFileName("Convert"), &toolPath)) {
    state.logPath = platform::ParentFolder(toolPath) + "/ZQ_Log.txt";
  }
}

std::string PlainEntry(const char* text) {
  const time_t now = time(nullptr);
  char date[64];
  if (ctime_r(&now, date) == nullptr) date[0] = '\0';
  std::string entry = "\n\n ****  ";
  entry += date;
  entry += ' ';
  entry += text;
  return entry;
}

}  // namespace

void PlainLogWriter(const char* text) {
  CSync* lock = LogLock();
  if (lock == nullptr || text == nullptr) return;
  CSyncGuard locked(*lock);
  LogState& state = ProcessLogState();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (state.firstUse) {
    state.firstUse = false;
    TakeConvertToolFolder(state);
  }
  if ((state.logSwitch.load() & kLogSwitchWrite) == 0) return;
  const int file = platform::OpenCreatingFolders(state.logPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (file < 0) return;
  const std::string entry = PlainEntry(text);
  platform::WriteAll(file, entry.data(), entry.size(), -1);
  close(file);
}

}  // namespace nexoral
