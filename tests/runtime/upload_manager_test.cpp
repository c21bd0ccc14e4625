#include "runtime/upload_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "runtime/upload_clock.h"

namespace ryvoobs {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

const UploadResult kCreated{true, 201, {}, 0};
constexpr const char* kNotFound = "Ryvo stream not found. Check the stream ID.";
constexpr const char* kRateLimited = "Ryvo ingest is rate limited. Retrying automatically.";
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

// A clock that only moves when the test moves it, so back-offs of any length pass in no real
// time: each sleep blocks until released (or stopped).
class ManualUploadClock final : public UploadClock {
  public:
    TimePoint now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }

    void sleep_until(TimePoint deadline, std::stop_token stop) override {
        std::unique_lock lock(mutex_);
        sleep_deadline_ = deadline;
        changed_.notify_all();
        changed_.wait(lock, stop, [&] { return now_ >= deadline; });
        sleep_deadline_.reset();
    }

    // Waits until a sleep is waiting to be released; false when none began within 10 s.
    bool await_sleeper() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return sleep_deadline_ > now_; });
    }

    // Waits for the next sleep to begin, moves the clock to its end and returns its length.
    std::optional<std::chrono::milliseconds> release_next_sleep() {
        if (!await_sleeper()) {
            return std::nullopt;
        }
        std::lock_guard lock(mutex_);
        const auto length =
            std::chrono::duration_cast<std::chrono::milliseconds>(*sleep_deadline_ - now_);
        now_ = *sleep_deadline_;
        changed_.notify_all();
        return length;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    TimePoint now_{};
    std::optional<TimePoint> sleep_deadline_;
};

// What the transport and the callbacks saw, in order, e.g. "call 3 at 500", "uploaded 3",
// "done 3 ok"; the test thread waits for entries with a bound.
class Journal {
  public:
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }
    bool await(std::string_view prefix, std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] {
            return std::ranges::count_if(events_, [&](const std::string& event) {
                       return event.starts_with(prefix);
                   }) >= static_cast<std::ptrdiff_t>(count);
        });
    }
    Events take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Events events_;
};

class UploadManagerTest : public ::testing::Test {
  protected:
    // A transport answering by `script`, given the sequence and how often it was sent before.
    std::unique_ptr<UploadManager> make_manager(
        std::function<UploadResult(std::int64_t sequence, int call)> script) {
        auto counts = std::make_shared<std::map<std::int64_t, int>>();
        auto transport = [=, this](const PluginConfig& config, const SegmentData& data) {
            EXPECT_EQ(config.stream_id, "stream-7");
            journal.add("call " + std::to_string(data.sequence) + " at " + elapsed_ms());
            return script(data.sequence, (*counts)[data.sequence]++);
        };
        PluginConfig config;
        config.stream_id = "stream-7";
        auto on_uploaded = [this](std::int64_t sequence) {
            journal.add("uploaded " + std::to_string(sequence));
        };
        auto on_complete = [this](std::int64_t sequence, bool ok) {
            journal.add("done " + std::to_string(sequence) + (ok ? " ok" : " failed"));
        };
        return std::make_unique<UploadManager>(config, transport, &status, on_uploaded, on_complete,
                                               clock);
    }

    // The last callback runs before the manager updates the status and takes the next job.
    static bool idle_within(const UploadManager& manager) {
        for (int i = 0; i < 10'000 && !manager.idle(); ++i) {
            std::this_thread::sleep_for(1ms);
        }
        return manager.idle();
    }

    std::string elapsed_ms() const {
        return std::to_string((clock->now() - UploadClock::TimePoint{}) / 1ms);
    }

    std::shared_ptr<ManualUploadClock> clock = std::make_shared<ManualUploadClock>();
    StatusTracker status;
    Journal journal;
};

// A throwing transport counts as a failed attempt like a server error does; a Retry-After
// lengthens the back-off, up to five minutes, but never shortens it.
TEST_F(UploadManagerTest, FailedAttemptsBackOffByDoublingOrAsToldThenSucceed) {
    auto manager = make_manager([](std::int64_t, int call) {
        if (call == 0) {
            throw std::runtime_error("connection reset");
        }
        if (call == 1) {
            throw 42;
        }
        return call < 4 ? failed(429, "{}", call == 2 ? 200 : 900'000) : kCreated;
    });
    // Connected from an earlier upload: each failure must say otherwise; success clears both.
    status.set_connected(true);
    status.set_auth_failed(true);
    manager->enqueue(segment(1));
    manager->start();
    for (auto [expected, error] : {std::pair{500ms, "connection reset"},
                                   {1000ms, "unknown exception"},
                                   {2000ms, kRateLimited},
                                   {300'000ms, kRateLimited}}) {
        ASSERT_TRUE(clock->await_sleeper());
        EXPECT_EQ(status.snapshot().last_error, error);
        EXPECT_FALSE(status.snapshot().connected);
        EXPECT_EQ(clock->release_next_sleep(), expected);
    }
    ASSERT_TRUE(journal.await("done", 1));
    ASSERT_TRUE(idle_within(*manager));
    EXPECT_EQ(journal.take(),
              (Events{"call 1 at 0", "call 1 at 500", "call 1 at 1500", "call 1 at 3500",
                      "call 1 at 303500", "uploaded 1", "done 1 ok"}));
    EXPECT_EQ(status.snapshot().last_error, "");
    EXPECT_TRUE(status.snapshot().connected && status.snapshot().last_upload_at);
    EXPECT_FALSE(status.snapshot().auth_failed);
    manager->stop();
    EXPECT_FALSE(status.snapshot().connected);
}

// Five calls and a job is given up; a stop cuts a back-off short and gives that job up too, while
// the jobs queued behind it stay unsent.
TEST_F(UploadManagerTest, TransientFailuresGiveUpAfterFiveCallsOrAtStop) {
    auto manager = make_manager([](std::int64_t, int) { return failed(500, "disk full"); });
    manager->enqueue(segment(9));
    manager->start();
    for (int sleep = 0; sleep < 4; ++sleep) {
        ASSERT_TRUE(clock->release_next_sleep().has_value());
    }
    ASSERT_TRUE(journal.await("done", 1));
    EXPECT_EQ(status.snapshot().last_error, "disk full");
    manager->enqueue(segment(1));
    ASSERT_TRUE(clock->await_sleeper());
    manager->enqueue(segment(2));
    manager->enqueue(segment(3));
    manager->stop();
    EXPECT_EQ(journal.take(),
              (Events{"call 9 at 0", "call 9 at 500", "call 9 at 1500", "call 9 at 3500",
                      "call 9 at 7500", "done 9 failed", "call 1 at 7500", "done 1 failed"}));
    EXPECT_EQ(status.snapshot().upload_queue_depth, 0u);
    EXPECT_EQ(manager->queue_depth(), 2u);
    EXPECT_FALSE(manager->idle());
}

TEST_F(UploadManagerTest, PermanentFailuresHaltTheSessionsUploads) {
    struct Case {
        UploadResult result;
        std::string message;
        bool auth_failed;
        std::string halt_reason;
    };
    const std::vector<Case> cases{
        {failed(403), "upload failed", false, kKeyRejected},
        {failed(404, "no such stream"), kNotFound, false, kNotFound},
        {failed(409, R"({"error":"not_found","message":"gone"})"), kNotFound, false, kNotFound},
        {failed(401), kKeyRejected, true, kKeyRejected},
        {failed(400, R"({"error":"unauthorized"})"), kKeyRejected, true, kKeyRejected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message + " " + std::to_string(c.result.http_status));
        status.set_auth_failed(false);
        auto manager = make_manager([&](std::int64_t, int) { return c.result; });
        for (std::int64_t sequence : {1, 2, 3}) {
            manager->enqueue(segment(sequence));
        }
        manager->start();
        ASSERT_TRUE(journal.await("done", 1));
        ASSERT_TRUE(idle_within(*manager));
        manager->enqueue(segment(4));
        EXPECT_EQ(manager->queue_depth(), 0u);
        EXPECT_EQ(journal.take(), (Events{"call 1 at 0", "done 1 failed"}));
        const StatusSnapshot snapshot = status.snapshot();
        EXPECT_EQ(snapshot.last_error, c.message);
        EXPECT_EQ(snapshot.auth_failed, c.auth_failed);
        EXPECT_EQ(manager->halt_reason(), c.halt_reason);
    }
}

}  // namespace
}  // namespace ryvoobs
