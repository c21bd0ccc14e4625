#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "runtime/segment_data.h"

namespace ryvoobs {

// Receives every finished segment, on the thread that fed the bytes.
using SegmentSink = std::function<void(SegmentData)>;

// Cuts a stream of MPEG-TS chunks into numbered segments of about `segment_duration_ms`, always in
// front of a keyframe chunk. Not thread-safe: the owner serialises every call.
class SegmentAssembler {
  public:
    // Throws std::invalid_argument for an empty sink or a duration that is not positive.
    SegmentAssembler(SegmenterConfig config, SegmentSink sink);

    // May emit the open segment before the chunk is appended, when `keyframe` completes it.
    void append_chunk(std::span<const std::uint8_t> bytes, std::int32_t duration_ms, bool keyframe);

    // Emits the open segment when it holds bytes and at least 1 ms of duration.
    void flush();

    std::int64_t next_sequence() const { return next_sequence_; }

  private:
    void emit_current_locked();

    SegmenterConfig config_;
    SegmentSink sink_;
    std::int64_t next_sequence_;
    std::int32_t accumulated_ms_ = 0;
    SegmentBytes buffer_;
};

}  // namespace ryvoobs
