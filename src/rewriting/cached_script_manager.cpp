// The cached-script manager: the hash's life between the registry and memory.
#include "rewriting/cached_script_manager.h"

#include <ctime>

#include "common/static_memory.h"
#include "platform/error_codes.h"
#include "platform/registry.h"

namespace nexoral {
namespace {

using platform::RegistryAccess;
using platform::RegistryKey;
using platform::RegistryValue;

CCritSec& GlobalScriptManagerLock() {
  static CCritSec lock;
  return lock;
}

char HashCharacter(int64_t index) {
  constexpr int64_t kHighestIndex = 59;
  return kScriptHashAlphabet[index < 0 || index > kHighestIndex ? 0 : index];
}

int64_t WallClockSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

std::string GenerateScriptHash(const platform::CalendarTime& time) {
  // Signed, so that a month or day of 0 gives -1 and is replaced.
  const int64_t indices[] = {int64_t{time.month} - 1, int64_t{time.day} - 1, int64_t{time.hour},
                             int64_t{time.minute}, int64_t{time.year} % 7};
  std::string hash;
  for (int64_t index : indices) hash += HashCharacter(index);
  return hash;
}

CCachedScriptManager::CCachedScriptManager()
    : decorator_(GenerateScriptHash(platform::CurrentLocalTime())),
      secondsNow_(WallClockSeconds),
      localTime_(platform::CurrentLocalTime) {}

DWORD CCachedScriptManager::Init() {
  CSyncGuard guard(lock_);
  lastLoadTime_ = secondsNow_();
  const DWORD result = LoadHash(nullptr);
  ReadRefreshInterval();
  initialized_ = true;
  return result;
}

DWORD CCachedScriptManager::Refresh(bool* newHashWritten) {
  if (newHashWritten != nullptr) *newHashWritten = false;
  CSyncGuard guard(lock_);
  const int64_t now = secondsNow_();
  // A clock set back before the last load cannot say how long ago it was: reload rather than
  // keep a hash for as long as the clock needs to catch up.
  const bool due = now < lastLoadTime_ || (now - lastLoadTime_) / 60 > int64_t{refreshInterval_};
  if (!due) return kErrorSuccess;
  lastLoadTime_ = now;
  const DWORD result = LoadHash(newHashWritten);
  ReadRefreshInterval();
  return result;
}

// Adopts the stored hash when it is a text of exactly the hash length; otherwise makes a new
// one and stores it, and adopts it only once it is stored, so that memory never holds a hash
// the other worker processes cannot read.
DWORD CCachedScriptManager::LoadHash(bool* newHashWritten) {
  if (newHashWritten != nullptr) *newHashWritten = false;
  RegistryKey key;
  RegistryValue stored;
  DWORD result = RegistryKey::Open(kCsmRegistryKey, RegistryAccess::kRead, &key);
  if (result == kErrorSuccess) result = key.QueryValue(kCsmHashValue, &stored);
  const bool isText = stored.type == platform::REG_SZ || stored.type == platform::REG_EXPAND_SZ;
  if (result == kErrorSuccess && isText && stored.text.size() == kScriptHashLength) {
    decorator_.SetHash(stored.text);
    return kErrorSuccess;
  }

  const std::string hash = GenerateScriptHash(localTime_());
  RegistryKey writable;
  result = RegistryKey::Open(kCsmRegistryKey, RegistryAccess::kWrite, &writable);
  if (result == kErrorSuccess) {
    result = writable.SetTextValue(kCsmHashValue, hash, platform::REG_SZ);
  }
  if (result != kErrorSuccess) return result;
  decorator_.SetHash(hash);
  if (newHashWritten != nullptr) *newHashWritten = true;
  return kErrorSuccess;
}

void CCachedScriptManager::ReadRefreshInterval() {
  RegistryKey key;
  RegistryValue interval;
  if (RegistryKey::Open(kCsmRegistryKey, RegistryAccess::kRead, &key) != kErrorSuccess) return;
  if (key.QueryValue(kCsmRefreshIntervalValue, &interval) != kErrorSuccess) return;
  if (interval.type == platform::REG_DWORD && interval.number != 0) {
    refreshInterval_ = interval.number;
  }
}

std::string CCachedScriptManager::GetCSMPrefix() {
  CSyncGuard guard(lock_);
  return decorator_.GetDecoration();
}

std::string CCachedScriptManager::Undecorate(const std::string& name) {
  CSyncGuard guard(lock_);
  return decorator_.Undecorate(name);
}

bool CCachedScriptManager::IsDecorated(const std::string& name) {
  CSyncGuard guard(lock_);
  return decorator_.IsDecorated(name);
}

DWORD CCachedScriptManager::GetRefreshInterval() {
  CSyncGuard guard(lock_);
  return refreshInterval_;
}

bool CCachedScriptManager::IsInitialized() {
  CSyncGuard guard(lock_);
  return initialized_;
}

CCachedScriptManager* GetCachedScriptManager() {
  static Mem_Manager::Static_memory<CCachedScriptManager> holder(GlobalScriptManagerLock());
  return holder.Acquire();
}

}  // namespace nexoral
