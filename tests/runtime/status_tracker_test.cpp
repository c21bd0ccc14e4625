#include "runtime/status_tracker.h"

#include <gtest/gtest.h>

#include <thread>

namespace ryvoobs {
namespace {

TEST(StatusTracker, StartTimeFollowsTheStreamingFlag) {
    StatusTracker tracker;
    EXPECT_FALSE(tracker.snapshot().started_at.has_value());
    tracker.set_streaming(true);
    const std::optional<WallClockTime> first = tracker.snapshot().started_at;
    ASSERT_TRUE(first.has_value());
    tracker.set_streaming(true);
    EXPECT_EQ(tracker.snapshot().started_at, first) << "a repeated start keeps the first time";
    tracker.set_streaming(false);
    EXPECT_FALSE(tracker.snapshot().started_at.has_value());
    EXPECT_FALSE(tracker.snapshot().streaming);
    tracker.set_streaming(true);
    EXPECT_TRUE(tracker.snapshot().started_at.has_value());
}

// Readers on other threads must never see one segment's cache figures mixed with another's.
TEST(StatusTracker, SnapshotsAreConsistentUnderConcurrentWrites) {
    StatusTracker tracker;
    constexpr std::int64_t kSegments = 20'000;
    std::jthread writer([&] {
        for (std::int64_t sequence = 1; sequence <= kSegments; ++sequence) {
            tracker.note_segment(sequence, static_cast<std::uint64_t>(sequence) * 1000,
                                 static_cast<std::uint64_t>(sequence));
            tracker.set_error("segment " + std::to_string(sequence));
        }
    });
    std::int64_t seen = 0;
    while (seen < kSegments) {
        const StatusSnapshot snapshot = tracker.snapshot();
        ASSERT_GE(snapshot.current_sequence, seen) << "figures never go backwards";
        seen = snapshot.current_sequence;
        ASSERT_EQ(snapshot.cache_bytes, static_cast<std::uint64_t>(seen) * 1000);
        ASSERT_EQ(snapshot.cache_segments, static_cast<std::uint64_t>(seen));
        ASSERT_EQ(snapshot.last_segment_at.has_value(), seen > 0);
    }
}

}  // namespace
}  // namespace ryvoobs
