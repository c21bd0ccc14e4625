#include "runtime/ryvo_session.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <set>
#include <stdexcept>

#include "jumping_upload_clock.h"

namespace ryvoobs {
namespace {

using namespace std::chrono_literals;
using Sequences = std::vector<std::int64_t>;

constexpr std::chrono::seconds kPatience{5};

// A transport that records every call and answers from a per-sequence script: sequences in
// `held` block until released, sequences in `failures` fail with status 500 that many times.
class RecordingTransport {
  public:
    UploadTransport callable() {
        return [this](const PluginConfig&, const SegmentData& segment) { return call(segment); };
    }

    void hold(std::int64_t sequence) {
        std::lock_guard lock(mutex_);
        held_.insert(sequence);
    }

    void release(std::int64_t sequence) {
        std::lock_guard lock(mutex_);
        held_.erase(sequence);
        changed_.notify_all();
    }

    void fail(std::int64_t sequence, int times) {
        std::lock_guard lock(mutex_);
        failures_[sequence] = times;
    }

    // Waits until `count` calls have begun.
    bool wait_for_calls(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return calls_.size() >= count; });
    }

    bool wait_for_call_of(std::int64_t sequence) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] {
            return std::any_of(calls_.begin(), calls_.end(),
                               [&](const SegmentData& call) { return call.sequence == sequence; });
        });
    }

    std::vector<SegmentData> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    Sequences called_sequences() const {
        Sequences sequences;
        for (const auto& call : calls()) {
            sequences.push_back(call.sequence);
        }
        return sequences;
    }

  private:
    UploadResult call(const SegmentData& segment) {
        std::unique_lock lock(mutex_);
        calls_.push_back(segment);
        changed_.notify_all();
        changed_.wait_for(lock, kPatience, [&] { return !held_.contains(segment.sequence); });
        if (auto it = failures_.find(segment.sequence); it != failures_.end() && it->second > 0) {
            --it->second;
            return UploadResult{false, 500, "", 0};
        }
        return UploadResult{true, 201, "", 0};
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SegmentData> calls_;
    std::set<std::int64_t> held_;
    std::map<std::int64_t, int> failures_;
};

class RyvoSessionTest : public ::testing::Test {
  protected:
    RyvoSessionTest() {
        config.segment_duration_ms = 1000;
        config.ram_buffer_minutes = 1;
        config.estimated_bitrate_kbps = 2500;
    }

    RyvoSession& open_session(std::int64_t initial_sequence = 100) {
        session = std::make_unique<RyvoSession>(
            config, transport.callable(), initial_sequence,
            [this](std::int64_t sequence) { checkpoints.push_back(sequence); }, "capture-1", clock);
        return *session;
    }

    // One keyframe chunk of a whole segment's duration: from the second call on, each closes the
    // segment that the previous one opened.
    void push_keyframe(std::size_t size = 188) {
        const std::vector<std::uint8_t> bytes(size, static_cast<std::uint8_t>(pushed++));
        session->push_encoded_bytes(bytes, config.segment_duration_ms, true);
    }

    // A chunk without a keyframe: it extends the open segment, so that stop() has a tail to flush.
    void push_tail() {
        const std::vector<std::uint8_t> bytes(188, static_cast<std::uint8_t>(pushed++));
        session->push_encoded_bytes(bytes, 500, false);
    }

    bool wait_for_error(const std::string& text) {
        const auto give_up = std::chrono::steady_clock::now() + kPatience;
        while (session->status_snapshot().last_error != text) {
            if (std::chrono::steady_clock::now() > give_up) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    PluginConfig config;
    std::shared_ptr<JumpingUploadClock> clock = std::make_shared<JumpingUploadClock>();
    RecordingTransport transport;
    Sequences checkpoints;
    std::unique_ptr<RyvoSession> session;
    int pushed = 0;
};

TEST_F(RyvoSessionTest, CacheBoundsComeFromThePluginConfiguration) {
    config.segment_duration_ms = 2000;
    const auto snapshot = open_session().cache_snapshot();
    EXPECT_EQ(snapshot.max_bytes, 18'750'000u);
    EXPECT_EQ(snapshot.max_segments, 46u);
}

TEST_F(RyvoSessionTest, RejectsANonPositiveSegmentDuration) {
    config.segment_duration_ms = 0;
    EXPECT_THROW(open_session(), std::invalid_argument);
}

TEST_F(RyvoSessionTest, SegmentsAreStampedCheckpointedAndUploadedFromTheCachedBuffer) {
    open_session();
    for (int i = 0; i < 4; ++i) {
        push_keyframe(100 + static_cast<std::size_t>(i));
    }
    EXPECT_EQ(checkpoints, (Sequences{100, 101, 102}));
    const auto status = session->status_snapshot();
    EXPECT_EQ(status.current_sequence, 102);
    EXPECT_EQ(status.cache_segments, 3u);
    EXPECT_EQ(status.cache_bytes, 303u);
    EXPECT_EQ(status.upload_queue_depth, 3u);
    EXPECT_TRUE(status.last_error.empty());

    session->start();
    ASSERT_TRUE(transport.wait_for_calls(3));
    // Once the sentinel segment is on the wire, 100 has been marked uploaded and may go again.
    push_keyframe();
    ASSERT_TRUE(transport.wait_for_call_of(103));
    session->requeue_sequence(100);
    ASSERT_TRUE(transport.wait_for_calls(5));

    const auto calls = transport.calls();
    ASSERT_EQ(transport.called_sequences(), (Sequences{100, 101, 102, 103, 100}));
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(calls[i].capture_session_id, "capture-1");
        EXPECT_EQ(calls[i].bytes->size(), 100 + i);
        EXPECT_EQ(calls[i].bytes->front(), i);
    }
    // The backfill copy comes straight from the cache entry: the very buffer of the first upload.
    EXPECT_EQ(calls[4].bytes.get(), calls[0].bytes.get());
    EXPECT_TRUE(calls[4].uploaded);
}

TEST_F(RyvoSessionTest, BackfillSkipsSegmentsInFlightAndReportsUncachedOnes) {
    open_session();
    transport.hold(101);
    for (int i = 0; i < 4; ++i) {
        push_keyframe();
    }
    session->start();
    ASSERT_TRUE(transport.wait_for_call_of(101));

    session->requeue_sequence(101);
    EXPECT_TRUE(session->status_snapshot().last_error.empty());
    session->requeue_sequence(99);
    EXPECT_EQ(session->status_snapshot().last_error, "backfill requested for uncached sequence 99");

    transport.release(101);
    session->stop();
    EXPECT_EQ(transport.called_sequences(), (Sequences{100, 101, 102}));
}

TEST_F(RyvoSessionTest, BackfillOfAnEvictedSequenceIsReportedAsUncached) {
    config.estimated_bitrate_kbps = 1;  // 7500 bytes
    open_session(1);
    for (int i = 0; i < 4; ++i) {
        push_keyframe(3000);
    }
    ASSERT_EQ(session->cache_snapshot().oldest_sequence, 2);
    session->requeue_sequence(1);
    EXPECT_EQ(session->status_snapshot().last_error, "backfill requested for uncached sequence 1");
}

TEST_F(RyvoSessionTest, OversizeSegmentIsNeitherCheckpointedNorQueued) {
    config.estimated_bitrate_kbps = 1;
    open_session();
    push_keyframe(7501);
    push_keyframe();
    push_tail();
    EXPECT_EQ(session->status_snapshot().last_error, "segment was evicted before upload");
    EXPECT_TRUE(checkpoints.empty());
    const auto cache = session->cache_snapshot();
    EXPECT_EQ(cache.segment_count, 0u);
    EXPECT_EQ(cache.unuploaded_evictions, 1u);
    EXPECT_EQ(cache.last_evicted_sequence, 100);

    session->start();
    session->stop();
    // The tail flushed at stop fits and is the only upload.
    EXPECT_EQ(transport.called_sequences(), Sequences{101});
    EXPECT_EQ(checkpoints, Sequences{101});
}

TEST_F(RyvoSessionTest, StopFlushesTheTailAndReportsJobsLeftWhenTheDrainTimesOut) {
    open_session();
    transport.hold(100);
    for (int i = 0; i < 4; ++i) {
        push_keyframe();
    }
    push_tail();
    session->start();
    ASSERT_TRUE(transport.wait_for_call_of(100));

    auto stopped = std::async(std::launch::async, [this] { session->stop(); });
    ASSERT_TRUE(clock->wait_for_waiter());
    clock->advance(15s);
    // Checked before the held upload returns, because its success clears the error again.
    EXPECT_TRUE(wait_for_error("stop: 3 segments left in queue"));
    transport.release(100);
    ASSERT_EQ(stopped.wait_for(kPatience), std::future_status::ready);

    // Each job left over still got its one last call.
    EXPECT_EQ(transport.called_sequences(), (Sequences{100, 101, 102, 103}));
    const auto status = session->status_snapshot();
    EXPECT_FALSE(status.streaming);
    EXPECT_FALSE(status.connected);
    EXPECT_EQ(status.upload_queue_depth, 0u);
    EXPECT_FALSE(status.started_at);

    session->stop();
    EXPECT_EQ(transport.calls().size(), 4u);
}

TEST_F(RyvoSessionTest, StopWaitsForUploadsThatFinishInTime) {
    open_session();
    for (int i = 0; i < 3; ++i) {
        push_keyframe();
    }
    push_tail();
    session->start();
    session->stop();
    EXPECT_EQ(transport.called_sequences(), (Sequences{100, 101, 102}));
    EXPECT_TRUE(session->status_snapshot().last_error.empty());
}

TEST_F(RyvoSessionTest, ASegmentGivenUpOnCanBeSentAgainByBackfill) {
    open_session();
    transport.fail(100, 5);
    push_keyframe();
    push_keyframe();
    session->start();
    ASSERT_TRUE(transport.wait_for_calls(5));
    EXPECT_EQ(transport.called_sequences(), Sequences(5, 100));

    // The sentinel is uploaded only after the worker has given 100 up.
    transport.hold(101);
    push_keyframe();
    ASSERT_TRUE(transport.wait_for_call_of(101));
    EXPECT_EQ(session->status_snapshot().last_error, "upload failed");
    transport.release(101);

    session->requeue_sequence(100);
    ASSERT_TRUE(transport.wait_for_calls(7));
    session->stop();
    EXPECT_EQ(transport.called_sequences(), (Sequences{100, 100, 100, 100, 100, 101, 100}));
    EXPECT_TRUE(session->status_snapshot().last_error.empty());
}

}  // namespace
}  // namespace ryvoobs
