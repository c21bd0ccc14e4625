#include "capture/mux_packet_queue.h"

#include <gtest/gtest.h>

#include <stop_token>
#include <thread>
#include <vector>

namespace ryvoobs {
namespace {

EncodedMediaPacket packet(std::int64_t pts) {
    EncodedMediaPacket result;
    result.pts = pts;
    result.data = {0, 0, 0, 1};
    return result;
}

TEST(MuxPacketQueue, AcceptsOnlyTheOpenTokenAndForgetsEverythingWhenClosed) {
    MuxPacketQueue queue;
    EXPECT_EQ(queue.push(1, packet(0)).result, MuxPushOutcome::Result::refused);
    queue.open(7);
    EXPECT_EQ(queue.push(6, packet(1)).result, MuxPushOutcome::Result::refused);
    EXPECT_EQ(queue.push(0, packet(2)).result, MuxPushOutcome::Result::refused);
    EXPECT_EQ(queue.push(7, packet(3)).result, MuxPushOutcome::Result::queued);
    EXPECT_EQ(queue.size(), 1u);

    queue.close();
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(queue.push(7, packet(4)).result, MuxPushOutcome::Result::refused);
}

TEST(MuxPacketQueue, ConsumerGetsPacketsInOrderAndEndsOnStopOnceEmpty) {
    MuxPacketQueue queue;
    queue.open(3);
    std::vector<std::int64_t> received;
    std::stop_source stop;
    std::thread consumer([&] {
        while (auto next = queue.wait_pop(stop.get_token())) {
            received.push_back(next->pts);
        }
    });
    for (std::int64_t pts = 0; pts < 100; ++pts) {
        queue.push(3, packet(pts));
    }
    // Packets queued before the stop are still handed out; then the waiting consumer ends.
    stop.request_stop();
    consumer.join();
    std::vector<std::int64_t> expected;
    for (std::int64_t pts = 0; pts < 100; ++pts) {
        expected.push_back(pts);
    }
    EXPECT_EQ(received, expected);
}

}  // namespace
}  // namespace ryvoobs
