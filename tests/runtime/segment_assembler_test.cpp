#include "runtime/segment_assembler.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "runtime/sha256.h"

namespace ryvoobs {
namespace {

// Collects what the assembler emits; chunk n is filled with the byte value n so that every byte
// can be traced back to the chunk that brought it.
class SegmentAssemblerTest : public ::testing::Test {
  protected:
    SegmentAssembler make(std::int32_t segment_duration_ms, std::int64_t first_sequence = 0) {
        return SegmentAssembler(
            SegmenterConfig{segment_duration_ms, first_sequence},
            [this](SegmentData segment) { emitted.push_back(std::move(segment)); });
    }

    static void feed(SegmentAssembler& assembler, std::uint8_t chunk, std::int32_t duration_ms,
                     bool keyframe) {
        const std::vector<std::uint8_t> bytes(3, chunk);
        assembler.append_chunk(bytes, duration_ms, keyframe);
    }

    static SegmentBytes chunks(std::initializer_list<std::uint8_t> numbers) {
        SegmentBytes bytes;
        for (std::uint8_t n : numbers) {
            bytes.insert(bytes.end(), 3, n);
        }
        return bytes;
    }

    std::vector<SegmentData> emitted;
};

TEST_F(SegmentAssemblerTest, CutsInFrontOfTheKeyframeThatCompletesASegment) {
    auto assembler = make(2000, 41);
    for (std::uint8_t n = 1; n <= 12; ++n) {
        feed(assembler, n, 500, n % 4 == 1);
    }
    ASSERT_EQ(emitted.size(), 2u);
    assembler.flush();
    ASSERT_EQ(emitted.size(), 3u);

    // The keyframe's 500 ms close the first segment; the second starts its count at zero.
    EXPECT_EQ(emitted[0].sequence, 41);
    EXPECT_EQ(emitted[0].duration_ms, 2500);
    EXPECT_EQ(*emitted[0].bytes, chunks({1, 2, 3, 4}));
    EXPECT_EQ(emitted[1].sequence, 42);
    EXPECT_EQ(emitted[1].duration_ms, 2000);
    EXPECT_EQ(*emitted[1].bytes, chunks({5, 6, 7, 8}));
    EXPECT_EQ(emitted[2].sequence, 43);
    EXPECT_EQ(emitted[2].duration_ms, 1500);
    EXPECT_EQ(*emitted[2].bytes, chunks({9, 10, 11, 12}));
    EXPECT_EQ(assembler.next_sequence(), 44);

    for (const auto& segment : emitted) {
        EXPECT_EQ(segment.sha256, sha256_hex(*segment.bytes));
        EXPECT_TRUE(segment.capture_session_id.empty());
        EXPECT_FALSE(segment.uploaded);
        EXPECT_FALSE(segment.upload_in_flight);
        // The sink gets sole ownership of freshly made storage, nothing is kept behind.
        EXPECT_EQ(segment.bytes.use_count(), 1);
    }
}

TEST_F(SegmentAssemblerTest, NeverCutsWithoutAKeyframeThatReachesTheTarget) {
    auto assembler = make(2000);
    feed(assembler, 1, 500, true);  // empty buffer: a keyframe only opens the segment
    for (std::uint8_t n = 2; n <= 200; ++n) {
        feed(assembler, n, 1000, false);
    }
    EXPECT_TRUE(emitted.empty());

    auto short_gop = make(2000);
    feed(short_gop, 1, 500, true);
    feed(short_gop, 2, 500, false);
    feed(short_gop, 3, 500, true);  // 1500 ms: still short of the target
    EXPECT_TRUE(emitted.empty());
    feed(short_gop, 4, 500, true);
    ASSERT_EQ(emitted.size(), 1u);
    EXPECT_EQ(emitted[0].duration_ms, 2000);
    EXPECT_EQ(*emitted[0].bytes, chunks({1, 2, 3}));
}

TEST_F(SegmentAssemblerTest, FlushNeedsBytesAndAtLeastOneMillisecond) {
    auto assembler = make(2000, 7);
    assembler.flush();
    EXPECT_TRUE(emitted.empty());

    feed(assembler, 1, 0, true);
    feed(assembler, 2, 0, false);
    assembler.flush();
    EXPECT_TRUE(emitted.empty());

    // Negative durations are summed as they come, so they can hold a tail back.
    feed(assembler, 3, 5, false);
    feed(assembler, 4, -5, false);
    assembler.flush();
    EXPECT_TRUE(emitted.empty());

    feed(assembler, 5, 1, false);
    assembler.flush();
    ASSERT_EQ(emitted.size(), 1u);
    EXPECT_EQ(emitted[0].sequence, 7);
    EXPECT_EQ(emitted[0].duration_ms, 1);
    EXPECT_EQ(*emitted[0].bytes, chunks({1, 2, 3, 4, 5}));

    assembler.flush();
    EXPECT_EQ(emitted.size(), 1u);
    EXPECT_EQ(assembler.next_sequence(), 8);
}

TEST_F(SegmentAssemblerTest, AFailingSinkLosesTheSegmentButNotTheNumbering) {
    int calls = 0;
    SegmentAssembler assembler(SegmenterConfig{1000, 1}, [&](SegmentData segment) {
        if (++calls == 1) {
            throw std::runtime_error("disk full");
        }
        emitted.push_back(std::move(segment));
    });
    feed(assembler, 1, 1000, true);
    EXPECT_THROW(feed(assembler, 2, 0, true), std::runtime_error);
    EXPECT_EQ(assembler.next_sequence(), 2);

    feed(assembler, 3, 400, true);
    assembler.flush();
    ASSERT_EQ(emitted.size(), 1u);
    EXPECT_EQ(emitted[0].sequence, 2);
    EXPECT_EQ(emitted[0].duration_ms, 400);
    EXPECT_EQ(*emitted[0].bytes, chunks({3}));
}

TEST_F(SegmentAssemblerTest, DurationSumSaturatesInsteadOfWrapping) {
    auto assembler = make(1000);
    feed(assembler, 1, std::numeric_limits<std::int32_t>::max(), false);
    feed(assembler, 2, 1000, false);
    assembler.flush();
    ASSERT_EQ(emitted.size(), 1u);
    EXPECT_EQ(emitted[0].duration_ms, std::numeric_limits<std::int32_t>::max());
}

TEST(SegmentAssemblerConstruction, RejectsAMissingSinkFirstThenABadDuration) {
    auto message = [](SegmenterConfig config, SegmentSink sink) {
        try {
            SegmentAssembler assembler(config, std::move(sink));
        } catch (const std::invalid_argument& error) {
            return std::string(error.what());
        }
        return std::string("constructed");
    };
    const SegmentSink sink = [](SegmentData) {};
    EXPECT_EQ(message({0, 0}, nullptr), "segment sink is required");
    EXPECT_EQ(message({0, 0}, sink), "segment_duration_ms must be positive");
    EXPECT_EQ(message({-2000, 0}, sink), "segment_duration_ms must be positive");
    EXPECT_EQ(message({1, 0}, sink), "constructed");
}

}  // namespace
}  // namespace ryvoobs
