// The runtime against the development ingest server over loopback: real HTTP, real files.
#include "runtime/ryvo_runtime.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <set>
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

// A broadcast's worth of chunks: 250 ms each, a keyframe every 4th, so with 1000 ms segments a
// segment is cut at every keyframe after the first.
class SyntheticStream {
  public:
    void feed_segments(RyvoRuntime& runtime, int segments) {
        for (int i = 0; i < segments * 4; ++i) {
            const bool keyframe = chunk_index_ % 4 == 0;
            std::vector<std::uint8_t> bytes(kChunkBytes, static_cast<std::uint8_t>(chunk_index_));
            runtime.push_encoded_bytes(bytes, kChunkMs, keyframe);
            ++chunk_index_;
        }
    }

  private:
    std::uint64_t chunk_index_ = 0;
};

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
                      const std::string& agent_id = "primary") {
        PluginConfig config;
        config.auth_mode = AuthMode::manual;
        config.stream_id = stream_id;
        config.api_key = key;
        config.agent_id = agent_id;
        config.api_endpoint = server_.base_url();
        config.runtime_mode = RuntimeMode::full;
        config.segment_duration_ms = 1000;
        std::string error;
        ASSERT_TRUE(save_config_file(config_path_, config, &error)) << error;
    }

    RyvoRuntime make_runtime() { return RyvoRuntime(config_path_, state_path_); }

    json stream_report(const std::string& stream_id = "stream-1") {
        return server_.report()["streams"][stream_id];
    }

    // The received sequences of the one capture session the stream has, with its record.
    json only_session(const json& stream) {
        EXPECT_EQ(stream["sessions"].size(), 1u);
        return stream["sessions"].begin().value();
    }

    TemporaryDirectory dir_;
    DevServerProcess server_;
    std::string config_path_;
    std::string state_path_;
    SyntheticStream stream_;
};

std::vector<std::int64_t> range(std::int64_t first, std::int64_t last) {
    std::vector<std::int64_t> values;
    for (std::int64_t v = first; v <= last; ++v) {
        values.push_back(v);
    }
    return values;
}

TEST_F(RuntimeTest, DeliversEverySegmentOnceAndEndsTheBroadcast) {
    RyvoRuntime runtime = make_runtime();
    std::string error;
    ASSERT_TRUE(runtime.start(&error)) << error;
    stream_.feed_segments(runtime, 6);
    EXPECT_EQ(runtime.send_heartbeat(&error), ApiStatus::ok) << error;
    EXPECT_EQ(runtime.poll_backfill(&error), ApiStatus::ok) << error;
    ASSERT_TRUE(runtime.stop_and_end(&error)) << error;

    const json stream = stream_report();
    const json session = only_session(stream);
    // Six keyframes after the first cut five segments; the flush at stop sends the tail.
    EXPECT_EQ(session["received"], json(range(1, 6)));
    EXPECT_EQ(session["digests_verified"], 6);
    EXPECT_EQ(session["digests_failed"], 0);
    EXPECT_EQ(session["duplicates"], 0);
    EXPECT_EQ(session["bytes"], 6 * 4 * kChunkBytes);
    EXPECT_EQ(session["agent_id"], "primary");
    EXPECT_EQ(stream["sessions"].begin().key().size(), 32u);

    const json agent = stream["agents"]["primary"];
    EXPECT_TRUE(agent["end_received"]);
    EXPECT_EQ(agent["heartbeats"]["count"], 1);
    const json heartbeat = agent["heartbeats"]["last"];
    EXPECT_EQ(heartbeat["agent_version"], "0.2.10");
    EXPECT_EQ(runtime.status_snapshot().streaming, false);
}

TEST_F(RuntimeTest, HeartbeatReportsCacheDepthInMinutes) {
    RyvoRuntime runtime = make_runtime();
    ASSERT_TRUE(runtime.start(nullptr));
    // 30 cached segments of 1000 ms are half a minute.
    stream_.feed_segments(runtime, 31);
    ASSERT_EQ(runtime.cache_snapshot().segment_count, 30u);
    ASSERT_EQ(runtime.send_heartbeat(nullptr), ApiStatus::ok);
    const json heartbeat = stream_report()["agents"]["primary"]["heartbeats"]["last"];
    EXPECT_DOUBLE_EQ(heartbeat["cache_depth_minutes"].get<double>(), 0.5);
    EXPECT_EQ(heartbeat["current_sequence"], 30);
    runtime.stop();
}

TEST_F(RuntimeTest, SequenceNumbersContinueAcrossBroadcastsOfTheSameStreamAndAgent) {
    {
        RyvoRuntime runtime = make_runtime();
        ASSERT_TRUE(runtime.start(nullptr));
        stream_.feed_segments(runtime, 3);
        ASSERT_TRUE(runtime.stop_and_end(nullptr));
    }
    {
        RyvoRuntime runtime = make_runtime();
        ASSERT_TRUE(runtime.start(nullptr));
        stream_.feed_segments(runtime, 2);
        // A new start on the same runtime continues too.
        ASSERT_TRUE(runtime.stop_and_end(nullptr));
        ASSERT_TRUE(runtime.start(nullptr));
        stream_.feed_segments(runtime, 1);
        ASSERT_TRUE(runtime.stop_and_end(nullptr));
    }
    const json agent = stream_report()["agents"]["primary"];
    EXPECT_EQ(agent["segments"], 6);
    EXPECT_EQ(agent["highest"], 6);
    EXPECT_EQ(agent["missing"], json::array());
    EXPECT_EQ(stream_report()["sessions"].size(), 3u);

    write_config("stream-2", "key-2");
    RyvoRuntime other_stream = make_runtime();
    ASSERT_TRUE(other_stream.start(nullptr));
    stream_.feed_segments(other_stream, 2);
    ASSERT_TRUE(other_stream.stop_and_end(nullptr));
    EXPECT_EQ(only_session(stream_report("stream-2"))["received"], json(range(1, 2)));

    write_config("stream-2", "key-2", "backup");
    RyvoRuntime other_agent = make_runtime();
    ASSERT_TRUE(other_agent.start(nullptr));
    stream_.feed_segments(other_agent, 1);
    ASSERT_TRUE(other_agent.stop_and_end(nullptr));
    EXPECT_EQ(stream_report("stream-2")["agents"]["backup"]["highest"], 1);

    const auto checkpoint = load_sequence_checkpoint(state_path_, nullptr);
    ASSERT_TRUE(checkpoint);
    EXPECT_EQ(checkpoint->stream_id, "stream-2");
    EXPECT_EQ(checkpoint->agent_id, "backup");
    EXPECT_EQ(checkpoint->last_sequence, 1);
}

TEST_F(RuntimeTest, ACheckpointOfAnotherStreamOrWithoutAgentRestartsAtOne) {
    for (const SequenceCheckpointState& foreign :
         {SequenceCheckpointState{"stream-9", "primary", 41},
          SequenceCheckpointState{"stream-1", "", 41}}) {
        ASSERT_TRUE(save_sequence_checkpoint(state_path_, foreign, nullptr));
        RyvoRuntime runtime = make_runtime();
        ASSERT_TRUE(runtime.start(nullptr));
        stream_.feed_segments(runtime, 2);
        EXPECT_EQ(runtime.status_snapshot().current_sequence, 1);
        runtime.stop();
    }
    ASSERT_TRUE(save_sequence_checkpoint(state_path_, {"stream-1", "primary", 41}, nullptr));
    RyvoRuntime runtime = make_runtime();
    ASSERT_TRUE(runtime.start(nullptr));
    stream_.feed_segments(runtime, 2);
    EXPECT_EQ(runtime.status_snapshot().current_sequence, 42);
    runtime.stop();
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
    stream_.feed_segments(runtime, 2);
    EXPECT_EQ(runtime.cache_snapshot().segment_count, 0u);
    EXPECT_TRUE(server_.report()["streams"].empty()) << "nothing may reach the server";

    ASSERT_TRUE(runtime.start(nullptr));
    stream_.feed_segments(runtime, 2);
    const auto before = runtime.status_snapshot();
    // A second start keeps the running session and its numbering.
    ASSERT_TRUE(runtime.start(nullptr));
    EXPECT_EQ(runtime.status_snapshot().current_sequence, before.current_sequence);
    EXPECT_EQ(runtime.cache_snapshot().segment_count, 1u);
    runtime.stop();
}

TEST_F(RuntimeTest, AnInvalidConfigurationFailsTheStartWithTheReadersText) {
    PluginConfig config;
    config.auth_mode = AuthMode::manual;
    config.stream_id = "stream-1";
    config.api_key = "key-1";
    config.ram_buffer_minutes = 20;
    ASSERT_TRUE(save_config_file(config_path_, config, nullptr));
    RyvoRuntime runtime = make_runtime();
    std::string error;
    EXPECT_FALSE(runtime.start(&error));
    EXPECT_EQ(error, "ram_buffer_minutes must be between 1 and 15");
    EXPECT_FALSE(runtime.loaded());
}

TEST_F(RuntimeTest, EachBroadcastGetsAFreshCaptureSessionIdentifier) {
    RyvoRuntime runtime = make_runtime();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(runtime.start(nullptr));
        stream_.feed_segments(runtime, 1);
        ASSERT_TRUE(runtime.stop_and_end(nullptr));
    }
    std::set<std::string> identifiers;
    const json sessions = stream_report()["sessions"];
    for (const auto& [id, session] : sessions.items()) {
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        EXPECT_EQ(id.size(), 32u);
        identifiers.insert(id);
    }
    EXPECT_EQ(identifiers.size(), 3u);
}

TEST_F(RuntimeTest, SegmentsLostInAnOutageComeBackThroughBackfill) {
    RyvoRuntime runtime = make_runtime();
    ASSERT_TRUE(runtime.start(nullptr));
    // Sequence 3 fails every attempt (the manager gives up on it after five calls); the server
    // then lists it as missing and the cache still holds it.
    server_.control("faults", {{"kind", "upload"}, {"sequence", 3}, {"status", 503}, {"count", 5}});
    stream_.feed_segments(runtime, 5);
    // Poll the way the maintenance worker does until the server misses nothing: a poll that
    // comes while sequence 3 is still being retried finds it in flight and leaves it alone.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string error;
    while (stream_report()["agents"]["primary"]["highest"] != 4 ||
           !stream_report()["agents"]["primary"]["missing"].empty()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        ASSERT_EQ(runtime.poll_backfill(&error), ApiStatus::ok) << error;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(runtime.stop_and_end(&error)) << error;

    const json stream = stream_report();
    EXPECT_EQ(only_session(stream)["received"], json(range(1, 5)));
    EXPECT_EQ(stream["agents"]["primary"]["missing"], json::array());
}

TEST_F(RuntimeTest, ARejectedKeyHaltsUploadsAndHeartbeatsReportIt) {
    RyvoRuntime runtime = make_runtime();
    ASSERT_TRUE(runtime.start(nullptr));
    stream_.feed_segments(runtime, 2);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (stream_report()["agents"]["primary"]["segments"] != 1) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    server_.control("revoke", {{"stream", "stream-1"}});
    stream_.feed_segments(runtime, 3);
    while (!runtime.status_snapshot().auth_failed) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(runtime.status_snapshot().last_error,
              "API key rejected. Rotate your key in the Ryvo dashboard.");
    std::string error;
    EXPECT_EQ(runtime.send_heartbeat(&error), ApiStatus::unauthorized);
    EXPECT_EQ(runtime.poll_backfill(&error), ApiStatus::unauthorized);
    runtime.stop_and_end(&error);
    // Nothing after the rejection was sent again: one refused upload, then the queue was dropped.
    const json stream = stream_report();
    EXPECT_EQ(stream["agents"]["primary"]["segments"], 1);
    EXPECT_EQ(stream["requests"]["upload"], 2);
}

TEST_F(RuntimeTest, TransientServerErrorsAreRetriedUntilEverySegmentArrivesOnce) {
    server_.control("faults", {{"kind", "upload"}, {"status", 500}, {"count", 2}});
    server_.control("faults",
                    {{"kind", "upload"}, {"status", 429}, {"retry_after", 1}, {"count", 1}});
    RyvoRuntime runtime = make_runtime();
    ASSERT_TRUE(runtime.start(nullptr));
    stream_.feed_segments(runtime, 3);
    std::string error;
    ASSERT_TRUE(runtime.stop_and_end(&error)) << error;
    const json session = only_session(stream_report());
    EXPECT_EQ(session["received"], json(range(1, 3)));
    EXPECT_EQ(session["duplicates"], 0);
    EXPECT_EQ(server_.report()["faults"]["injected"]["upload"],
              (json{{"status_500", 2}, {"status_429", 1}}));
}

TEST_F(RuntimeTest, AnUnknownStreamHaltsUploads) {
    write_config("stream-unknown", "key-1");
    RyvoRuntime runtime = make_runtime();
    ASSERT_TRUE(runtime.start(nullptr));
    stream_.feed_segments(runtime, 4);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (runtime.status_snapshot().last_error.empty()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(runtime.status_snapshot().last_error, "Ryvo stream not found. Check the stream ID.");
    // Whatever was queued behind the refused upload is dropped, so the stop has nothing to drain.
    stream_.feed_segments(runtime, 2);
    EXPECT_EQ(runtime.status_snapshot().upload_queue_depth, 0u);
    runtime.stop_and_end(nullptr);
}

// A server that holds requests must not hold up the encoder: while a heartbeat or a backfill
// poll waits for its answer, bytes keep flowing into segments.
TEST_F(RuntimeTest, FeedingGoesOnWhileAHeartbeatOrPollHangs) {
    for (const char* kind : {"heartbeat", "backfill"}) {
        RyvoRuntime runtime = make_runtime();
        ASSERT_TRUE(runtime.start(nullptr));
        server_.control("faults", {{"kind", kind}, {"action", "delay"}, {"delay_ms", 20000}});
        std::atomic<bool> answered{false};
        auto request = std::async(std::launch::async, [&] {
            const ApiStatus status = std::string(kind) == "heartbeat"
                                         ? runtime.send_heartbeat(nullptr)
                                         : runtime.poll_backfill(nullptr);
            answered = true;
            return status;
        });
        // Wait until the server holds the request, then feed three segments' worth.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (server_.report()["faults"]["pending"].size() != 0) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << kind;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stream_.feed_segments(runtime, 3);
        EXPECT_FALSE(answered) << kind << ": the held request was answered before feeding ended";
        EXPECT_GE(runtime.cache_snapshot().segment_count, 2u) << kind;
        server_.control("reset", {});
        request.wait();
        runtime.stop();
    }
}

}  // namespace
}  // namespace ryvoobs
