#include "media_clip.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

namespace ryvoobs::testing {
namespace {

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct FilterFreer {
    void operator()(AVBSFContext* context) const { av_bsf_free(&context); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

std::vector<std::uint8_t> bytes_of(const std::uint8_t* data, int size) {
    if (data == nullptr || size <= 0) {
        return {};
    }
    return {data, data + size};
}

EncodedMediaPacket to_media_packet(const AVPacket& packet, AVRational time_base, MediaKind kind) {
    // The muxer reads timestamps in units of 1/den, so a time base like 2/45 is brought to 1/45.
    const AVRational unit{1, time_base.den};
    EncodedMediaPacket out;
    out.kind = kind;
    out.data = bytes_of(packet.data, packet.size);
    out.pts = av_rescale_q(packet.pts, time_base, unit);
    out.dts = av_rescale_q(packet.dts, time_base, unit);
    out.timebase_num = 1;
    out.timebase_den = time_base.den;
    out.keyframe = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    return out;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ryvo-muxer-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

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

DemuxedClip demux_clip(const std::filesystem::path& path) {
    DemuxedClip clip;
    AVFormatContext* raw_input = nullptr;
    if (avformat_open_input(&raw_input, path.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return clip;
    }
    std::unique_ptr<AVFormatContext, InputCloser> input(raw_input);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        ADD_FAILURE() << "no stream info in " << path;
        return clip;
    }
    const int video_index =
        av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int audio_index =
        av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (video_index < 0) {
        ADD_FAILURE() << "no video stream in " << path;
        return clip;
    }
    const AVStream* video_stream = input->streams[video_index];
    const AVCodecID video_codec = video_stream->codecpar->codec_id;

    AVBSFContext* raw_filter = nullptr;
    const char* filter_name =
        video_codec == AV_CODEC_ID_HEVC ? "hevc_mp4toannexb" : "h264_mp4toannexb";
    if (av_bsf_alloc(av_bsf_get_by_name(filter_name), &raw_filter) < 0) {
        ADD_FAILURE() << "no " << filter_name;
        return clip;
    }
    std::unique_ptr<AVBSFContext, FilterFreer> filter(raw_filter);
    avcodec_parameters_copy(filter->par_in, video_stream->codecpar);
    filter->time_base_in = video_stream->time_base;
    if (av_bsf_init(filter.get()) < 0) {
        ADD_FAILURE() << "cannot start " << filter_name;
        return clip;
    }

    clip.video.kind = MediaKind::video;
    clip.video.codec = video_codec == AV_CODEC_ID_HEVC ? "hevc" : "h264";
    clip.video.extradata = bytes_of(filter->par_out->extradata, filter->par_out->extradata_size);
    clip.video.width = video_stream->codecpar->width;
    clip.video.height = video_stream->codecpar->height;
    clip.video.time_base_num = video_stream->time_base.num;
    clip.video.time_base_den = video_stream->time_base.den;

    AVRational audio_time_base{1, 1};
    if (audio_index >= 0) {
        const AVStream* audio_stream = input->streams[audio_index];
        audio_time_base = audio_stream->time_base;
        CodecConfig audio;
        audio.kind = MediaKind::audio;
        audio.codec = "aac";
        audio.extradata =
            bytes_of(audio_stream->codecpar->extradata, audio_stream->codecpar->extradata_size);
        audio.sample_rate = audio_stream->codecpar->sample_rate;
        audio.channels = audio_stream->codecpar->ch_layout.nb_channels;
        audio.time_base_num = 1;
        audio.time_base_den = audio.sample_rate;
        clip.audio = audio;
    }

    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    const auto drain_filter = [&] {
        while (av_bsf_receive_packet(filter.get(), packet.get()) == 0) {
            clip.packets.push_back(
                to_media_packet(*packet, filter->time_base_out, MediaKind::video));
            av_packet_unref(packet.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == video_index) {
            if (av_bsf_send_packet(filter.get(), packet.get()) < 0) {
                ADD_FAILURE() << "bitstream filter refused a packet";
            }
            drain_filter();
        } else if (packet->stream_index == audio_index) {
            clip.packets.push_back(to_media_packet(*packet, audio_time_base, MediaKind::audio));
        }
        av_packet_unref(packet.get());
    }
    av_bsf_send_packet(filter.get(), nullptr);
    drain_filter();
    return clip;
}

std::vector<MuxedChunk> mux_all(MpegTsMuxer& muxer,
                                const std::vector<EncodedMediaPacket>& packets) {
    std::vector<MuxedChunk> chunks;
    for (const EncodedMediaPacket& packet : packets) {
        if (auto chunk = muxer.write_packet(packet)) {
            chunks.push_back(std::move(*chunk));
        }
    }
    return chunks;
}

void write_chunks(const std::filesystem::path& path, const std::vector<MuxedChunk>& chunks) {
    std::ofstream out(path, std::ios::binary);
    for (const MuxedChunk& chunk : chunks) {
        out.write(reinterpret_cast<const char*>(chunk.bytes.data()),
                  static_cast<std::streamsize>(chunk.bytes.size()));
    }
}

}  // namespace ryvoobs::testing
