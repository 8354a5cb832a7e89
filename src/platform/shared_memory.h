// Named shared memory: file mappings that the processes of the machine open by name, backed by
// memory rather than a file. A mapping name such as "Global\\ZQCommonLog.log" names the POSIX
// shared-memory object "/nexoral.Global.ZQCommonLog.log": "/nexoral." followed by the name with
// every backslash and slash turned into a dot, cut to 240 characters. New objects get the mode
// their creator asks for (owner and group by default), whatever the umask.
// Failures return null with a system error code in the thread's last error.
#ifndef NEXORAL_PLATFORM_SHARED_MEMORY_H
#define NEXORAL_PLATFORM_SHARED_MEMORY_H

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

namespace nexoral::platform {

std::string SharedMemoryObjectName(const std::string& mappingName);

class SharedMemory {
 public:
  // Opens an existing mapping for reading and writing; last error 2 when there is none.
  static std::unique_ptr<SharedMemory> Open(const std::string& mappingName);
  // Creates a new mapping of size bytes, zero-filled and sparse: memory is taken only for the
  // pages that are written. Last error 183 when it exists already; after any other failure the
  // half-made object is removed again.
  static std::unique_ptr<SharedMemory> Create(const std::string& mappingName, size_t size,
                                              mode_t mode = 0660);

  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;
  // Unmaps the view and closes the mapping; the object itself stays for other processes.
  ~SharedMemory();

  // The size of the object now (another process may have created it with any size).
  size_t Size() const;
  // Maps the first length bytes for reading and writing, replacing an earlier view. Fails
  // (null, last error 87) when length is 0 or beyond Size().
  char* Map(size_t length);
  void Unmap();
  char* View() const { return view_; }
  size_t ViewLength() const { return viewLength_; }
  int Descriptor() const { return descriptor_; }

 private:
  explicit SharedMemory(int descriptor) : descriptor_(descriptor) {}

  int descriptor_;
  char* view_ = nullptr;
  size_t viewLength_ = 0;
};

// Removes the named object; processes that have it open keep their views.
bool RemoveSharedMemory(const std::string& mappingName);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_SHARED_MEMORY_H
