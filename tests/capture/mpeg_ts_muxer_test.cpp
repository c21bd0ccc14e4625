#include "capture/mpeg_ts_muxer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "capture/transport_stream_codecs.h"
#include "media_file_reader.h"
#include "temporary_directory.h"

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
                                bool keyframe = false, std::optional<std::int64_t> pts = {}) {
    EncodedMediaPacket packet;
    packet.kind = MediaKind::video;
    packet.data =
        std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x00, 0x33, 0xff};
    packet.pts = pts.value_or(dts);
    packet.dts = dts;
    packet.timebase_den = timebase_den;
    packet.keyframe = keyframe;
    return packet;
}

EncodedMediaPacket audio_packet(std::int64_t pts, std::size_t size = 180) {
    EncodedMediaPacket packet;
    packet.kind = MediaKind::audio;
    packet.data = std::vector<std::uint8_t>(size, 0x21);
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

TEST(MpegTsMuxer, CodecNamesMatchExactlyAndAv1NeedsTheLibavformatOfFfmpeg71) {
    for (const char* codec : {"h264", "hevc"}) {
        EXPECT_EQ(construction_error(video_config(codec), audio_config()), "constructed") << codec;
    }
    EXPECT_EQ(construction_error(video_config("av1"), audio_config()),
              transport_stream_codec_refusal("av1").value_or("constructed"));
    EXPECT_EQ(construction_error(video_config("H264"), std::nullopt), "unsupported codec: H264");
    EXPECT_EQ(construction_error(video_config(), audio_config("AAC")), "unsupported codec: AAC");

    EXPECT_EQ(transport_stream_codec_refusal("av1", AV_VERSION_INT(59, 27, 100)),
              "AV1 video cannot be delivered with this system's FFmpeg (libavformat 59.27; AV1 "
              "needs FFmpeg 7.1 or newer). Choose an H.264 or HEVC encoder in OBS.");
    EXPECT_FALSE(transport_stream_codec_refusal("av1", AV_VERSION_INT(61, 7, 100)));
    EXPECT_FALSE(transport_stream_codec_refusal("h264", AV_VERSION_INT(59, 27, 100)));
    EXPECT_EQ(transport_stream_carries_av1(), avformat_version() >= kLibavformatCarryingAv1);
}

TEST(MpegTsMuxer, ChunkDurationsFollowVideoDecodeTime) {
    MpegTsMuxer muxer(video_config(), std::nullopt);
    const auto duration_of = [&](const EncodedMediaPacket& packet) {
        auto chunk = muxer.write_packet(packet);
        return chunk ? chunk->duration_ms : -1;
    };
    // With B-frames the first decode timestamps are negative and presentation runs out of order.
    EXPECT_EQ(duration_of(video_packet(-66, 1000, true, 0)), 0);
    EXPECT_EQ(duration_of(video_packet(-33, 1000, false, 100)), 33);
    EXPECT_EQ(duration_of(video_packet(0, 1000, false, 33)), 33);
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

// An audio packet left inside the muxer at a stop would never reach a segment.
TEST(MpegTsMuxer, AudioPacketsComeOutAtOnceWithoutAdvancingVideoTime) {
    MpegTsMuxer muxer(video_config(), audio_config());
    ASSERT_TRUE(muxer.write_packet(video_packet(0, 1000, true)));
    for (std::int64_t pts = 0; pts < 4 * 1024; pts += 1024) {
        const auto chunk = muxer.write_packet(audio_packet(pts, pts % 2048 == 0 ? 180 : 20));
        ASSERT_TRUE(chunk) << pts;
        EXPECT_FALSE(chunk->keyframe);
        EXPECT_EQ(chunk->duration_ms, 0);
    }
    const auto video = muxer.write_packet(video_packet(40));
    ASSERT_TRUE(video);
    EXPECT_EQ(video->duration_ms, 40);
    EXPECT_FALSE(video->keyframe);
}

TEST(MpegTsMuxer, RefusedPacketsGiveNothingAndLeaveTheMuxerUsable) {
    MpegTsMuxer without_audio(video_config(), audio_config(""));
    EXPECT_FALSE(without_audio.write_packet(audio_packet(0)));
    EncodedMediaPacket empty = video_packet(1000, 1000, true);
    empty.data = PacketPayload();
    EXPECT_FALSE(without_audio.write_packet(empty));
    ASSERT_TRUE(without_audio.write_packet(video_packet(0, 1000, true)));

    auto muxer = std::make_unique<MpegTsMuxer>(video_config(), audio_config());
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
    muxer.reset();
}

// Segments cut in front of keyframe chunks of H.264 with B-frames and AAC each decode on their own.
TEST(MpegTsMuxer, EncoderOutputBecomesSegmentsThatEachPlayForTheWholeLength) {
    testing::TemporaryDirectory dir;
    const std::string clip = dir.file("clip.nut");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=30 "
                           "-f lavfi -i sine=sample_rate=48000 -t 6 -c:v libx264 -preset "
                           "ultrafast -g 60 -c:a aac " +
                           clip)
                              .c_str()),
              0);
    MediaFileReader reader(clip);
    MpegTsMuxer muxer(reader.video(), reader.audio());
    std::vector<std::string> segments;
    // Audio ahead of the first keyframe opens the first segment, as the assembler keeps it.
    bool open_has_video = false;
    while (const std::optional<TimedPacket> timed = reader.next()) {
        const std::optional<MuxedChunk> chunk = muxer.write_packet(timed->packet);
        ASSERT_TRUE(chunk);
        ASSERT_EQ(chunk->bytes.size() % 188, 0U);
        ASSERT_EQ(chunk->bytes.front(), 0x47);
        if (segments.empty() || (chunk->keyframe && open_has_video)) {
            segments.emplace_back();
            open_has_video = false;
        }
        segments.back().append(chunk->bytes.begin(), chunk->bytes.end());
        open_has_video = open_has_video || chunk->keyframe || chunk->duration_ms > 0;
    }
    ASSERT_EQ(segments.size(), 3U);
    for (std::size_t index = 0; index < segments.size(); ++index) {
        const std::string path = dir.file(std::to_string(index) + ".ts");
        std::ofstream(path, std::ios::binary) << segments[index];
        const std::string decode = "ffmpeg -nostdin -v error -xerror -i " + path + " -f null -";
        EXPECT_EQ(std::system(decode.c_str()), 0) << index;
    }
}

}  // namespace
}  // namespace ryvoobs
