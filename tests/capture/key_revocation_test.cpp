// A key revoked in the middle of a broadcast, with the real runtime, its maintenance and the
// development ingest server over loopback: the session stops talking to the service, the dock
// says why, and once the install is linked again the next broadcast is delivered.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "scoped_env.h"
#include "capture/plugin_status_snapshot.h"
#include "config/config_file.h"
#include "dev_server_process.h"
#include "dock/status_texts.h"
#include "link/plugin_link_apply.h"
#include "link/plugin_link_client.h"
#include "runtime/runtime_maintenance.h"
#include "runtime/ryvo_runtime.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using nlohmann::json;
using std::chrono::seconds;
using Clock = RuntimeMaintenance::Clock;

constexpr const char* kRejected = "API key rejected. Rotate your key in the Ryvo dashboard.";

bool wait_until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

MaintainedRuntime maintained(RyvoRuntime& runtime) {
    return MaintainedRuntime{
        [&runtime](std::string* error) { return runtime.poll_backfill(error); },
        [&runtime](std::string* error) { return runtime.send_heartbeat(error); },
        [&runtime](std::string message) { runtime.report_error(std::move(message)); },
        [&runtime](bool failed) { runtime.report_auth_failed(failed); },
        [&runtime] { return runtime.status_snapshot(); },
        [&runtime] { return runtime.cache_snapshot(); },
        [] { return std::uint64_t{0}; },
    };
}

class KeyRevocationTest : public ::testing::Test {
  protected:
    KeyRevocationTest() {
        PluginConfig config;
        config.auth_mode = AuthMode::manual;
        config.stream_id = "stream-1";
        config.api_key = "key-1";
        config.api_endpoint = server_.base_url();
        config.runtime_mode = RuntimeMode::full;
        config.segment_duration_ms = 1000;
        save_config_file(config_path_, config, nullptr);
    }

    // 250 ms chunks with a keyframe every 4th: one 1000 ms segment per four chunks.
    void feed_segments(int segments) {
        for (int i = 0; i < segments * 4; ++i) {
            const std::vector<std::uint8_t> bytes(4096, static_cast<std::uint8_t>(chunk_));
            runtime_.push_encoded_bytes(bytes, 250, chunk_++ % 4 == 0);
        }
    }

    // Maintenance passes 200 ms apart over `span` of the maintenance clock, feeding a segment
    // every second as a live broadcast would.
    void run_maintenance(RuntimeMaintenance& maintenance, Clock::duration span) {
        for (const Clock::time_point end = now_ + span; now_ < end;) {
            now_ += std::chrono::milliseconds(200);
            if ((now_ - Clock::time_point{}) % seconds(1) == Clock::duration::zero()) {
                feed_segments(1);
            }
            maintenance.run_pass(now_);
        }
    }

    json stream() { return server_.report()["streams"]["stream-1"]; }

    RyvoPluginStatusSnapshot dock_snapshot() {
        RyvoPluginStatusSnapshot snapshot;
        copy_config_fields(*read_config_file(config_path_, nullptr), &snapshot);
        snapshot.attached = true;
        snapshot.runtime_status = runtime_.status_snapshot();
        snapshot.cache_status = runtime_.cache_snapshot();
        return snapshot;
    }

    test_support::DevServerProcess server_;
    testing::ScopedEnv endpoint_{"RYVO_DEFAULT_API_ENDPOINT", server_.base_url()};
    testing::TemporaryDirectory dir_;
    std::string config_path_ = dir_.file("obs-plugin.json");
    RyvoRuntime runtime_{config_path_, dir_.file("obs-plugin-state.json")};
    std::uint64_t chunk_ = 0;
    Clock::time_point now_{seconds(1000)};
    std::vector<std::string> log_;
    MaintenanceLog sink_ = [this](bool, const std::string& line) { log_.push_back(line); };
};

TEST_F(KeyRevocationTest, ARevokedKeyHaltsItsSessionAndTheNextBroadcastAfterRelinkingDelivers) {
    ASSERT_TRUE(runtime_.start(nullptr));
    RuntimeMaintenance first(maintained(runtime_), sink_, now_);
    run_maintenance(first, seconds(12));
    ASSERT_TRUE(wait_until([&] { return stream()["agents"]["primary"]["segments"] >= 8; }));
    EXPECT_GE(stream()["agents"]["primary"]["heartbeats"]["count"], 1);

    server_.control("revoke", {{"stream", "stream-1"}});
    // Long enough for a heartbeat, several polls and several segments to meet the revoked key.
    run_maintenance(first, seconds(12));
    // One rejected upload, heartbeat and poll each; uploads are rejected on a thread of their own.
    ASSERT_TRUE(wait_until([&] { return stream()["rejected"]["unauthorized"] == 3; }))
        << stream()["rejected"];
    const json halted = stream()["requests"];
    run_maintenance(first, seconds(25));
    EXPECT_EQ(stream()["requests"], halted) << "the halted session went on asking";

    EXPECT_EQ(runtime_.status_snapshot().last_error, kRejected);
    EXPECT_EQ(runtime_.status_snapshot().upload_queue_depth, 0u);
    const RyvoPluginStatusSnapshot rejected = dock_snapshot();
    EXPECT_EQ(health_text(rejected), "Auth failed");
    EXPECT_EQ(link_status_detail(rejected), "API key rejected \u2014 rotate in the Ryvo dashboard");
    std::string error;
    EXPECT_FALSE(runtime_.stop_and_end(&error));

    // The key is rotated in the dashboard and the install linked again through the portal.
    server_.control("streams", {{"stream", "stream-1"}, {"key", "rotated-key"}});
    const auto link = start_plugin_link(server_.base_url(), &error, nullptr);
    ASSERT_TRUE(link) << error;
    server_.control(
        "link", {{"action", "approve"}, {"code", link->verification_code}, {"stream", "stream-1"}});
    const auto poll = poll_plugin_link(server_.base_url(), link->link_session_id, link->poll_token,
                                       &error, nullptr);
    ASSERT_TRUE(poll) << error;
    std::optional<PluginConfig> config = read_config_file(config_path_, &error);
    ASSERT_TRUE(config) << error;
    ASSERT_TRUE(apply_completed_plugin_link(&*config, *poll));
    ASSERT_TRUE(save_config_file(config_path_, *config, &error)) << error;

    const std::int64_t delivered = stream()["agents"]["primary"]["segments"];
    const std::int64_t heartbeats = stream()["agents"]["primary"]["heartbeats"]["count"];
    ASSERT_TRUE(runtime_.start(&error)) << error;
    RuntimeMaintenance second(maintained(runtime_), sink_, now_);
    run_maintenance(second, seconds(12));
    ASSERT_TRUE(
        wait_until([&] { return stream()["agents"]["primary"]["segments"] >= delivered + 10; }));
    EXPECT_GT(stream()["agents"]["primary"]["heartbeats"]["count"], heartbeats);
    EXPECT_FALSE(runtime_.status_snapshot().auth_failed);
    // (The server may still miss the halted broadcast's last segments, which this session's
    // cache never held: that is reported, but it is no key problem.)
    EXPECT_NE(runtime_.status_snapshot().last_error, kRejected);
    ASSERT_TRUE(runtime_.stop_and_end(&error)) << error;
    // The three rejections above and the end of the halted broadcast, nothing since.
    EXPECT_EQ(stream()["rejected"]["unauthorized"], 4);
}

}  // namespace
}  // namespace ryvoobs
