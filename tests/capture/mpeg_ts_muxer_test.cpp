#include "capture/mpeg_ts_muxer.h"

#include "capture/transport_stream_codecs.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

extern "C" {
#include <libavformat/avformat.h>
}

namespace ryvoobs {
namespace {

CodecConfig video_config(std::string codec = "h264") {
    CodecConfig config;
    config.kind = MediaKind::video;
    config.codec = std::move(codec);
    config.width = 320;
    config.height = 240;
    config.time_base_num = 1;
    config.time_base_den = 30;
    return config;
}

CodecConfig audio_config(std::string codec = "aac") {
    CodecConfig config;
    config.kind = MediaKind::audio;
    config.codec = std::move(codec);
    // AudioSpecificConfig of AAC-LC, 48 kHz, stereo.
    config.extradata = {0x11, 0x90};
    config.sample_rate = 48000;
    config.channels = 2;
    config.time_base_den = 48000;
    return config;
}

// An Annex-B access unit: the muxer only needs the start code, never a decodable picture.
EncodedMediaPacket video_packet(std::int64_t dts, std::int32_t timebase_den = 1000,
                                bool keyframe = false) {
    EncodedMediaPacket packet;
    packet.kind = MediaKind::video;
    packet.data =
        std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x00, 0x33, 0xff};
    packet.pts = dts;
    packet.dts = dts;
    packet.timebase_den = timebase_den;
    packet.keyframe = keyframe;
    return packet;
}

EncodedMediaPacket audio_packet(std::int64_t pts) {
    EncodedMediaPacket packet;
    packet.kind = MediaKind::audio;
    packet.data = std::vector<std::uint8_t>(180, 0x21);
    packet.pts = pts;
    packet.dts = pts;
    packet.timebase_den = 48000;
    packet.keyframe = true;
    return packet;
}

std::string construction_error(const CodecConfig& video, const std::optional<CodecConfig>& audio) {
    try {
        MpegTsMuxer muxer(video, audio);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "constructed";
}

TEST(MpegTsMuxerConstruction, CodecNamesMatchExactly) {
    for (const char* codec : {"h264", "hevc"}) {
        EXPECT_EQ(construction_error(video_config(codec), audio_config()), "constructed") << codec;
    }
    // AV1 only where this build's libavformat carries it, refused with the rule's own words.
    EXPECT_EQ(construction_error(video_config("av1"), audio_config()),
              transport_stream_codec_refusal("av1").value_or("constructed"));
    for (const char* codec : {"H264", "", "h265", "h264 "}) {
        EXPECT_EQ(construction_error(video_config(codec), std::nullopt),
                  std::string("unsupported codec: ") + codec);
    }
    EXPECT_EQ(construction_error(video_config(), audio_config("AAC")), "unsupported codec: AAC");
}

TEST(TransportStreamCodecs, Av1NeedsTheLibavformatOfFfmpeg71) {
    constexpr unsigned kFfmpeg51 = AV_VERSION_INT(59, 27, 100);
    constexpr unsigned kFfmpeg70 = AV_VERSION_INT(61, 1, 100);
    const struct {
        const char* codec;
        unsigned version;
        bool refused;
    } cases[] = {
        {"av1", kFfmpeg51, true},
        {"av1", kFfmpeg70, true},
        {"av1", AV_VERSION_INT(61, 7, 99), true},
        {"av1", kLibavformatCarryingAv1, false},
        {"av1", AV_VERSION_INT(62, 3, 100), false},
        {"h264", kFfmpeg51, false},
        {"hevc", kFfmpeg51, false},
    };
    for (const auto& c : cases) {
        const std::optional<std::string> refusal =
            transport_stream_codec_refusal(c.codec, c.version);
        EXPECT_EQ(refusal.has_value(), c.refused) << c.codec << " " << c.version;
    }
    EXPECT_EQ(transport_stream_codec_refusal("av1", kFfmpeg51),
              "AV1 video cannot be delivered with this system's FFmpeg (libavformat 59.27; AV1 "
              "needs FFmpeg 7.1 or newer). Choose an H.264 or HEVC encoder in OBS.");
    EXPECT_EQ(transport_stream_carries_av1(), avformat_version() >= kLibavformatCarryingAv1);
}

TEST(MpegTsMuxerTiming, ChunkDurationsFollowVideoDecodeTime) {
    MpegTsMuxer muxer(video_config(), std::nullopt);
    const auto duration_of = [&](const EncodedMediaPacket& packet) {
        auto chunk = muxer.write_packet(packet);
        return chunk ? chunk->duration_ms : -1;
    };
    // With B-frames the first decode timestamps are negative and presentation runs out of order;
    // durations follow decode time and count from the first chunk on.
    const auto reordered = [](std::int64_t dts, std::int64_t pts) {
        EncodedMediaPacket packet = video_packet(dts, 1000, dts < -60);
        packet.pts = pts;
        return packet;
    };
    EXPECT_EQ(duration_of(reordered(-66, 0)), 0);
    EXPECT_EQ(duration_of(reordered(-33, 100)), 33);
    EXPECT_EQ(duration_of(reordered(0, 33)), 33);
    EXPECT_EQ(duration_of(video_packet(3, 90)), 33);
    // A denominator of 0 or 1 counts whole seconds.
    EXPECT_EQ(duration_of(video_packet(1, 1)), 967);
    EXPECT_EQ(duration_of(video_packet(3, 0)), 2000);
    // The numerator is carried, never used: timestamps always count in 1/den.
    EncodedMediaPacket scaled = video_packet(3100);
    scaled.timebase_num = 7;
    EXPECT_EQ(duration_of(scaled), 100);
    // A jump too long for 32 bits saturates instead of wrapping negative.
    EXPECT_EQ(duration_of(video_packet(3'000'000'000LL + 3100, 1000)),
              std::numeric_limits<std::int32_t>::max());
}

TEST(MpegTsMuxerAudio, AudioChunksNeitherFlagKeyframesNorAdvanceVideoTime) {
    MpegTsMuxer muxer(video_config(), audio_config());
    auto first = muxer.write_packet(video_packet(0, 1000, true));
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->keyframe);

    int audio_chunks = 0;
    for (std::int64_t pts = 0; pts < 4 * 1024; pts += 1024) {
        if (auto chunk = muxer.write_packet(audio_packet(pts))) {
            ++audio_chunks;
            EXPECT_FALSE(chunk->keyframe);
            EXPECT_EQ(chunk->duration_ms, 0);
            EXPECT_FALSE(chunk->bytes.empty());
        }
    }
    EXPECT_GT(audio_chunks, 0);

    auto video = muxer.write_packet(video_packet(40));
    ASSERT_TRUE(video);
    EXPECT_EQ(video->duration_ms, 40);
    EXPECT_FALSE(video->keyframe);
}

// Nothing of a packet may wait inside the muxer: the bytes of the last one before a stop would
// never reach a segment.
TEST(MpegTsMuxerAudio, EveryAudioPacketComesOutWithItsOwnChunk) {
    MpegTsMuxer muxer(video_config(), audio_config());
    ASSERT_TRUE(muxer.write_packet(video_packet(0, 1000, true)));
    for (std::int64_t pts = 0; pts < 4 * 1024; pts += 1024) {
        EXPECT_TRUE(muxer.write_packet(audio_packet(pts))) << pts;
    }
}

TEST(MpegTsMuxerPackets, PacketsWithoutPayloadOrStreamGiveNothing) {
    MpegTsMuxer muxer(video_config(), audio_config(""));
    EXPECT_FALSE(muxer.write_packet(audio_packet(0)));
    EncodedMediaPacket empty = video_packet(1000, 1000, true);
    empty.data = PacketPayload();
    EXPECT_FALSE(muxer.write_packet(empty));
    // Had the empty packet been written, an earlier dts would now be refused.
    auto chunk = muxer.write_packet(video_packet(0, 1000, true));
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->duration_ms, 0);
    EXPECT_FALSE(muxer.write_packet(audio_packet(1024)));
}

// Every refusal leaves video time where it was, so the next good packet counts from the last one.
TEST(MpegTsMuxerPackets, RefusedPacketsLeaveTheMuxerUsable) {
    auto muxer = std::make_unique<MpegTsMuxer>(video_config(), audio_config());
    // A first H.264 packet without a start code is refused outright.
    EncodedMediaPacket malformed = video_packet(0, 1000, true);
    malformed.data =
        std::vector<std::uint8_t>(malformed.data.bytes().begin() + 4, malformed.data.bytes().end());
    EXPECT_FALSE(muxer->write_packet(malformed));
    ASSERT_TRUE(muxer->write_packet(video_packet(0, 1000, true)));
    ASSERT_TRUE(muxer->write_packet(video_packet(100)));
    EXPECT_FALSE(muxer->write_packet(video_packet(50))) << "dts going backwards";
    // In whole seconds this overflows the 90 kHz transport clock and the millisecond count.
    EXPECT_FALSE(
        muxer->write_packet(video_packet(std::numeric_limits<std::int64_t>::max() / 2, 1)));
    auto next = muxer->write_packet(video_packet(200));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->duration_ms, 100);

    MpegTsMuxer moved(std::move(*muxer));
    EXPECT_FALSE(muxer->write_packet(video_packet(300)));
    EXPECT_TRUE(moved.write_packet(video_packet(300)));
    // Both the emptied handle and, at scope end, the live one must release cleanly.
    muxer.reset();
}

}  // namespace
}  // namespace ryvoobs
