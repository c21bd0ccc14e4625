#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ryvoobs {

using SegmentBytes = std::vector<std::uint8_t>;
using SharedSegmentBytes = std::shared_ptr<const SegmentBytes>;
using WallClockTime = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

inline WallClockTime wall_clock_now() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now());
}

// One finished segment. Copies share `bytes`; the payload itself is never duplicated.
struct SegmentData {
    std::int64_t sequence = 0;
    std::int32_t duration_ms = 0;
    WallClockTime created_at = wall_clock_now();
    std::string sha256;
    std::string capture_session_id;
    SharedSegmentBytes bytes;
    bool uploaded = false;
    bool upload_in_flight = false;

    std::size_t size() const { return bytes ? bytes->size() : 0; }
};

struct SegmenterConfig {
    std::int32_t segment_duration_ms = 0;
    std::int64_t first_sequence = 0;
};

}  // namespace ryvoobs
