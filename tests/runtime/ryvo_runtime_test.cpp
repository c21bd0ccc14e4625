// Broadcasts against the development ingest server over loopback: real HTTP, real files.
#include "runtime/broadcast_delivery.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
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

// Fed chunks are 250 ms each with a keyframe every 4th, so with 1000 ms segments a segment is cut
// at every keyframe after the first.
class RuntimeTest : public ::testing::Test {
  protected:
    RuntimeTest() {
        PluginConfig config;
        config.auth_mode = AuthMode::manual;
        config.stream_id = "stream-1";
        config.api_key = "key-1";
        config.agent_id = "primary";
        config.api_endpoint = server_.base_url();
        config.runtime_mode = RuntimeMode::full;
        config.segment_duration_ms = 1000;
        EXPECT_TRUE(save_config_file(config_path_, config, nullptr));
    }

    // A delivery whose client gives up on a silent server after a second.
    DeliverySettings delivery_settings() {
        DeliverySettings settings;
        settings.config_path = config_path_;
        settings.state_path = state_path_;
        settings.client_factory = [](PluginConfig config) {
            HttpSessionOptions options;
            options.stall_timeout = std::chrono::seconds(1);
            options.exchange_timeout = std::chrono::seconds(3);
            return std::make_shared<CurlRyvoApi>(std::move(config), options);
        };
        return settings;
    }

    template <typename Target>
    void feed_segments(Target& target, int segments) {
        for (int i = 0; i < segments * 4; ++i) {
            std::vector<std::uint8_t> bytes(4096, static_cast<std::uint8_t>(chunk_index_));
            target.push_encoded_bytes(bytes, 250, chunk_index_++ % 4 == 0);
        }
    }

    void outage(bool on) {
        server_.control("outage", on ? json{{"mode", "blackhole"}, {"duration_ms", 600000}}
                                     : json{{"mode", "none"}});
    }

    static bool finished_within(const BroadcastDelivery& delivery, int seconds) {
        return delivery.wait_done(std::chrono::steady_clock::now() + std::chrono::seconds(seconds));
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

    json stream_report() { return server_.report()["streams"]["stream-1"]; }

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
    const json session = stream_report()["sessions"].begin().value();
    EXPECT_EQ(session["received"], json::array({1, 2, 3, 4, 5}));
    EXPECT_EQ(session["digests_failed"], 0);
    const auto checkpoint = load_sequence_checkpoint(state_path_, nullptr);
    ASSERT_TRUE(checkpoint);
    EXPECT_EQ(checkpoint->stream_id, "stream-1");
    EXPECT_EQ(checkpoint->agent_id, "primary");
    EXPECT_EQ(checkpoint->last_sequence, 5);
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
}

// OBS quitting during an outage: one total grace for every finishing delivery, then requests in
// flight are abandoned, even ones the client would otherwise wait on for a minute.
TEST_F(RuntimeTest, ShutdownGivesOneTotalGraceThenAbandonsRequestsInFlight) {
    FinishingDeliveries finishing;
    outage(true);
    for (int i = 0; i < 2; ++i) {
        DeliverySettings settings = delivery_settings();
        settings.client_factory = [](PluginConfig config) {
            HttpSessionOptions patient;
            patient.stall_timeout = patient.exchange_timeout = std::chrono::seconds(60);
            return std::make_shared<CurlRyvoApi>(std::move(config), patient);
        };
        auto delivery = std::make_shared<BroadcastDelivery>(std::move(settings));
        ASSERT_TRUE(delivery->start(nullptr));
        feed_segments(*delivery, 2);
        finishing.adopt(delivery);
    }
    ASSERT_EQ(finishing.progress().size(), 2u);
    const auto quit = std::chrono::steady_clock::now();
    finishing.shutdown_all(std::chrono::seconds(1));
    EXPECT_LT(std::chrono::steady_clock::now() - quit, std::chrono::seconds(5));
    const std::optional<DeliveryProgress> outcome = finishing.last_outcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->phase, DeliveryPhase::gave_up);
    EXPECT_EQ(outcome->reason, "shut down before delivery finished");
    EXPECT_TRUE(finishing.progress().empty());
}
}  // namespace
}  // namespace ryvoobs
