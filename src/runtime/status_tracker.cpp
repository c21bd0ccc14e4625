#include "runtime/status_tracker.h"

#include <utility>

namespace ryvoobs {

void StatusTracker::set_streaming(bool on) noexcept {
    std::lock_guard lock(mutex_);
    if (!on) {
        state_.started_at.reset();
    } else if (!state_.streaming) {
        state_.started_at = wall_clock_now();
    }
    state_.streaming = on;
}

void StatusTracker::set_connected(bool connected) noexcept {
    std::lock_guard lock(mutex_);
    state_.connected = connected;
}

void StatusTracker::note_segment(std::int64_t sequence, std::uint64_t cache_bytes,
                                 std::uint64_t cache_segments) noexcept {
    std::lock_guard lock(mutex_);
    state_.current_sequence = sequence;
    state_.cache_bytes = cache_bytes;
    state_.cache_segments = cache_segments;
    state_.last_segment_at = wall_clock_now();
}

void StatusTracker::note_upload(std::uint64_t queue_depth) noexcept {
    std::lock_guard lock(mutex_);
    state_.connected = true;
    state_.upload_queue_depth = queue_depth;
    state_.last_upload_at = wall_clock_now();
}

void StatusTracker::set_queue_depth(std::uint64_t queue_depth) noexcept {
    std::lock_guard lock(mutex_);
    state_.upload_queue_depth = queue_depth;
}

void StatusTracker::set_error(std::string message) noexcept {
    std::lock_guard lock(mutex_);
    state_.last_error = std::move(message);
}

void StatusTracker::clear_error() noexcept {
    std::lock_guard lock(mutex_);
    state_.last_error.clear();
}

void StatusTracker::set_auth_failed(bool failed) noexcept {
    std::lock_guard lock(mutex_);
    state_.auth_failed = failed;
}

StatusSnapshot StatusTracker::snapshot() const {
    std::lock_guard lock(mutex_);
    return state_;
}

}  // namespace ryvoobs
