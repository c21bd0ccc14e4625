#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "config/plugin_config.h"
#include "runtime/segment_data.h"

namespace ryvoobs {

struct RamCacheConfig {
    std::uint64_t max_bytes = 0;
    std::int64_t max_age_minutes = 0;
    std::uint64_t max_segments = 0;
};

// The bounds that hold `ram_buffer_minutes` of video at `estimated_bitrate_kbps`, with a fixed
// headroom of 16 segments.
RamCacheConfig make_ram_cache_config(const PluginConfig& config);

struct RamCacheSnapshot {
    std::uint64_t segment_count = 0;
    std::uint64_t total_bytes = 0;
    std::uint64_t max_bytes = 0;
    std::uint64_t max_segments = 0;
    std::int64_t oldest_sequence = 0;
    std::int64_t newest_sequence = 0;
    std::uint64_t evictions = 0;
    std::uint64_t unuploaded_evictions = 0;
    std::int64_t last_evicted_sequence = 0;
};

// The recent segments of one broadcast, keyed by sequence and bounded by bytes, count and age;
// the oldest sequences go first. Also keeps each segment's upload state so that no segment is
// handed to two uploads at once. Thread-safe; its lock is a leaf and nothing is called out under
// it.
class RamSegmentCache {
  public:
    explicit RamSegmentCache(RamCacheConfig config);

    void insert(SegmentData segment);
    // Inserts, then hands the segment out for upload unless pruning evicted it or it is in flight.
    std::optional<SegmentData> insert_and_acquire_for_upload(SegmentData segment);
    // Hands out a cached segment that is not in flight; an uploaded one only with
    // `include_uploaded`.
    std::optional<SegmentData> acquire_for_upload(std::int64_t sequence, bool include_uploaded);
    bool mark_uploaded(std::int64_t sequence);
    bool mark_upload_failed(std::int64_t sequence);

    std::optional<SegmentData> find(std::int64_t sequence) const;
    bool contains(std::int64_t sequence) const;
    std::vector<std::int64_t> sequences() const;
    RamCacheSnapshot snapshot() const;

  private:
    void insert_locked(SegmentData segment);
    void prune_locked(WallClockTime now);
    std::optional<SegmentData> acquire_locked(std::int64_t sequence, bool include_uploaded);

    const RamCacheConfig config_;
    mutable std::mutex mutex_;
    std::map<std::int64_t, SegmentData> entries_;
    std::uint64_t total_bytes_ = 0;
    std::uint64_t evictions_ = 0;
    std::uint64_t unuploaded_evictions_ = 0;
    std::int64_t last_evicted_sequence_ = 0;
};

}  // namespace ryvoobs
