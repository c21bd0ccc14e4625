#pragma once

#include <mutex>

#include "delivery_tally.h"
#include "maintenance_workers.h"
#include "media_feeder.h"
#include "progress_display.h"
#include "runtime/ryvo_runtime.h"

namespace ryvoobs {

// Gathers the progress figures from the runtime, the upload tally, the side traffic and the
// feeding. While the broadcast ends the runtime has handed its session over to the drain and
// shows nothing; the figures last seen of it are kept. Thread-safe.
class ProgressSampler {
  public:
    ProgressSampler(const RyvoRuntime& runtime, const DeliveryTally& tally,
                    const MaintenanceWorkers& workers, const FeedStats& stats)
        : runtime_(runtime), tally_(tally), workers_(workers), stats_(stats) {}

    ProgressFigures sample();

  private:
    const RyvoRuntime& runtime_;
    const DeliveryTally& tally_;
    const MaintenanceWorkers& workers_;
    const FeedStats& stats_;
    std::mutex mutex_;
    ProgressFigures last_live_;
};

}  // namespace ryvoobs
