// The settings host's start-up report of the machine's domain and domain controllers.
#include <string>
#include <vector>

#include "diagnostics/log.h"
#include "platform/domain_controllers.h"
#include "settings/core_general_settings.h"

namespace nexoral {
namespace {

void LogControllerLines(const platform::DomainControllerInfo& controller) {
  Log("Site: %s", controller.siteName.c_str());
  Log("ClientSiteName: %s", controller.clientSiteName.c_str());
  Log("Domain: %s", controller.domainName.c_str());
  Log("DomainControllerAddress: %s", controller.domainControllerAddress.c_str());
  Log("DomainControllerName: %s", controller.domainControllerName.c_str());
}

}  // namespace

void CCoreGeneralSettings::LogDomainInformation() {
  platform::PrimaryDomainInfo domain;
  const DWORD domainResult = platform::GetPrimaryDomainInformation(&domain);
  if (domainResult != 0) {
    Log("DsRoleGetPrimaryDomainInformation failed %d", static_cast<int>(domainResult));
    return;
  }
  Log("Primary Domain DNS: %s", domain.dnsDomainName.c_str());
  Log("DomainForestName: %s", domain.forestName.c_str());

  platform::DomainControllerInfo catalog;
  const DWORD catalogResult =
      platform::GetDomainControllerName(domain.dnsDomainName, std::string(), &catalog);
  if (catalogResult != 0) {
    Log("Get default GC DsGetDcNameA failed for %d", static_cast<int>(catalogResult));
  } else {
    LogControllerLines(catalog);
  }

  std::vector<std::string> servers;
  const DWORD listResult = platform::ListGlobalCatalogServers(domain.dnsDomainName, &servers);
  if (listResult != 0) {
    Log("DsGetDcOpen failed %d", static_cast<int>(listResult));
    return;
  }
  for (const std::string& server : servers) {
    Log("Server: %s", server.c_str());
    platform::DomainControllerInfo controller;
    const DWORD result = platform::GetDomainControllerName(domain.dnsDomainName, server, &controller);
    if (result != 0) {
      Log("DsGetDcNameA failed for %s %d", server.c_str(), static_cast<int>(result));
      continue;
    }
    LogControllerLines(controller);
    Log("DnsForestName: %s", controller.dnsForestName.c_str());
  }
}

}  // namespace nexoral
