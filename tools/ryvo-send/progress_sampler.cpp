#include "progress_sampler.h"

#include <algorithm>

namespace ryvoobs {

ProgressFigures ProgressSampler::sample() {
    const StatusSnapshot status = runtime_.status_snapshot();
    const RamCacheSnapshot cache = runtime_.cache_snapshot();
    const DeliveryCounts counts = tally_.counts();
    std::lock_guard lock(mutex_);
    if (status.streaming) {
        // Sequences are consecutive and the cache drops the oldest first, so what it holds plus
        // what it evicted is every segment cut.
        last_live_.segments = cache.segment_count + cache.evictions;
        last_live_.queue_depth = status.upload_queue_depth;
        last_live_.cache_bytes = cache.total_bytes;
        last_live_.cache_max_bytes = cache.max_bytes;
        last_live_.last_error = status.last_error;
        last_live_.connected = status.connected;
        last_live_.status_error = status.last_error;
    } else {
        // The drain's uploads report only to the tally.
        last_live_.last_error = counts.last_failure;
        last_live_.queue_depth = 0;
        last_live_.connected = false;
        last_live_.status_error.clear();
    }
    ProgressFigures figures = last_live_;
    figures.segments = std::max(figures.segments, counts.segments_sent);
    figures.uploaded = counts.segments_uploaded;
    figures.bytes_muxed = stats_.bytes_muxed.load();
    figures.media_seconds = static_cast<double>(stats_.media_end.load()) / kMediaClockRate;
    if (figures.last_error.empty()) {
        figures.last_error = workers_.last_error();
    }
    return figures;
}

}  // namespace ryvoobs
