// The filter module the server loads: its three entry points, the notifications it asked for
// in GetFilterVersion (asked once, at start-up) and its termination at shutdown. Read-only while
// requests run, so connections on any worker thread share it.
#ifndef NEXORAL_SERVER_FILTER_HOST_H
#define NEXORAL_SERVER_FILTER_HOST_H

#include <memory>
#include <string>

#include "nexoral/filter_interface.h"
#include "platform/module_loader.h"

namespace nexoral::server {

// The notifications this server delivers.
inline constexpr DWORD kServedNotifications =
    SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_AUTH_COMPLETE | SF_NOTIFY_SEND_RESPONSE |
    SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_END_OF_REQUEST | SF_NOTIFY_END_OF_NET_SESSION;

class FilterHost {
 public:
  // Loads the module and calls its GetFilterVersion. Null with the reason when the module cannot
  // be loaded, lacks an entry point or refuses to start.
  static std::unique_ptr<FilterHost> Load(const std::string& path, std::string* reason);

  ~FilterHost();  // terminates the filter if Terminate was not called, then unloads it
  FilterHost(const FilterHost&) = delete;
  FilterHost& operator=(const FilterHost&) = delete;

  bool Wants(DWORD notificationType) const { return (flags_ & notificationType) != 0; }
  DWORD Flags() const { return flags_; }  // what GetFilterVersion asked for
  const std::string& Description() const { return description_; }

  // Calls HttpFilterProc. A C++ exception that escapes the module is turned into
  // SF_STATUS_REQ_ERROR here, so it never unwinds through the server's threads.
  DWORD Notify(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, void* data) const noexcept;

  // Calls TerminateFilter once; later calls do nothing.
  void Terminate() noexcept;

 private:
  FilterHost() = default;

  std::unique_ptr<platform::LoadedModule> module_;
  PFN_HTTPFILTERPROC filterProc_ = nullptr;
  PFN_TERMINATEFILTER terminateFilter_ = nullptr;
  DWORD flags_ = 0;
  std::string description_;
  bool terminated_ = true;  // until GetFilterVersion succeeded
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_FILTER_HOST_H
