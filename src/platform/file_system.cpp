// Paths and folders over the POSIX file interface.
#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error_codes.h"

namespace nexoral::platform {

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool CreateFolders(const std::string& folder) {
  if (folder.empty()) return false;
  struct stat status {};
  if (stat(folder.c_str(), &status) == 0) return S_ISDIR(status.st_mode);
  const std::string parent = ParentFolder(folder);
  if (!parent.empty() && parent != folder && !CreateFolders(parent)) return false;
  return mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

int OpenCreatingFolders(const std::string& path, int flags, int mode) {
  int descriptor = open(path.c_str(), flags | O_CLOEXEC, mode);
  if (descriptor >= 0 || errno != ENOENT || (flags & O_CREAT) == 0) return descriptor;
  const int openError = errno;
  if (!CreateFolders(ParentFolder(path))) {
    errno = openError;
    return -1;
  }
  return open(path.c_str(), flags | O_CLOEXEC, mode);
}

bool WriteAll(int descriptor, const void* data, size_t length, long long offset) {
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t written = offset < 0 ? write(descriptor, next, length)
                                       : pwrite(descriptor, next, length, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    next += written;
    length -= static_cast<size_t>(written);
    if (offset >= 0) offset += written;
  }
  return true;
}

bool PathExists(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) == 0) return true;
  SetLastError(errno == ENOTDIR ? kErrorPathNotFound : ErrorCodeFromErrno(errno));
  return false;
}

}  // namespace nexoral::platform
