// A key revoked in the middle of a broadcast, with the real runtime, its maintenance (on a clock of
// the test's own) and the development ingest server over loopback: the upload, the heartbeat and
// the backfill poll each meet the rejection once, then the session asks nothing more.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "config/config_file.h"
#include "dev_server_process.h"
#include "runtime/runtime_maintenance.h"
#include "runtime/ryvo_runtime.h"
#include "temporary_directory.h"

namespace ryvoobs {
namespace {

using Clock = RuntimeMaintenance::Clock;
using std::chrono::seconds;

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

TEST(KeyRevocation, EachActivityMeetsARevokedKeyOnceAndThenTheSessionFallsSilent) {
    test_support::DevServerProcess server;
    testing::TemporaryDirectory dir;
    PluginConfig config;
    config.auth_mode = AuthMode::manual;
    config.stream_id = "stream-1";
    config.api_key = "key-1";
    config.api_endpoint = server.base_url();
    config.segment_duration_ms = 1000;
    ASSERT_TRUE(save_config_file(dir.file("obs-plugin.json"), config, nullptr));
    RyvoRuntime runtime(dir.file("obs-plugin.json"), dir.file("obs-plugin-state.json"));
    ASSERT_TRUE(runtime.start(nullptr));
    Clock::time_point now{seconds(1000)};
    RuntimeMaintenance maintenance(
        MaintainedRuntime{
            [&runtime](std::string* error) { return runtime.poll_backfill(error); },
            [&runtime](std::string* error) { return runtime.send_heartbeat(error); },
            [&runtime](std::string message) { runtime.report_error(std::move(message)); },
            [&runtime](bool failed) { runtime.report_auth_failed(failed); },
            [&runtime] { return runtime.status_snapshot(); },
            [&runtime] { return runtime.cache_snapshot(); },
            [] { return std::uint64_t{0}; },
        },
        [](bool, const std::string&) {}, now);
    // Passes 200 ms apart, and every second a 1000 ms segment of four chunks as a broadcast feeds.
    std::uint64_t chunk = 0;
    const auto run_for = [&](Clock::duration span) {
        for (const Clock::time_point end = now + span; now < end;) {
            now += std::chrono::milliseconds(200);
            if ((now - Clock::time_point{}) % seconds(1) == Clock::duration::zero()) {
                for (int i = 0; i < 4; ++i, ++chunk) {
                    const std::vector<std::uint8_t> bytes(4096, static_cast<std::uint8_t>(chunk));
                    runtime.push_encoded_bytes(bytes, 250, chunk % 4 == 0);
                }
            }
            maintenance.run_pass(now);
        }
    };
    const auto stream = [&server] { return server.report()["streams"]["stream-1"]; };

    run_for(seconds(12));
    ASSERT_TRUE(wait_until([&] { return stream()["agents"]["primary"]["segments"] >= 8; }));
    EXPECT_GE(stream()["agents"]["primary"]["heartbeats"]["count"], 1);

    server.control("revoke", {{"stream", "stream-1"}});
    // Long enough for a heartbeat, several polls and several segments to meet the revoked key;
    // uploads are rejected on a thread of their own.
    run_for(seconds(12));
    ASSERT_TRUE(wait_until([&] { return stream()["rejected"]["unauthorized"] == 3; }))
        << stream()["rejected"];
    const nlohmann::json halted = stream()["requests"];
    run_for(seconds(25));
    EXPECT_EQ(stream()["requests"], halted) << "the halted session went on asking";

    const StatusSnapshot status = runtime.status_snapshot();
    EXPECT_TRUE(status.auth_failed);
    EXPECT_EQ(status.last_error, "API key rejected. Rotate your key in the Ryvo dashboard.");
    EXPECT_EQ(status.upload_queue_depth, 0u);
    std::string error;
    EXPECT_FALSE(runtime.stop_and_end(&error));
    EXPECT_EQ(stream()["rejected"]["unauthorized"], 4) << "the end is asked for once";
}

}  // namespace
}  // namespace ryvoobs
