// The numbered items of the core settings file that the system reads, with the value used
// when an item is absent, and the items of a service worker. The log's own items are in
// diagnostics/log_settings.h.
#ifndef NEXORAL_SETTINGS_CORE_ITEMS_H
#define NEXORAL_SETTINGS_CORE_ITEMS_H

#include <cstdint>

#include "diagnostics/log_settings.h"

namespace nexoral {

// ---- Core items ----
inline constexpr int32_t kItemRawResponseUrls = 6;  // ";" list of URL texts
inline constexpr int32_t ID_MAX_CACHE_ITEMS = 16;   // entries of the user property cache
inline constexpr int32_t kDefaultMaxCacheItems = 3000;
inline constexpr int32_t ID_CACHE_LIFETIME = 17;  // minutes an entry lives in that cache
inline constexpr int32_t kDefaultCacheLifetimeMinutes = 30;
inline constexpr int32_t kItemRewriteLengthLimit = 21;  // bytes of a rewritable response
inline constexpr int32_t kDefaultRewriteLengthLimit = 1048576;
inline constexpr int32_t kItemExchangeAccessMode = 37;  // handed to the mailbox store
inline constexpr int32_t kItemEwsUrl = 38;              // mailbox service URL; empty: derived
inline constexpr int32_t kItemDirectoryCacheItems = 60;
inline constexpr int32_t kDefaultDirectoryCacheItems = 3000;
inline constexpr int32_t kItemDirectoryCacheLifetime = 61;  // minutes
inline constexpr int32_t kDefaultDirectoryCacheLifetimeMinutes = 30;
inline constexpr int32_t kItemCriteriaRefresh = 74;  // 0 turns the criteria file refresh off
inline constexpr int32_t ID_INGNORE_USER_AGENTS = 77;  // ";" list of user agents
inline constexpr int32_t kItemSkipLoopbackRedirect = 78;
inline constexpr int32_t kItemLogDomainInformation = 80;  // 1 logs the domain at start-up
inline constexpr int32_t kItemRefreshInterval = 81;       // minutes
inline constexpr int32_t ID_ADD_HEADERS = 82;             // ";" list of "name:value"
inline constexpr int32_t kItemResponseHeaderHandling = 83;
inline constexpr int32_t kItemAddClientAddressHeader = 84;  // 1 adds the client-address header
inline constexpr int32_t kItemClientAddressFromForwardedFor = 85;
inline constexpr int32_t kItemExternalUrl = 86;  // "http[s]://host[:port]"; empty: from Host

// Defaults of the log's items.
inline constexpr int32_t kDefaultLogOutput = 1;
inline constexpr int32_t kDefaultLogSizeKb = 1048576;
inline constexpr int32_t kDefaultLogSwitch = 0;
inline constexpr const char kDefaultCommonLogFileName[] = "ZQCommonLog.log";
inline constexpr int32_t kDefaultLogModuleOption = 1;

// ---- Service-worker items ----
inline constexpr int32_t kWorkerItemModulePath = 1;  // relative to the folder above the product folder
inline constexpr int32_t kWorkerItemEnabled = 2;     // 0: not loaded
inline constexpr int32_t kWorkerItemOrder = 3;       // ascending load order
inline constexpr int32_t kWorkerItemDisplayName = 4;
inline constexpr int32_t kWorkerItemAppPools = 6;  // ";" list; empty: every pool
inline constexpr int32_t kWorkerItemFlag = 7;      // 1 when absent

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_CORE_ITEMS_H
