#include "progress_sampler.h"

#include <algorithm>
#include <utility>

namespace ryvoobs {

ProgressFigures ProgressSampler::sample() const {
    const DeliveryProgress progress = delivery_.progress();
    const DeliveryCounts counts = tally_.counts();
    ProgressFigures figures;
    // Sequences are consecutive and the cache drops the oldest first, so what it holds plus
    // what it evicted is every segment cut.
    figures.segments =
        std::max(progress.cache.segment_count + progress.cache.evictions, counts.segments_sent);
    figures.uploaded = counts.segments_uploaded;
    figures.queue_depth = progress.status.upload_queue_depth;
    figures.cache_bytes = progress.cache.total_bytes;
    figures.cache_max_bytes = progress.cache.max_bytes;
    figures.bytes_muxed = stats_.bytes_muxed.load();
    figures.media_seconds = static_cast<double>(stats_.media_end.load()) / kMediaClockRate;
    figures.connected = progress.status.connected;
    figures.status_error = progress.status.last_error;
    figures.last_error = progress.status.last_error;
    if (figures.last_error.empty()) {
        figures.last_error = warning_.get();
    }
    figures.finishing = progress.phase == DeliveryPhase::finishing;
    figures.segments_left = progress.segments_left;
    return figures;
}

void LatestWarning::note(std::string line) {
    std::lock_guard lock(mutex_);
    line_ = std::move(line);
}

std::string LatestWarning::get() const {
    std::lock_guard lock(mutex_);
    return line_;
}

}  // namespace ryvoobs
