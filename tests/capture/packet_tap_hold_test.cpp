// The tap holds OBS's own packets instead of copying them: every reference it takes must be given
// back exactly once, whichever way the packet leaves (muxed, dropped on overflow, refused, still
// queued at detach). The packets are allocated as libobs allocates them, so that a missing release
// leaks and a second one frees memory still in use; run under AddressSanitizer and
// ThreadSanitizer as well as in the plain build.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <thread>

#include "capture/packet_tap_obs.h"
#include "capture_obs_config.h"
#include "isolated_home.h"
#include "obs_packet.h"
#include "runtime/sequence_checkpoint.h"

namespace ryvoobs {
namespace {

using testing::ObsPacket;

class AcceptingClient : public RyvoApiClient {
  public:
    UploadResult upload_segment(const SegmentData&) const override { return {true, 201, "", 0}; }
    ApiStatus post_heartbeat(const HeartbeatPayload&, std::string*) const override {
        return ApiStatus::ok;
    }
    std::optional<BackfillResponse> fetch_backfill(std::string*, ApiStatus* status) const override {
        if (status != nullptr) {
            *status = ApiStatus::ok;
        }
        return BackfillResponse{};
    }
    bool post_end(std::string*) const override { return true; }
};

CodecConfig video_config() {
    CodecConfig config;
    config.kind = MediaKind::video;
    config.codec = "h264";
    config.width = 1280;
    config.height = 720;
    config.time_base_num = 1;
    config.time_base_den = 1000;
    return config;
}

// A full-mode attachment without an OBS output: the calls come from the test's threads.
class PacketTapHoldTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::write_config(testing::linked_config(RuntimeMode::full, CaptureMode::streaming));
        runtime = std::make_shared<RyvoRuntime>(
            default_config_path(), default_state_path(),
            [](PluginConfig) { return std::make_shared<AcceptingClient>(); });
        std::string error;
        ASSERT_TRUE(runtime->load(&error) && runtime->start(&error)) << error;
    }

    // `with_worker` false leaves the queue without a consumer, so that it fills up.
    std::uint64_t attach(bool with_worker) {
        PacketTap::Attachment attachment = tap.attachment();
        const std::uint64_t token = attachment.begin(nullptr, CaptureMode::streaming, "streaming",
                                                     TapSource::frontend_callback, "h264", "");
        if (with_worker) {
            attachment.start_runtime(runtime);
        }
        attachment.start_muxing(std::make_shared<MpegTsMuxer>(video_config(), std::nullopt));
        attachment.accept(RuntimeMode::full);
        return token;
    }

    void detach() {
        PacketTap::Attachment attachment = tap.attachment();
        if (const std::shared_ptr<RyvoRuntime> stopped = attachment.stop_delivery()) {
            stopped->stop();
        }
        attachment.end();
    }

    testing::IsolatedHome home;
    std::shared_ptr<RyvoRuntime> runtime;
    PacketTap tap;
};

// Two encoder threads (as video and audio encoders are) hand packets over while the worker muxes;
// the detach comes while packets are still queued.
TEST_F(PacketTapHoldTest, EveryMuxedPacketIsGivenBackOnceByTheWorker) {
    const std::uint64_t token = attach(true);
    constexpr int kPerThread = 600;
    std::deque<ObsPacket> video;
    std::deque<ObsPacket> audio;
    for (int i = 0; i < kPerThread; ++i) {
        video.emplace_back(OBS_ENCODER_VIDEO, 4000 + i, i * 33, i % 30 == 0);
        audio.emplace_back(OBS_ENCODER_AUDIO, 300, i * 21);
    }
    std::thread video_thread([&] {
        for (ObsPacket& packet : video) {
            tap.take_packet(packet.get(), token);
        }
    });
    std::thread audio_thread([&] {
        for (ObsPacket& packet : audio) {
            tap.take_packet(packet.get(), token);
        }
    });
    video_thread.join();
    audio_thread.join();
    detach();
    EXPECT_EQ(tap.counters().packets, 2u * kPerThread);
    for (const std::deque<ObsPacket>* packets : {&video, &audio}) {
        for (const ObsPacket& packet : *packets) {
            ASSERT_EQ(packet.references(), 1);
        }
    }
}

TEST_F(PacketTapHoldTest, OverflowDropsWithoutHoldingAndDetachReleasesAFullQueue) {
    const std::uint64_t token = attach(false);
    std::deque<ObsPacket> packets;
    for (std::size_t i = 0; i < kMuxQueueCapacity + 25; ++i) {
        ObsPacket& packet =
            packets.emplace_back(OBS_ENCODER_AUDIO, 200, static_cast<std::int64_t>(i));
        tap.take_packet(packet.get(), token);
        // Queued packets are held once more; the dropped ones not at all.
        ASSERT_EQ(packet.references(), i < kMuxQueueCapacity ? 2 : 1) << "packet " << i;
    }
    EXPECT_EQ(tap.queued(), kMuxQueueCapacity);
    EXPECT_EQ(tap.counters().mux_drops, 25u);

    // A stale token is refused without a hold.
    ObsPacket late(OBS_ENCODER_AUDIO, 200, 0);
    tap.take_packet(late.get(), token + 1);
    EXPECT_EQ(late.references(), 1);

    detach();
    EXPECT_EQ(tap.queued(), 0u);
    EXPECT_EQ(tap.counters().mux_drops, 0u);
    for (const ObsPacket& packet : packets) {
        ASSERT_EQ(packet.references(), 1);
    }
}

}  // namespace
}  // namespace ryvoobs
