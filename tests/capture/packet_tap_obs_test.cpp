#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "capture/output_attachment_obs.h"
#include "capture/packet_tap_obs.h"
#include "capture_obs_config.h"
#include "isolated_home.h"
#include "obs_test_support.h"

namespace ryvoobs {
namespace {

using testing::CapturedLog;
using testing::TestEncoders;
using testing::TestOutput;

encoder_packet fake_packet(obs_encoder_type type, bool keyframe, std::int64_t pts,
                           std::vector<std::uint8_t>& payload) {
    encoder_packet packet{};
    packet.data = payload.data();
    packet.size = payload.size();
    packet.type = type;
    packet.keyframe = keyframe;
    packet.pts = pts;
    packet.dts = pts;
    packet.timebase_num = 1;
    packet.timebase_den = 1000;
    return packet;
}

std::uint64_t current_token() {
    std::lock_guard lock(packet_tap_state().mutex);
    return packet_tap_state().token;
}

class PacketTapTest : public ::testing::Test {
  protected:
    void SetUp() override { CapturedLog::instance().clear(); }
    void TearDown() override {
        std::lock_guard lock(packet_tap_state().mutex);
        detach_stream_output_locked(false);
    }

    testing::IsolatedHome home;
    TestEncoders encoders;
    std::vector<std::uint8_t> payload = std::vector<std::uint8_t>(64, 0x42);
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
    PacketTapState& tap = packet_tap_state();
    EXPECT_FALSE(tap.runtime);
    EXPECT_FALSE(tap.background_worker.running);
    EXPECT_FALSE(tap.mux_worker.running);

    auto ingest = [&](obs_encoder_type type, bool keyframe, std::int64_t pts, obs_output_t* from) {
        const encoder_packet packet = fake_packet(type, keyframe, pts, payload);
        ingest_native_stream_packet(from, &packet);
    };
    ingest(OBS_ENCODER_AUDIO, false, 0, native.get());
    ingest(OBS_ENCODER_AUDIO, false, 21, native.get());
    ingest(OBS_ENCODER_VIDEO, false, 33, native.get());
    ingest(OBS_ENCODER_VIDEO, true, 66, native.get());
    // Packets of another output are not the attachment's.
    ingest(OBS_ENCODER_VIDEO, true, 99, other.get());

    EXPECT_EQ(tap.packets.load(), 4u);
    EXPECT_EQ(tap.video_packets.load(), 2u);
    EXPECT_EQ(tap.audio_packets.load(), 2u);
    EXPECT_EQ(tap.queue.size(), 0u);
    // The first packet is logged even though it is audio; then only video keyframes.
    EXPECT_EQ(CapturedLog::instance().matching("packet tap active"),
              (std::vector<std::string>{
                  "[ryvo-obs] packet tap active: type=audio size=64 keyframe=false pts=0 dts=0 "
                  "timebase=1/1000",
                  "[ryvo-obs] packet tap active: type=video size=64 keyframe=true pts=66 dts=66 "
                  "timebase=1/1000"}));

    // A second start of the same output keeps the attachment.
    const std::uint64_t token = current_token();
    ASSERT_TRUE(activate_native_stream_output(native.get(), &error));
    EXPECT_EQ(current_token(), token);

    deactivate_native_stream_output(other.get());
    EXPECT_EQ(tap.output, native.get());
    deactivate_native_stream_output(native.get());
    EXPECT_EQ(tap.output, nullptr);
    EXPECT_EQ(CapturedLog::instance().count(
                  "[ryvo-obs] detached from OBS ryvo_stream output after 4 packets"),
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

    const encoder_packet packet = fake_packet(OBS_ENCODER_VIDEO, true, 0, payload);
    process_encoder_packet(&packet, first);
    process_encoder_packet(&packet, 0);
    process_encoder_packet(nullptr, second);
    EXPECT_EQ(packet_tap_state().packets.load(), 0u);
    EXPECT_EQ(CapturedLog::instance().count("[ryvo-obs] received null encoder packet from OBS",
                                            LOG_WARNING),
              1u);
    process_encoder_packet(&packet, second);
    EXPECT_EQ(packet_tap_state().packets.load(), 1u);
}

TEST_F(PacketTapTest, FullMuxQueueDropsNewPacketsAndLogsTheFirstAndEveryTenth) {
    // The queue is opened as an attachment in full mode opens it, without a worker to drain it.
    PacketTapState& tap = packet_tap_state();
    std::uint64_t token = 0;
    {
        std::lock_guard lock(tap.mutex);
        token = ++tap.token;
        tap.runtime_mode.store(static_cast<std::uint32_t>(RuntimeMode::full));
        tap.queue.open(token);
        tap.active_token.store(token);
    }
    for (std::size_t i = 0; i < kMuxQueueCapacity + 25; ++i) {
        const encoder_packet packet =
            fake_packet(OBS_ENCODER_AUDIO, false, static_cast<std::int64_t>(i), payload);
        process_encoder_packet(&packet, token);
    }
    EXPECT_EQ(tap.queue.size(), kMuxQueueCapacity);
    EXPECT_EQ(tap.queue.drops(), 25u);
    EXPECT_EQ(CapturedLog::instance().matching("mux queue overflow", LOG_WARNING),
              (std::vector<std::string>{
                  "[ryvo-obs] mux queue overflow; dropped packets=1 depth=2048 max=2048",
                  "[ryvo-obs] mux queue overflow; dropped packets=10 depth=2048 max=2048",
                  "[ryvo-obs] mux queue overflow; dropped packets=20 depth=2048 max=2048"}));

    // With no worker left to mux them, detach forgets the queued packets and the drop count.
    CapturedLog::instance().clear();
    {
        std::lock_guard lock(tap.mutex);
        detach_stream_output_locked(false);
    }
    EXPECT_EQ(tap.queue.size(), 0u);
    EXPECT_EQ(tap.queue.drops(), 0u);
    EXPECT_EQ(CapturedLog::instance().count("[ryvo-obs]"), 0u);
}

}  // namespace
}  // namespace ryvoobs
