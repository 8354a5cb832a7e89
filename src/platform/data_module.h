// A module file loaded as data: its bytes mapped read-only, nothing run. The resource module
// of an installation is loaded this way; it must exist and be readable.
#ifndef NEXORAL_PLATFORM_DATA_MODULE_H
#define NEXORAL_PLATFORM_DATA_MODULE_H

#include <cstddef>
#include <memory>
#include <string>

namespace nexoral::platform {

class DataModule {
 public:
  DataModule(const DataModule&) = delete;
  DataModule& operator=(const DataModule&) = delete;
  ~DataModule();  // unmaps the bytes

  // Null with the last error set: 2 missing, 3 a missing folder, 5 unreadable or a folder.
  static std::unique_ptr<DataModule> Load(const std::string& path);

  const std::string& Path() const { return path_; }
  const unsigned char* Bytes() const { return bytes_; }
  size_t Size() const { return size_; }

 private:
  DataModule(std::string path, const unsigned char* bytes, size_t size)
      : path_(std::move(path)), bytes_(bytes), size_(size) {}

  std::string path_;
  const unsigned char* bytes_;
  size_t size_;
};

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_DATA_MODULE_H
