// Start-up, refresh and shutdown of the settings host.
#include "settings/core_general_settings.h"

#include <cstdlib>

#include "common/static_memory.h"

namespace nexoral {
namespace {

CCritSec& GlobalSettingsLock() {
  static CCritSec lock;
  return lock;
}

}  // namespace

bool CCoreGeneralSettings::Init(const char* productName, const char* moduleFileName,
                                const char*, const char*) {
  ReadAppPool();
  if (moduleFileName != nullptr) moduleFileName_ = moduleFileName;
  eventLog_.Register(productName);
  return true;
}

bool CCoreGeneralSettings::Refresh(bool* changed) {
  if (changed != nullptr) *changed = false;
  return true;
}

void CCoreGeneralSettings::Term() { eventLog_.Deregister(); }

void CCoreGeneralSettings::ReadAppPool() {
  const char* pool = std::getenv("APP_POOL_ID");
  appPool_ = pool != nullptr ? pool : "";
}

CCoreGeneralSettings* GetCoreGeneralSettings() {
  static Mem_Manager::Static_memory<CCoreGeneralSettings> holder(GlobalSettingsLock());
  return holder.Acquire();
}

CEventLog& ProcessEventLog() { return GetCoreGeneralSettings()->EventLog(); }

}  // namespace nexoral
