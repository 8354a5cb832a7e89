// Named shared memory on shm_open and mmap.
#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error_codes.h"

namespace nexoral::platform {
namespace {

constexpr size_t kLongestObjectName = 240;

void FailWithErrno() { SetLastError(ErrorCodeFromErrno(errno)); }

}  // namespace

std::string SharedMemoryObjectName(const std::string& mappingName) {
  std::string name = "/nexoral.";
  for (char c : mappingName) name += (c == '\\' || c == '/') ? '.' : c;
  if (name.size() > kLongestObjectName) name.resize(kLongestObjectName);
  return name;
}

std::unique_ptr<SharedMemory> SharedMemory::Open(const std::string& mappingName) {
  const int descriptor = shm_open(SharedMemoryObjectName(mappingName).c_str(), O_RDWR, 0);
  if (descriptor < 0) {
    FailWithErrno();
    return nullptr;
  }
  return std::unique_ptr<SharedMemory>(new SharedMemory(descriptor));
}

std::unique_ptr<SharedMemory> SharedMemory::Create(const std::string& mappingName, size_t size,
                                                   mode_t mode) {
  if (size == 0) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  const std::string objectName = SharedMemoryObjectName(mappingName);
  const int descriptor = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
  if (descriptor < 0) {
    FailWithErrno();
    return nullptr;
  }
  // The mode as asked, whatever the process umask.
  int failure = fchmod(descriptor, mode) == 0 ? 0 : errno;
  if (failure == 0 && ftruncate(descriptor, static_cast<off_t>(size)) != 0) failure = errno;
  if (failure != 0) {
    close(descriptor);
    shm_unlink(objectName.c_str());
    SetLastError(ErrorCodeFromErrno(failure));
    return nullptr;
  }
  return std::unique_ptr<SharedMemory>(new SharedMemory(descriptor));
}

SharedMemory::~SharedMemory() {
  Unmap();
  close(descriptor_);
}

size_t SharedMemory::Size() const {
  struct stat status {};
  if (fstat(descriptor_, &status) != 0 || status.st_size < 0) return 0;
  return static_cast<size_t>(status.st_size);
}

char* SharedMemory::Map(size_t length) {
  Unmap();
  if (length == 0 || length > Size()) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  void* view = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor_, 0);
  if (view == MAP_FAILED) {
    FailWithErrno();
    return nullptr;
  }
  view_ = static_cast<char*>(view);
  viewLength_ = length;
  return view_;
}

void SharedMemory::Unmap() {
  if (view_ != nullptr) munmap(view_, viewLength_);
  view_ = nullptr;
  viewLength_ = 0;
}

bool RemoveSharedMemory(const std::string& mappingName) {
  if (shm_unlink(SharedMemoryObjectName(mappingName).c_str()) == 0) return true;
  FailWithErrno();
  return false;
}

}  // namespace nexoral::platform
