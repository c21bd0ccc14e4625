#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture/mpeg_ts_muxer.h"
#include "media_clip.h"

namespace ryvoobs {
namespace {

using testing::CommandResult;
using testing::DemuxedClip;
using testing::run_command;
using testing::TempDir;

constexpr double kFrameMs = 1000.0 / 30.0;
constexpr std::size_t kTsPacketSize = 188;

// Six seconds at 30 fps with a keyframe every two seconds and no B-frames; AAC audio beside it.
std::string make_clip(const TempDir& dir, const std::string& video_options) {
    const std::string path = dir.file("clip.mp4").string();
    const CommandResult made = run_command(
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=30 "
        "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 6 " +
        video_options + " -c:a aac -b:a 96k " + path);
    EXPECT_EQ(made.exit_code, 0) << made.output;
    return path;
}

std::string h264_clip(const TempDir& dir) {
    return make_clip(dir, "-c:v libx264 -preset ultrafast -g 60 -bf 0");
}

nlohmann::json probe(const std::string& arguments) {
    const CommandResult result = run_command("ffprobe -v error -of json " + arguments);
    EXPECT_EQ(result.exit_code, 0) << result.output;
    return nlohmann::json::parse(result.output, nullptr, false);
}

std::vector<std::string> stream_codecs(const std::string& path) {
    const nlohmann::json streams = probe("-show_entries stream=codec_name " + path)["streams"];
    std::vector<std::string> codecs;
    for (const auto& stream : streams) {
        codecs.push_back(stream.value("codec_name", ""));
    }
    return codecs;
}

bool first_video_frame_is_key(const std::string& path) {
    const nlohmann::json frames = probe(
        "-select_streams v:0 -read_intervals %+#1 -show_entries frame=key_frame " + path)["frames"];
    return !frames.empty() && frames.front().value("key_frame", 0) == 1;
}

// Decodes every stream; the text is what the decoders complained about.
std::string decode_errors(const std::string& path) {
    const CommandResult result = run_command("ffmpeg -nostdin -v error -i " + path + " -f null -");
    EXPECT_EQ(result.exit_code, 0);
    return result.output;
}

double video_duration_ms(const std::string& path) {
    const nlohmann::json streams =
        probe("-select_streams v:0 -show_entries stream=duration " + path)["streams"];
    return streams.empty() ? 0.0 : std::stod(streams.front().value("duration", "0")) * 1000.0;
}

using Codecs = std::vector<std::string>;

TEST(MpegTsMuxerClip, H264AndAacBecomeADecodableStreamOfTheSameLength) {
    TempDir dir;
    const std::string clip_path = h264_clip(dir);
    const DemuxedClip clip = testing::demux_clip(clip_path);
    ASSERT_TRUE(clip.audio.has_value());

    MpegTsMuxer muxer(clip.video, clip.audio);
    const std::vector<MuxedChunk> chunks = testing::mux_all(muxer, clip.packets);
    ASSERT_FALSE(chunks.empty());
    const std::string out = dir.file("out.ts").string();
    testing::write_chunks(out, chunks);

    EXPECT_EQ(stream_codecs(out), (Codecs{"h264", "aac"}));
    EXPECT_TRUE(first_video_frame_is_key(out));
    EXPECT_EQ(decode_errors(out), "");

    EXPECT_TRUE(chunks.front().keyframe);
    EXPECT_EQ(chunks.front().duration_ms, 0);
    double total_ms = 0;
    for (const MuxedChunk& chunk : chunks) {
        total_ms += chunk.duration_ms;
    }
    EXPECT_LE(std::abs(total_ms - video_duration_ms(clip_path)), kFrameMs);
}

// The segmenter cuts in front of keyframe chunks, so each such cut must give a stream that plays
// on its own: whole transport packets, tables first, a keyframe first.
TEST(MpegTsMuxerClip, EveryKeyframeChunkStartsAPlayableSegment) {
    TempDir dir;
    const DemuxedClip clip = testing::demux_clip(h264_clip(dir));
    MpegTsMuxer muxer(clip.video, clip.audio);
    const std::vector<MuxedChunk> chunks = testing::mux_all(muxer, clip.packets);

    std::vector<std::vector<MuxedChunk>> segments;
    for (const MuxedChunk& chunk : chunks) {
        ASSERT_EQ(chunk.bytes.size() % kTsPacketSize, 0U);
        ASSERT_EQ(chunk.bytes.front(), 0x47);
        if (chunk.keyframe || segments.empty()) {
            segments.emplace_back();
        }
        segments.back().push_back(chunk);
    }
    ASSERT_EQ(segments.size(), 3U);
    for (std::size_t index = 0; index < segments.size(); ++index) {
        const std::string path = dir.file("segment" + std::to_string(index) + ".ts").string();
        testing::write_chunks(path, segments[index]);
        EXPECT_EQ(stream_codecs(path), (Codecs{"h264", "aac"})) << index;
        EXPECT_TRUE(first_video_frame_is_key(path)) << index;
        EXPECT_EQ(decode_errors(path), "") << index;
    }
}

TEST(MpegTsMuxerClip, HevcBecomesADecodableStream) {
    if (run_command("ffmpeg -hide_banner -encoders").output.find(" libx265 ") ==
        std::string::npos) {
        GTEST_SKIP() << "this ffmpeg has no libx265 encoder";
    }
    TempDir dir;
    const DemuxedClip clip =
        testing::demux_clip(make_clip(dir,
                                      "-c:v libx265 -preset ultrafast -x265-params "
                                      "keyint=60:min-keyint=60:bframes=0:log-level=error"));
    ASSERT_EQ(clip.video.codec, "hevc");

    MpegTsMuxer muxer(clip.video, clip.audio);
    const std::string out = dir.file("out.ts").string();
    testing::write_chunks(out, testing::mux_all(muxer, clip.packets));
    EXPECT_EQ(stream_codecs(out), (Codecs{"hevc", "aac"}));
    EXPECT_TRUE(first_video_frame_is_key(out));
    EXPECT_EQ(decode_errors(out), "");
}

TEST(MpegTsMuxerClip, AudioWithoutCodecLeavesAVideoOnlyStream) {
    TempDir dir;
    const DemuxedClip clip = testing::demux_clip(h264_clip(dir));
    CodecConfig no_audio = *clip.audio;
    no_audio.codec.clear();

    MpegTsMuxer muxer(clip.video, no_audio);
    std::vector<MuxedChunk> chunks;
    for (const EncodedMediaPacket& packet : clip.packets) {
        auto chunk = muxer.write_packet(packet);
        if (packet.kind == MediaKind::audio) {
            EXPECT_FALSE(chunk.has_value());
        } else if (chunk) {
            chunks.push_back(std::move(*chunk));
        }
    }
    const std::string out = dir.file("out.ts").string();
    testing::write_chunks(out, chunks);
    EXPECT_EQ(stream_codecs(out), Codecs{"h264"});
    EXPECT_EQ(decode_errors(out), "");
}

}  // namespace
}  // namespace ryvoobs
