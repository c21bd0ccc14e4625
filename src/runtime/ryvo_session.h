#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "config/plugin_config.h"
#include "runtime/ram_segment_cache.h"
#include "runtime/segment_assembler.h"
#include "runtime/status_tracker.h"
#include "runtime/upload_clock.h"
#include "runtime/upload_manager.h"
#include "runtime/upload_result.h"

namespace ryvoobs {

// Which of a session's segments the server has confirmed, for the finishing of a broadcast.
struct SessionDeliveryFigures {
    // Cut but not yet confirmed by the server, ascending.
    std::vector<std::int64_t> unconfirmed;
    // Gone from the cache before the server confirmed them: they can never be delivered.
    std::vector<std::int64_t> lost;
    std::int64_t first_sequence = 0;  // 0 while no segment was cut
    std::int64_t last_sequence = 0;
    // Confirmed after finish().
    std::uint64_t confirmed_after_finish = 0;
};

// One broadcast's delivery pipeline: muxed bytes are cut into segments, cached, and uploaded,
// and every problem ends up as the status tracker's last error.
//
// The owner serialises every call except the snapshots and delivery_figures(), which may be read
// from any thread. The upload worker reaches the cache through its own lock and the record of
// confirmed segments through the session's leaf lock.
class RyvoSession {
  public:
    // Called with each segment's sequence once it is cached and about to be queued.
    using SegmentCachedCallback = std::function<void(std::int64_t sequence)>;
    // Turns the sequence the assembler proposes into the one the segment is sent with; empty:
    // the proposal stands.
    using SequenceClaim = std::function<std::int64_t(std::int64_t proposed)>;

    // Throws std::invalid_argument when `segment_duration_ms` is not positive. `upload_clock` null
    // means the steady clock. Nothing starts until start().
    RyvoSession(PluginConfig config, UploadTransport transport, std::int64_t initial_sequence,
                SegmentCachedCallback on_segment_cached, std::string capture_session_id,
                std::shared_ptr<UploadClock> upload_clock = nullptr,
                SequenceClaim claim_sequence = {});
    ~RyvoSession();

    RyvoSession(const RyvoSession&) = delete;
    RyvoSession& operator=(const RyvoSession&) = delete;

    void start();
    void push_encoded_bytes(std::span<const std::uint8_t> bytes, std::int32_t duration_ms,
                            bool keyframe);
    // The assembler's sink.
    void on_segment_ready(SegmentData segment);
    // Uploads a cached segment again because the server reported it missing.
    void requeue_sequence(std::int64_t sequence);
    void report_error(std::string message);
    void report_auth_failed(bool failed);
    // Cuts the tail into a last segment; from now on confirmations count as after the finish.
    void finish();
    // Queues again every unconfirmed segment that is cached and not in flight; those no longer
    // cached become lost.
    void requeue_unconfirmed();
    // Ends the upload worker after the job at hand. Safe to call more than once.
    void stop();

    SessionDeliveryFigures delivery_figures() const;
    bool uploads_idle() const { return uploads_.idle(); }
    std::string uploads_halt_reason() const { return uploads_.halt_reason(); }

    const PluginConfig& config() const { return config_; }
    RamCacheSnapshot cache_snapshot() const { return cache_.snapshot(); }
    StatusSnapshot status_snapshot() const { return status_.snapshot(); }

  private:
    void note_confirmed(std::int64_t sequence);

    PluginConfig config_;
    // Leaf lock of the confirmation record below; taken by the upload worker's callbacks.
    mutable std::mutex delivery_mutex_;
    std::set<std::int64_t> unconfirmed_;
    std::set<std::int64_t> lost_;
    std::int64_t first_sequence_ = 0;
    std::int64_t last_sequence_ = 0;
    bool finished_ = false;
    std::uint64_t confirmed_after_finish_ = 0;
    RamSegmentCache cache_;
    StatusTracker status_;
    UploadManager uploads_;
    SegmentCachedCallback on_segment_cached_;
    std::string capture_session_id_;
    SequenceClaim claim_sequence_;
    SegmentAssembler assembler_;
};

}  // namespace ryvoobs
