#include "runtime/finishing_deliveries.h"

#include <algorithm>
#include <utility>

namespace ryvoobs {

FinishingDeliveries::~FinishingDeliveries() {
    shutdown_all(std::chrono::milliseconds(0));
}

void FinishingDeliveries::adopt(std::shared_ptr<BroadcastDelivery> delivery) {
    if (!delivery) {
        return;
    }
    delivery->finish();
    std::lock_guard lock(mutex_);
    reap_locked();
    deliveries_.push_back(std::move(delivery));
}

std::vector<DeliveryProgress> FinishingDeliveries::progress() {
    std::lock_guard lock(mutex_);
    reap_locked();
    std::vector<DeliveryProgress> progress;
    for (const auto& delivery : deliveries_) {
        progress.push_back(delivery->progress());
    }
    return progress;
}

std::optional<DeliveryProgress> FinishingDeliveries::last_outcome() const {
    std::lock_guard lock(mutex_);
    return last_outcome_;
}

void FinishingDeliveries::shutdown_all(std::chrono::milliseconds grace) {
    std::vector<std::shared_ptr<BroadcastDelivery>> deliveries;
    {
        std::lock_guard lock(mutex_);
        deliveries.swap(deliveries_);
    }
    const auto deadline = BroadcastDelivery::Clock::now() + grace;
    for (const auto& delivery : deliveries) {
        delivery->wait_done(deadline);
    }
    // All at once, so that no delivery waits for another's requests to be abandoned.
    for (const auto& delivery : deliveries) {
        delivery->cancel("shut down before delivery finished");
    }
    for (const auto& delivery : deliveries) {
        delivery->shutdown(BroadcastDelivery::Clock::now());
    }
    std::lock_guard lock(mutex_);
    if (!deliveries.empty()) {
        last_outcome_ = deliveries.back()->progress();
    }
}

void FinishingDeliveries::reap_locked() {
    // A delivery is done only once its own threads have finished their work, so destroying it
    // here joins a thread that has already returned or is about to.
    const auto done = std::stable_partition(
        deliveries_.begin(), deliveries_.end(),
        [](const std::shared_ptr<BroadcastDelivery>& delivery) { return !delivery->done(); });
    if (done != deliveries_.end()) {
        last_outcome_ = deliveries_.back()->progress();
    }
    deliveries_.erase(done, deliveries_.end());
}

}  // namespace ryvoobs
