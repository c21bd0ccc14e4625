#include "runtime/runtime_maintenance.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

#include "runtime/upload_manager.h"

namespace ryvoobs {
namespace {

using std::chrono::seconds;

constexpr seconds kBackfillPeriod{2};
constexpr seconds kHeartbeatPeriod{10};
constexpr seconds kStatusPeriod{30};

}  // namespace

RuntimeMaintenance::RuntimeMaintenance(MaintainedRuntime runtime, MaintenanceLog log,
                                       Clock::time_point start)
    : runtime_(std::move(runtime)),
      log_(std::move(log)),
      next_backfill_(start + kBackfillPeriod),
      next_heartbeat_(start + kHeartbeatPeriod),
      // The first pass always reports.
      next_status_(start) {}

void RuntimeMaintenance::run_pass(Clock::time_point now) {
    if (now >= next_backfill_ && !backfill_halted_) {
        std::string error;
        const ApiStatus status = runtime_.poll_backfill(&error);
        backfill_halted_ =
            handle_answer(status, error, "backfill poll failed: ",
                          "backfill rejected (auth): halting backfill for this session: ");
        next_backfill_ = now + kBackfillPeriod;
    }
    if (now >= next_heartbeat_ && !heartbeat_halted_) {
        std::string error;
        const ApiStatus status = runtime_.send_heartbeat(&error);
        heartbeat_halted_ =
            handle_answer(status, error, "heartbeat failed: ",
                          "heartbeat rejected (auth): halting heartbeat for this session: ");
        next_heartbeat_ = now + kHeartbeatPeriod;
    }
    report_status(now);
}

bool RuntimeMaintenance::handle_answer(ApiStatus status, const std::string& error,
                                       const std::string& failed_text,
                                       const std::string& rejected_text) {
    switch (status) {
        case ApiStatus::failed:
            if (!error.empty()) {
                log_(true, failed_text + error);
            }
            return false;
        case ApiStatus::unauthorized:
            log_(true, rejected_text + error);
            runtime_.report_error(kKeyRejectedMessage);
            runtime_.report_auth_failed(true);
            return true;
        case ApiStatus::ok:
            break;
    }
    return false;
}

void RuntimeMaintenance::report_status(Clock::time_point now) {
    const StatusSnapshot status = runtime_.status_snapshot();
    const RamCacheSnapshot cache = runtime_.cache_snapshot();
    const std::uint64_t drops = runtime_.mux_drops();
    const bool near_full = cache.max_bytes != 0 && cache.total_bytes >= cache.max_bytes * 9 / 10;
    const LoggedStatus current{status.current_sequence,
                               status.connected,
                               status.last_error,
                               cache.unuploaded_evictions,
                               drops,
                               near_full};
    if (current == last_logged_ && now < next_status_) {
        return;
    }
    const bool warning = cache.unuploaded_evictions != 0 || near_full || drops != 0;
    char line[512];
    std::snprintf(line, sizeof line,
                  "runtime status: sequence=%" PRId64 " queue=%" PRIu64 " cache=%" PRIu64
                  "/%" PRIu64 " bytes segments=%" PRIu64 "/%" PRIu64 " evictions=%" PRIu64
                  " unuploaded_evictions=%" PRIu64 " mux_drops=%" PRIu64 " connected=%s error=",
                  status.current_sequence, status.upload_queue_depth, cache.total_bytes,
                  cache.max_bytes, cache.segment_count, cache.max_segments, cache.evictions,
                  cache.unuploaded_evictions, drops, status.connected ? "true" : "false");
    // The error goes on after the fixed-size part, whatever its length.
    log_(warning, line + (status.last_error.empty() ? std::string("none") : status.last_error));
    last_logged_ = current;
    next_status_ = now + kStatusPeriod;
}

}  // namespace ryvoobs
