// The steady clock behind the component's caches.
#include "cache_clock.h"

namespace nexoral::cache {
namespace {

class SteadyClock final : public CacheClock {
 public:
  CacheTime Now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

const CacheClock& SteadyCacheClock() {
  static const SteadyClock clock;
  return clock;
}

}  // namespace nexoral::cache
