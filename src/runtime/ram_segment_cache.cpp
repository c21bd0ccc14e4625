#include "runtime/ram_segment_cache.h"

#include <algorithm>
#include <utility>

namespace ryvoobs {
namespace {

constexpr std::uint64_t kBytesPerKbpsMinute = 7500;
constexpr std::int64_t kSegmentHeadroom = 16;
constexpr std::int64_t kMicrosecondsPerMinute = 60'000'000;

}  // namespace

RamCacheConfig make_ram_cache_config(const PluginConfig& config) {
    RamCacheConfig cache;
    const auto bitrate = static_cast<std::uint64_t>(std::max(config.estimated_bitrate_kbps, 1));
    const auto minutes = static_cast<std::uint64_t>(std::max(config.ram_buffer_minutes, 1));
    cache.max_bytes = bitrate * minutes * kBytesPerKbpsMinute;
    cache.max_age_minutes = config.ram_buffer_minutes;
    // Widened so that no setting overflows; a negative result would otherwise read as no limit.
    const std::int64_t window_ms = std::int64_t{config.ram_buffer_minutes} * 60000;
    const std::int64_t per_window =
        config.segment_duration_ms == 0 ? 0 : window_ms / config.segment_duration_ms;
    cache.max_segments =
        static_cast<std::uint64_t>(std::max<std::int64_t>(per_window + kSegmentHeadroom, 0));
    return cache;
}

RamSegmentCache::RamSegmentCache(RamCacheConfig config) : config_(config) {}

void RamSegmentCache::insert(SegmentData segment) {
    std::lock_guard lock(mutex_);
    insert_locked(std::move(segment));
}

std::optional<SegmentData> RamSegmentCache::insert_and_acquire_for_upload(SegmentData segment) {
    std::lock_guard lock(mutex_);
    const std::int64_t sequence = segment.sequence;
    insert_locked(std::move(segment));
    return acquire_locked(sequence, true);
}

std::optional<SegmentData> RamSegmentCache::acquire_for_upload(std::int64_t sequence,
                                                               bool include_uploaded) {
    std::lock_guard lock(mutex_);
    return acquire_locked(sequence, include_uploaded);
}

bool RamSegmentCache::mark_uploaded(std::int64_t sequence) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(sequence);
    if (it == entries_.end()) {
        return false;
    }
    it->second.uploaded = true;
    it->second.upload_in_flight = false;
    return true;
}

bool RamSegmentCache::mark_upload_failed(std::int64_t sequence) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(sequence);
    if (it == entries_.end()) {
        return false;
    }
    it->second.upload_in_flight = false;
    return true;
}

std::optional<SegmentData> RamSegmentCache::find(std::int64_t sequence) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(sequence);
    if (it == entries_.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool RamSegmentCache::contains(std::int64_t sequence) const {
    std::lock_guard lock(mutex_);
    return entries_.contains(sequence);
}

std::vector<std::int64_t> RamSegmentCache::sequences() const {
    std::lock_guard lock(mutex_);
    std::vector<std::int64_t> result;
    result.reserve(entries_.size());
    for (const auto& entry : entries_) {
        result.push_back(entry.first);
    }
    return result;
}

RamCacheSnapshot RamSegmentCache::snapshot() const {
    std::lock_guard lock(mutex_);
    RamCacheSnapshot snapshot;
    snapshot.segment_count = entries_.size();
    snapshot.total_bytes = total_bytes_;
    snapshot.max_bytes = config_.max_bytes;
    snapshot.max_segments = config_.max_segments;
    if (!entries_.empty()) {
        snapshot.oldest_sequence = entries_.begin()->first;
        snapshot.newest_sequence = entries_.rbegin()->first;
    }
    snapshot.evictions = evictions_;
    snapshot.unuploaded_evictions = unuploaded_evictions_;
    snapshot.last_evicted_sequence = last_evicted_sequence_;
    return snapshot;
}

void RamSegmentCache::insert_locked(SegmentData segment) {
    const std::int64_t sequence = segment.sequence;
    const std::uint64_t size = segment.size();
    const auto it = entries_.find(sequence);
    if (it != entries_.end()) {
        total_bytes_ -= it->second.size();
        it->second = std::move(segment);
    } else {
        entries_.emplace(sequence, std::move(segment));
    }
    total_bytes_ += size;
    prune_locked(wall_clock_now());
}

void RamSegmentCache::prune_locked(WallClockTime now) {
    const std::int64_t max_age_us = config_.max_age_minutes * kMicrosecondsPerMinute;
    while (!entries_.empty()) {
        const auto oldest = entries_.begin();
        const std::int64_t age_us = (now - oldest->second.created_at).count();
        if (total_bytes_ <= config_.max_bytes && entries_.size() <= config_.max_segments &&
            age_us <= max_age_us) {
            return;
        }
        last_evicted_sequence_ = oldest->first;
        ++evictions_;
        if (!oldest->second.uploaded) {
            ++unuploaded_evictions_;
        }
        total_bytes_ -= oldest->second.size();
        entries_.erase(oldest);
    }
}

std::optional<SegmentData> RamSegmentCache::acquire_locked(std::int64_t sequence,
                                                           bool include_uploaded) {
    const auto it = entries_.find(sequence);
    if (it == entries_.end() || it->second.upload_in_flight ||
        (it->second.uploaded && !include_uploaded)) {
        return std::nullopt;
    }
    it->second.upload_in_flight = true;
    return it->second;
}

}  // namespace ryvoobs
