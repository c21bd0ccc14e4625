// Muxes real encoder output (made with the ffmpeg tools, stored in NUT so that packets keep the
// encoders' own shape: Annex-B video, raw AAC frames with their AudioSpecificConfig) and checks the
// result with ffprobe and a full decode.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "capture/mpeg_ts_muxer.h"
#include "temporary_directory.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace ryvoobs {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;

constexpr double kFrameMs = 1000.0 / 30.0;
constexpr std::size_t kTsPacketSize = 188;

struct CommandResult {
    int exit_code = -1;
    std::string output;  // stdout and stderr together
};

CommandResult run_command(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> buffer{};
    std::size_t count = 0;
    while ((count = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        result.output.append(buffer.data(), count);
    }
    const int status = pclose(pipe);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

nlohmann::json probe(const std::string& arguments) {
    const CommandResult result = run_command("ffprobe -v error -of json " + arguments);
    EXPECT_EQ(result.exit_code, 0) << result.output;
    return nlohmann::json::parse(result.output, nullptr, false);
}

std::vector<std::string> stream_codecs(const fs::path& path) {
    const nlohmann::json streams =
        probe("-show_entries stream=codec_name " + path.string())["streams"];
    std::vector<std::string> codecs;
    for (const auto& stream : streams) {
        codecs.push_back(stream.value("codec_name", ""));
    }
    return codecs;
}

bool first_video_frame_is_key(const fs::path& path) {
    const nlohmann::json frames =
        probe("-select_streams v:0 -read_intervals %+#1 -show_entries frame=key_frame " +
              path.string())["frames"];
    return !frames.empty() && frames.front().value("key_frame", 0) == 1;
}

// What the decoders complained about while decoding every stream.
std::string decode_errors(const fs::path& path) {
    const CommandResult result =
        run_command("ffmpeg -nostdin -v error -i " + path.string() + " -f null -");
    EXPECT_EQ(result.exit_code, 0);
    return result.output;
}

struct Clip {
    CodecConfig video;
    CodecConfig audio;
    std::vector<EncodedMediaPacket> packets;  // in file order, as an output interleaves them
    double video_duration_ms = 0;
};

// Six seconds of a 30 fps test picture in the given video encoding, with a sine tone in AAC.
fs::path make_clip(const TemporaryDirectory& dir, const std::string& video_options) {
    const fs::path path = dir.file("clip.nut");
    const CommandResult made = run_command(
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=30 "
        "-f lavfi -i sine=sample_rate=48000 -t 6 " +
        video_options + " -c:a aac " + path.string());
    EXPECT_EQ(made.exit_code, 0) << made.output;
    return path;
}

CodecConfig config_of(const AVStream& stream) {
    const AVCodecParameters& parameters = *stream.codecpar;
    CodecConfig config;
    config.kind = parameters.codec_type == AVMEDIA_TYPE_VIDEO ? MediaKind::video : MediaKind::audio;
    config.codec = avcodec_get_name(parameters.codec_id);
    config.extradata.assign(parameters.extradata, parameters.extradata + parameters.extradata_size);
    config.width = parameters.width;
    config.height = parameters.height;
    config.sample_rate = parameters.sample_rate;
    config.channels = parameters.ch_layout.nb_channels;
    config.time_base_num = stream.time_base.num;
    config.time_base_den = stream.time_base.den;
    return config;
}

Clip read_clip(const fs::path& path) {
    Clip clip;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return clip;
    }
    if (avformat_find_stream_info(input, nullptr) < 0) {
        ADD_FAILURE() << "no stream info in " << path;
    }
    for (unsigned index = 0; index < input->nb_streams; ++index) {
        const AVStream& stream = *input->streams[index];
        (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? clip.video : clip.audio) =
            config_of(stream);
    }
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        const AVStream& stream = *input->streams[packet->stream_index];
        // Timestamps count in units of 1/den, so a time base like 2/45 is brought to 1/45.
        const AVRational unit{1, stream.time_base.den};
        EncodedMediaPacket& out = clip.packets.emplace_back();
        out.kind =
            stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? MediaKind::video : MediaKind::audio;
        out.data = std::vector<std::uint8_t>(packet->data, packet->data + packet->size);
        out.pts = av_rescale_q(packet->pts, stream.time_base, unit);
        out.dts = av_rescale_q(packet->dts, stream.time_base, unit);
        out.timebase_den = unit.den;
        out.keyframe = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        if (out.kind == MediaKind::video) {
            clip.video_duration_ms += static_cast<double>(packet->duration) * 1000.0 *
                                      stream.time_base.num / stream.time_base.den;
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    return clip;
}

std::vector<MuxedChunk> mux(const Clip& clip) {
    MpegTsMuxer muxer(clip.video, clip.audio);
    std::vector<MuxedChunk> chunks;
    for (const EncodedMediaPacket& packet : clip.packets) {
        if (auto chunk = muxer.write_packet(packet)) {
            chunks.push_back(std::move(*chunk));
        }
    }
    return chunks;
}

void write_chunks(const fs::path& path, const std::vector<MuxedChunk>& chunks) {
    std::ofstream out(path, std::ios::binary);
    for (const MuxedChunk& chunk : chunks) {
        out.write(reinterpret_cast<const char*>(chunk.bytes.data()),
                  static_cast<std::streamsize>(chunk.bytes.size()));
    }
}

struct VideoEncoder {
    std::string name;
    std::string codec;
    std::string encoder;
    std::string options;
};

void PrintTo(const VideoEncoder& encoder, std::ostream* out) {
    *out << encoder.name;
}

class MpegTsMuxerClip : public ::testing::TestWithParam<VideoEncoder> {};

// Segments are cut in front of keyframe chunks, so besides the whole stream each cut must play on
// its own: whole transport packets, the tables first, a keyframe first.
TEST_P(MpegTsMuxerClip, BecomesADecodableStreamOfTheSameLengthCutIntoPlayableSegments) {
    const VideoEncoder& encoder = GetParam();
    if (run_command("ffmpeg -hide_banner -encoders").output.find(" " + encoder.encoder + " ") ==
        std::string::npos) {
        GTEST_SKIP() << "this ffmpeg has no " << encoder.encoder << " encoder";
    }
    TemporaryDirectory dir;
    const Clip clip = read_clip(make_clip(dir, "-c:v " + encoder.encoder + " " + encoder.options));
    ASSERT_EQ(clip.video.codec, encoder.codec);
    const std::vector<MuxedChunk> chunks = mux(clip);
    ASSERT_FALSE(chunks.empty());
    const fs::path out = dir.file("out.ts");
    write_chunks(out, chunks);
    EXPECT_EQ(stream_codecs(out), (std::vector<std::string>{encoder.codec, "aac"}));
    EXPECT_TRUE(first_video_frame_is_key(out));
    EXPECT_EQ(decode_errors(out), "");

    double total_ms = 0;
    std::vector<std::vector<MuxedChunk>> segments;
    // Audio ahead of the first keyframe opens the first segment, as the assembler keeps it.
    bool open_has_video = false;
    for (const MuxedChunk& chunk : chunks) {
        total_ms += chunk.duration_ms;
        ASSERT_EQ(chunk.bytes.size() % kTsPacketSize, 0U);
        ASSERT_EQ(chunk.bytes.front(), 0x47);
        if (segments.empty() || (chunk.keyframe && open_has_video)) {
            segments.emplace_back();
            open_has_video = false;
        }
        segments.back().push_back(chunk);
        open_has_video = open_has_video || chunk.keyframe || chunk.duration_ms > 0;
    }
    EXPECT_LE(std::abs(total_ms - clip.video_duration_ms), kFrameMs);
    ASSERT_EQ(segments.size(), 3U);
    EXPECT_EQ(segments.front().front().duration_ms, 0);
    for (std::size_t index = 0; index < segments.size(); ++index) {
        const fs::path path = dir.file("segment" + std::to_string(index) + ".ts");
        write_chunks(path, segments[index]);
        EXPECT_TRUE(first_video_frame_is_key(path)) << index;
        EXPECT_EQ(decode_errors(path), "") << index;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, MpegTsMuxerClip,
    ::testing::Values(VideoEncoder{"h264", "h264", "libx264", "-preset ultrafast -g 60 -bf 0"},
                      VideoEncoder{"hevc", "hevc", "libx265",
                                   "-preset ultrafast -x265-params "
                                   "keyint=60:min-keyint=60:bframes=0:log-level=error"}),
    [](const ::testing::TestParamInfo<VideoEncoder>& encoder) { return encoder.param.name; });

}  // namespace
}  // namespace ryvoobs
