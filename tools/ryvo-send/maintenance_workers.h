#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "api/ryvo_api_client.h"
#include "runtime/ryvo_runtime.h"

namespace ryvoobs {

// The broadcast's side traffic: a backfill poll every 2 s and a heartbeat every 10 s, each on a
// thread of its own so that a slow answer holds up neither the other nor the feeding. A rejected
// key ends that activity for good and is reported to the runtime, as the plug-in does.
class MaintenanceWorkers {
  public:
    explicit MaintenanceWorkers(RyvoRuntime& runtime);
    // Stops and joins both threads.
    ~MaintenanceWorkers();

    MaintenanceWorkers(const MaintenanceWorkers&) = delete;
    MaintenanceWorkers& operator=(const MaintenanceWorkers&) = delete;

    // Asks both threads to finish; a request in flight still runs to its end.
    void request_stop();

    bool key_rejected() const { return key_rejected_.load(); }
    // The latest failed poll or heartbeat, "" when none failed.
    std::string last_error() const;

  private:
    using Exchange = std::function<ApiStatus(std::string* error)>;

    void run(std::stop_token stop, std::chrono::milliseconds period, const char* name,
             const Exchange& exchange);

    RyvoRuntime& runtime_;
    std::atomic<bool> key_rejected_{false};
    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    std::string last_error_;
    // Declared last: stopped and joined before the members they use are destroyed.
    std::jthread backfill_;
    std::jthread heartbeat_;
};

}  // namespace ryvoobs
