#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "manual_upload_clock.h"
#include "runtime/ryvo_session.h"
#include "runtime/sha256.h"

namespace ryvoobs {
namespace {

constexpr int kChunks = 1500;  // three per segment: 500 segments
constexpr std::int64_t kFirstSequence = 100;
constexpr std::size_t kChunkBytes = 564;
constexpr std::uint64_t kSegmentBytes = 3 * kChunkBytes;

std::vector<std::uint8_t> chunk_bytes(int chunk) {
    std::vector<std::uint8_t> bytes(kChunkBytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(chunk * 31 + static_cast<int>(i));
    }
    return bytes;
}

// A producer, a backfill poller and a snapshot reader work the session at once while a slow,
// flaky transport uploads; afterwards every byte must have arrived, in the buffer it was cut into.
TEST(RyvoSessionStress, ConcurrentFeedBackfillAndSnapshotsLoseAndCopyNothing) {
    std::mutex delivery_mutex;
    int calls = 0;
    std::map<std::int64_t, SharedSegmentBytes> delivered;
    std::atomic<int> faults{0};
    auto flaky_transport = [&](const PluginConfig&, const SegmentData& segment) {
        if (sha256_hex(*segment.bytes) != segment.sha256 ||
            segment.capture_session_id != "stress") {
            ++faults;
        }
        int call = 0;
        {
            std::lock_guard lock(delivery_mutex);
            call = ++calls;
            auto [it, first] = delivered.emplace(segment.sequence, segment.bytes);
            if (!first && it->second != segment.bytes) {
                ++faults;  // a retry or backfill sent a different buffer
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (call % 7 == 0) {
            return UploadResult{false, 429, "", 2000};
        }
        return call % 3 == 0 ? UploadResult{false, 503, "{\"error\":\"overloaded\"}", 0}
                             : UploadResult{true, 201, "", 0};
    };
    PluginConfig config;
    config.segment_duration_ms = 100;
    config.ram_buffer_minutes = 15;
    RyvoSession session(config, flaky_transport, kFirstSequence, nullptr, "stress",
                        std::make_shared<ManualUploadClock>(true));

    std::mutex session_mutex;  // the owner's serialisation; snapshots are read without it
    std::atomic<bool> producing{true};
    session.start();
    std::thread producer([&] {
        for (int chunk = 0; chunk < kChunks; ++chunk) {
            const auto bytes = chunk_bytes(chunk);
            std::lock_guard lock(session_mutex);
            session.push_encoded_bytes(bytes, 40, chunk % 3 == 0);
        }
        producing = false;
    });
    std::thread backfill([&] {
        for (int round = 0; producing && round < 100'000; ++round) {
            std::lock_guard lock(session_mutex);
            session.requeue_sequence(session.cache_snapshot().newest_sequence - round % 5);
        }
    });
    std::thread reader([&] {
        while (producing) {
            // The status follows the cache, so read in this order it can never be ahead of it.
            const auto status = session.status_snapshot();
            const auto cache = session.cache_snapshot();
            // Every segment has the same size: a status mixing two segments' figures shows.
            if (cache.segment_count > cache.max_segments || cache.total_bytes > cache.max_bytes ||
                status.current_sequence > cache.newest_sequence ||
                status.cache_bytes != status.cache_segments * kSegmentBytes) {
                ++faults;
            }
        }
    });
    producer.join();
    backfill.join();
    reader.join();
    session.finish();
    // The clock skips every back-off, so the queue empties in real time.
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         !session.uploads_idle() && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    session.stop();

    EXPECT_EQ(faults, 0);
    ASSERT_EQ(delivered.size(), static_cast<std::size_t>(kChunks / 3));
    EXPECT_EQ(delivered.begin()->first, kFirstSequence);
    SegmentBytes sent;
    SegmentBytes received;
    for (int chunk = 0; chunk < kChunks; ++chunk) {
        const auto bytes = chunk_bytes(chunk);
        sent.insert(sent.end(), bytes.begin(), bytes.end());
    }
    for (const auto& [sequence, bytes] : delivered) {
        received.insert(received.end(), bytes->begin(), bytes->end());
    }
    EXPECT_TRUE(received == sent);
    EXPECT_EQ(session.status_snapshot().upload_queue_depth, 0u);
}

}  // namespace
}  // namespace ryvoobs
