// Loading shared objects at run time: the service workers and the outside components.
// A LoadedModule stays mapped until its object is destroyed; share it through a CRefHandle.
// Failures leave a system error code in the thread's last error and a reason in Error().
#ifndef NEXORAL_PLATFORM_MODULE_LOADER_H
#define NEXORAL_PLATFORM_MODULE_LOADER_H

#include <memory>
#include <string>

namespace nexoral::platform {

class LoadedModule {
 public:
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  ~LoadedModule();  // unloads the module

  // Loads the module at path with its own symbol scope. Null on failure, with the last error
  // set to 126 (module not found) and the loader's reason in *reason when given.
  static std::unique_ptr<LoadedModule> Load(const std::string& path, std::string* reason = nullptr);

  // Address of an exported symbol; null with the last error 127 when the module lacks it.
  void* FindExport(const char* name) const;

  // Address of an exported function, converted to the caller's function type.
  template <class Function>
  Function FindFunction(const char* name) const {
    return reinterpret_cast<Function>(FindExport(name));
  }

  const std::string& Path() const { return path_; }

  // Leaves the module loaded for the rest of the process; the object no longer unloads it.
  void KeepLoaded() { handle_ = nullptr; }

 private:
  LoadedModule(void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}

  void* handle_;
  std::string path_;
};

// True when a module whose file name (without folder) is fileName is loaded in the process.
bool IsModuleLoaded(const std::string& fileName, std::string* fullPath = nullptr);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_MODULE_LOADER_H
