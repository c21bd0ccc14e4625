#include "runtime/broadcast_delivery.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <system_error>
#include <utility>

#include "runtime/upload_manager.h"

namespace ryvoobs {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kPassPause{200};
constexpr milliseconds kRequeuePeriod{2000};
constexpr milliseconds kFirstEndRetry{1000};
constexpr milliseconds kLastEndRetry{30'000};

constexpr const char* kWindowPassed = "segments left the cache window";
constexpr const char* kShutDown = "shut down before delivery finished";

std::vector<std::int64_t> merged(std::vector<std::int64_t> a, const std::vector<std::int64_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end());
    a.erase(std::unique(a.begin(), a.end()), a.end());
    return a;
}

}  // namespace

// Everything the delivery's threads and its callers share; the mutex is a leaf, never held
// while the runtime is called.
struct BroadcastDelivery::State {
    mutable std::mutex mutex;
    mutable std::condition_variable_any changed;
    bool started = false;
    bool finish_requested = false;
    bool wake = false;
    DeliveryPhase phase = DeliveryPhase::live;
    Clock::time_point finished_at{};
    bool cancel_requested = false;
    std::string cancel_reason;
    bool end_posted = false;
    std::vector<std::int64_t> undelivered;
    std::string reason;
    std::string fatal_error;
    bool fatal_reported = false;
    // The session's last figures, kept once it has been stopped.
    std::optional<StopResidue> residue;

    // Only the maintenance thread touches these.
    Clock::time_point next_requeue{};
    Clock::time_point next_end_attempt{};
    milliseconds end_retry = kFirstEndRetry;
};

BroadcastDelivery::BroadcastDelivery(DeliverySettings settings)
    : settings_(std::move(settings)),
      runtime_(std::make_unique<RyvoRuntime>(settings_.config_path, settings_.state_path,
                                             settings_.client_factory)),
      state_(std::make_unique<State>()) {}

BroadcastDelivery::~BroadcastDelivery() {
    shutdown(Clock::now());
}

bool BroadcastDelivery::start(std::string* error) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->started || state_->finish_requested || state_->cancel_requested) {
            if (error != nullptr) {
                *error = "the delivery was already started";
            }
            return false;
        }
    }
    if (!runtime_->start(error)) {
        return false;
    }
    try {
        maintenance_ = std::jthread([this](std::stop_token stop) { run_maintenance(stop); });
    } catch (const std::system_error& failure) {
        runtime_->stop();
        if (error != nullptr) {
            *error = std::string("Ryvo runtime could not start: ") + failure.what();
        }
        return false;
    }
    std::lock_guard lock(state_->mutex);
    state_->started = true;
    return true;
}

std::optional<PluginConfig> BroadcastDelivery::config() const {
    return runtime_->config();
}

void BroadcastDelivery::push_encoded_bytes(std::span<const std::uint8_t> bytes,
                                           std::int32_t duration_ms, bool keyframe) {
    runtime_->push_encoded_bytes(bytes, duration_ms, keyframe);
}

void BroadcastDelivery::report_error(std::string message) {
    runtime_->report_error(std::move(message));
}

void BroadcastDelivery::finish() {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->finish_requested || state_->phase != DeliveryPhase::live) {
            return;
        }
        state_->finish_requested = true;
        if (!state_->started) {
            state_->phase = DeliveryPhase::finished;
            state_->changed.notify_all();
            return;
        }
    }
    runtime_->finish();
    const StatusSnapshot status = runtime_->status_snapshot();
    const SessionDeliveryFigures figures = runtime_->delivery_figures();
    {
        std::lock_guard lock(state_->mutex);
        if (state_->phase == DeliveryPhase::live) {
            state_->phase = DeliveryPhase::finishing;
            state_->finished_at = Clock::now();
        }
        state_->wake = true;
        state_->changed.notify_all();
    }
    char line[256];
    std::snprintf(line, sizeof line,
                  "stop: queue=%" PRIu64 " last_sequence=%" PRId64
                  "; %zu segments to deliver; finishing in the background",
                  status.upload_queue_depth, figures.last_sequence, figures.unconfirmed.size());
    log(false, line);
}

void BroadcastDelivery::cancel(const std::string& reason) {
    bool started = false;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->phase == DeliveryPhase::finished || state_->phase == DeliveryPhase::gave_up ||
            state_->cancel_requested) {
            return;
        }
        state_->cancel_requested = true;
        state_->cancel_reason = reason;
        started = state_->started;
        if (!started) {
            state_->phase = DeliveryPhase::gave_up;
            state_->reason = reason;
        }
        state_->changed.notify_all();
    }
    if (started) {
        // Wakes the delivery's threads out of any request; they give up on their own.
        runtime_->cancel();
    }
}

DeliveryProgress BroadcastDelivery::progress() const {
    // Read before the state: the runtime's mutex is never taken under the state's.
    StopResidue live{runtime_->status_snapshot(), runtime_->cache_snapshot(),
                     runtime_->delivery_figures()};
    DeliveryProgress progress;
    std::lock_guard lock(state_->mutex);
    const StopResidue& figures = state_->residue ? *state_->residue : live;
    progress.phase = state_->phase;
    progress.last_sequence = figures.delivery.last_sequence;
    progress.segments_left = figures.delivery.unconfirmed.size();
    progress.delivered_after_stop = figures.delivery.confirmed_after_finish;
    progress.end_posted = state_->end_posted;
    progress.undelivered = state_->residue ? state_->undelivered : figures.delivery.lost;
    progress.reason = state_->reason;
    progress.fatal_error = state_->fatal_error;
    progress.status = figures.status;
    progress.cache = figures.cache;
    return progress;
}

bool BroadcastDelivery::done() const {
    std::lock_guard lock(state_->mutex);
    return state_->phase == DeliveryPhase::finished || state_->phase == DeliveryPhase::gave_up;
}

bool BroadcastDelivery::wait_done(Clock::time_point deadline) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_until(lock, deadline, [this] {
        return state_->phase == DeliveryPhase::finished || state_->phase == DeliveryPhase::gave_up;
    });
}

void BroadcastDelivery::shutdown(Clock::time_point deadline) {
    if (!wait_done(deadline)) {
        cancel(kShutDown);
    }
    if (maintenance_.joinable()) {
        maintenance_.request_stop();
        maintenance_.join();
    }
}

void BroadcastDelivery::run_maintenance(std::stop_token stop) {
    MaintainedRuntime maintained{
        [this](std::string* error) { return runtime_->poll_backfill(error); },
        [this](std::string* error) { return runtime_->send_heartbeat(error); },
        [this](std::string message) { runtime_->report_error(std::move(message)); },
        [this](bool failed) {
            runtime_->report_auth_failed(failed);
            if (failed) {
                note_fatal(kKeyRejectedMessage);
            }
        },
        [this] { return runtime_->status_snapshot(); },
        [this] { return runtime_->cache_snapshot(); },
        [this] { return settings_.mux_drops ? settings_.mux_drops() : std::uint64_t{0}; },
    };
    RuntimeMaintenance maintenance(
        std::move(maintained),
        [this](bool warning, const std::string& message) { log(warning, message); }, Clock::now());
    for (;;) {
        bool finishing = false;
        {
            std::unique_lock lock(state_->mutex);
            if (state_->cancel_requested || stop.stop_requested()) {
                const std::string reason =
                    state_->cancel_requested ? state_->cancel_reason : std::string(kShutDown);
                lock.unlock();
                give_up(reason);
                return;
            }
            finishing = state_->phase == DeliveryPhase::finishing;
        }
        const Clock::time_point now = Clock::now();
        maintenance.run_pass(now);
        if (const std::string halted = runtime_->uploads_halt_reason(); !halted.empty()) {
            note_fatal(halted);
        }
        if (finishing) {
            finishing_pass(now);
            if (done()) {
                return;
            }
        }
        std::unique_lock lock(state_->mutex);
        state_->changed.wait_for(lock, stop, kPassPause,
                                 [this] { return state_->cancel_requested || state_->wake; });
        state_->wake = false;
    }
}

void BroadcastDelivery::finishing_pass(Clock::time_point now) {
    Clock::time_point finished_at;
    std::string fatal;
    {
        std::lock_guard lock(state_->mutex);
        finished_at = state_->finished_at;
        fatal = state_->fatal_error;
    }
    if (!fatal.empty()) {
        give_up(fatal);
        return;
    }
    const std::optional<PluginConfig> config = runtime_->config();
    const milliseconds window = settings_.finishing_window.value_or(
        std::chrono::minutes(config ? config->ram_buffer_minutes : 1));
    if (now >= finished_at + window) {
        give_up(kWindowPassed);
        return;
    }
    if (now >= state_->next_requeue) {
        runtime_->requeue_unconfirmed();
        state_->next_requeue = now + kRequeuePeriod;
    }
    if (now < state_->next_end_attempt) {
        return;
    }
    const SessionDeliveryFigures figures = runtime_->delivery_figures();
    if (!figures.unconfirmed.empty() || !runtime_->uploads_idle()) {
        return;
    }
    if (try_post_end(now)) {
        complete();
    }
}

bool BroadcastDelivery::try_post_end(Clock::time_point now) {
    const SessionDeliveryFigures figures = runtime_->delivery_figures();
    std::string error;
    if (figures.last_sequence != 0) {
        // The server may have lost what it once confirmed; the poll queues such segments again.
        std::vector<std::int64_t> missing;
        const ApiStatus status = runtime_->poll_backfill(&error, &missing);
        if (status == ApiStatus::unauthorized) {
            note_fatal(kKeyRejectedMessage);
            return false;
        }
        const std::int64_t oldest_cached = runtime_->cache_snapshot().oldest_sequence;
        const bool server_misses_ours =
            std::any_of(missing.begin(), missing.end(), [&](std::int64_t sequence) {
                return sequence >= std::max(figures.first_sequence, oldest_cached) &&
                       sequence <= figures.last_sequence;
            });
        if (status != ApiStatus::ok || server_misses_ours) {
            state_->next_end_attempt = now + kRequeuePeriod;
            return false;
        }
    }
    const ApiStatus ended = runtime_->post_end(&error);
    if (ended == ApiStatus::ok) {
        return true;
    }
    if (ended == ApiStatus::unauthorized) {
        note_fatal(kKeyRejectedMessage);
        return false;
    }
    log(true, "end of broadcast failed: " + (error.empty() ? std::string("unknown error") : error) +
                  "; retrying in " + std::to_string(state_->end_retry.count()) + " ms");
    state_->next_end_attempt = now + state_->end_retry;
    state_->end_retry = std::min(state_->end_retry * 2, kLastEndRetry);
    return false;
}

void BroadcastDelivery::complete() {
    StopResidue residue = runtime_->stop();
    const std::vector<std::int64_t> lost = residue.delivery.lost;
    const std::uint64_t delivered = residue.delivery.confirmed_after_finish;
    const std::int64_t last = residue.delivery.last_sequence;
    {
        std::lock_guard lock(state_->mutex);
        state_->phase = DeliveryPhase::finished;
        state_->end_posted = true;
        state_->undelivered = lost;
        state_->residue = std::move(residue);
        state_->changed.notify_all();
    }
    std::string line = "finishing complete: " + std::to_string(delivered) +
                       " segments delivered after stop; end of broadcast posted (last_sequence=" +
                       std::to_string(last) + ")";
    if (!lost.empty()) {
        line += "; sequences " + format_sequences(lost) + " were lost before upload";
    }
    log(!lost.empty(), line);
}

void BroadcastDelivery::give_up(const std::string& reason) {
    runtime_->cancel();
    StopResidue residue = runtime_->stop();
    const std::vector<std::int64_t> undelivered =
        merged(residue.delivery.unconfirmed, residue.delivery.lost);
    {
        std::lock_guard lock(state_->mutex);
        state_->phase = DeliveryPhase::gave_up;
        state_->reason = reason;
        state_->undelivered = undelivered;
        state_->residue = std::move(residue);
        state_->changed.notify_all();
    }
    if (undelivered.empty()) {
        log(true,
            "finishing gave up: every segment was delivered, the end was not posted: " + reason);
    } else {
        log(true, "finishing gave up: sequences " + format_sequences(undelivered) +
                      " not delivered: " + reason);
    }
}

void BroadcastDelivery::note_fatal(const std::string& message) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->fatal_reported) {
            return;
        }
        state_->fatal_reported = true;
        state_->fatal_error = message;
    }
    log(true, "delivery impossible: " + message);
    if (settings_.on_fatal) {
        settings_.on_fatal(message);
    }
}

void BroadcastDelivery::log(bool warning, const std::string& message) const {
    if (settings_.log) {
        settings_.log(warning, message);
    }
}

}  // namespace ryvoobs
