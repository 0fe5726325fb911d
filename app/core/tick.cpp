#include "app/core/tick.h"

#include <ctime>

namespace korvane {

uint32_t SteadyTickSource::Now() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

TickSource& SystemTicks() {
  static SteadyTickSource ticks;
  return ticks;
}

} // namespace korvane
