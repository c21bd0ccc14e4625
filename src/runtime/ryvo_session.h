#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "config/plugin_config.h"
#include "runtime/ram_segment_cache.h"
#include "runtime/segment_assembler.h"
#include "runtime/status_tracker.h"
#include "runtime/upload_clock.h"
#include "runtime/upload_manager.h"
#include "runtime/upload_result.h"

namespace ryvoobs {

// One broadcast's delivery pipeline: muxed bytes are cut into segments, cached, and uploaded,
// and every problem ends up as the status tracker's last error.
//
// No lock of its own: the owner serialises every call except the snapshots, which may be read
// from any thread. The upload worker reaches the cache through its own lock.
class RyvoSession {
  public:
    // Called with each segment's sequence once it is cached and about to be queued.
    using SegmentCachedCallback = std::function<void(std::int64_t sequence)>;

    static constexpr std::int32_t kStopDrainTimeoutMs = 15000;

    // Throws std::invalid_argument when `segment_duration_ms` is not positive. `upload_clock` null
    // means the steady clock. Nothing starts until start().
    RyvoSession(PluginConfig config, UploadTransport transport, std::int64_t initial_sequence,
                SegmentCachedCallback on_segment_cached, std::string capture_session_id,
                std::shared_ptr<UploadClock> upload_clock = nullptr);
    ~RyvoSession();

    RyvoSession(const RyvoSession&) = delete;
    RyvoSession& operator=(const RyvoSession&) = delete;

    void start();
    void push_encoded_bytes(std::span<const std::uint8_t> bytes, std::int32_t duration_ms,
                            bool keyframe);
    void flush();
    // The assembler's sink.
    void on_segment_ready(SegmentData segment);
    // Uploads a cached segment again because the server reported it missing.
    void requeue_sequence(std::int64_t sequence);
    void report_error(std::string message);
    void report_auth_failed(bool failed);
    // Flushes the tail, waits a bounded time for the queue, then ends the upload worker. Safe to
    // call more than once.
    void stop();

    const PluginConfig& config() const { return config_; }
    RamCacheSnapshot cache_snapshot() const { return cache_.snapshot(); }
    StatusSnapshot status_snapshot() const { return status_.snapshot(); }

  private:
    PluginConfig config_;
    RamSegmentCache cache_;
    StatusTracker status_;
    UploadManager uploads_;
    SegmentCachedCallback on_segment_cached_;
    std::string capture_session_id_;
    SegmentAssembler assembler_;
};

}  // namespace ryvoobs
