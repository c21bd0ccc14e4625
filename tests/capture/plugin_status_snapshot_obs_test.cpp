#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture/output_attachment_obs.h"
#include "capture/packet_tap_obs.h"
#include "capture/plugin_status_snapshot.h"
#include "capture_obs_config.h"
#include "isolated_home.h"
#include "obs_packet.h"
#include "obs_test_support.h"

namespace ryvoobs {
namespace {

using testing::TestEncoders;
using testing::TestOutput;

class PluginStatusSnapshotTest : public ::testing::Test {
  protected:
    void TearDown() override {
        PacketTap::Attachment tap = packet_tap().attachment();
        detach_stream_output(tap, BroadcastEnd::keep_open);
    }

    void ingest_video(obs_output_t* output) {
        testing::ObsPacket packet(OBS_ENCODER_VIDEO, 16, 0);
        packet_tap().take_native_packet(output, packet.get());
    }

    testing::IsolatedHome home;
    testing::FakeFrontend frontend;
    TestEncoders encoders;
};

TEST_F(PluginStatusSnapshotTest, TapOnlyAttachmentCountsPacketsAndReadsTheFile) {
    // No configuration file yet: enabled, portal mode, not linked.
    RyvoPluginStatusSnapshot snapshot = plugin_status_snapshot();
    EXPECT_TRUE(snapshot.enabled);
    EXPECT_EQ(snapshot.auth_mode, static_cast<std::int32_t>(AuthMode::portal));
    EXPECT_FALSE(snapshot.has_runtime_credentials);
    EXPECT_EQ(snapshot.output_label, "none");

    testing::write_config(testing::linked_config(RuntimeMode::tap_only, CaptureMode::recording));
    TestOutput native("native", home.file("native.mkv"), encoders);
    ASSERT_TRUE(activate_native_stream_output(native.get(), nullptr));
    ingest_video(native.get());
    ingest_video(native.get());

    snapshot = plugin_status_snapshot();
    EXPECT_TRUE(snapshot.attached);
    EXPECT_EQ(snapshot.output_label, "ryvo_stream");
    EXPECT_EQ(snapshot.video_codec, "h264");
    EXPECT_EQ(snapshot.audio_codec, "aac");
    EXPECT_EQ(snapshot.packets, 2u);
    EXPECT_EQ(snapshot.video_packets, 2u);
    EXPECT_EQ(snapshot.stream_id, "stream-1");
    EXPECT_TRUE(snapshot.has_runtime_credentials);
    EXPECT_EQ(snapshot.capture_mode, CaptureMode::recording);
    EXPECT_EQ(snapshot.runtime_status.current_sequence, 0);
    EXPECT_EQ(snapshot.cache_status.max_bytes, 0u);

    // After the detach the counters of the last attachment stay until the next one.
    deactivate_native_stream_output(native.get());
    snapshot = plugin_status_snapshot();
    EXPECT_FALSE(snapshot.attached);
    EXPECT_EQ(snapshot.output_label, "none");
    EXPECT_EQ(snapshot.packets, 2u);
    EXPECT_EQ(snapshot.dropped_mux_packets, 0u);
}

TEST_F(PluginStatusSnapshotTest, RunningSessionShowsTheConfigurationItStartedWith) {
    testing::write_config(
        testing::linked_config(RuntimeMode::runtime_only, CaptureMode::streaming));
    TestOutput native("native", home.file("native.mkv"), encoders);
    std::string error;
    ASSERT_TRUE(activate_native_stream_output(native.get(), &error)) << error;

    PluginConfig edited = testing::linked_config(RuntimeMode::tap_only, CaptureMode::either);
    edited.stream_id = "stream-2";
    testing::write_config(edited);

    const RyvoPluginStatusSnapshot snapshot = plugin_status_snapshot();
    EXPECT_EQ(snapshot.stream_id, "stream-1");
    EXPECT_EQ(snapshot.runtime_mode, static_cast<std::uint32_t>(RuntimeMode::runtime_only));
    EXPECT_EQ(snapshot.capture_mode, CaptureMode::streaming);
    EXPECT_TRUE(snapshot.runtime_status.streaming);
    EXPECT_NE(snapshot.cache_status.max_bytes, 0u);
}

}  // namespace
}  // namespace ryvoobs
