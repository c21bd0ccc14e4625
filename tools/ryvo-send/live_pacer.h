#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace ryvoobs {

// Releases packets at the pace a live encoder produces them: a packet whose decode time is t
// after the first one goes out t after the first one did. Without pacing it never waits.
class LivePacer {
  public:
    explicit LivePacer(bool paced) : paced_(paced) {}

    // Waits until the packet at `dts` (media clock) is due. Returns early, false, once `stop`
    // is set; it is checked at least every 50 ms.
    bool wait_for(std::int64_t dts, const std::atomic<bool>& stop);

  private:
    using Clock = std::chrono::steady_clock;

    const bool paced_;
    std::optional<Clock::time_point> start_time_;
    std::int64_t start_dts_ = 0;
};

}  // namespace ryvoobs
