// The cached-script manager's start-up and refresh.
#include "rewriting/cached_script_manager.h"

#include "common/static_memory.h"

namespace nexoral {
namespace {

CCritSec& GlobalScriptManagerLock() {
  static CCritSec lock;
  return lock;
}

}  // namespace

int CCachedScriptManager::Init() { return 0; }

void CCachedScriptManager::Refresh() {}

CCachedScriptManager* GetCachedScriptManager() {
  static Mem_Manager::Static_memory<CCachedScriptManager> holder(GlobalScriptManagerLock());
  return holder.Acquire();
}

}  // namespace nexoral
