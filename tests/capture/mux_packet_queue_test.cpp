#include "capture/mux_packet_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stop_token>
#include <thread>
#include <vector>

namespace ryvoobs {
namespace {

using Result = MuxPushOutcome::Result;

EncodedMediaPacket packet(std::int64_t pts) {
    EncodedMediaPacket result;
    result.pts = pts;
    result.data = std::vector<std::uint8_t>{0, 0, 0, 1};
    return result;
}

// Bounded, so that a lost wake-up fails the test instead of hanging it.
bool eventually(const std::atomic<std::int64_t>& value, std::int64_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (value.load() != expected) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

TEST(MuxPacketQueue, AcceptsOnlyTheOpenTokenAndHandsOverWhatWasQueuedAtTheClose) {
    MuxPacketQueue queue;
    EXPECT_EQ(queue.push(0, packet(0)).result, Result::refused);
    queue.open(7);
    EXPECT_EQ(queue.push(6, packet(1)).result, Result::refused);
    EXPECT_EQ(queue.push(0, packet(2)).result, Result::refused);
    EXPECT_EQ(queue.push(7, packet(3)).result, Result::queued);
    EXPECT_EQ(queue.push(7, packet(4)).result, Result::queued);
    std::stop_source stop;
    EXPECT_EQ(queue.wait_pop(7, stop.get_token())->pts, 3);

    const std::vector<EncodedMediaPacket> rest = queue.close();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest.front().pts, 4);
    EXPECT_EQ(queue.push(7, packet(5)).result, Result::refused);
    queue.open(8);
    EXPECT_EQ(queue.push(8, packet(6)).result, Result::queued);
    EXPECT_FALSE(queue.wait_pop(7, stop.get_token()));
    EXPECT_EQ(queue.wait_pop(8, stop.get_token())->pts, 6);
}

// Each push lands while the consumer finds the queue empty or sleeps on it: a lost wake-up hangs.
TEST(MuxPacketQueue, APacketQueuedAsTheConsumerFindsTheQueueEmptyIsTakenWithoutAnother) {
    constexpr std::int64_t kRounds = 3000;
    MuxPacketQueue queue;
    queue.open(5);
    std::atomic<std::int64_t> taken{-1};
    std::jthread consumer([&](std::stop_token stop) {
        while (auto next = queue.wait_pop(5, stop)) {
            EXPECT_EQ(next->pts, taken.load() + 1);
            taken.store(next->pts);
        }
    });
    for (std::int64_t pts = 0; pts < kRounds; ++pts) {
        ASSERT_EQ(queue.push(5, packet(pts)).result, Result::queued);
        ASSERT_TRUE(eventually(taken, pts)) << "packet " << pts << " was never taken";
    }
    for (std::int64_t pts = kRounds; pts < kRounds + 100; ++pts) {
        queue.push(5, packet(pts));
    }
    consumer.request_stop();
    consumer.join();
    EXPECT_EQ(taken.load(), kRounds + 99);
}

// Producers of the old and the new opening push at once, more of them than cores.
TEST(MuxPacketQueue, ConcurrentProducersReachOnlyTheirOwnOpeningsConsumer) {
    MuxPacketQueue queue;
    std::atomic<std::uint64_t> open_token{1};
    queue.open(1);
    std::vector<std::jthread> producers;
    for (std::int64_t producer = 0; producer < 4; ++producer) {
        producers.emplace_back([&queue, &open_token, producer](std::stop_token done) {
            for (std::int64_t i = 0; !done.stop_requested(); ++i) {
                const std::uint64_t token = open_token.load();
                // The token in the pts, the producer and its count below it.
                queue.push(token, packet(static_cast<std::int64_t>(token) * 1'000'000'000 +
                                         producer * 100'000'000 + i));
                std::this_thread::yield();
            }
        });
    }
    for (std::uint64_t token = 1; token <= 300; ++token) {
        std::int64_t last[4] = {-1, -1, -1, -1};
        std::jthread consumer([&] {
            while (auto next = queue.wait_pop(token, {})) {
                ASSERT_EQ(next->pts / 1'000'000'000, static_cast<std::int64_t>(token));
                const std::int64_t producer = next->pts / 100'000'000 % 10;
                ASSERT_LT(last[producer], next->pts);
                last[producer] = next->pts;
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        for (const EncodedMediaPacket& rest : queue.close()) {
            ASSERT_EQ(rest.pts / 1'000'000'000, static_cast<std::int64_t>(token));
        }
        consumer.join();
        open_token.store(token + 1);
        queue.open(token + 1);
    }
}

}  // namespace
}  // namespace ryvoobs
