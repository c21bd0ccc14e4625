#include "runtime/ram_segment_cache.h"

#include <gtest/gtest.h>

namespace ryvoobs {
namespace {

using namespace std::chrono_literals;
using Sequences = std::vector<std::int64_t>;

SegmentData make_segment(std::int64_t sequence, std::size_t size,
                         WallClockTime created_at = wall_clock_now()) {
    SegmentData segment;
    segment.sequence = sequence;
    segment.created_at = created_at;
    segment.bytes = std::make_shared<const SegmentBytes>(size, static_cast<std::uint8_t>(sequence));
    return segment;
}

RamCacheConfig bounds(std::uint64_t max_bytes, std::uint64_t max_segments,
                      std::int64_t max_age_minutes = 10) {
    return RamCacheConfig{max_bytes, max_age_minutes, max_segments};
}

TEST(RamCacheConfigFromPlugin, FollowsBitrateWindowAndSegmentLength) {
    PluginConfig plugin;
    plugin.ram_buffer_minutes = 5;
    plugin.estimated_bitrate_kbps = 6000;
    plugin.segment_duration_ms = 2000;
    auto config = make_ram_cache_config(plugin);
    EXPECT_EQ(config.max_bytes, 225'000'000u);
    EXPECT_EQ(config.max_age_minutes, 5);
    EXPECT_EQ(config.max_segments, 166u);

    for (int bitrate : {1, 0, -300}) {
        plugin.estimated_bitrate_kbps = bitrate;
        EXPECT_EQ(make_ram_cache_config(plugin).max_bytes, 5u * 7500u) << bitrate;
    }

    plugin.segment_duration_ms = 0;
    EXPECT_EQ(make_ram_cache_config(plugin).max_segments, 16u);
    plugin.segment_duration_ms = 7000;  // 300000 / 7000 truncates to 42
    EXPECT_EQ(make_ram_cache_config(plugin).max_segments, 58u);
}

TEST(RamCacheConfigFromPlugin, OutOfRangeWindowsNeitherOverflowNorLiftTheCountBound) {
    PluginConfig plugin;
    plugin.segment_duration_ms = 2000;
    plugin.ram_buffer_minutes = 1'000'000;
    EXPECT_EQ(make_ram_cache_config(plugin).max_segments, 30'000'016u);
    plugin.ram_buffer_minutes = -1;
    auto config = make_ram_cache_config(plugin);
    EXPECT_EQ(config.max_segments, 0u);
    EXPECT_EQ(config.max_age_minutes, -1);
    EXPECT_EQ(config.max_bytes, 8000u * 7500u);
}

TEST(RamSegmentCacheBounds, EvictsLowestSequencesUntilBytesAndCountFit) {
    RamSegmentCache by_bytes(bounds(100, 50));
    for (std::int64_t sequence = 1; sequence <= 3; ++sequence) {
        by_bytes.insert(make_segment(sequence, 40));
    }
    EXPECT_EQ(by_bytes.sequences(), (Sequences{2, 3}));
    auto snapshot = by_bytes.snapshot();
    EXPECT_EQ(snapshot.total_bytes, 80u);
    EXPECT_EQ(snapshot.evictions, 1u);
    EXPECT_EQ(snapshot.last_evicted_sequence, 1);

    // A late arrival with a low number is the first to go, even though it is the newest entry.
    by_bytes.insert(make_segment(0, 30));
    EXPECT_EQ(by_bytes.sequences(), (Sequences{2, 3}));
    EXPECT_EQ(by_bytes.snapshot().last_evicted_sequence, 0);

    RamSegmentCache by_count(bounds(1'000'000, 3));
    for (std::int64_t sequence = 10; sequence <= 13; ++sequence) {
        by_count.insert(make_segment(sequence, 1));
    }
    snapshot = by_count.snapshot();
    EXPECT_EQ(by_count.sequences(), (Sequences{11, 12, 13}));
    EXPECT_EQ(snapshot.segment_count, 3u);
    EXPECT_EQ(snapshot.oldest_sequence, 11);
    EXPECT_EQ(snapshot.newest_sequence, 13);
    EXPECT_EQ(snapshot.max_segments, 3u);
    EXPECT_EQ(snapshot.max_bytes, 1'000'000u);
    EXPECT_EQ(snapshot.evictions, 1u);
    EXPECT_EQ(snapshot.last_evicted_sequence, 10);
}

TEST(RamSegmentCacheBounds, AgeIsJudgedOnTheLowestSequenceAtInsertion) {
    const auto now = wall_clock_now();
    RamSegmentCache cache(bounds(1'000'000, 100, 10));
    cache.insert(make_segment(5, 1, now - 9min));
    cache.insert(make_segment(6, 1, now - 1h));  // too old, but not the oldest entry
    EXPECT_EQ(cache.sequences(), (Sequences{5, 6}));

    cache.insert(make_segment(4, 1, now - 11min));
    EXPECT_EQ(cache.sequences(), (Sequences{5, 6}));
    EXPECT_EQ(cache.snapshot().last_evicted_sequence, 4);

    // Once 5 has gone the overdue 6 is the oldest, and goes with the next insertion.
    cache.insert(make_segment(5, 1, now - 1h));
    EXPECT_EQ(cache.sequences(), Sequences{});
    EXPECT_EQ(cache.snapshot().evictions, 3u);

    cache.insert(make_segment(7, 1));
    EXPECT_EQ(cache.sequences(), Sequences{7});
}

TEST(RamSegmentCacheBounds, OversizeSegmentClearsTheCacheAndItself) {
    RamSegmentCache cache(bounds(100, 50));
    cache.insert(make_segment(1, 10));
    cache.insert(make_segment(2, 10));
    ASSERT_TRUE(cache.acquire_for_upload(1, false));
    ASSERT_TRUE(cache.mark_uploaded(1));

    EXPECT_FALSE(cache.insert_and_acquire_for_upload(make_segment(3, 101)));
    const auto snapshot = cache.snapshot();
    EXPECT_EQ(snapshot.segment_count, 0u);
    EXPECT_EQ(snapshot.total_bytes, 0u);
    EXPECT_EQ(snapshot.oldest_sequence, 0);
    EXPECT_EQ(snapshot.newest_sequence, 0);
    EXPECT_EQ(snapshot.evictions, 3u);
    EXPECT_EQ(snapshot.unuploaded_evictions, 2u);
    EXPECT_EQ(snapshot.last_evicted_sequence, 3);
    EXPECT_FALSE(cache.mark_upload_failed(3));
}

TEST(RamSegmentCacheBounds, ReinsertingReplacesTheEntryAndItsAccounting) {
    RamSegmentCache cache(bounds(100, 50));
    cache.insert(make_segment(1, 60));
    ASSERT_TRUE(cache.acquire_for_upload(1, false));

    auto replacement = make_segment(1, 25);
    cache.insert(replacement);
    auto snapshot = cache.snapshot();
    EXPECT_EQ(snapshot.total_bytes, 25u);
    EXPECT_EQ(snapshot.segment_count, 1u);
    EXPECT_EQ(snapshot.evictions, 0u);
    // Every field comes from the new record, the upload state included.
    const auto stored = cache.find(1);
    ASSERT_TRUE(stored);
    EXPECT_FALSE(stored->upload_in_flight);
    EXPECT_EQ(stored->bytes, replacement.bytes);

    cache.insert(make_segment(1, 90));
    EXPECT_EQ(cache.snapshot().total_bytes, 90u);
}

TEST(RamSegmentCacheCounters, UnuploadedEvictionsCountEverythingNotAccepted) {
    RamSegmentCache cache(bounds(1'000'000, 3));
    for (std::int64_t sequence = 1; sequence <= 3; ++sequence) {
        cache.insert(make_segment(sequence, 1));
    }
    ASSERT_TRUE(cache.acquire_for_upload(1, false));
    ASSERT_TRUE(cache.mark_uploaded(1));
    ASSERT_TRUE(cache.acquire_for_upload(2, false));  // in flight when evicted

    cache.insert(make_segment(4, 1));
    EXPECT_EQ(cache.snapshot().evictions, 1u);
    EXPECT_EQ(cache.snapshot().unuploaded_evictions, 0u);
    cache.insert(make_segment(5, 1));
    cache.insert(make_segment(6, 1));
    const auto snapshot = cache.snapshot();
    EXPECT_EQ(snapshot.evictions, 3u);
    EXPECT_EQ(snapshot.unuploaded_evictions, 2u);
    EXPECT_EQ(snapshot.last_evicted_sequence, 3);
}

TEST(RamSegmentCacheUploadState, OneUploadAtATimePerSegment) {
    RamSegmentCache cache(bounds(1'000'000, 10));
    EXPECT_FALSE(cache.acquire_for_upload(1, true));
    EXPECT_FALSE(cache.mark_uploaded(1));
    EXPECT_FALSE(cache.mark_upload_failed(1));

    auto first = cache.insert_and_acquire_for_upload(make_segment(1, 8));
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->upload_in_flight);
    EXPECT_FALSE(cache.acquire_for_upload(1, true));

    ASSERT_TRUE(cache.mark_upload_failed(1));
    const auto stored = cache.find(1);
    ASSERT_TRUE(stored);
    EXPECT_FALSE(stored->upload_in_flight);
    EXPECT_FALSE(stored->uploaded);

    auto retry = cache.acquire_for_upload(1, false);
    ASSERT_TRUE(retry);
    ASSERT_TRUE(cache.mark_uploaded(1));
    EXPECT_FALSE(cache.acquire_for_upload(1, false));

    auto backfill = cache.acquire_for_upload(1, true);
    ASSERT_TRUE(backfill);
    EXPECT_TRUE(backfill->uploaded);
    EXPECT_TRUE(backfill->upload_in_flight);
    EXPECT_FALSE(cache.acquire_for_upload(1, true));
    ASSERT_TRUE(cache.mark_upload_failed(1));
    EXPECT_TRUE(cache.find(1)->uploaded);

    // Every hand-out shares the stored payload.
    EXPECT_EQ(first->bytes, retry->bytes);
    EXPECT_EQ(first->bytes, backfill->bytes);
    EXPECT_EQ(first->bytes, cache.find(1)->bytes);
}

TEST(RamSegmentCacheUploadState, InsertingAnInFlightRecordHandsNothingOut) {
    RamSegmentCache cache(bounds(1'000'000, 10));
    auto segment = make_segment(3, 4);
    segment.upload_in_flight = true;
    EXPECT_FALSE(cache.insert_and_acquire_for_upload(segment));
    EXPECT_TRUE(cache.contains(3));

    // An uploaded record inserted anew is still handed out: insertion means a fresh upload.
    auto uploaded = make_segment(4, 4);
    uploaded.uploaded = true;
    EXPECT_TRUE(cache.insert_and_acquire_for_upload(uploaded));
}

}  // namespace
}  // namespace ryvoobs
