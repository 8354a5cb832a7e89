// The clock the caches age their items by: the steady clock in the component, a hand-moved
// one in tests. Now may be called from any thread.
#ifndef NEXORAL_COMPONENTS_CACHE_CACHE_CLOCK_H
#define NEXORAL_COMPONENTS_CACHE_CACHE_CLOCK_H

#include <chrono>

namespace nexoral::cache {

using CacheTime = std::chrono::steady_clock::time_point;

class CacheClock {
 public:
  virtual ~CacheClock() = default;
  virtual CacheTime Now() const = 0;
};

// The steady clock; lives for the whole process.
const CacheClock& SteadyCacheClock();

}  // namespace nexoral::cache

#endif  // NEXORAL_COMPONENTS_CACHE_CACHE_CLOCK_H
