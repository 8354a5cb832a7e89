// The machine's directory domain and its domain controllers, found through DNS the way
// directory clients find them. The primary domain is the DNS domain of the host's fully
// qualified name (the environment variable NEXORAL_DNS_DOMAIN overrides it); the forest is
// taken to be that domain. Global-catalog servers are the targets of the domain's
// "_gc._tcp.<domain>" service records. No site information exists in DNS alone: site names are
// empty.
#ifndef NEXORAL_PLATFORM_DOMAIN_CONTROLLERS_H
#define NEXORAL_PLATFORM_DOMAIN_CONTROLLERS_H

#include <string>
#include <vector>

#include "nexoral/win_types.h"

namespace nexoral::platform {

inline constexpr char kDnsDomainVariable[] = "NEXORAL_DNS_DOMAIN";
inline constexpr DWORD kErrorNoSuchDomain = 1355;

struct PrimaryDomainInfo {
  std::string dnsDomainName;
  std::string forestName;
};

struct DomainControllerInfo {
  std::string domainControllerName;
  std::string domainControllerAddress;  // "\\\\" and the first IP address
  std::string domainName;
  std::string dnsForestName;
  std::string siteName;
  std::string clientSiteName;
};

// 0, or 1355 when the host belongs to no DNS domain.
DWORD GetPrimaryDomainInformation(PrimaryDomainInfo* info);

// The global-catalog servers of the domain, best first (by priority, then weight). 0, or 1355
// when the domain has none.
DWORD ListGlobalCatalogServers(const std::string& domain, std::vector<std::string>* servers);

// A global catalog of the domain: the given server, or the best one when server is empty.
// 0, 1355 when there is none, or 1722 when the server's address cannot be found.
DWORD GetDomainControllerName(const std::string& domain, const std::string& server,
                              DomainControllerInfo* info);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_DOMAIN_CONTROLLERS_H
