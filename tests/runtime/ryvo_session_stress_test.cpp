#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "jumping_upload_clock.h"
#include "runtime/ryvo_session.h"
#include "runtime/sha256.h"

namespace ryvoobs {
namespace {

constexpr int kChunks = 1500;
constexpr int kChunksPerSegment = 3;
constexpr std::size_t kChunkSize = 564;
constexpr std::int64_t kFirstSequence = 100;

// Everything the transport saw, checked for integrity on arrival.
struct Delivery {
    std::mutex mutex;
    int calls = 0;
    std::map<std::int64_t, SharedSegmentBytes> first_buffer;
    std::atomic<int> corrupt{0};
    std::atomic<int> different_buffer{0};
};

UploadResult flaky_upload(Delivery& delivery, const SegmentData& segment) {
    if (!segment.bytes || sha256_hex(*segment.bytes) != segment.sha256 ||
        segment.capture_session_id != "stress") {
        ++delivery.corrupt;
    }
    int call = 0;
    {
        std::lock_guard lock(delivery.mutex);
        call = ++delivery.calls;
        auto [it, first] = delivery.first_buffer.emplace(segment.sequence, segment.bytes);
        if (!first && it->second != segment.bytes) {
            ++delivery.different_buffer;
        }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (call % 7 == 0) {
        return UploadResult{false, 429, "", 2000};
    }
    if (call % 3 == 0) {
        return UploadResult{false, 503, "{\"error\":\"overloaded\"}", 0};
    }
    return UploadResult{true, 201, "", 0};
}

std::vector<std::uint8_t> chunk_bytes(int chunk) {
    std::vector<std::uint8_t> bytes(kChunkSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(chunk * 31 + static_cast<int>(i));
    }
    return bytes;
}

// A producer, a backfill poller and snapshot readers work the session at once while a slow,
// flaky transport uploads; afterwards every byte must have arrived, in the buffer it was cut into.
TEST(RyvoSessionStress, ConcurrentFeedBackfillAndSnapshotsDeliverEveryByteInItsOwnBuffer) {
    PluginConfig config;
    config.segment_duration_ms = 100;
    config.ram_buffer_minutes = 15;
    config.estimated_bitrate_kbps = 8000;
    Delivery delivery;
    RyvoSession session(
        config,
        [&](const PluginConfig&, const SegmentData& s) { return flaky_upload(delivery, s); },
        kFirstSequence, nullptr, "stress", std::make_shared<JumpingUploadClock>());

    // The owner's serialisation of the session's calls; snapshots are read without it.
    std::mutex session_mutex;
    std::atomic<bool> producing{true};
    session.start();

    std::thread producer([&] {
        for (int chunk = 0; chunk < kChunks; ++chunk) {
            const auto bytes = chunk_bytes(chunk);
            std::lock_guard lock(session_mutex);
            session.push_encoded_bytes(bytes, 40, chunk % kChunksPerSegment == 0);
        }
        producing = false;
    });
    std::thread backfill([&] {
        for (int round = 0; producing && round < 100'000; ++round) {
            std::lock_guard lock(session_mutex);
            const std::int64_t newest = session.cache_snapshot().newest_sequence;
            session.requeue_sequence(newest - round % 5);
        }
    });
    std::atomic<int> inconsistent{0};
    std::thread reader([&] {
        while (producing) {
            const auto cache = session.cache_snapshot();
            const auto status = session.status_snapshot();
            if (cache.segment_count > cache.max_segments || cache.total_bytes > cache.max_bytes ||
                cache.newest_sequence < cache.oldest_sequence ||
                status.cache_segments > cache.max_segments) {
                ++inconsistent;
            }
        }
    });
    producer.join();
    backfill.join();
    reader.join();
    session.stop();

    EXPECT_EQ(delivery.corrupt, 0);
    EXPECT_EQ(delivery.different_buffer, 0);
    EXPECT_EQ(inconsistent, 0);

    constexpr int kSegments = kChunks / kChunksPerSegment;
    ASSERT_EQ(delivery.first_buffer.size(), static_cast<std::size_t>(kSegments));
    EXPECT_EQ(delivery.first_buffer.begin()->first, kFirstSequence);
    EXPECT_EQ(delivery.first_buffer.rbegin()->first, kFirstSequence + kSegments - 1);
    SegmentBytes received;
    for (const auto& [sequence, bytes] : delivery.first_buffer) {
        received.insert(received.end(), bytes->begin(), bytes->end());
    }
    SegmentBytes sent;
    for (int chunk = 0; chunk < kChunks; ++chunk) {
        const auto bytes = chunk_bytes(chunk);
        sent.insert(sent.end(), bytes.begin(), bytes.end());
    }
    EXPECT_TRUE(received == sent);

    const auto status = session.status_snapshot();
    EXPECT_FALSE(status.streaming);
    EXPECT_EQ(status.upload_queue_depth, 0u);
    EXPECT_EQ(session.cache_snapshot().segment_count, static_cast<std::uint64_t>(kSegments));
}

}  // namespace
}  // namespace ryvoobs
