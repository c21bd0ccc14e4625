#pragma once

#include <mutex>
#include <string>

#include "delivery_tally.h"
#include "media_feeder.h"
#include "progress_display.h"
#include "runtime/broadcast_delivery.h"

namespace ryvoobs {

// The latest warning the delivery logged (a failed poll, heartbeat or end). Thread-safe.
class LatestWarning {
  public:
    void note(std::string line);
    std::string get() const;

  private:
    mutable std::mutex mutex_;
    std::string line_;
};

// Gathers the progress figures from the delivery, the upload tally, the delivery's warnings and
// the feeding. Thread-safe.
class ProgressSampler {
  public:
    ProgressSampler(const BroadcastDelivery& delivery, const DeliveryTally& tally,
                    const LatestWarning& warning, const FeedStats& stats)
        : delivery_(delivery), tally_(tally), warning_(warning), stats_(stats) {}

    ProgressFigures sample() const;

  private:
    const BroadcastDelivery& delivery_;
    const DeliveryTally& tally_;
    const LatestWarning& warning_;
    const FeedStats& stats_;
};

}  // namespace ryvoobs
