#include "runtime/runtime_maintenance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace ryvoobs {
namespace {

using Clock = RuntimeMaintenance::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct LogLine {
    bool warning;
    std::string message;
};

// A runtime whose answers and figures the test sets, recording what the maintenance did to it.
struct FakeRuntime {
    ApiStatus backfill_answer = ApiStatus::ok;
    std::string backfill_error;
    ApiStatus heartbeat_answer = ApiStatus::ok;
    std::string heartbeat_error;
    int backfill_calls = 0;
    int heartbeat_calls = 0;
    std::vector<std::string> reported_errors;
    bool auth_failed = false;
    StatusSnapshot status;
    RamCacheSnapshot cache;
    std::uint64_t drops = 0;
    std::vector<LogLine> log;

    MaintainedRuntime hooks() {
        return MaintainedRuntime{
            [this](std::string* error) {
                ++backfill_calls;
                *error = backfill_error;
                return backfill_answer;
            },
            [this](std::string* error) {
                ++heartbeat_calls;
                *error = heartbeat_error;
                return heartbeat_answer;
            },
            [this](std::string message) { reported_errors.push_back(std::move(message)); },
            [this](bool failed) { auth_failed = failed; },
            [this] { return status; },
            [this] { return cache; },
            [this] { return drops; },
        };
    }
    MaintenanceLog sink() {
        return [this](bool warning, const std::string& message) {
            log.push_back({warning, message});
        };
    }
    std::ptrdiff_t lines_starting(std::string_view prefix) const {
        return std::ranges::count_if(
            log, [&](const LogLine& line) { return line.message.starts_with(prefix); });
    }
};

// Runs passes 200 ms apart from `from` (exclusive) to `to` (inclusive), as the worker does.
void run_until(RuntimeMaintenance& maintenance, Clock::time_point& now, Clock::time_point to) {
    while (now + milliseconds(200) <= to) {
        now += milliseconds(200);
        maintenance.run_pass(now);
    }
}

class RuntimeMaintenanceTest : public ::testing::Test {
  protected:
    FakeRuntime runtime;
    Clock::time_point start{seconds(1000)};
    Clock::time_point now = start;
    RuntimeMaintenance maintenance{runtime.hooks(), runtime.sink(), start};
};

TEST_F(RuntimeMaintenanceTest, StatusLineOnFirstPassOnChangeAndEveryThirtySeconds) {
    runtime.status.current_sequence = 4;
    runtime.status.upload_queue_depth = 2;
    runtime.cache = RamCacheSnapshot{3, 3000, 100000, 50, 1, 3, 0, 0, 0};
    maintenance.run_pass(now);
    ASSERT_EQ(runtime.lines_starting("runtime status:"), 1);
    EXPECT_EQ(runtime.log.back().message,
              "runtime status: sequence=4 queue=2 cache=3000/100000 bytes segments=3/50 "
              "evictions=0 unuploaded_evictions=0 mux_drops=0 connected=false error=none");

    // Nothing changes: the line repeats every 30 s.
    run_until(maintenance, now, start + seconds(29) + milliseconds(800));
    EXPECT_EQ(runtime.lines_starting("runtime status:"), 1);
    run_until(maintenance, now, start + seconds(30));
    EXPECT_EQ(runtime.lines_starting("runtime status:"), 2);

    // A changed error shows in the very next pass; figures that are not watched (queue depth)
    // wait for the period.
    runtime.status.last_error = "Upload failed";
    runtime.status.upload_queue_depth = 9;
    run_until(maintenance, now, now + milliseconds(200));
    EXPECT_EQ(runtime.lines_starting("runtime status:"), 3);
    runtime.status.upload_queue_depth = 10;
    run_until(maintenance, now, now + milliseconds(200));
    EXPECT_EQ(runtime.lines_starting("runtime status:"), 3);

    // Data at risk makes the line a warning: mux drops, a cache at 90 %, unuploaded evictions.
    for (const auto& [drops, cache_bytes, evictions, warning] : {std::tuple{1, 3000, 0, true},
                                                                 {0, 90000, 0, true},
                                                                 {0, 89999, 0, false},
                                                                 {0, 89999, 1, true}}) {
        runtime.drops = drops;
        runtime.cache.total_bytes = cache_bytes;
        runtime.cache.unuploaded_evictions = evictions;
        run_until(maintenance, now, now + milliseconds(200));
        EXPECT_EQ(runtime.log.back().warning, warning) << drops << " " << cache_bytes;
    }
}

TEST(RuntimeMaintenance, AnAuthRejectionHaltsOnlyTheRejectedActivity) {
    const Clock::time_point start{seconds(1000)};
    for (const bool heartbeat_rejected : {true, false}) {
        FakeRuntime runtime;
        (heartbeat_rejected ? runtime.heartbeat_answer : runtime.backfill_answer) =
            ApiStatus::unauthorized;
        runtime.heartbeat_error = runtime.backfill_error = "API key rejected";
        RuntimeMaintenance maintenance{runtime.hooks(), runtime.sink(), start};
        Clock::time_point now = start;
        run_until(maintenance, now, start + seconds(40));
        EXPECT_EQ(runtime.heartbeat_calls, heartbeat_rejected ? 1 : 4);
        EXPECT_EQ(runtime.backfill_calls, heartbeat_rejected ? 20 : 1);
        EXPECT_TRUE(runtime.auth_failed);
        EXPECT_EQ(
            runtime.reported_errors,
            std::vector<std::string>{"API key rejected. Rotate your key in the Ryvo dashboard."});
        EXPECT_EQ(runtime.lines_starting(heartbeat_rejected
                                             ? "heartbeat rejected (auth): halting heartbeat for "
                                               "this session: API key rejected"
                                             : "backfill rejected (auth): halting backfill for "
                                               "this session: API key rejected"),
                  1);
    }
}

// Polls every 2 s and beats every 10 s whether or not they fail.
TEST_F(RuntimeMaintenanceTest, FailuresKeepThePeriodsAndOnlyThoseWithATextAreLogged) {
    runtime.backfill_answer = ApiStatus::failed;
    runtime.heartbeat_answer = ApiStatus::failed;
    maintenance.run_pass(now);
    run_until(maintenance, now, start + seconds(10));
    runtime.backfill_error = "connection refused";
    runtime.heartbeat_error = "timed out";
    run_until(maintenance, now, start + seconds(20));
    EXPECT_EQ(runtime.backfill_calls, 10);
    EXPECT_EQ(runtime.heartbeat_calls, 2);
    EXPECT_EQ(runtime.lines_starting("backfill poll failed"), 5);
    EXPECT_EQ(runtime.lines_starting("backfill poll failed: connection refused"), 5);
    EXPECT_EQ(runtime.lines_starting("heartbeat failed"), 1);
    EXPECT_EQ(runtime.lines_starting("heartbeat failed: timed out"), 1);
    EXPECT_FALSE(runtime.auth_failed);
    EXPECT_TRUE(runtime.reported_errors.empty());
}

}  // namespace
}  // namespace ryvoobs
