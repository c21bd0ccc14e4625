#include "runtime/ram_segment_cache.h"

#include <gtest/gtest.h>

namespace ryvoobs {
namespace {

using namespace std::chrono_literals;
using Sequences = std::vector<std::int64_t>;

SegmentData segment(std::int64_t sequence, std::size_t size, WallClockTime at = wall_clock_now()) {
    SegmentData data;
    data.sequence = sequence;
    data.created_at = at;
    data.bytes = std::make_shared<const SegmentBytes>(size);
    return data;
}

TEST(RamCacheConfig, DerivedFromBitrateWindowAndSegmentLength) {
    PluginConfig plugin;
    plugin.ram_buffer_minutes = 5;
    plugin.estimated_bitrate_kbps = 6000;
    plugin.segment_duration_ms = 2000;
    const auto config = make_ram_cache_config(plugin);
    EXPECT_EQ(config.max_bytes, 225'000'000u);
    EXPECT_EQ(config.max_age_minutes, 5);
    EXPECT_EQ(config.max_segments, 166u);
    plugin.estimated_bitrate_kbps = -300;
    plugin.segment_duration_ms = 7000;
    EXPECT_EQ(make_ram_cache_config(plugin).max_bytes, 5u * 7500u);
    EXPECT_EQ(make_ram_cache_config(plugin).max_segments, 42u + 16u);
    // Out-of-range windows must neither overflow nor turn into "no count limit".
    plugin.ram_buffer_minutes = 1'000'000;
    EXPECT_EQ(make_ram_cache_config(plugin).max_segments, 8'571'428u + 16u);
    plugin.ram_buffer_minutes = -5;
    EXPECT_EQ(make_ram_cache_config(plugin).max_segments, 0u);
}

TEST(RamSegmentCache, EvictsLowestSequencesUntilBytesAndCountFit) {
    RamSegmentCache by_bytes({100, 10, 50});
    for (std::int64_t sequence : {1, 2, 3}) {
        by_bytes.insert(segment(sequence, 40));
    }
    EXPECT_EQ(by_bytes.sequences(), (Sequences{2, 3}));
    // A late arrival with a low number goes first, although it is the newest entry.
    by_bytes.insert(segment(0, 30));
    EXPECT_EQ(by_bytes.sequences(), (Sequences{2, 3}));

    RamSegmentCache by_count({1'000'000, 10, 3});
    for (std::int64_t sequence : {10, 11, 12, 13}) {
        by_count.insert(segment(sequence, 1));
    }
    const auto snapshot = by_count.snapshot();
    EXPECT_EQ(by_count.sequences(), (Sequences{11, 12, 13}));
    EXPECT_EQ(snapshot.oldest_sequence, 11);
    EXPECT_EQ(snapshot.evictions, 1u);
    EXPECT_EQ(snapshot.last_evicted_sequence, 10);
}

TEST(RamSegmentCache, AgeIsJudgedOnTheLowestSequenceAtInsertion) {
    const auto now = wall_clock_now();
    RamSegmentCache cache({1'000'000, 10, 100});
    cache.insert(segment(5, 1, now - 9min));
    cache.insert(segment(6, 1, now - 1h));  // overdue, but not the oldest entry
    cache.insert(segment(4, 1, now - 11min));
    EXPECT_EQ(cache.sequences(), (Sequences{5, 6}));
    // With 5 replaced by an overdue record, both go at once.
    cache.insert(segment(5, 1, now - 1h));
    EXPECT_EQ(cache.sequences(), Sequences{});
    EXPECT_EQ(cache.snapshot().evictions, 3u);
}

// One upload at a time, backfill of uploaded segments, hand-outs of the stored buffer and an
// oversize segment are checked through the session; here what a failed attempt leaves behind.
TEST(RamSegmentCache, AFailedAttemptFreesTheSegmentAndKeepsItsUploadedMark) {
    RamSegmentCache cache({1'000'000, 10, 10});
    ASSERT_TRUE(cache.insert_and_acquire_for_upload(segment(1, 8)));
    ASSERT_TRUE(cache.mark_upload_failed(1));
    ASSERT_TRUE(cache.acquire_for_upload(1, false));
    ASSERT_TRUE(cache.mark_uploaded(1));
    EXPECT_FALSE(cache.acquire_for_upload(1, false));
    ASSERT_TRUE(cache.acquire_for_upload(1, true));
    ASSERT_TRUE(cache.mark_upload_failed(1));
    EXPECT_TRUE(cache.find(1)->uploaded);
    EXPECT_FALSE(cache.mark_uploaded(2));
}

}  // namespace
}  // namespace ryvoobs
