// CCachedScriptManager: keeper of the hash that decorates cached-script names. The hash lives
// in the registry (value "CsmHash" of key "Software\Zephyrquill\Setup") so that every worker
// process and the next start use the same one; Refresh re-reads it every "CsmRefreshInterval"
// minutes. Process-wide, created on first use through GetCachedScriptManager; any thread may
// call it, its own lock guards the hash.
#ifndef NEXORAL_REWRITING_CACHED_SCRIPT_MANAGER_H
#define NEXORAL_REWRITING_CACHED_SCRIPT_MANAGER_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "common/sync.h"
#include "nexoral/win_types.h"
#include "platform/local_time.h"
#include "rewriting/cached_script_decorator.h"

namespace nexoral {

inline constexpr char kCsmRegistryKey[] = "Software\\Zephyrquill\\Setup";
inline constexpr char kCsmHashValue[] = "CsmHash";                        // REG_SZ, 5 characters
inline constexpr char kCsmRefreshIntervalValue[] = "CsmRefreshInterval";  // REG_DWORD, minutes
inline constexpr DWORD kDefaultCsmRefreshMinutes = 15;

// The characters of a hash, indexed 0 ("A") to 61 ("z").
inline constexpr char kScriptHashAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmnopqrstuvwxyz";

// A hash made from a local time: the characters at month - 1, day - 1, hour, minute and
// year mod 7, in this order. An index outside 0..59 (a time that could not be converted) is
// replaced by 0. Hashes made within one minute are the same.
std::string GenerateScriptHash(const platform::CalendarTime& time);

class CCachedScriptManager {
 public:
  // Makes a hash from the current local time at once, so there is one even when the registry
  // cannot be read.
  CCachedScriptManager();
  CCachedScriptManager(const CCachedScriptManager&) = delete;
  CCachedScriptManager& operator=(const CCachedScriptManager&) = delete;
  virtual ~CCachedScriptManager() = default;

  // Start-up: loads the hash and reads the refresh interval. 0, or the error of the registry
  // operation that failed; the hash made at creation stays then.
  virtual DWORD Init();
  // Loads the hash and reads the interval again when more whole minutes than the interval
  // have passed since the last load, or the clock was set back before it. 0 when nothing was
  // due, else as Init. *newHashWritten tells whether a new hash was made and stored.
  virtual DWORD Refresh(bool* newHashWritten = nullptr);

  // The hash followed by "zq_".
  std::string GetCSMPrefix();
  std::string Undecorate(const std::string& name);
  bool IsDecorated(const std::string& name);
  // Minutes between loads: "CsmRefreshInterval" when it was last read as a non-zero REG_DWORD,
  // else kDefaultCsmRefreshMinutes.
  DWORD GetRefreshInterval();
  bool IsInitialized();

 protected:
  // Seconds of the wall clock, and the local time hashes are made from; the system's own
  // unless replaced (before Init).
  void SetClock(std::function<int64_t()> secondsNow) { secondsNow_ = std::move(secondsNow); }
  void SetLocalTimeSource(std::function<platform::CalendarTime()> localTime) {
    localTime_ = std::move(localTime);
  }

 private:
  // Both run under lock_.
  DWORD LoadHash(bool* newHashWritten);
  void ReadRefreshInterval();

  CCachedScriptDecorator decorator_;
  CCritSec lock_;
  int64_t lastLoadTime_ = 0;  // seconds; 0 until the first load
  DWORD refreshInterval_ = kDefaultCsmRefreshMinutes;
  bool initialized_ = false;
  std::function<int64_t()> secondsNow_;
  std::function<platform::CalendarTime()> localTime_;
};

// The manager, created on first call under its own global lock.
CCachedScriptManager* GetCachedScriptManager();

}  // namespace nexoral

#endif  // NEXORAL_REWRITING_CACHED_SCRIPT_MANAGER_H
