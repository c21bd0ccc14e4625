// The frontend hook in real libobs: which of OBS's outputs it taps as they start and stop, and
// what the status shows of it.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "capture/frontend_hook_obs.h"
#include "capture/output_attachment_obs.h"
#include "capture/packet_tap_obs.h"
#include "capture/plugin_status_snapshot.h"
#include "config/config_store.h"
#include "capture_obs_config.h"
#include "dev_server_process.h"
#include "isolated_home.h"
#include "obs_test_support.h"

namespace ryvoobs {
namespace {

using testing::CapturedLog;
using testing::eventually;
using testing::FakeFrontend;
using testing::TestEncoders;
using testing::TestOutput;

struct Attachment {
    obs_output_t* output = nullptr;
    std::string kind;
    std::uint64_t token = 0;
};

Attachment attachment() {
    const PacketTap::Attachment tap = packet_tap().attachment();
    return Attachment{tap.output(), tap.output_kind(), tap.token()};
}

bool packets_beyond(std::uint64_t count) {
    return eventually([count] { return packet_tap().counters().packets > count; });
}

class FrontendHookTest : public ::testing::Test {
  protected:
    void SetUp() override { CapturedLog::instance().clear(); }
    void TearDown() override {
        uninstall_obs_hook();
        PacketTap::Attachment tap = packet_tap().attachment();
        detach_stream_output(tap, BroadcastEnd::keep_open);
    }

    // Starts `output` as the OBS application's recording or streaming output.
    void run(TestOutput& output, bool recording) {
        ASSERT_TRUE(output.start());
        (recording ? frontend.recording : frontend.streaming) = output.get();
        (recording ? frontend.recording_on : frontend.streaming_on) = true;
    }

    testing::IsolatedHome home;
    FakeFrontend frontend;
    TestEncoders encoders;
};

TEST_F(FrontendHookTest, EitherModeMovesBetweenOutputsAndDeliversUntilTheLastOneStops) {
    test_support::DevServerProcess server;
    testing::write_config(
        testing::linked_config(RuntimeMode::full, CaptureMode::either, server.base_url()));
    TestOutput streaming("stream", home.file("stream.mkv"), encoders);
    TestOutput recording("record", home.file("record.mkv"), encoders);
    run(streaming, false);
    run(recording, true);
    ASSERT_TRUE(install_obs_hook());
    EXPECT_EQ(attachment().output, recording.get());
    ASSERT_TRUE(packets_beyond(30));

    // Recording stops while streaming goes on: the tap moves, and what the recording's delivery
    // still holds is delivered in the background without ending the broadcast, which goes on from
    // the streaming output.
    recording.stop();
    frontend.recording_on = false;
    frontend.fire(OBS_FRONTEND_EVENT_RECORDING_STOPPED);
    EXPECT_EQ(attachment().output, streaming.get());
    ASSERT_TRUE(packets_beyond(90));
    ASSERT_TRUE(eventually([&] {
        return server.report()["streams"]["stream-1"]["agents"]["primary"]["segments"] >= 2;
    }));

    // The last output stops: its broadcast ends too and OBS's encoders stop with it.
    streaming.stop();
    frontend.streaming_on = false;
    frontend.fire(OBS_FRONTEND_EVENT_STREAMING_STOPPED);
    EXPECT_EQ(attachment().output, nullptr);
    EXPECT_TRUE(eventually([&] { return !encoders.active(); }));
    ASSERT_TRUE(eventually(
        [] { return CapturedLog::instance().count("[ryvo-obs] finishing complete: ") == 2; }));
    EXPECT_EQ(CapturedLog::instance().count("broadcast left open"), 1u);
    const nlohmann::json stream = server.report()["streams"]["stream-1"];
    EXPECT_EQ(stream["agents"]["primary"]["ends"], 1);
    EXPECT_EQ(stream["sessions"].size(), 2u);
    for (const auto& [id, session] : stream["sessions"].items()) {
        EXPECT_EQ(session["digests_failed"], 0) << id;
        EXPECT_EQ(session["gaps"].size(), 0u) << id;
    }
    EXPECT_EQ(CapturedLog::instance().count("mux queue overflow"), 0u);
}

TEST_F(FrontendHookTest, RefreshKeepsAMatchingAttachmentAndReattachesOnANewCaptureMode) {
    testing::write_config(testing::linked_config(RuntimeMode::tap_only, CaptureMode::streaming));
    TestOutput streaming("stream", home.file("stream.mkv"), encoders);
    run(streaming, false);
    ASSERT_TRUE(install_obs_hook());
    const Attachment first = attachment();
    ASSERT_EQ(first.output, streaming.get());
    ASSERT_TRUE(packets_beyond(0));

    // Unchanged, or changed only in what the running session already holds: nothing happens.
    refresh_output_attachment();
    PluginConfig changed = testing::linked_config(RuntimeMode::tap_only, CaptureMode::streaming);
    changed.stream_id = "stream-2";
    changed.api_key = "key-2";
    testing::write_config(changed);
    frontend.fire(OBS_FRONTEND_EVENT_STREAMING_STARTED);
    EXPECT_EQ(attachment().token, first.token);

    changed.capture_mode = CaptureMode::either;
    testing::write_config(changed);
    refresh_output_attachment();
    const Attachment second = attachment();
    EXPECT_EQ(second.output, streaming.get());
    EXPECT_NE(second.token, first.token);

    // Turning the plug-in off lets go of the output without stopping it.
    changed.enabled = false;
    testing::write_config(changed);
    refresh_output_attachment();
    EXPECT_EQ(attachment().output, nullptr);
    EXPECT_TRUE(obs_output_active(streaming.get()));
}

TEST_F(FrontendHookTest, FrontendRoadStandsAsideForThePluginsOwnOutput) {
    testing::write_config(testing::linked_config(RuntimeMode::tap_only, CaptureMode::either));
    TestOutput native("native", home.file("native.mkv"), encoders, "ryvo_output");
    TestOutput recording("record", home.file("record.mkv"), encoders);
    frontend.streaming = native.get();
    frontend.streaming_on = true;
    ASSERT_TRUE(install_obs_hook());
    EXPECT_EQ(attachment().output, nullptr);

    // Once recording runs the frontend road takes it, until the plug-in's output starts.
    run(recording, true);
    frontend.fire(OBS_FRONTEND_EVENT_RECORDING_STARTED);
    ASSERT_EQ(attachment().output, recording.get());
    ASSERT_TRUE(packets_beyond(0));

    ASSERT_TRUE(activate_native_stream_output(native.get(), nullptr));
    EXPECT_EQ(attachment().output, native.get());
    EXPECT_EQ(attachment().kind, "ryvo_stream");
    // The recording attachment was let go of, and its hidden tap stopped with it.
    EXPECT_TRUE(obs_output_active(recording.get()));
    frontend.fire(OBS_FRONTEND_EVENT_RECORDING_STARTED);
    EXPECT_EQ(attachment().output, native.get());

    deactivate_native_stream_output(native.get());
    EXPECT_EQ(attachment().output, nullptr);
    recording.stop();
    EXPECT_TRUE(eventually([&] { return !encoders.active(); }));
}

TEST_F(FrontendHookTest, TappedOutputStoppingReleasesTheSharedEncodersBeforeAnyEvent) {
    testing::write_config(testing::linked_config(RuntimeMode::tap_only, CaptureMode::recording));
    TestOutput recording("record", home.file("record.mkv"), encoders);
    run(recording, true);
    ASSERT_TRUE(install_obs_hook());
    ASSERT_EQ(attachment().output, recording.get());
    ASSERT_TRUE(packets_beyond(0));

    // OBS tells the frontend later, on its UI thread; the encoders must not wait for that.
    recording.stop();
    EXPECT_TRUE(eventually([&] { return !encoders.active(); }));
    EXPECT_EQ(attachment().output, recording.get());

    frontend.recording_on = false;
    frontend.fire(OBS_FRONTEND_EVENT_RECORDING_STOPPED);
    EXPECT_EQ(attachment().output, nullptr);
}

// OBS's active service is a placeholder until OBS has read the profile's own: at module load the
// hook must not reconcile against it, but must once OBS has finished loading.
TEST_F(FrontendHookTest, HookSelectsTheServiceOnlyOnceObsHasLoadedAndExitDetaches) {
    testing::write_config(testing::linked_config(RuntimeMode::tap_only, CaptureMode::recording));
    TestOutput recording("record", home.file("record.mkv"), encoders);
    run(recording, true);
    ASSERT_TRUE(install_obs_hook(HookInstall::after_obs_loads));
    ASSERT_TRUE(frontend.hooked());
    EXPECT_EQ(frontend.service_selections, 0);
    frontend.fire(OBS_FRONTEND_EVENT_FINISHED_LOADING);
    EXPECT_EQ(frontend.service_selections, 1);
    // Installed again later (the dock saving a configuration), it reconciles at once.
    ASSERT_TRUE(install_obs_hook());
    EXPECT_EQ(frontend.service_selections, 2);
    ASSERT_EQ(attachment().output, recording.get());

    frontend.fire(OBS_FRONTEND_EVENT_EXIT);
    EXPECT_EQ(attachment().output, nullptr);
    uninstall_obs_hook();
    EXPECT_FALSE(frontend.hooked());
    EXPECT_FALSE(obs_hook_installed());
}

TEST_F(FrontendHookTest, StatusShowsTheConfigurationTheRunningSessionStartedWith) {
    testing::write_config(
        testing::linked_config(RuntimeMode::runtime_only, CaptureMode::streaming));
    TestOutput native("native", home.file("native.mkv"), encoders);
    std::string error;
    ASSERT_TRUE(activate_native_stream_output(native.get(), &error)) << error;
    PluginConfig edited = testing::linked_config(RuntimeMode::tap_only, CaptureMode::either);
    edited.stream_id = "stream-2";
    testing::write_config(edited);

    RyvoPluginStatusSnapshot snapshot = plugin_status_snapshot();
    EXPECT_EQ(snapshot.output_label, "ryvo_stream");
    EXPECT_EQ(snapshot.stream_id, "stream-1");
    EXPECT_EQ(snapshot.runtime_mode, static_cast<std::uint32_t>(RuntimeMode::runtime_only));
    EXPECT_EQ(snapshot.capture_mode, CaptureMode::streaming);

    // Between broadcasts the file's configuration shows, once the store has taken it in (the
    // status's own look leaves that to another thread).
    deactivate_native_stream_output(native.get());
    plugin_config_store().read();
    snapshot = plugin_status_snapshot();
    EXPECT_EQ(snapshot.output_label, "none");
    EXPECT_EQ(snapshot.stream_id, "stream-2");
    EXPECT_EQ(snapshot.capture_mode, CaptureMode::either);
}

}  // namespace
}  // namespace ryvoobs
