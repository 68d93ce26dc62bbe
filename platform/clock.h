#pragma once

#include <chrono>
#include <cstdint>

namespace vmrsmgr::platform {

// The one clock of every deadline and wait: it only goes forward, whatever
// happens to the wall clock. What tests drive keeps its own time behind its
// interface (SystemApi's tick_count, the log writer's clock), whose real
// form reads this one.
using MonotonicClock = std::chrono::steady_clock;

inline std::uint64_t monotonic_ms() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        MonotonicClock::now().time_since_epoch())
                                        .count());
}

}  // namespace vmrsmgr::platform
