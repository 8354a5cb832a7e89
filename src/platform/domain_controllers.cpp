// Domain controllers through the resolver's service records.
#include "platform/domain_controllers.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace nexoral::platform {
namespace {

constexpr DWORD kErrorRpcServerUnavailable = 1722;

struct ServiceTarget {
  unsigned priority = 0;
  unsigned weight = 0;
  std::string name;
};

std::string FullyQualifiedHostName() {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof(host) - 1) != 0) return std::string();
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  std::string name = host;
  if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found != nullptr) {
    if (found->ai_canonname != nullptr) name = found->ai_canonname;
    freeaddrinfo(found);
  }
  return name;
}

std::vector<ServiceTarget> QueryServiceTargets(const std::string& record) {
  std::vector<ServiceTarget> targets;
  struct __res_state state {};
  if (res_ninit(&state) != 0) return targets;
  unsigned char answer[NS_PACKETSZ * 8];
  const int length = res_nquery(&state, record.c_str(), ns_c_in, ns_t_srv, answer, sizeof(answer));
  ns_msg message{};
  if (length > 0 && ns_initparse(answer, length, &message) == 0) {
    const int count = ns_msg_count(message, ns_s_an);
    for (int i = 0; i < count; ++i) {
      ns_rr resource{};
      if (ns_parserr(&message, ns_s_an, i, &resource) != 0 || ns_rr_type(resource) != ns_t_srv ||
          ns_rr_rdlen(resource) < 7) {
        continue;
      }
      const unsigned char* data = ns_rr_rdata(resource);
      char target[NS_MAXDNAME] = {};
      if (dn_expand(ns_msg_base(message), ns_msg_end(message), data + 6, target,
                    sizeof(target)) < 0) {
        continue;
      }
      targets.push_back({ns_get16(data), ns_get16(data + 2), target});
    }
  }
  res_nclose(&state);
  std::stable_sort(targets.begin(), targets.end(), [](const ServiceTarget& a, const ServiceTarget& b) {
    return a.priority != b.priority ? a.priority < b.priority : a.weight > b.weight;
  });
  return targets;
}

bool FirstAddressOf(const std::string& host, std::string* address) {
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, nullptr, &found) != 0 || found == nullptr) return false;
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw = nullptr;
  if (found->ai_family == AF_INET) {
    raw = &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  } else if (found->ai_family == AF_INET6) {
    raw = &reinterpret_cast<const sockaddr_in6*>(found->ai_addr)->sin6_addr;
  }
  const bool converted = raw != nullptr && inet_ntop(found->ai_family, raw, text, sizeof(text));
  freeaddrinfo(found);
  if (converted) *address = std::string("\\\\") + text;
  return converted;
}

}  // namespace

DWORD GetPrimaryDomainInformation(PrimaryDomainInfo* info) {
  std::string domain;
  const char* configured = std::getenv(kDnsDomainVariable);
  if (configured != nullptr && configured[0] != '\0') {
    domain = configured;
  } else {
    const std::string host = FullyQualifiedHostName();
    const size_t dot = host.find('.');
    if (dot != std::string::npos) domain = host.substr(dot + 1);
  }
  if (domain.empty()) return kErrorNoSuchDomain;
  if (info != nullptr) *info = {domain, domain};
  return 0;
}

DWORD ListGlobalCatalogServers(const std::string& domain, std::vector<std::string>* servers) {
  const std::vector<ServiceTarget> targets = QueryServiceTargets("_gc._tcp." + domain);
  if (targets.empty()) return kErrorNoSuchDomain;
  if (servers != nullptr) {
    servers->clear();
    for (const ServiceTarget& target : targets) servers->push_back(target.name);
  }
  return 0;
}

DWORD GetDomainControllerName(const std::string& domain, const std::string& server,
                              DomainControllerInfo* info) {
  std::string name = server;
  if (name.empty()) {
    std::vector<std::string> servers;
    const DWORD listed = ListGlobalCatalogServers(domain, &servers);
    if (listed != 0) return listed;
    name = servers.front();
  }
  DomainControllerInfo found;
  found.domainControllerName = "\\\\" + name;
  if (!FirstAddressOf(name, &found.domainControllerAddress)) return kErrorRpcServerUnavailable;
  found.domainName = domain;
  found.dnsForestName = domain;
  if (info != nullptr) *info = found;
  return 0;
}

}  // namespace nexoral::platform
