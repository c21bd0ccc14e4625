#include "synthetic_stream.h"

#include <gtest/gtest.h>

#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "runtime/segment_assembler.h"

namespace ryvoobs::bench {
namespace {

// The benchmark's figures are per broadcast second, so the stream must really be the bitrate it
// claims, GOP by GOP, in the shape the muxer produces.
TEST(SyntheticStreamTest, EveryGopCarriesTheBitrateInOneKeyframeLedGroup) {
    const SyntheticStream stream(8'000'000);
    const std::vector<ChunkLayout>& layout = stream.gop_layout();

    EXPECT_EQ(stream.gop_size(), 2'000'000u);
    const std::size_t total =
        std::accumulate(layout.begin(), layout.end(), std::size_t{0},
                        [](std::size_t sum, const ChunkLayout& chunk) { return sum + chunk.size; });
    EXPECT_EQ(total, stream.gop_size());

    std::int32_t video_ms = 0;
    int keyframes = 0;
    int video_chunks = 0;
    for (const ChunkLayout& chunk : layout) {
        EXPECT_GT(chunk.size, 0u);
        video_ms += chunk.duration_ms;
        keyframes += chunk.keyframe ? 1 : 0;
        video_chunks += chunk.duration_ms > 0 ? 1 : 0;
    }
    EXPECT_TRUE(layout.front().keyframe);
    EXPECT_EQ(keyframes, 1);
    EXPECT_EQ(video_chunks, 60);
    EXPECT_EQ(video_ms, SyntheticStream::kGopMs);
    EXPECT_GT(layout.size(), 140u) << "audio packets should sit between the video frames";
    EXPECT_THROW(SyntheticStream(100'000), std::invalid_argument) << "too low for its audio";
}

TEST(SyntheticStreamTest, GopsHaveTheirOwnBytesWithinThePool) {
    const SyntheticStream stream(8'000'000);
    std::set<std::vector<std::uint8_t>> firsts;
    for (std::int64_t gop = 0; gop < 300; ++gop) {
        const auto bytes = stream.gop_bytes(gop);
        ASSERT_EQ(bytes.size(), stream.gop_size());
        firsts.emplace(bytes.begin(), bytes.begin() + 64);
    }
    EXPECT_EQ(firsts.size(), 300u);
}

// Fed to the real assembler, one GOP must become exactly one 2 s segment: otherwise the
// benchmark would measure a different segment count than a live broadcast produces.
TEST(SyntheticStreamTest, TheAssemblerCutsOneSegmentPerGop) {
    const SyntheticStream stream(8'000'000);
    std::vector<SegmentData> segments;
    SegmentAssembler assembler({2000, 1},
                               [&segments](SegmentData segment) { segments.push_back(segment); });
    for (std::int64_t gop = 0; gop < 5; ++gop) {
        auto bytes = stream.gop_bytes(gop);
        for (const ChunkLayout& chunk : stream.gop_layout()) {
            assembler.append_chunk(bytes.first(chunk.size), chunk.duration_ms, chunk.keyframe);
            bytes = bytes.subspan(chunk.size);
        }
    }
    assembler.flush();

    ASSERT_EQ(segments.size(), 5u);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        EXPECT_EQ(segments[i].size(), stream.gop_size());
        EXPECT_NEAR(segments[i].duration_ms, 2000, 34) << "segment " << i;
    }
}

}  // namespace
}  // namespace ryvoobs::bench
