// CCachedScriptManager: keeper of the script-name hash that decorates cached-script URLs.
// Process-wide, created on first use through GetCachedScriptManager; its own lock guards it.
//
// This first version has no hash source yet: Init succeeds and Refresh has nothing to re-read.
#ifndef NEXORAL_REWRITING_CACHED_SCRIPT_MANAGER_H
#define NEXORAL_REWRITING_CACHED_SCRIPT_MANAGER_H

#include "common/sync.h"

namespace nexoral {

class CCachedScriptManager {
 public:
  CCachedScriptManager() = default;
  CCachedScriptManager(const CCachedScriptManager&) = delete;
  CCachedScriptManager& operator=(const CCachedScriptManager&) = delete;
  virtual ~CCachedScriptManager() = default;

  // Start-up; 0 on success.
  int Init();
  // Re-reads the hash when its refresh interval has passed.
  void Refresh();
};

// The manager, created on first call under its own global lock.
CCachedScriptManager* GetCachedScriptManager();

}  // namespace nexoral

#endif  // NEXORAL_REWRITING_CACHED_SCRIPT_MANAGER_H
