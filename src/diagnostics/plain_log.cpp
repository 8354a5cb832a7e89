// The plain writer: each line appended to the log file with the date and time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "diagnostics/log_module_api.h"
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

int OpenLogFile(const std::string& path, int flags) {
  const mode_t mode = LogFileMode();
  int file = platform::OpenCreatingFolders(path, flags | O_CREAT | O_EXCL, mode);
  if (file >= 0) {
    fchmod(file, mode);
    return file;
  }
  if (errno != EEXIST) return -1;
  file = open(path.c_str(), (flags & ~O_CREAT) | O_CLOEXEC);
  struct stat status {};
  if (file >= 0 && fstat(file, &status) == 0 && (status.st_mode & 0777 & ~mode) != 0) {
    fchmod(file, status.st_mode & mode & 0777);
  }
  return file;
}

void PlainLogWriter(const char* text) {
  UnderLogLock(text, [](LogState& state, const char* line) {
    if (state.firstUse) {
      state.firstUse = false;
      TakeConvertToolFolder(state);
    }
    if (!WriteBitSet(state)) return;
    const int file = OpenLogFile(state.logPath, O_WRONLY | O_APPEND);
    if (file < 0) return;
    const std::string entry = PlainEntry(line);
    platform::WriteAll(file, entry.data(), entry.size(), -1);
    close(file);
  });
}

}  // namespace nexoral
