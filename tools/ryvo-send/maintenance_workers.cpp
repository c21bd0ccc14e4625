#include "maintenance_workers.h"

#include "runtime/upload_manager.h"

namespace ryvoobs {
namespace {

constexpr std::chrono::milliseconds kBackfillPeriod{2000};
constexpr std::chrono::milliseconds kHeartbeatPeriod{10000};
// What the runtime answers between its sessions; not a failure worth showing.
constexpr const char* kNotStarted = "runtime not started";

}  // namespace

MaintenanceWorkers::MaintenanceWorkers(RyvoRuntime& runtime) : runtime_(runtime) {
    backfill_ = std::jthread([this](std::stop_token stop) {
        run(stop, kBackfillPeriod, "backfill poll",
            [this](std::string* error) { return runtime_.poll_backfill(error); });
    });
    heartbeat_ = std::jthread([this](std::stop_token stop) {
        run(stop, kHeartbeatPeriod, "heartbeat",
            [this](std::string* error) { return runtime_.send_heartbeat(error); });
    });
}

MaintenanceWorkers::~MaintenanceWorkers() = default;

void MaintenanceWorkers::request_stop() {
    backfill_.request_stop();
    heartbeat_.request_stop();
}

std::string MaintenanceWorkers::last_error() const {
    std::lock_guard lock(mutex_);
    return last_error_;
}

void MaintenanceWorkers::run(std::stop_token stop, std::chrono::milliseconds period,
                             const char* name, const Exchange& exchange) {
    auto next = std::chrono::steady_clock::now() + period;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait_until(lock, stop, next, [] { return false; });
        }
        if (stop.stop_requested()) {
            return;
        }
        std::string error;
        const ApiStatus status = exchange(&error);
        next = std::chrono::steady_clock::now() + period;
        if (status == ApiStatus::unauthorized) {
            key_rejected_.store(true);
            runtime_.report_error(kKeyRejectedMessage);
            runtime_.report_auth_failed(true);
            std::lock_guard lock(mutex_);
            last_error_ = std::string(name) + " rejected: " + kKeyRejectedMessage;
            return;
        }
        if (status == ApiStatus::failed && !error.empty() && error != kNotStarted) {
            std::lock_guard lock(mutex_);
            last_error_ = std::string(name) + " failed: " + error;
        }
    }
}

}  // namespace ryvoobs
