// CResource: the installation's resource module, loaded as data (never run) from the module
// folder's "Resource/" folder. Loading replaces a module held before; failures are logged and
// reported to the event log by this class itself.
#ifndef NEXORAL_SETTINGS_RESOURCE_MODULE_H
#define NEXORAL_SETTINGS_RESOURCE_MODULE_H

#include <memory>
#include <string>

#include "nexoral/win_types.h"
#include "platform/data_module.h"

namespace nexoral {

class CEventLog;

class CResource {
 public:
  CResource() = default;
  CResource(const CResource&) = delete;
  CResource& operator=(const CResource&) = delete;
  virtual ~CResource() = default;

  // Where failures are reported (the settings host's event source); null: the process's.
  void ConnectEventLog(CEventLog* eventLog) { eventLog_ = eventLog; }
  // Frees a module held before, then maps the file at path. 0 or the system error code.
  DWORD LoadModule(const std::string& path);
  // Frees the module; true when none is held afterwards.
  bool UnloadModule();

  bool IsLoaded() const { return module_ != nullptr; }
  const std::string& Path() const { return path_; }

 private:
  std::unique_ptr<platform::DataModule> module_;
  std::string path_;
  CEventLog* eventLog_ = nullptr;
};

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_RESOURCE_MODULE_H
