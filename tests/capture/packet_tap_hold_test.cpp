// The tap holds OBS's own packets instead of copying them: every reference it takes must be given
// back exactly once, whichever way the packet leaves (muxed, dropped on overflow, refused, still
// queued at detach). The packets are allocated as libobs allocates them, so that a missing release
// leaks and a second one frees memory still in use; run under AddressSanitizer and
// ThreadSanitizer as well as in the plain build.
#include <gtest/gtest.h>

#include <util/base.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
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
    ApiStatus post_end(std::string*) const override { return ApiStatus::ok; }
    void cancel() override {}
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
        DeliverySettings settings;
        settings.config_path = default_config_path();
        settings.state_path = default_state_path();
        settings.client_factory = [](PluginConfig) { return std::make_shared<AcceptingClient>(); };
        delivery = std::make_shared<BroadcastDelivery>(std::move(settings));
        std::string error;
        ASSERT_TRUE(delivery->start(&error)) << error;
    }

    std::uint64_t attach() {
        PacketTap::Attachment attachment = tap.attachment();
        const std::uint64_t token = attachment.begin(nullptr, CaptureMode::streaming, "streaming",
                                                     TapSource::frontend_callback, "h264", "");
        attachment.set_delivery(delivery);
        attachment.start_muxing(std::make_shared<MpegTsMuxer>(video_config(), std::nullopt));
        attachment.accept(RuntimeMode::full);
        return token;
    }

    // The stop as OBS's UI thread makes it, then the unload.
    void detach_and_unload() {
        {
            PacketTap::Attachment attachment = tap.attachment();
            attachment.finish_delivery(BroadcastEnd::post);
            attachment.end();
        }
        tap.shut_down(std::chrono::seconds(10));
    }

    testing::IsolatedHome home;
    std::shared_ptr<BroadcastDelivery> delivery;
    PacketTap tap;
};

// Two encoder threads (as video and audio encoders are) hand packets over while the worker muxes;
// the detach comes while packets are still queued.
TEST_F(PacketTapHoldTest, EveryMuxedPacketIsGivenBackOnceByTheWorker) {
    const std::uint64_t token = attach();
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
    detach_and_unload();
    EXPECT_EQ(tap.counters().packets, 2u * kPerThread);
    EXPECT_TRUE(delivery->done());
    for (const std::deque<ObsPacket>* packets : {&video, &audio}) {
        for (const ObsPacket& packet : *packets) {
            ASSERT_EQ(packet.references(), 1);
        }
    }
}

// Holds the mux worker inside its log line for a muxed keyframe until opened, so that the queue
// behind it fills up.
class WorkerGate {
  public:
    WorkerGate() {
        base_get_log_handler(&saved_handler_, &saved_param_);
        base_set_log_handler(&WorkerGate::handle, this);
    }
    ~WorkerGate() {
        open();
        base_set_log_handler(saved_handler_, saved_param_);
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }

  private:
    static void handle(int, const char* format, va_list, void* param) {
        auto* gate = static_cast<WorkerGate*>(param);
        if (std::strstr(format, "mux emitted chunk") != nullptr) {
            std::unique_lock lock(gate->mutex_);
            gate->opened_.wait(lock, [gate] { return gate->open_; });
        }
    }

    log_handler_t saved_handler_ = nullptr;
    void* saved_param_ = nullptr;
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// A queue the worker cannot empty in time: it fills up, overflows and is full at the stop; the
// worker muxes all of it after the stop, and every hold is given back.
TEST_F(PacketTapHoldTest, OverflowDropsWithoutHoldingAndAFullQueueIsMuxedAfterTheStop) {
    WorkerGate gate;
    const std::uint64_t token = attach();
    ObsPacket keyframe(OBS_ENCODER_VIDEO, 4000, 0, true);
    tap.take_packet(keyframe.get(), token);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (tap.queued() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_EQ(tap.queued(), 0u) << "the worker never took the keyframe";
    std::deque<ObsPacket> packets;
    for (std::size_t i = 0; i < kMuxQueueCapacity + 25; ++i) {
        ObsPacket& packet =
            packets.emplace_back(OBS_ENCODER_AUDIO, 200, static_cast<std::int64_t>(i) + 1);
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

    {
        PacketTap::Attachment attachment = tap.attachment();
        attachment.finish_delivery(BroadcastEnd::post);
        attachment.end();
    }
    EXPECT_EQ(tap.queued(), 0u);
    EXPECT_EQ(tap.counters().mux_drops, 0u);
    gate.open();
    tap.shut_down(std::chrono::seconds(10));
    EXPECT_EQ(keyframe.references(), 1);
    for (const ObsPacket& packet : packets) {
        ASSERT_EQ(packet.references(), 1);
    }
}

}  // namespace
}  // namespace ryvoobs
