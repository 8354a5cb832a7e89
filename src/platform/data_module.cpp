// Read-only mappings of module files.
#include "platform/data_module.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error_codes.h"

namespace nexoral::platform {

DataModule::~DataModule() {
  if (bytes_ != nullptr) munmap(const_cast<unsigned char*>(bytes_), size_);
}

std::unique_ptr<DataModule> DataModule::Load(const std::string& path) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    SetLastError(errno == EISDIR ? kErrorAccessDenied : ErrorCodeFromErrno(errno));
    return nullptr;
  }
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(descriptor);
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  const size_t size = static_cast<size_t>(status.st_size);
  void* bytes = nullptr;
  if (size > 0) {
    bytes = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0);
    if (bytes == MAP_FAILED) {
      const int error = errno;
      close(descriptor);
      SetLastError(ErrorCodeFromErrno(error));
      return nullptr;
    }
  }
  close(descriptor);
  return std::unique_ptr<DataModule>(
      new DataModule(path, static_cast<const unsigned char*>(bytes), size));
}

}  // namespace nexoral::platform
