// The tap holds OBS's own packets, allocated here as libobs allocates them: under the sanitizers a
// missing release leaks and a second one frees memory still in use.
#include <gtest/gtest.h>

#include <util/base.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>

#include "accepting_client.h"
#include "capture/packet_tap_obs.h"
#include "isolated_home.h"
#include "runtime/sequence_checkpoint.h"
#include "tap_test_support.h"

namespace ryvoobs {
namespace {

using testing::AcceptingClient;
using testing::ObsPacket;

// While set, the mux worker stalls in its log line for a muxed chunk and the queue fills up.
std::atomic<bool> worker_held{true};

void hold_worker(int, const char* format, va_list, void*) {
    if (std::strstr(format, "mux emitted chunk") != nullptr) {
        worker_held.wait(true);
    }
}

struct WorkerRelease {
    ~WorkerRelease() { release(); }
    void release() {
        worker_held = false;
        worker_held.notify_all();
    }
};

// Two encoder threads feed a held worker: the queue overflows and is still full at the stop.
TEST(PacketTapHold, EveryHoldIsGivenBackOnceWhetherMuxedDroppedRefusedOrQueuedAtTheStop) {
    testing::IsolatedHome home;
    testing::write_config(testing::linked_config(RuntimeMode::full, CaptureMode::streaming));
    DeliverySettings settings;
    settings.config_path = default_config_path();
    settings.state_path = default_state_path();
    settings.client_factory = [](PluginConfig) { return std::make_shared<AcceptingClient>(); };
    auto delivery = std::make_shared<BroadcastDelivery>(std::move(settings));
    std::string error;
    ASSERT_TRUE(delivery->start(&error)) << error;
    base_set_log_handler(hold_worker, nullptr);
    WorkerRelease worker;
    PacketTap tap;
    CodecConfig h264;
    h264.codec = "h264";
    std::uint64_t token = 0;
    {
        PacketTap::Attachment attachment = tap.attachment();
        token = attachment.begin(nullptr, CaptureMode::streaming, "streaming",
                                 TapSource::frontend_callback, "h264", "");
        attachment.set_delivery(delivery);
        attachment.start_muxing(std::make_shared<MpegTsMuxer>(h264, std::nullopt));
        attachment.accept(RuntimeMode::full);
    }
    ObsPacket keyframe(OBS_ENCODER_VIDEO, 4000, 0, true);
    tap.take_packet(keyframe.get(), token);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (tap.queued() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_EQ(tap.queued(), 0u) << "the worker never took the keyframe";

    constexpr std::size_t kPerThread = kMuxQueueCapacity / 2 + 25;
    std::deque<ObsPacket> video;
    std::deque<ObsPacket> audio;
    for (std::size_t i = 1; i <= kPerThread; ++i) {
        const auto pts = static_cast<std::int64_t>(i);
        video.emplace_back(OBS_ENCODER_VIDEO, 3000 + i, pts * 33, i % 30 == 0);
        audio.emplace_back(OBS_ENCODER_AUDIO, 300, pts * 21);
    }
    std::jthread video_thread([&] {
        for (ObsPacket& packet : video) {
            tap.take_packet(packet.get(), token);
        }
    });
    std::jthread audio_thread([&] {
        for (ObsPacket& packet : audio) {
            tap.take_packet(packet.get(), token);
        }
    });
    video_thread.join();
    audio_thread.join();
    std::size_t held = 0;
    for (const std::deque<ObsPacket>* packets : {&video, &audio}) {
        for (const ObsPacket& packet : *packets) {
            held += packet.references() == 2 ? 1 : 0;
        }
    }
    EXPECT_EQ(held, kMuxQueueCapacity);
    EXPECT_EQ(tap.queued(), kMuxQueueCapacity);
    EXPECT_EQ(tap.counters().mux_drops, 50u);

    ObsPacket late(OBS_ENCODER_AUDIO, 200, 0);
    ObsPacket second_track(OBS_ENCODER_AUDIO, 200, 0, false, 1);
    tap.take_packet(late.get(), token + 1);
    tap.take_packet(late.get(), 0);
    tap.take_packet(second_track.get(), token);
    tap.take_packet(nullptr, token);
    EXPECT_EQ(late.references(), 1);
    EXPECT_EQ(second_track.references(), 1);
    EXPECT_EQ(tap.counters().packets, 1 + 2 * kPerThread);

    {
        PacketTap::Attachment attachment = tap.attachment();
        attachment.finish_delivery(BroadcastEnd::post);
        attachment.end();
    }
    EXPECT_EQ(tap.queued(), 0u);
    EXPECT_EQ(tap.counters().mux_drops, 0u);
    worker.release();
    tap.shut_down(std::chrono::seconds(10));
    EXPECT_TRUE(delivery->done());
    EXPECT_EQ(keyframe.references(), 1);
    for (const std::deque<ObsPacket>* packets : {&video, &audio}) {
        for (const ObsPacket& packet : *packets) {
            ASSERT_EQ(packet.references(), 1);
        }
    }
}

}  // namespace
}  // namespace ryvoobs
