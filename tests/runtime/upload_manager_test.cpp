#include "runtime/upload_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "manual_upload_clock.h"

namespace ryvoobs {
namespace {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;
using Completion = std::pair<std::int64_t, bool>;

constexpr const char* kNotFound = "Ryvo stream not found. Check the stream ID.";
constexpr const char* kKeyRejected = "API key rejected. Rotate your key in the Ryvo dashboard.";

UploadResult failed(std::int32_t status, std::string body = {}, std::int64_t retry_after = 0) {
    return UploadResult{false, status, std::move(body), retry_after};
}

SegmentData segment(std::int64_t sequence) {
    SegmentData data;
    data.sequence = sequence;
    data.bytes = std::make_shared<const SegmentBytes>(SegmentBytes{1, 2, 3});
    return data;
}

// Everything the manager reports, with bounded waits for it from the test thread.
class Observer {
  public:
    void record_call(std::int64_t sequence, Ms at) {
        add([&] { calls_.emplace_back(sequence, at); });
    }
    void record_uploaded(std::int64_t sequence) {
        add([&] { uploaded_.push_back(sequence); });
    }
    void record_completion(std::int64_t sequence, bool ok) {
        add([&] { completions_.emplace_back(sequence, ok); });
    }

    void clear() {
        add([&] {
            calls_.clear();
            uploaded_.clear();
            completions_.clear();
        });
    }

    bool await_completions(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return completions_.size() >= count; });
    }
    bool await_calls(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return calls_.size() >= count; });
    }

    std::vector<std::pair<std::int64_t, Ms>> calls() const { return read(calls_); }
    std::vector<std::int64_t> call_sequences() const {
        std::vector<std::int64_t> sequences;
        for (const auto& [sequence, at] : calls()) {
            sequences.push_back(sequence);
        }
        return sequences;
    }
    std::vector<std::int64_t> uploaded() const { return read(uploaded_); }
    std::vector<Completion> completions() const { return read(completions_); }

  private:
    template <typename Change>
    void add(Change change) {
        std::lock_guard lock(mutex_);
        change();
        changed_.notify_all();
    }
    template <typename T>
    T read(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::int64_t, Ms>> calls_;
    std::vector<std::int64_t> uploaded_;
    std::vector<Completion> completions_;
};

class UploadManagerTest : public ::testing::Test {
  protected:
    using Script = std::function<UploadResult(std::int64_t sequence, int call)>;

    // A transport answering by `script`, given the sequence and how often it was sent before.
    std::unique_ptr<UploadManager> make_manager(Script script) {
        auto counts = std::make_shared<std::map<std::int64_t, int>>();
        UploadTransport transport = [this, script, counts](const PluginConfig& config,
                                                           const SegmentData& data) {
            EXPECT_EQ(config.stream_id, "stream-7");
            observer.record_call(data.sequence, since_start());
            return script(data.sequence, (*counts)[data.sequence]++);
        };
        return make_manager_with(std::move(transport));
    }

    std::unique_ptr<UploadManager> make_manager_with(UploadTransport transport) {
        PluginConfig config;
        config.stream_id = "stream-7";
        return std::make_unique<UploadManager>(
            config, std::move(transport), &status,
            [this](std::int64_t sequence) {
                observer.record_uploaded(sequence);
                if (throw_on_uploaded) {
                    throw std::runtime_error("cache gone");
                }
            },
            [this](std::int64_t sequence, bool ok) {
                observer.record_completion(sequence, ok);
                if (throw_on_complete) {
                    throw 7;
                }
            },
            clock);
    }

    Ms since_start() const {
        return std::chrono::duration_cast<Ms>(clock->now() - UploadClock::TimePoint{});
    }

    std::shared_ptr<ManualUploadClock> clock = std::make_shared<ManualUploadClock>();
    StatusTracker status;
    Observer observer;
    bool throw_on_uploaded = false;
    bool throw_on_complete = false;
};

TEST_F(UploadManagerTest, UploadsInOrderAndReportsSuccess) {
    status.set_error("old problem");
    status.set_auth_failed(true);
    auto manager = make_manager([](std::int64_t, int) { return UploadResult{true, 201, {}, 0}; });
    for (std::int64_t sequence : {4, 5, 6}) {
        manager->enqueue(segment(sequence));
    }
    EXPECT_EQ(status.snapshot().upload_queue_depth, 3u);
    manager->start();
    ASSERT_TRUE(observer.await_completions(3));
    EXPECT_EQ(manager->drain(15000), 0u);

    EXPECT_EQ(observer.call_sequences(), (std::vector<std::int64_t>{4, 5, 6}));
    EXPECT_EQ(observer.uploaded(), (std::vector<std::int64_t>{4, 5, 6}));
    EXPECT_EQ(observer.completions(), (std::vector<Completion>{{4, true}, {5, true}, {6, true}}));
    StatusSnapshot snapshot = status.snapshot();
    EXPECT_TRUE(snapshot.connected);
    EXPECT_FALSE(snapshot.auth_failed);
    EXPECT_TRUE(snapshot.last_error.empty());
    EXPECT_TRUE(snapshot.last_upload_at.has_value());
    EXPECT_EQ(snapshot.upload_queue_depth, 0u);

    manager->stop();
    EXPECT_FALSE(status.snapshot().connected);
}

TEST_F(UploadManagerTest, ServerErrorsBackOffByDoublingThenSucceed) {
    auto manager = make_manager([](std::int64_t, int call) {
        return call < 4 ? failed(500, "overloaded") : UploadResult{true, 201, {}, 0};
    });
    manager->enqueue(segment(1));
    manager->start();
    for (Ms expected : {500ms, 1000ms, 2000ms, 4000ms}) {
        ASSERT_TRUE(clock->await_sleeper());
        EXPECT_EQ(status.snapshot().last_error, "overloaded");
        EXPECT_FALSE(status.snapshot().connected);
        EXPECT_EQ(clock->release_next_sleep(), expected);
    }
    ASSERT_TRUE(observer.await_completions(1));
    EXPECT_EQ(manager->drain(15000), 0u);
    std::vector<std::pair<std::int64_t, Ms>> expected_calls{
        {1, 0ms}, {1, 500ms}, {1, 1500ms}, {1, 3500ms}, {1, 7500ms}};
    EXPECT_EQ(observer.calls(), expected_calls);
    EXPECT_EQ(observer.uploaded(), std::vector<std::int64_t>{1});
    EXPECT_EQ(observer.completions(), (std::vector<Completion>{{1, true}}));
    EXPECT_TRUE(status.snapshot().last_error.empty());
}

TEST_F(UploadManagerTest, TransientFailuresGiveUpAfterFiveCalls) {
    struct Case {
        std::string body;
        std::string message;
    };
    for (const Case& c : {Case{"disk full", "disk full"}, Case{"", "upload failed"}}) {
        observer.clear();
        auto manager = make_manager([&](std::int64_t, int) { return failed(500, c.body); });
        manager->enqueue(segment(9));
        manager->start();
        for (int sleep = 0; sleep < 4; ++sleep) {
            ASSERT_TRUE(clock->release_next_sleep().has_value());
        }
        ASSERT_TRUE(observer.await_completions(1));
        EXPECT_EQ(observer.calls().size(), 5u);
        EXPECT_TRUE(observer.uploaded().empty());
        EXPECT_EQ(observer.completions(), (std::vector<Completion>{{9, false}}));
        EXPECT_EQ(status.snapshot().last_error, c.message);
        EXPECT_EQ(manager->drain(0), 0u);
    }
}

TEST_F(UploadManagerTest, EmptyTransportIsATransientFailure) {
    auto manager = make_manager_with(UploadTransport{});
    manager->enqueue(segment(2));
    manager->start();
    for (int sleep = 0; sleep < 4; ++sleep) {
        ASSERT_TRUE(clock->release_next_sleep().has_value());
    }
    ASSERT_TRUE(observer.await_completions(1));
    EXPECT_EQ(observer.completions(), (std::vector<Completion>{{2, false}}));
    EXPECT_EQ(status.snapshot().last_error, "transport not configured");
}

TEST_F(UploadManagerTest, RetryAfterLengthensButNeverShortensTheBackOff) {
    const std::vector<std::pair<std::int64_t, Ms>> cases{
        {10'000, 10'000ms}, {900'000, 300'000ms}, {200, 500ms}};
    for (const auto& [retry_after, expected] : cases) {
        observer.clear();
        auto manager = make_manager([&](std::int64_t, int call) {
            return call == 0 ? failed(429, "{}", retry_after) : UploadResult{true, 201, {}, 0};
        });
        manager->enqueue(segment(3));
        manager->start();
        ASSERT_TRUE(clock->await_sleeper());
        EXPECT_EQ(status.snapshot().last_error,
                  "Ryvo ingest is rate limited. Retrying automatically.");
        EXPECT_EQ(clock->release_next_sleep(), expected) << retry_after;
        ASSERT_TRUE(observer.await_completions(1));
        EXPECT_EQ(observer.completions(), (std::vector<Completion>{{3, true}}));
    }
}

TEST_F(UploadManagerTest, RetriedJobGoesBehindSegmentsQueuedDuringItsBackOff) {
    auto manager = make_manager([](std::int64_t sequence, int call) {
        return sequence == 1 && call == 0 ? failed(503) : UploadResult{true, 201, {}, 0};
    });
    manager->enqueue(segment(1));
    manager->start();
    ASSERT_TRUE(observer.await_calls(1));
    manager->enqueue(segment(2));
    ASSERT_EQ(clock->release_next_sleep(), 500ms);
    ASSERT_TRUE(observer.await_completions(2));
    EXPECT_EQ(observer.call_sequences(), (std::vector<std::int64_t>{1, 2, 1}));
}

TEST_F(UploadManagerTest, PermanentFailuresHaltTheSessionsUploads) {
    struct Case {
        UploadResult result;
        std::string message;
        bool auth_failed;
    };
    const std::vector<Case> cases{
        {failed(401), kKeyRejected, true},
        {failed(403), "upload failed", false},
        {failed(404, "no such stream"), kNotFound, false},
        {failed(409, R"({"error":"not_found","message":"gone"})"), kNotFound, false},
        {failed(400, R"({"error":"unauthorized"})"), kKeyRejected, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result.http_status);
        observer.clear();
        status.set_auth_failed(false);
        auto manager = make_manager([&](std::int64_t, int) { return c.result; });
        for (std::int64_t sequence : {1, 2, 3}) {
            manager->enqueue(segment(sequence));
        }
        manager->start();
        ASSERT_TRUE(observer.await_completions(1));
        EXPECT_EQ(manager->drain(15000), 0u);
        manager->enqueue(segment(4));
        EXPECT_EQ(manager->queue_depth(), 0u);
        EXPECT_EQ(manager->drain(15000), 0u);

        EXPECT_EQ(observer.call_sequences(), std::vector<std::int64_t>{1});
        EXPECT_EQ(observer.completions(), (std::vector<Completion>{{1, false}}));
        StatusSnapshot snapshot = status.snapshot();
        EXPECT_EQ(snapshot.last_error, c.message);
        EXPECT_EQ(snapshot.auth_failed, c.auth_failed);
        EXPECT_EQ(snapshot.upload_queue_depth, 0u);
        EXPECT_FALSE(snapshot.connected);
    }
}

TEST_F(UploadManagerTest, RestartAfterHaltAcceptsSegmentsAgain) {
    auto manager = make_manager([](std::int64_t sequence, int) {
        return sequence == 1 ? failed(401) : UploadResult{true, 201, {}, 0};
    });
    manager->enqueue(segment(1));
    manager->start();
    ASSERT_TRUE(observer.await_completions(1));
    manager->stop();
    manager->enqueue(segment(2));
    EXPECT_EQ(manager->queue_depth(), 0u) << "still halted until restarted";
    manager->start();
    manager->enqueue(segment(3));
    ASSERT_TRUE(observer.await_completions(2));
    EXPECT_EQ(manager->drain(15000), 0u);
    EXPECT_EQ(observer.completions(), (std::vector<Completion>{{1, false}, {3, true}}));
    EXPECT_FALSE(status.snapshot().auth_failed);
}

TEST_F(UploadManagerTest, DrainCountsQueuedJobsLeftAtItsDeadline) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto manager = make_manager([released](std::int64_t, int) {
        released.wait_for(10s);
        return UploadResult{true, 201, {}, 0};
    });
    EXPECT_EQ(manager->drain(15000), 0u) << "no worker, nothing to wait for";
    for (std::int64_t sequence : {1, 2, 3}) {
        manager->enqueue(segment(sequence));
    }
    manager->start();
    ASSERT_TRUE(observer.await_calls(1));

    std::future<std::uint64_t> left =
        std::async(std::launch::async, [&] { return manager->drain(15000); });
    ASSERT_TRUE(clock->advance_waiters(14'999ms));
    EXPECT_EQ(left.wait_for(50ms), std::future_status::timeout);
    ASSERT_TRUE(clock->advance_waiters(1ms));
    EXPECT_EQ(left.get(), 2u) << "the upload in progress is not counted";

    release.set_value();
    ASSERT_TRUE(observer.await_completions(3));
    EXPECT_EQ(manager->drain(15000), 0u);
}

TEST_F(UploadManagerTest, StopEndsBackOffAndGivesQueuedJobsOneLastCall) {
    auto manager = make_manager([](std::int64_t sequence, int) {
        return sequence == 1 ? failed(500) : UploadResult{true, 201, {}, 0};
    });
    manager->enqueue(segment(1));
    manager->start();
    ASSERT_TRUE(observer.await_calls(1));
    ASSERT_TRUE(clock->await_sleeper());
    manager->enqueue(segment(2));
    manager->enqueue(segment(3));
    manager->stop();

    EXPECT_EQ(observer.call_sequences(), (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_EQ(observer.completions(), (std::vector<Completion>{{1, false}, {2, true}, {3, true}}));
    EXPECT_EQ(status.snapshot().upload_queue_depth, 0u);
    EXPECT_FALSE(status.snapshot().connected);
}

TEST_F(UploadManagerTest, FailuresWhileStoppingAreNotRetried) {
    auto manager = make_manager([](std::int64_t, int) { return failed(500); });
    for (std::int64_t sequence : {1, 2, 3}) {
        manager->enqueue(segment(sequence));
    }
    manager->start();
    manager->stop();
    EXPECT_EQ(observer.call_sequences(), (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_EQ(observer.completions(),
              (std::vector<Completion>{{1, false}, {2, false}, {3, false}}));
}

TEST_F(UploadManagerTest, ThrowingTransportIsAFailedAttempt) {
    auto manager = make_manager_with([this](const PluginConfig&, const SegmentData& data) {
        observer.record_call(data.sequence, since_start());
        const std::size_t calls = observer.calls().size();
        if (calls == 1) {
            throw std::runtime_error("connection reset");
        }
        if (calls == 2) {
            throw 42;
        }
        return UploadResult{true, 201, {}, 0};
    });
    manager->enqueue(segment(5));
    manager->start();
    ASSERT_TRUE(clock->await_sleeper());
    EXPECT_EQ(status.snapshot().last_error, "connection reset");
    EXPECT_EQ(clock->release_next_sleep(), 500ms);
    ASSERT_TRUE(clock->await_sleeper());
    EXPECT_EQ(status.snapshot().last_error, "unknown exception");
    EXPECT_EQ(clock->release_next_sleep(), 1000ms);
    ASSERT_TRUE(observer.await_completions(1));
    EXPECT_EQ(observer.completions(), (std::vector<Completion>{{5, true}}));
}

TEST_F(UploadManagerTest, ThrowingCallbacksStillFinishTheJob) {
    throw_on_uploaded = true;
    throw_on_complete = true;
    auto manager = make_manager([](std::int64_t sequence, int) {
        return sequence == 1 ? UploadResult{true, 201, {}, 0} : failed(404);
    });
    manager->enqueue(segment(1));
    manager->start();
    ASSERT_TRUE(observer.await_completions(1));
    EXPECT_EQ(manager->drain(15000), 0u);
    EXPECT_EQ(observer.completions(), (std::vector<Completion>{{1, true}}));
    StatusSnapshot snapshot = status.snapshot();
    EXPECT_TRUE(snapshot.connected);
    EXPECT_EQ(snapshot.last_error, "upload callback failed: unknown exception");

    manager->enqueue(segment(2));
    ASSERT_TRUE(observer.await_completions(2));
    EXPECT_EQ(manager->drain(15000), 0u);
    EXPECT_EQ(status.snapshot().last_error, "upload callback failed: unknown exception");
    EXPECT_EQ(manager->queue_depth(), 0u);
}

}  // namespace
}  // namespace ryvoobs
