#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "api/ryvo_api_client.h"
#include "runtime/ram_segment_cache.h"
#include "runtime/status_tracker.h"

namespace ryvoobs {

// What the maintenance does to the runtime of one delivery.
struct MaintainedRuntime {
    std::function<ApiStatus(std::string*)> poll_backfill;
    std::function<ApiStatus(std::string*)> send_heartbeat;
    std::function<void(std::string)> report_error;
    std::function<void(bool)> report_auth_failed;
    std::function<StatusSnapshot()> status_snapshot;
    std::function<RamCacheSnapshot()> cache_snapshot;
    std::function<std::uint64_t()> mux_drops;
};

// Receives each log line (without the plug-in's prefix) and whether it is a warning.
using MaintenanceLog = std::function<void(bool warning, const std::string& message)>;

// The periodic work of one delivery's maintenance thread, one pass at a time on a caller's
// clock: backfill polls every 2 s, heartbeats every 10 s, and a status line on every change and
// at least every 30 s. An API key rejection halts that one activity for the rest of the session.
class RuntimeMaintenance {
  public:
    using Clock = std::chrono::steady_clock;

    RuntimeMaintenance(MaintainedRuntime runtime, MaintenanceLog log, Clock::time_point start);

    void run_pass(Clock::time_point now);

  private:
    struct LoggedStatus {
        std::int64_t sequence = 0;
        bool connected = false;
        std::string last_error;
        std::uint64_t unuploaded_evictions = 0;
        std::uint64_t drops = 0;
        bool near_full = false;
        bool operator==(const LoggedStatus&) const = default;
    };

    // True when the activity must halt.
    bool handle_answer(ApiStatus status, const std::string& error, const std::string& failed_text,
                       const std::string& rejected_text);
    void report_status(Clock::time_point now);

    MaintainedRuntime runtime_;
    MaintenanceLog log_;
    Clock::time_point next_backfill_;
    Clock::time_point next_heartbeat_;
    Clock::time_point next_status_;
    bool backfill_halted_ = false;
    bool heartbeat_halted_ = false;
    LoggedStatus last_logged_;
};

}  // namespace ryvoobs
