#include "runtime/ryvo_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace ryvoobs {
namespace {

using namespace std::chrono_literals;
using Sequences = std::vector<std::int64_t>;

// Records every call. A held sequence blocks in the transport until released.
class RecordingTransport {
  public:
    UploadTransport callable() {
        return [this](const PluginConfig&, const SegmentData& segment) {
            std::unique_lock lock(mutex_);
            calls_.push_back(segment);
            changed_.notify_all();
            changed_.wait_for(lock, 5s, [&] { return held_ != segment.sequence; });
            return UploadResult{true, 201, "", 0};
        };
    }
    void hold(std::int64_t sequence) {
        std::lock_guard lock(mutex_);
        held_ = sequence;
        changed_.notify_all();
    }

    // Waits until the transport has been called with `sequence` for the `nth` time.
    bool wait_for_call(std::int64_t sequence, std::size_t nth = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] {
            return std::ranges::count(calls_, sequence, &SegmentData::sequence) >=
                   static_cast<std::ptrdiff_t>(nth);
        });
    }
    std::vector<SegmentData> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    Sequences sequences() const {
        Sequences result;
        std::ranges::transform(calls(), std::back_inserter(result), &SegmentData::sequence);
        return result;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SegmentData> calls_;
    std::int64_t held_ = -1;
};

class RyvoSessionTest : public ::testing::Test {
  protected:
    RyvoSessionTest() {
        config.segment_duration_ms = 1000;
        config.ram_buffer_minutes = 1;
    }
    void open_session() {
        session = std::make_unique<RyvoSession>(
            config, transport.callable(), 100,
            [this](std::int64_t sequence) { checkpoints.push_back(sequence); }, "capture-1");
    }
    // Keyframe chunks of a whole segment's duration: each closes the segment the previous opened.
    void push_keyframes(int count, std::size_t size = 188) {
        for (int i = 0; i < count; ++i) {
            push(size, config.segment_duration_ms, true);
        }
    }
    // A chunk that extends the open segment, so that stop() has a tail to flush.
    void push_tail() { push(188, 500, false); }
    void push(std::size_t size, std::int32_t duration_ms, bool keyframe) {
        const std::vector<std::uint8_t> bytes(size, static_cast<std::uint8_t>(pushed++));
        session->push_encoded_bytes(bytes, duration_ms, keyframe);
    }
    std::string last_error() const { return session->status_snapshot().last_error; }

    PluginConfig config;
    RecordingTransport transport;
    Sequences checkpoints;
    std::unique_ptr<RyvoSession> session;
    int pushed = 0;
};

TEST_F(RyvoSessionTest, SegmentsAreStampedCheckpointedAndUploadedFromTheCachedBuffer) {
    open_session();
    push_keyframes(3, 100);
    EXPECT_EQ(checkpoints, (Sequences{100, 101}));
    const auto status = session->status_snapshot();
    EXPECT_EQ(status.current_sequence, 101);
    EXPECT_EQ(status.cache_bytes, 200u);
    EXPECT_EQ(status.upload_queue_depth, 2u);

    session->start();
    // Once the sentinel 102 is on the wire, 100 has been marked uploaded and may go again.
    push_keyframes(1);
    ASSERT_TRUE(transport.wait_for_call(102));
    session->requeue_sequence(100);
    ASSERT_TRUE(transport.wait_for_call(100, 2));

    const auto calls = transport.calls();
    ASSERT_EQ(transport.sequences(), (Sequences{100, 101, 102, 100}));
    EXPECT_EQ(calls[0].capture_session_id, "capture-1");
    EXPECT_EQ(*calls[1].bytes, SegmentBytes(100, 1));
    // The backfill copy comes from the cache entry: the very buffer the first upload was sent.
    EXPECT_EQ(calls[3].bytes.get(), calls[0].bytes.get());
    EXPECT_TRUE(calls[3].uploaded);
}

TEST_F(RyvoSessionTest, BackfillSkipsSegmentsInFlightAndReportsUncachedOnes) {
    config.estimated_bitrate_kbps = 1;  // room for 7500 bytes: two segments of 3000
    open_session();
    transport.hold(102);
    push_keyframes(4, 3000);
    ASSERT_EQ(session->cache_snapshot().oldest_sequence, 101);
    session->start();
    ASSERT_TRUE(transport.wait_for_call(102));

    session->requeue_sequence(102);
    EXPECT_EQ(last_error(), "");
    session->requeue_sequence(100);
    EXPECT_EQ(last_error(), "backfill requested for uncached sequence 100");

    transport.hold(-1);
    session->stop();
    // The evicted 100 was queued before its eviction; the job's own reference keeps it sendable.
    EXPECT_EQ(transport.sequences(), (Sequences{100, 101, 102}));
}

// An oversize segment is neither checkpointed nor queued but counted lost.
TEST_F(RyvoSessionTest, FinishFlushesTheTailAndCountsWhatIsConfirmedAfterItOrLost) {
    config.estimated_bitrate_kbps = 1;  // room for 7500 bytes
    open_session();
    transport.hold(101);
    push_keyframes(1, 7501);
    push_keyframes(3);
    push_tail();
    EXPECT_EQ(last_error(), "segment was evicted before upload");
    EXPECT_EQ(session->cache_snapshot().unuploaded_evictions, 1u);
    session->start();
    ASSERT_TRUE(transport.wait_for_call(101));
    EXPECT_TRUE(session->status_snapshot().started_at);

    session->finish();
    EXPECT_EQ(session->delivery_figures().unconfirmed, (Sequences{101, 102, 103}));
    transport.hold(-1);
    ASSERT_TRUE(transport.wait_for_call(103));
    session->stop();
    EXPECT_EQ(transport.sequences(), (Sequences{101, 102, 103}));
    EXPECT_EQ(checkpoints, (Sequences{101, 102, 103}));
    const SessionDeliveryFigures figures = session->delivery_figures();
    EXPECT_EQ(figures.first_sequence, 100);
    EXPECT_EQ(figures.last_sequence, 103);
    EXPECT_TRUE(figures.unconfirmed.empty());
    EXPECT_EQ(figures.lost, Sequences{100});
    EXPECT_EQ(figures.confirmed_after_finish, 3u);
    const auto status = session->status_snapshot();
    EXPECT_FALSE(status.streaming || status.connected || status.started_at);
    EXPECT_EQ(status.upload_queue_depth, 0u);
}

}  // namespace
}  // namespace ryvoobs
