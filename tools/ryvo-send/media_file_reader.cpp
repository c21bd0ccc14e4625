#include "media_file_reader.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "capture/transport_stream_codecs.h"
#include "decode_time_repair.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

namespace ryvoobs {
namespace {

constexpr AVRational kMediaClock{1, kMediaClockRate};

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct FilterFreer {
    void operator()(AVBSFContext* context) const { av_bsf_free(&context); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

std::string ffmpeg_error_text(int code) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    av_strerror(code, text.data(), text.size());
    return text.data();
}

std::vector<std::uint8_t> bytes_of(const std::uint8_t* data, int size) {
    if (data == nullptr || size <= 0) {
        return {};
    }
    return {data, data + size};
}

void check_readable_file(const std::string& path) {
    std::error_code status_error;
    const auto status = std::filesystem::status(path, status_error);
    if (!std::filesystem::exists(status)) {
        throw MediaInputError("no such file: " + path);
    }
    if (std::filesystem::is_directory(status)) {
        throw MediaInputError("not a file but a directory: " + path);
    }
    if (access(path.c_str(), R_OK) != 0) {
        throw MediaInputError("cannot read " + path + ": " + std::strerror(errno));
    }
}

const char* video_codec_name(AVCodecID id) {
    switch (id) {
        case AV_CODEC_ID_H264:
            return "h264";
        case AV_CODEC_ID_HEVC:
            return "hevc";
        case AV_CODEC_ID_AV1:
            return transport_stream_carries_av1() ? "av1" : nullptr;
        default:
            return nullptr;
    }
}

// MP4, MKV and FLV keep H.264 and HEVC with length-prefixed NAL units and an avcC/hvcC record as
// extradata; a transport stream (and a raw stream) already has start codes.
bool needs_annexb_conversion(const AVCodecParameters& parameters) {
    if (parameters.codec_id != AV_CODEC_ID_H264 && parameters.codec_id != AV_CODEC_ID_HEVC) {
        return false;
    }
    const std::uint8_t* data = parameters.extradata;
    const int size = parameters.extradata_size;
    if (data == nullptr || size < 4) {
        return false;
    }
    const bool start_code = (data[0] == 0 && data[1] == 0 && data[2] == 1) ||
                            (data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1);
    return !start_code;
}

// How long a packet without a duration of its own lasts: a frame at the stream's rate.
std::int64_t fallback_duration(const AVStream& stream) {
    const AVCodecParameters& parameters = *stream.codecpar;
    if (parameters.codec_type == AVMEDIA_TYPE_AUDIO && parameters.sample_rate > 0) {
        const int samples = parameters.frame_size > 0 ? parameters.frame_size : 1024;
        return av_rescale_q(samples, AVRational{1, parameters.sample_rate}, kMediaClock);
    }
    AVRational rate = stream.avg_frame_rate.num > 0 && stream.avg_frame_rate.den > 0
                          ? stream.avg_frame_rate
                          : stream.r_frame_rate;
    if (rate.num > 0 && rate.den > 0) {
        return av_rescale_q(1, av_inv_q(rate), kMediaClock);
    }
    return kMediaClockRate / 30;
}

}  // namespace

struct MediaFileReader::Impl {
    std::string path;
    std::unique_ptr<AVFormatContext, InputCloser> input;
    std::unique_ptr<AVBSFContext, FilterFreer> filter;
    std::unique_ptr<AVPacket, PacketFreer> packet{av_packet_alloc()};
    int video_index = -1;
    int audio_index = -1;
    CodecConfig video;
    std::optional<CodecConfig> audio;
    DecodeTimeRepair repair;
    bool input_ended = false;
    bool exhausted = false;

    void open();
    void select_video();
    void select_audio();
    void take(const AVPacket& source, AVRational time_base, int stream_index);
    void receive_filtered();
    bool read_some();
};

void MediaFileReader::Impl::open() {
    check_readable_file(path);
    if (!packet) {
        throw MediaInputError("out of memory");
    }
    AVFormatContext* raw_input = nullptr;
    if (const int result = avformat_open_input(&raw_input, path.c_str(), nullptr, nullptr);
        result < 0) {
        throw MediaInputError("not a media file: " + path + " (" + ffmpeg_error_text(result) + ")");
    }
    input.reset(raw_input);
    if (const int result = avformat_find_stream_info(input.get(), nullptr); result < 0) {
        throw MediaInputError("not a media file: " + path + " (" + ffmpeg_error_text(result) + ")");
    }
    select_video();
    select_audio();
    for (unsigned index = 0; index < input->nb_streams; ++index) {
        if (static_cast<int>(index) != video_index && static_cast<int>(index) != audio_index) {
            input->streams[index]->discard = AVDISCARD_ALL;
        }
    }
}

void MediaFileReader::Impl::select_video() {
    video_index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video_index < 0 ||
        (input->streams[video_index]->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
        throw MediaInputError("no video stream in " + path);
    }
    const AVStream& stream = *input->streams[video_index];
    const AVCodecParameters& parameters = *stream.codecpar;
    const char* name = video_codec_name(parameters.codec_id);
    if (name == nullptr) {
        throw MediaInputError(
            std::string("unsupported video codec: ") + avcodec_get_name(parameters.codec_id) +
            (transport_stream_carries_av1()
                 ? " (H.264, HEVC and AV1 can be sent)"
                 : " (H.264 and HEVC can be sent; AV1 needs FFmpeg 7.1 or newer)"));
    }
    video.kind = MediaKind::video;
    video.codec = name;
    video.width = parameters.width;
    video.height = parameters.height;
    video.time_base_num = 1;
    video.time_base_den = kMediaClockRate;
    video.extradata = bytes_of(parameters.extradata, parameters.extradata_size);
    if (!needs_annexb_conversion(parameters)) {
        return;
    }
    const char* filter_name =
        parameters.codec_id == AV_CODEC_ID_HEVC ? "hevc_mp4toannexb" : "h264_mp4toannexb";
    const AVBitStreamFilter* kind = av_bsf_get_by_name(filter_name);
    AVBSFContext* raw_filter = nullptr;
    if (kind == nullptr || av_bsf_alloc(kind, &raw_filter) < 0) {
        throw MediaInputError(std::string("this FFmpeg lacks the ") + filter_name + " filter");
    }
    filter.reset(raw_filter);
    if (avcodec_parameters_copy(filter->par_in, &parameters) < 0) {
        throw MediaInputError("out of memory");
    }
    filter->time_base_in = stream.time_base;
    if (const int result = av_bsf_init(filter.get()); result < 0) {
        throw MediaInputError("cannot convert the " + video.codec + " stream of " + path +
                              " to Annex B: " + ffmpeg_error_text(result));
    }
    video.extradata = bytes_of(filter->par_out->extradata, filter->par_out->extradata_size);
}

void MediaFileReader::Impl::select_audio() {
    audio_index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, video_index, nullptr, 0);
    if (audio_index < 0) {
        audio_index = -1;
        return;
    }
    const AVCodecParameters& parameters = *input->streams[audio_index]->codecpar;
    if (parameters.codec_id != AV_CODEC_ID_AAC) {
        throw MediaInputError(std::string("unsupported audio codec: ") +
                              avcodec_get_name(parameters.codec_id) +
                              " (only AAC audio can be sent)");
    }
    CodecConfig config;
    config.kind = MediaKind::audio;
    config.codec = "aac";
    config.extradata = bytes_of(parameters.extradata, parameters.extradata_size);
    config.sample_rate = parameters.sample_rate;
    config.channels = parameters.ch_layout.nb_channels;
    config.time_base_num = 1;
    config.time_base_den = kMediaClockRate;
    audio = std::move(config);
}

void MediaFileReader::Impl::take(const AVPacket& source, AVRational time_base, int stream_index) {
    const bool dts_known = source.dts != AV_NOPTS_VALUE;
    const std::int64_t dts = dts_known ? source.dts : source.pts;
    const std::int64_t pts = source.pts != AV_NOPTS_VALUE ? source.pts : dts;
    // A packet with no time at all cannot be placed in the stream.
    if (dts == AV_NOPTS_VALUE || source.size <= 0) {
        return;
    }
    TimedPacket timed;
    EncodedMediaPacket& out = timed.packet;
    out.kind = stream_index == video_index ? MediaKind::video : MediaKind::audio;
    out.data = bytes_of(source.data, source.size);
    out.pts = av_rescale_q(pts, time_base, kMediaClock);
    out.dts = av_rescale_q(dts, time_base, kMediaClock);
    out.timebase_num = 1;
    out.timebase_den = kMediaClockRate;
    out.keyframe = (source.flags & AV_PKT_FLAG_KEY) != 0;
    timed.duration = source.duration > 0 ? av_rescale_q(source.duration, time_base, kMediaClock)
                                         : fallback_duration(*input->streams[stream_index]);
    repair.push(std::move(timed), dts_known);
}

void MediaFileReader::Impl::receive_filtered() {
    while (av_bsf_receive_packet(filter.get(), packet.get()) == 0) {
        take(*packet, filter->time_base_out, video_index);
        av_packet_unref(packet.get());
    }
}

// Demuxes one packet (or, at the end, empties the filter); false once nothing is left.
bool MediaFileReader::Impl::read_some() {
    if (input_ended) {
        return false;
    }
    const int result = av_read_frame(input.get(), packet.get());
    if (result == AVERROR_EOF) {
        input_ended = true;
        if (filter) {
            // The end of the stream makes the filter give back what it still holds.
            av_bsf_send_packet(filter.get(), nullptr);
            receive_filtered();
        }
        return true;
    }
    if (result < 0) {
        throw MediaInputError("cannot read " + path + " on: " + ffmpeg_error_text(result));
    }
    const int index = packet->stream_index;
    if (index == video_index && filter) {
        const int sent = av_bsf_send_packet(filter.get(), packet.get());
        av_packet_unref(packet.get());
        if (sent < 0) {
            throw MediaInputError("cannot convert the video of " + path +
                                  " to Annex B: " + ffmpeg_error_text(sent));
        }
        receive_filtered();
        return true;
    }
    if (index == video_index || index == audio_index) {
        take(*packet, input->streams[index]->time_base, index);
    }
    av_packet_unref(packet.get());
    return true;
}

MediaFileReader::MediaFileReader(const std::string& path) : impl_(std::make_unique<Impl>()) {
    impl_->path = path;
    impl_->open();
}

MediaFileReader::~MediaFileReader() = default;

const CodecConfig& MediaFileReader::video() const {
    return impl_->video;
}

const std::optional<CodecConfig>& MediaFileReader::audio() const {
    return impl_->audio;
}

std::optional<TimedPacket> MediaFileReader::next() {
    Impl& self = *impl_;
    for (;;) {
        if (std::optional<TimedPacket> ready = self.repair.pop()) {
            return ready;
        }
        if (self.exhausted) {
            return std::nullopt;
        }
        if (!self.read_some()) {
            self.exhausted = true;
            self.repair.finish();
        }
    }
}

}  // namespace ryvoobs
