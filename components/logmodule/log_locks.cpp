// Shared and local log locks.
#include "log_locks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "diagnostics/log_module_api.h"

namespace nexoral::logmodule {
namespace {

// The layout of the shared object; the magic changes with the layout.
struct Segment {
  uint64_t magic;
  pthread_mutex_t mutex;
};

constexpr uint64_t kSegmentMagic = 0x4E584C4F474C4B31ull;  // "NXLOGLK1"
constexpr size_t kLongestObjectName = 240;

bool InitializeMutex(pthread_mutex_t* mutex, bool shared) {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return false;
  bool ready = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0;
  if (ready && shared) {
    ready = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0;
  }
  ready = ready && pthread_mutex_init(mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  return ready;
}

bool HasRoomForSegment(int descriptor) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0) return false;
  if (static_cast<size_t>(status.st_size) >= sizeof(Segment)) return true;
  return ftruncate(descriptor, sizeof(Segment)) == 0;
}

// Maps the object and sets the mutex up once; the file lock keeps two first users apart.
Segment* MapSegment(int descriptor) {
  if (flock(descriptor, LOCK_EX) != 0) return nullptr;
  Segment* segment = nullptr;
  if (HasRoomForSegment(descriptor)) {
    void* mapped =
        mmap(nullptr, sizeof(Segment), PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    if (mapped != MAP_FAILED) segment = static_cast<Segment*>(mapped);
  }
  if (segment != nullptr && segment->magic != kSegmentMagic) {
    if (InitializeMutex(&segment->mutex, true)) {
      segment->magic = kSegmentMagic;
    } else {
      munmap(segment, sizeof(Segment));
      segment = nullptr;
    }
  }
  flock(descriptor, LOCK_UN);
  return segment;
}

}  // namespace

std::string LockObjectName(const std::string& logName) {
  std::string name = "/nexoral.loglock.";
  for (char c : logName) name += (c == '/' || c == '\\') ? '.' : c;
  if (name.size() > kLongestObjectName) name.resize(kLongestObjectName);
  return name;
}

std::unique_ptr<LogLock> LogLock::OpenShared(const std::string& logName) {
  const mode_t mode = LogObjectMode();
  const int descriptor =
      shm_open(LockObjectName(logName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
  if (descriptor < 0) return nullptr;
  // Whatever the umask; an older object of this user is narrowed. An object another account
  // can reach is not used: whoever holds the lock stalls every writer.
  fchmod(descriptor, mode);
  if (!IsPrivateLogObject(descriptor)) {
    close(descriptor);
    return nullptr;
  }
  Segment* segment = MapSegment(descriptor);
  close(descriptor);
  if (segment == nullptr) return nullptr;
  return std::unique_ptr<LogLock>(new LogLock(&segment->mutex, segment, sizeof(Segment)));
}

std::unique_ptr<LogLock> LogLock::MakeLocal() {
  auto* mutex = new pthread_mutex_t;
  if (!InitializeMutex(mutex, false)) {
    delete mutex;
    return nullptr;
  }
  return std::unique_ptr<LogLock>(new LogLock(mutex, nullptr, 0));
}

LogLock::~LogLock() {
  if (mapping_ != nullptr) {
    munmap(mapping_, mappingSize_);
  } else {
    pthread_mutex_destroy(mutex_);
    delete mutex_;
  }
}

// A holder that died with the lock leaves it abandoned: its line may be cut short, but the
// log goes on.
bool LogLock::Took(int result) {
  if (result == EOWNERDEAD) {
    pthread_mutex_consistent(mutex_);
    result = 0;
  }
  if (result != 0) return false;
  depth_.fetch_add(1);
  return true;
}

void LogLock::Lock() { Took(pthread_mutex_lock(mutex_)); }

void LogLock::Unlock() {
  if (pthread_mutex_unlock(mutex_) == 0) depth_.fetch_sub(1);
}

BOOL LogLock::TryLock() { return Took(pthread_mutex_trylock(mutex_)) ? 1 : 0; }

}  // namespace nexoral::logmodule
