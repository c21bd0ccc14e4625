#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture/output_attachment_obs.h"
#include "capture/packet_tap_obs.h"
#include "capture_obs_config.h"
#include "isolated_home.h"
#include "obs_packet.h"
#include "obs_test_support.h"

namespace ryvoobs {
namespace {

using testing::CapturedLog;
using testing::ObsPacket;
using testing::TestEncoders;
using testing::TestOutput;

std::uint64_t current_token() {
    return packet_tap().attachment().token();
}

class PacketTapTest : public ::testing::Test {
  protected:
    void SetUp() override { CapturedLog::instance().clear(); }
    void TearDown() override {
        PacketTap::Attachment tap = packet_tap().attachment();
        detach_stream_output(tap, BroadcastEnd::keep_open);
    }

    testing::IsolatedHome home;
    TestEncoders encoders;
};

TEST_F(PacketTapTest, NativeTapOnlyAttachmentCountsAndLogsButQueuesNothing) {
    testing::write_config(testing::linked_config(RuntimeMode::tap_only, CaptureMode::streaming));
    TestOutput native("native", home.file("native.mkv"), encoders);
    TestOutput other("other", home.file("other.mkv"), encoders);
    std::string error;
    ASSERT_TRUE(activate_native_stream_output(native.get(), &error)) << error;
    EXPECT_EQ(CapturedLog::instance().count(
                  "[ryvo-obs] running in tap-only mode; runtime and muxer startup are disabled"),
              1u);
    EXPECT_FALSE(packet_tap().attachment().delivery());

    auto ingest = [&](obs_encoder_type type, bool keyframe, std::int64_t pts, obs_output_t* from,
                      std::size_t track = 0) {
        ObsPacket packet(type, 64, pts, keyframe, track);
        packet_tap().take_native_packet(from, packet.get());
        EXPECT_EQ(packet.references(), 1);
    };
    ingest(OBS_ENCODER_AUDIO, false, 0, native.get());
    ingest(OBS_ENCODER_AUDIO, false, 21, native.get());
    ingest(OBS_ENCODER_VIDEO, false, 33, native.get());
    ingest(OBS_ENCODER_VIDEO, true, 66, native.get());
    ingest(OBS_ENCODER_VIDEO, true, 99, native.get());
    // Packets of another output, or of a track the muxer was not built for, are not the
    // attachment's.
    ingest(OBS_ENCODER_VIDEO, true, 132, other.get());
    ingest(OBS_ENCODER_AUDIO, false, 42, native.get(), 1);

    const TapCounters counters = packet_tap().counters();
    EXPECT_EQ(counters.packets, 5u);
    EXPECT_EQ(counters.video_packets, 3u);
    EXPECT_EQ(counters.audio_packets, 2u);
    EXPECT_EQ(packet_tap().queued(), 0u);
    // The first packet is logged even though it is audio; later keyframes only at debug level.
    const std::vector<std::string> info = {
        "[ryvo-obs] packet tap active: type=audio size=64 keyframe=false pts=0 dts=0 "
        "timebase=1/1000"};
    EXPECT_EQ(CapturedLog::instance().matching("packet tap active", LOG_INFO), info);
    EXPECT_EQ(CapturedLog::instance().matching("packet tap active", LOG_DEBUG),
              (std::vector<std::string>{
                  "[ryvo-obs] packet tap active: type=video size=64 keyframe=true pts=66 dts=66 "
                  "timebase=1/1000",
                  "[ryvo-obs] packet tap active: type=video size=64 keyframe=true pts=99 dts=99 "
                  "timebase=1/1000"}));

    // A second start of the same output keeps the attachment.
    const std::uint64_t token = current_token();
    ASSERT_TRUE(activate_native_stream_output(native.get(), &error));
    EXPECT_EQ(current_token(), token);

    deactivate_native_stream_output(other.get());
    EXPECT_EQ(packet_tap().attachment().output(), native.get());
    deactivate_native_stream_output(native.get());
    EXPECT_FALSE(packet_tap().attachment().attached());
    EXPECT_EQ(CapturedLog::instance().count(
                  "[ryvo-obs] detached from OBS ryvo_stream output after 5 packets"),
              1u);
}

TEST_F(PacketTapTest, StaleAndMissingTokensChangeNothing) {
    testing::write_config(testing::linked_config(RuntimeMode::tap_only, CaptureMode::streaming));
    TestOutput native("native", home.file("native.mkv"), encoders);
    ASSERT_TRUE(activate_native_stream_output(native.get(), nullptr));
    const std::uint64_t first = current_token();
    deactivate_native_stream_output(native.get());
    ASSERT_TRUE(activate_native_stream_output(native.get(), nullptr));
    const std::uint64_t second = current_token();
    ASSERT_NE(first, second);

    ObsPacket packet(OBS_ENCODER_VIDEO, 64, 0, true);
    packet_tap().take_packet(packet.get(), first);
    packet_tap().take_packet(packet.get(), 0);
    packet_tap().take_packet(nullptr, second);
    EXPECT_EQ(packet_tap().counters().packets, 0u);
    EXPECT_EQ(CapturedLog::instance().count("[ryvo-obs] received null encoder packet from OBS",
                                            LOG_WARNING),
              1u);
    packet_tap().take_packet(packet.get(), second);
    EXPECT_EQ(packet_tap().counters().packets, 1u);
}

}  // namespace
}  // namespace ryvoobs
