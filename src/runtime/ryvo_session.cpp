#include "runtime/ryvo_session.h"

#include <utility>

namespace ryvoobs {

RyvoSession::RyvoSession(PluginConfig config, UploadTransport transport,
                         std::int64_t initial_sequence, SegmentCachedCallback on_segment_cached,
                         std::string capture_session_id, std::shared_ptr<UploadClock> upload_clock,
                         SequenceClaim claim_sequence)
    : config_(std::move(config)),
      cache_(make_ram_cache_config(config_)),
      uploads_(
          config_, std::move(transport), &status_,
          [this](std::int64_t sequence) {
              cache_.mark_uploaded(sequence);
              note_confirmed(sequence);
          },
          [this](std::int64_t sequence, bool uploaded) {
              // A segment given up on must become acquirable again, or no backfill could send it.
              if (!uploaded) {
                  cache_.mark_upload_failed(sequence);
              }
          },
          std::move(upload_clock)),
      on_segment_cached_(std::move(on_segment_cached)),
      capture_session_id_(std::move(capture_session_id)),
      claim_sequence_(std::move(claim_sequence)),
      assembler_(SegmenterConfig{config_.segment_duration_ms, initial_sequence},
                 [this](SegmentData segment) { on_segment_ready(std::move(segment)); }) {}

RyvoSession::~RyvoSession() {
    stop();
}

void RyvoSession::start() {
    status_.set_streaming(true);
    uploads_.start();
}

void RyvoSession::push_encoded_bytes(std::span<const std::uint8_t> bytes, std::int32_t duration_ms,
                                     bool keyframe) {
    assembler_.append_chunk(bytes, duration_ms, keyframe);
}

void RyvoSession::on_segment_ready(SegmentData segment) {
    if (claim_sequence_) {
        segment.sequence = claim_sequence_(segment.sequence);
    }
    const std::int64_t sequence = segment.sequence;
    segment.capture_session_id = capture_session_id_;
    auto upload = cache_.insert_and_acquire_for_upload(std::move(segment));
    {
        std::lock_guard lock(delivery_mutex_);
        if (first_sequence_ == 0) {
            first_sequence_ = sequence;
        }
        last_sequence_ = sequence;
        (upload ? unconfirmed_ : lost_).insert(sequence);
    }
    if (!upload) {
        status_.set_error("segment was evicted before upload");
        return;
    }
    const RamCacheSnapshot cache = cache_.snapshot();
    status_.note_segment(sequence, cache.total_bytes, cache.segment_count);
    if (on_segment_cached_) {
        on_segment_cached_(sequence);
    }
    uploads_.enqueue(std::move(*upload));
}

void RyvoSession::requeue_sequence(std::int64_t sequence) {
    // An uploaded segment may go again, but one in flight is already being served.
    if (auto upload = cache_.acquire_for_upload(sequence, true)) {
        uploads_.enqueue(std::move(*upload));
        return;
    }
    if (!cache_.contains(sequence)) {
        status_.set_error("backfill requested for uncached sequence " + std::to_string(sequence));
    }
}

void RyvoSession::report_error(std::string message) {
    status_.set_error(std::move(message));
}

void RyvoSession::report_auth_failed(bool failed) {
    status_.set_auth_failed(failed);
}

void RyvoSession::finish() {
    assembler_.flush();
    std::lock_guard lock(delivery_mutex_);
    finished_ = true;
}

void RyvoSession::requeue_unconfirmed() {
    std::vector<std::int64_t> unconfirmed;
    {
        std::lock_guard lock(delivery_mutex_);
        unconfirmed.assign(unconfirmed_.begin(), unconfirmed_.end());
    }
    std::vector<std::int64_t> gone;
    for (const std::int64_t sequence : unconfirmed) {
        if (auto upload = cache_.acquire_for_upload(sequence, false)) {
            uploads_.enqueue(std::move(*upload));
        } else if (!cache_.contains(sequence)) {
            gone.push_back(sequence);
        }
    }
    std::lock_guard lock(delivery_mutex_);
    for (const std::int64_t sequence : gone) {
        // Confirmed in the meantime, it is no loss.
        if (unconfirmed_.erase(sequence) != 0) {
            lost_.insert(sequence);
        }
    }
}

void RyvoSession::note_confirmed(std::int64_t sequence) {
    std::lock_guard lock(delivery_mutex_);
    // A job keeps its bytes after the cache evicted them, so a "lost" segment may still arrive.
    if ((unconfirmed_.erase(sequence) != 0 || lost_.erase(sequence) != 0) && finished_) {
        ++confirmed_after_finish_;
    }
}

SessionDeliveryFigures RyvoSession::delivery_figures() const {
    std::lock_guard lock(delivery_mutex_);
    return SessionDeliveryFigures{{unconfirmed_.begin(), unconfirmed_.end()},
                                  {lost_.begin(), lost_.end()},
                                  first_sequence_,
                                  last_sequence_,
                                  confirmed_after_finish_};
}

void RyvoSession::stop() {
    uploads_.stop();
    status_.set_streaming(false);
    status_.set_connected(false);
    status_.set_queue_depth(0);
}

}  // namespace ryvoobs
