#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "runtime/broadcast_delivery.h"

namespace ryvoobs {

// Keeps the deliveries of stopped broadcasts until they are done, so that a new broadcast can
// start at once while the previous ones finish, and shuts them all down with one total grace.
// Thread-safe; no call waits on the network except shutdown_all(), bounded by its grace.
class FinishingDeliveries {
  public:
    FinishingDeliveries() = default;
    // shutdown_all() with no grace.
    ~FinishingDeliveries();

    FinishingDeliveries(const FinishingDeliveries&) = delete;
    FinishingDeliveries& operator=(const FinishingDeliveries&) = delete;

    // Calls finish() on `delivery` and keeps it until it is done.
    void adopt(std::shared_ptr<BroadcastDelivery> delivery);
    // The deliveries still finishing, oldest first; drops the ones that are done, remembering
    // the outcome of the newest of them.
    std::vector<DeliveryProgress> progress();
    // How the most recently reaped delivery ended; empty before any.
    std::optional<DeliveryProgress> last_outcome() const;
    // Gives every delivery the same `grace` in total (not each), then cancels what is left and
    // joins; returns within about `grace` plus the cancellation bound.
    void shutdown_all(std::chrono::milliseconds grace);

  private:
    void reap_locked();

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<BroadcastDelivery>> deliveries_;
    std::optional<DeliveryProgress> last_outcome_;
};

}  // namespace ryvoobs
