#include "runtime/segment_assembler.h"

#include <gtest/gtest.h>

#include <limits>

#include "runtime/sha256.h"

namespace ryvoobs {
namespace {

// Chunk n carries three bytes of value n, so every byte of a segment names the chunk it came from.
class SegmentAssemblerTest : public ::testing::Test {
  protected:
    SegmentAssembler make(std::int32_t duration_ms, std::int64_t first_sequence = 0) {
        return SegmentAssembler({duration_ms, first_sequence},
                                [this](SegmentData s) { emitted.push_back(std::move(s)); });
    }
    static void feed(SegmentAssembler& assembler, std::uint8_t chunk, std::int32_t ms, bool key) {
        assembler.append_chunk(std::vector<std::uint8_t>(3, chunk), ms, key);
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
    assembler.flush();
    ASSERT_EQ(emitted.size(), 3u);
    // The keyframe's 500 ms close the first segment; the next one counts from zero.
    const std::vector<std::pair<std::int32_t, SegmentBytes>> expected{
        {2500, chunks({1, 2, 3, 4})},
        {2000, chunks({5, 6, 7, 8})},
        {1500, chunks({9, 10, 11, 12})}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(emitted[i].sequence, 41 + static_cast<std::int64_t>(i));
        EXPECT_EQ(emitted[i].duration_ms, expected[i].first);
        EXPECT_EQ(*emitted[i].bytes, expected[i].second);
        EXPECT_EQ(emitted[i].sha256, sha256_hex(*emitted[i].bytes));
    }
    EXPECT_EQ(assembler.next_sequence(), 44);
}

TEST_F(SegmentAssemblerTest, NeverCutsWithoutAKeyframeThatReachesTheTarget) {
    auto assembler = make(2000);
    feed(assembler, 1, 500, true);  // into an empty buffer: opens, never cuts
    feed(assembler, 2, 500, false);
    feed(assembler, 3, 500, true);  // 1500 ms: short of the target
    for (std::uint8_t n = 4; n <= 100; ++n) {
        feed(assembler, n, 1000, false);
    }
    EXPECT_TRUE(emitted.empty());
    feed(assembler, 101, 0, true);
    ASSERT_EQ(emitted.size(), 1u);
    EXPECT_EQ(emitted[0].bytes->size(), 300u);
}

TEST_F(SegmentAssemblerTest, FlushNeedsBytesAndAtLeastOneMillisecond) {
    auto assembler = make(2000, 7);
    assembler.flush();
    feed(assembler, 1, 0, true);
    feed(assembler, 2, 5, false);
    feed(assembler, 3, -5, false);
    assembler.flush();
    EXPECT_TRUE(emitted.empty());

    feed(assembler, 4, std::numeric_limits<std::int32_t>::max(), false);
    feed(assembler, 5, 1000, false);  // saturates instead of wrapping negative
    assembler.flush();
    assembler.flush();
    ASSERT_EQ(emitted.size(), 1u);
    EXPECT_EQ(emitted[0].sequence, 7);
    EXPECT_EQ(emitted[0].duration_ms, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(*emitted[0].bytes, chunks({1, 2, 3, 4, 5}));
}

}  // namespace
}  // namespace ryvoobs
