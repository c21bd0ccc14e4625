// The runtime against the development ingest server over loopback: real HTTP, real files.
#include "runtime/ryvo_runtime.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "api/curl_ryvo_api.h"
#include "config/config_file.h"
#include "dev_server_process.h"
#include "runtime/sequence_checkpoint.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using nlohmann::json;
using test_support::DevServerOptions;
using test_support::DevServerProcess;
using testing::TemporaryDirectory;

constexpr std::int32_t kChunkMs = 250;
constexpr std::size_t kChunkBytes = 4096;

std::vector<std::int64_t> range(std::int64_t first, std::int64_t last) {
    std::vector<std::int64_t> values;
    for (std::int64_t v = first; v <= last; ++v) {
        values.push_back(v);
    }
    return values;
}

// Fed chunks are 250 ms each with a keyframe every 4th, so with 1000 ms segments a segment is cut
// at every keyframe after the first.
class RuntimeTest : public ::testing::Test {
  protected:
    static DevServerOptions two_streams() {
        DevServerOptions options;
        options.streams = {{"stream-1", "key-1"}, {"stream-2", "key-2"}};
        return options;
    }

    RuntimeTest()
        : server_(two_streams()),
          config_path_(dir_.file("obs-plugin.json")),
          state_path_(dir_.file("state/obs-plugin-state.json")) {
        write_config("stream-1", "key-1");
    }

    void write_config(const std::string& stream_id, const std::string& key,
                      const std::string& agent_id = "primary", int ram_buffer_minutes = 10) {
        PluginConfig config;
        config.auth_mode = AuthMode::manual;
        config.stream_id = stream_id;
        config.api_key = key;
        config.agent_id = agent_id;
        config.api_endpoint = server_.base_url();
        config.runtime_mode = RuntimeMode::full;
        config.segment_duration_ms = 1000;
        config.ram_buffer_minutes = ram_buffer_minutes;
        ASSERT_TRUE(save_config_file(config_path_, config, nullptr));
    }

    RyvoRuntime make_runtime() { return RyvoRuntime(config_path_, state_path_); }

    void feed_segments(RyvoRuntime& runtime, int segments) {
        for (int i = 0; i < segments * 4; ++i) {
            std::vector<std::uint8_t> bytes(kChunkBytes, static_cast<std::uint8_t>(chunk_index_));
            runtime.push_encoded_bytes(bytes, kChunkMs, chunk_index_++ % 4 == 0);
        }
    }

    // Runs one broadcast of `segments` segments to its end.
    void broadcast(RyvoRuntime& runtime, int segments) {
        ASSERT_TRUE(runtime.start(nullptr));
        feed_segments(runtime, segments);
        ASSERT_TRUE(runtime.stop_and_end(nullptr));
    }

    // Polls `done` (calling `between` after each miss) until it holds or `seconds` pass.
    static bool wait_until(
        const std::function<bool()>& done, int seconds = 20,
        const std::function<void()>& between = [] {}) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            between();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    json stream_report(const std::string& stream_id = "stream-1") {
        return server_.report()["streams"][stream_id];
    }

    // The one capture session the stream has.
    json only_session(const json& stream) {
        EXPECT_EQ(stream["sessions"].size(), 1u);
        return stream["sessions"].begin().value();
    }

    TemporaryDirectory dir_;
    DevServerProcess server_;
    std::string config_path_;
    std::string state_path_;
    std::uint64_t chunk_index_ = 0;
};

TEST_F(RuntimeTest, DeliversEverySegmentOnceReportsCacheDepthAndEndsTheBroadcast) {
    RyvoRuntime runtime = make_runtime();
    std::string error;
    ASSERT_TRUE(runtime.start(&error)) << error;
    // 30 cached segments of 1000 ms are half a minute.
    feed_segments(runtime, 31);
    ASSERT_EQ(runtime.cache_snapshot().segment_count, 30u);
    EXPECT_EQ(runtime.send_heartbeat(&error), ApiStatus::ok) << error;
    EXPECT_EQ(runtime.poll_backfill(&error), ApiStatus::ok) << error;
    ASSERT_TRUE(runtime.stop_and_end(&error)) << error;

    const json stream = stream_report();
    const json session = only_session(stream);
    // The flush at stop sends the tail.
    EXPECT_EQ(session["received"], json(range(1, 31)));
    EXPECT_EQ(session["digests_verified"], 31);
    EXPECT_EQ(session["digests_failed"], 0);
    EXPECT_EQ(session["duplicates"], 0);
    EXPECT_EQ(session["bytes"], 31 * 4 * kChunkBytes);
    EXPECT_EQ(session["agent_id"], "primary");

    const json agent = stream["agents"]["primary"];
    EXPECT_TRUE(agent["end_received"]);
    EXPECT_EQ(agent["heartbeats"]["count"], 1);
    const json heartbeat = agent["heartbeats"]["last"];
    EXPECT_EQ(heartbeat["agent_version"], kPluginVersion);
    EXPECT_DOUBLE_EQ(heartbeat["cache_depth_minutes"].get<double>(), 0.5);
    EXPECT_EQ(heartbeat["current_sequence"], 30);
    EXPECT_EQ(runtime.status_snapshot().streaming, false);
}

TEST_F(RuntimeTest, SequencesContinueAcrossBroadcastsOfTheSameStreamAndAgentInFreshSessions) {
    {
        RyvoRuntime runtime = make_runtime();
        broadcast(runtime, 3);
    }
    {
        // A new runtime continues, and so does a new start on the same runtime.
        RyvoRuntime runtime = make_runtime();
        broadcast(runtime, 2);
        broadcast(runtime, 1);
    }
    const json agent = stream_report()["agents"]["primary"];
    EXPECT_EQ(agent["segments"], 6);
    EXPECT_EQ(agent["highest"], 6);
    EXPECT_EQ(agent["missing"], json::array());
    std::set<std::string> identifiers;
    const json sessions = stream_report()["sessions"];
    for (const auto& [id, session] : sessions.items()) {
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        EXPECT_EQ(id.size(), 32u);
        identifiers.insert(id);
    }
    EXPECT_EQ(identifiers.size(), 3u) << "each broadcast has a capture session of its own";

    write_config("stream-2", "key-2");
    RyvoRuntime other_stream = make_runtime();
    broadcast(other_stream, 2);
    EXPECT_EQ(only_session(stream_report("stream-2"))["received"], json(range(1, 2)));

    write_config("stream-2", "key-2", "backup");
    RyvoRuntime other_agent = make_runtime();
    broadcast(other_agent, 1);
    EXPECT_EQ(stream_report("stream-2")["agents"]["backup"]["highest"], 1);

    const auto checkpoint = load_sequence_checkpoint(state_path_, nullptr);
    ASSERT_TRUE(checkpoint);
    EXPECT_EQ(checkpoint->stream_id, "stream-2");
    EXPECT_EQ(checkpoint->agent_id, "backup");
    EXPECT_EQ(checkpoint->last_sequence, 1);
}

TEST_F(RuntimeTest, OnlyACheckpointOfTheSameStreamAndAgentContinuesTheNumbering) {
    for (const auto& [checkpoint, first] :
         {std::pair{SequenceCheckpointState{"stream-9", "primary", 41}, 1},
          std::pair{SequenceCheckpointState{"stream-1", "", 41}, 1},
          std::pair{SequenceCheckpointState{"stream-1", "primary", 41}, 42}}) {
        ASSERT_TRUE(save_sequence_checkpoint(state_path_, checkpoint, nullptr));
        RyvoRuntime runtime = make_runtime();
        ASSERT_TRUE(runtime.start(nullptr));
        feed_segments(runtime, 2);
        EXPECT_EQ(runtime.status_snapshot().current_sequence, first) << checkpoint.stream_id;
        runtime.stop();
    }
}

TEST_F(RuntimeTest, CallsWithoutASessionAreRefusedOrHarmless) {
    RyvoRuntime runtime = make_runtime();
    std::string error;
    EXPECT_EQ(runtime.poll_backfill(&error), ApiStatus::failed);
    EXPECT_EQ(error, "runtime not started");
    error.clear();
    EXPECT_EQ(runtime.send_heartbeat(&error), ApiStatus::failed);
    EXPECT_EQ(error, "runtime not started");
    EXPECT_TRUE(runtime.stop_and_end(&error));
    feed_segments(runtime, 2);
    EXPECT_EQ(runtime.cache_snapshot().segment_count, 0u);
    EXPECT_TRUE(server_.report()["streams"].empty()) << "nothing may reach the server";

    ASSERT_TRUE(runtime.start(nullptr));
    feed_segments(runtime, 2);
    const auto before = runtime.status_snapshot();
    // A second start keeps the running session and its numbering.
    ASSERT_TRUE(runtime.start(nullptr));
    EXPECT_EQ(runtime.status_snapshot().current_sequence, before.current_sequence);
    EXPECT_EQ(runtime.cache_snapshot().segment_count, 1u);
    runtime.stop();

    write_config("stream-1", "key-1", "primary", 20);
    RyvoRuntime invalid = make_runtime();
    EXPECT_FALSE(invalid.start(&error));
    EXPECT_EQ(error, "ram_buffer_minutes must be between 1 and 15");
    EXPECT_FALSE(invalid.loaded());
}

TEST_F(RuntimeTest, SegmentsLostInAnOutageComeBackThroughBackfill) {
    RyvoRuntime runtime = make_runtime();
    ASSERT_TRUE(runtime.start(nullptr));
    // Sequence 3 fails every attempt (the manager gives up on it after five calls); the server
    // then lists it as missing and the cache still holds it.
    server_.control("faults", {{"kind", "upload"}, {"sequence", 3}, {"status", 503}, {"count", 5}});
    feed_segments(runtime, 5);
    // Poll the way the maintenance worker does until the server misses nothing: a poll that
    // comes while sequence 3 is still being retried finds it in flight and leaves it alone.
    std::string error;
    ASSERT_TRUE(wait_until(
        [&] {
            // Before its first upload arrives the server has no record of the agent.
            const json agent = stream_report()["agents"]["primary"];
            return agent.is_object() && agent.value("highest", 0) == 4 &&
                   agent.value("missing", json::array()).empty();
        },
        60, [&] { EXPECT_EQ(runtime.poll_backfill(&error), ApiStatus::ok) << error; }));
    ASSERT_TRUE(runtime.stop_and_end(&error)) << error;
    EXPECT_EQ(only_session(stream_report())["received"], json(range(1, 5)));
}

TEST_F(RuntimeTest, ARejectedKeyHaltsUploadsAndHeartbeatsReportIt) {
    RyvoRuntime runtime = make_runtime();
    ASSERT_TRUE(runtime.start(nullptr));
    feed_segments(runtime, 2);
    ASSERT_TRUE(wait_until([&] { return stream_report()["agents"]["primary"]["segments"] == 1; }));
    server_.control("revoke", {{"stream", "stream-1"}});
    feed_segments(runtime, 3);
    ASSERT_TRUE(wait_until([&] { return runtime.status_snapshot().auth_failed; }));
    EXPECT_EQ(runtime.status_snapshot().last_error,
              "API key rejected. Rotate your key in the Ryvo dashboard.");
    EXPECT_EQ(runtime.send_heartbeat(nullptr), ApiStatus::unauthorized);
    EXPECT_EQ(runtime.poll_backfill(nullptr), ApiStatus::unauthorized);
    runtime.stop_and_end(nullptr);
    // Nothing after the rejection was sent again: one refused upload, then the queue was dropped.
    const json stream = stream_report();
    EXPECT_EQ(stream["agents"]["primary"]["segments"], 1);
    EXPECT_EQ(stream["requests"]["upload"], 2);
}

// A server that holds requests must not hold up the encoder: while a heartbeat or a backfill
// poll waits for its answer, bytes keep flowing into segments.
TEST_F(RuntimeTest, FeedingGoesOnWhileAHeartbeatOrPollHangs) {
    for (const std::string kind : {"heartbeat", "backfill"}) {
        RyvoRuntime runtime = make_runtime();
        ASSERT_TRUE(runtime.start(nullptr));
        server_.control("faults", {{"kind", kind}, {"action", "delay"}, {"delay_ms", 20000}});
        std::atomic<bool> answered{false};
        auto request = std::async(std::launch::async, [&] {
            const ApiStatus status = kind == "heartbeat" ? runtime.send_heartbeat(nullptr)
                                                         : runtime.poll_backfill(nullptr);
            answered = true;
            return status;
        });
        // Wait until the server holds the request, then feed three segments' worth.
        ASSERT_TRUE(wait_until([&] { return server_.report()["faults"]["pending"].empty(); }, 10))
            << kind;
        feed_segments(runtime, 3);
        EXPECT_FALSE(answered) << kind << ": the held request was answered before feeding ended";
        EXPECT_GE(runtime.cache_snapshot().segment_count, 2u) << kind;
        server_.control("reset", {});
        request.wait();
        runtime.stop();
    }
}

}  // namespace
}  // namespace ryvoobs
