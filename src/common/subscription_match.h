// SubscriptionMatch: the outcome of testing a request URL against one service worker's rules,
// one per worker the URL matched. Produced by the URL check, consumed when the workers'
// contexts are built.
#ifndef NEXORAL_COMMON_SUBSCRIPTION_MATCH_H
#define NEXORAL_COMMON_SUBSCRIPTION_MATCH_H

#include "nexoral/win_types.h"

struct SubscriptionMatch {
  DWORD ServiceWorkerId = 0;
  DWORD MatchedBy = 0;   // Type of the rule or rule info that decided
  DWORD Subscribed = 0;  // non-zero when the worker is subscribed to the URL
};

#endif  // NEXORAL_COMMON_SUBSCRIPTION_MATCH_H
