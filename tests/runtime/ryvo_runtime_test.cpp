// Broadcasts against the development ingest server over loopback: real HTTP, real files.
#include "runtime/broadcast_delivery.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "api/curl_ryvo_api.h"
#include "config/config_file.h"
#include "dev_server_process.h"
#include "runtime/finishing_deliveries.h"
#include "runtime/sequence_checkpoint.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using nlohmann::json;
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
    static test_support::DevServerOptions two_streams() {
        test_support::DevServerOptions options;
        options.streams = {{"stream-1", "key-1"}, {"stream-2", "key-2"}};
        return options;
    }

    RuntimeTest() : server_(two_streams()) { write_config("stream-1", "key-1"); }

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

    // A delivery whose client gives up on a silent server after `stall`, logging into `log_`.
    DeliverySettings delivery_settings(std::chrono::milliseconds stall = std::chrono::seconds(1)) {
        DeliverySettings settings;
        settings.config_path = config_path_;
        settings.state_path = state_path_;
        settings.client_factory = [stall](PluginConfig config) {
            HttpSessionOptions options;
            options.stall_timeout = stall;
            options.exchange_timeout = stall * 3;
            return std::make_shared<CurlRyvoApi>(std::move(config), options);
        };
        settings.log = [this](bool, const std::string& line) {
            std::lock_guard lock(log_mutex_);
            log_.push_back(line);
        };
        return settings;
    }

    std::size_t log_lines_starting(const std::string& prefix) {
        std::lock_guard lock(log_mutex_);
        return static_cast<std::size_t>(
            std::count_if(log_.begin(), log_.end(),
                          [&](const auto& line) { return line.rfind(prefix, 0) == 0; }));
    }

    template <typename Target>
    void feed_segments(Target& target, int segments) {
        for (int i = 0; i < segments * 4; ++i) {
            std::vector<std::uint8_t> bytes(kChunkBytes, static_cast<std::uint8_t>(chunk_index_));
            target.push_encoded_bytes(bytes, kChunkMs, chunk_index_++ % 4 == 0);
        }
    }

    void outage(bool on) {
        server_.control("outage", on ? json{{"mode", "blackhole"}, {"duration_ms", 600000}}
                                     : json{{"mode", "none"}});
    }

    static bool finished_within(const BroadcastDelivery& delivery, int seconds) {
        return delivery.wait_done(std::chrono::steady_clock::now() + std::chrono::seconds(seconds));
    }

    // Runs one broadcast of `segments` segments to its posted end.
    void broadcast(int segments) {
        BroadcastDelivery delivery(delivery_settings());
        ASSERT_TRUE(delivery.start(nullptr));
        feed_segments(delivery, segments);
        delivery.finish();
        ASSERT_TRUE(finished_within(delivery, 60));
        EXPECT_EQ(delivery.progress().phase, DeliveryPhase::finished);
    }

    static bool wait_until(const std::function<bool()>& done, int seconds = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
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

    std::mutex log_mutex_;
    std::vector<std::string> log_;
    TemporaryDirectory dir_;
    DevServerProcess server_;
    std::string config_path_ = dir_.file("obs-plugin.json");
    std::string state_path_ = dir_.file("state/obs-plugin-state.json");
    std::uint64_t chunk_index_ = 0;
};

TEST_F(RuntimeTest, HeartbeatsCarryTheCacheDepthAndNothingIsSentWithoutASession) {
    RyvoRuntime runtime(config_path_, state_path_);
    std::string error;
    EXPECT_EQ(runtime.send_heartbeat(&error), ApiStatus::failed);
    EXPECT_EQ(error, "runtime not started");
    feed_segments(runtime, 2);
    EXPECT_TRUE(server_.report()["streams"].empty()) << "nothing may reach the server";

    ASSERT_TRUE(runtime.start(&error)) << error;
    // 30 cached segments of 1000 ms are half a minute.
    feed_segments(runtime, 31);
    ASSERT_EQ(runtime.cache_snapshot().segment_count, 30u);
    EXPECT_EQ(runtime.send_heartbeat(&error), ApiStatus::ok) << error;
    const json heartbeat = stream_report()["agents"]["primary"]["heartbeats"]["last"];
    EXPECT_EQ(heartbeat["agent_version"], kPluginVersion);
    EXPECT_DOUBLE_EQ(heartbeat["cache_depth_minutes"].get<double>(), 0.5);
    EXPECT_EQ(heartbeat["current_sequence"], 30);

    write_config("stream-1", "key-1", "primary", 20);
    BroadcastDelivery invalid(delivery_settings());
    EXPECT_FALSE(invalid.start(&error));
    EXPECT_EQ(error, "ram_buffer_minutes must be between 1 and 15");
}

TEST_F(RuntimeTest, SequencesContinueAcrossBroadcastsOfTheSameStreamAndAgentInFreshSessions) {
    broadcast(3);
    broadcast(2);
    const json stream = stream_report();
    const json agent = stream["agents"]["primary"];
    EXPECT_EQ(agent["segments"], 5);
    EXPECT_EQ(agent["highest"], 5);
    EXPECT_EQ(agent["missing"], json::array());
    EXPECT_EQ(agent["ends"], 2);
    ASSERT_EQ(stream["sessions"].size(), 2u) << "each broadcast has a capture session of its own";
    for (const auto& [id, session] : stream["sessions"].items()) {
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        EXPECT_EQ(id.size(), 32u);
        EXPECT_EQ(session["digests_failed"], 0);
        EXPECT_EQ(session["duplicates"], 0);
        EXPECT_EQ(session["agent_id"], "primary");
    }

    write_config("stream-2", "key-2");
    broadcast(2);
    EXPECT_EQ(only_session(stream_report("stream-2"))["received"], json(range(1, 2)));
    EXPECT_EQ(only_session(stream_report("stream-2"))["bytes"], 2 * 4 * kChunkBytes);

    write_config("stream-2", "key-2", "backup");
    broadcast(1);
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
        // Each row an install of its own: this process has numbered nothing for it yet.
        DeliverySettings settings = delivery_settings();
        settings.state_path =
            dir_.file(std::to_string(first) + checkpoint.stream_id + checkpoint.agent_id + ".json");
        ASSERT_TRUE(save_sequence_checkpoint(settings.state_path, checkpoint, nullptr));
        BroadcastDelivery delivery(std::move(settings));
        ASSERT_TRUE(delivery.start(nullptr));
        feed_segments(delivery, 2);
        EXPECT_EQ(delivery.progress().status.current_sequence, first) << checkpoint.stream_id;
    }
}

TEST_F(RuntimeTest, SegmentsLostInAnOutageComeBackThroughBackfill) {
    BroadcastDelivery delivery(delivery_settings());
    ASSERT_TRUE(delivery.start(nullptr));
    // Sequence 3 fails every attempt (the manager gives up on it after five calls); the server
    // then lists it as missing, the cache still holds it, and the next backfill poll sends it.
    server_.control("faults", {{"kind", "upload"}, {"sequence", 3}, {"status", 503}, {"count", 5}});
    feed_segments(delivery, 5);
    ASSERT_TRUE(wait_until(
        [&] {
            // Before its first upload arrives the server has no record of the agent.
            const json agent = stream_report()["agents"]["primary"];
            return agent.is_object() && agent.value("highest", 0) == 4 &&
                   agent.value("missing", json::array()).empty();
        },
        60));
    delivery.finish();
    ASSERT_TRUE(finished_within(delivery, 60));
    EXPECT_EQ(only_session(stream_report())["received"], json(range(1, 5)));
}

// A server that holds requests must not hold up the encoder: while a heartbeat or a backfill
// poll waits for its answer, bytes keep flowing into segments.
TEST_F(RuntimeTest, FeedingGoesOnWhileAHeartbeatOrPollHangs) {
    for (const std::string kind : {"heartbeat", "backfill"}) {
        RyvoRuntime runtime(config_path_, state_path_);
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
    }
}

// How a finishing delivery ends when the server does not simply come back, or when it is only
// moved to another source.
TEST_F(RuntimeTest, FinishingRetriesTheEndAndGivesUpOnlyForTheWindowOrARejectedKey) {
    enum class Fault { end_fails_twice, outage, revoked_in_outage, none };
    struct Case {
        const char* name;
        Fault fault;
        BroadcastEnd end;
        std::optional<std::chrono::milliseconds> window;
        DeliveryPhase phase;
        const char* reason;
        int ends;
    };
    for (const Case& c : {
             Case{"end fails twice", Fault::end_fails_twice, BroadcastEnd::post, std::nullopt,
                  DeliveryPhase::finished, "", 1},
             Case{"outage beyond the window", Fault::outage, BroadcastEnd::post,
                  std::chrono::milliseconds(1500), DeliveryPhase::gave_up,
                  "segments left the cache window", 0},
             Case{"moved to another source", Fault::none, BroadcastEnd::keep_open, std::nullopt,
                  DeliveryPhase::finished, "", 0},
             Case{"key revoked while finishing", Fault::revoked_in_outage, BroadcastEnd::post,
                  std::nullopt, DeliveryPhase::gave_up,
                  "API key rejected. Rotate your key in the Ryvo dashboard.", 0},
         }) {
        SCOPED_TRACE(c.name);
        server_.control("reset", {{"records", true}});
        DeliverySettings settings = delivery_settings();
        settings.finishing_window = c.window;
        std::vector<std::string> fatal;
        settings.on_fatal = [&fatal](const std::string& message) { fatal.push_back(message); };
        BroadcastDelivery delivery(std::move(settings));
        ASSERT_TRUE(delivery.start(nullptr));
        if (c.fault == Fault::end_fails_twice) {
            server_.control("faults", {{"kind", "end"}, {"status", 500}, {"count", 2}});
        } else if (c.fault != Fault::none) {
            outage(true);
        }
        feed_segments(delivery, 3);
        delivery.finish(c.end);
        if (c.fault == Fault::revoked_in_outage) {
            server_.control("revoke", {{"stream", "stream-1"}});
            outage(false);
        }
        ASSERT_TRUE(finished_within(delivery, 60));
        const DeliveryProgress done = delivery.progress();
        EXPECT_EQ(done.phase, c.phase);
        EXPECT_EQ(done.reason, c.reason);
        EXPECT_EQ(done.end_posted, c.ends == 1);
        const json agent = stream_report()["agents"]["primary"];
        EXPECT_EQ(agent.is_object() ? agent.value("ends", 0) : 0, c.ends);
        if (c.phase == DeliveryPhase::gave_up) {
            EXPECT_FALSE(done.undelivered.empty());
            EXPECT_EQ(done.undelivered.back(), done.last_sequence);
        } else {
            EXPECT_EQ(agent["missing"], json::array());
            EXPECT_EQ(agent["highest"], done.last_sequence);
        }
        EXPECT_EQ(fatal.size(), c.fault == Fault::revoked_in_outage ? 1u : 0u);
        outage(false);
    }
    EXPECT_EQ(log_lines_starting("end of broadcast failed: "), 2u);
}

// Unload during an outage: one total grace for every finishing delivery, then requests in flight
// are abandoned, even ones the client would otherwise wait on far longer.
TEST_F(RuntimeTest, ShutdownGivesOneTotalGraceThenAbandonsRequestsInFlight) {
    FinishingDeliveries finishing;
    outage(true);
    for (int i = 0; i < 2; ++i) {
        auto delivery =
            std::make_shared<BroadcastDelivery>(delivery_settings(std::chrono::seconds(60)));
        ASSERT_TRUE(delivery->start(nullptr));
        feed_segments(*delivery, 2);
        finishing.adopt(delivery);
    }
    ASSERT_EQ(finishing.progress().size(), 2u);
    const auto unload = std::chrono::steady_clock::now();
    finishing.shutdown_all(std::chrono::seconds(1));
    EXPECT_LT(std::chrono::steady_clock::now() - unload, std::chrono::seconds(3));
    const std::optional<DeliveryProgress> outcome = finishing.last_outcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->phase, DeliveryPhase::gave_up);
    EXPECT_EQ(outcome->reason, "shut down before delivery finished");
    EXPECT_EQ(outcome->undelivered, range(3, 4));
    EXPECT_EQ(log_lines_starting("finishing gave up: sequences 1-2 not delivered: shut down"), 1u);
    EXPECT_TRUE(finishing.progress().empty());
}

// Stop pressed while the server is silent returns at once and the delivery goes on in the
// background; a new broadcast meanwhile numbers above it, even when the checkpoint lags behind.
// Once the network is back every segment up to each Stop arrives and each broadcast ends once.
TEST_F(RuntimeTest, StopDuringAnOutageReturnsAtOnceAndTheNextBroadcastNumbersAboveIt) {
    BroadcastDelivery first(delivery_settings());
    ASSERT_TRUE(first.start(nullptr));
    feed_segments(first, 2);
    outage(true);
    feed_segments(first, 3);
    const auto stop_pressed = std::chrono::steady_clock::now();
    first.finish();
    EXPECT_LT(std::chrono::steady_clock::now() - stop_pressed, std::chrono::seconds(1));
    EXPECT_EQ(first.progress().phase, DeliveryPhase::finishing);
    EXPECT_EQ(first.progress().last_sequence, 5);
    // Some upload has met the silence before the network comes back.
    ASSERT_TRUE(wait_until([&] { return !first.progress().status.last_error.empty(); }));
    EXPECT_GT(first.progress().segments_left, 0u);
    ASSERT_TRUE(wait_until([&] { return load_last_sequence(state_path_, nullptr) == 5; }));
    ASSERT_TRUE(save_sequence_checkpoint(state_path_, {"stream-1", "primary", 2}, nullptr));

    BroadcastDelivery second(delivery_settings());
    ASSERT_TRUE(second.start(nullptr));
    feed_segments(second, 3);
    second.finish();
    EXPECT_EQ(second.progress().last_sequence, 8);
    outage(false);
    for (const BroadcastDelivery* delivery : {&first, &second}) {
        ASSERT_TRUE(finished_within(*delivery, 60));
        const DeliveryProgress done = delivery->progress();
        EXPECT_EQ(done.phase, DeliveryPhase::finished) << done.reason;
        EXPECT_TRUE(done.end_posted);
        EXPECT_TRUE(done.undelivered.empty());
    }
    EXPECT_GT(first.progress().delivered_after_stop, 0u);

    const json stream = stream_report();
    std::vector<std::int64_t> received;
    for (const auto& [id, session] : stream["sessions"].items()) {
        EXPECT_EQ(session["digests_failed"], 0);
        for (const auto& sequence : session["received"]) {
            received.push_back(sequence.get<std::int64_t>());
        }
    }
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, range(1, 8));
    EXPECT_EQ(stream["agents"]["primary"]["ends"], 2);
    EXPECT_EQ(log_lines_starting("stop: queue="), 2u);
    EXPECT_EQ(log_lines_starting("finishing complete: "), 2u);
}

}  // namespace
}  // namespace ryvoobs
