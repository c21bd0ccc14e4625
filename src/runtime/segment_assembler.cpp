#include "runtime/segment_assembler.h"

#include <limits>
#include <stdexcept>
#include <utility>

#include "runtime/sha256.h"

namespace ryvoobs {
namespace {

// An open segment that never sees a keyframe keeps summing; clamp rather than let the sum wrap
// into a negative duration.
std::int32_t saturating_add(std::int32_t a, std::int32_t b) {
    const std::int64_t sum = std::int64_t{a} + std::int64_t{b};
    if (sum > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (sum < std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(sum);
}

}  // namespace

SegmentAssembler::SegmentAssembler(SegmenterConfig config, SegmentSink sink)
    : config_(config), sink_(std::move(sink)), next_sequence_(config.first_sequence) {
    if (!sink_) {
        throw std::invalid_argument("segment sink is required");
    }
    if (config_.segment_duration_ms <= 0) {
        throw std::invalid_argument("segment_duration_ms must be positive");
    }
}

void SegmentAssembler::append_chunk(std::span<const std::uint8_t> bytes, std::int32_t duration_ms,
                                    bool keyframe) {
    std::int32_t credited_ms = duration_ms;
    if (keyframe && !buffer_.empty()) {
        const std::int32_t closing_ms = saturating_add(accumulated_ms_, duration_ms);
        if (closing_ms >= config_.segment_duration_ms) {
            // The keyframe opens the next segment, but the time up to it belongs to this one.
            accumulated_ms_ = closing_ms;
            credited_ms = 0;
            emit_current_locked();
        }
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    accumulated_ms_ = saturating_add(accumulated_ms_, credited_ms);
}

void SegmentAssembler::flush() {
    if (!buffer_.empty() && accumulated_ms_ >= 1) {
        emit_current_locked();
    }
}

void SegmentAssembler::emit_current_locked() {
    SegmentData segment;
    segment.sequence = next_sequence_++;
    segment.duration_ms = accumulated_ms_;
    accumulated_ms_ = 0;
    segment.created_at = wall_clock_now();
    const std::size_t emitted_size = buffer_.size();
    auto bytes = std::make_shared<const SegmentBytes>(std::move(buffer_));
    // Segments tend to be alike in size; starting near the last one avoids most regrowth and keeps
    // the capacity that travels into the cache close to the payload.
    buffer_ = SegmentBytes();
    buffer_.reserve(emitted_size + emitted_size / 8);
    segment.sha256 = sha256_hex(*bytes);
    segment.bytes = std::move(bytes);
    sink_(std::move(segment));
}

}  // namespace ryvoobs
