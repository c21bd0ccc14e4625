#include "capture/mpeg_ts_muxer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "capture/transport_stream_codecs.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

namespace ryvoobs {
namespace {

constexpr int kIoBufferSize = 4096;

AVCodecID codec_id_for(const std::string& codec) {
    if (codec == "h264") {
        return AV_CODEC_ID_H264;
    }
    if (codec == "hevc") {
        return AV_CODEC_ID_HEVC;
    }
    if (codec == "av1") {
        if (std::optional<std::string> refusal = transport_stream_codec_refusal(codec)) {
            throw std::runtime_error(*refusal);
        }
        return AV_CODEC_ID_AV1;
    }
    if (codec == "aac") {
        return AV_CODEC_ID_AAC;
    }
    throw std::runtime_error("unsupported codec: " + codec);
}

// Packet timestamps count in units of 1/den seconds; a denominator below 2 means whole seconds.
AVRational packet_time_base(std::int32_t den) {
    return AVRational{1, den > 1 ? den : 1};
}

// Room for a packet's payload once split into 184-byte transport packets, plus the PES header,
// the PCR and the tables that may travel with it, so that the output rarely grows more than once.
std::size_t expected_output_size(std::size_t payload_size) {
    constexpr std::size_t kTsPacket = 188;
    constexpr std::size_t kTsPayload = 184;
    constexpr std::size_t kSideTables = 4;
    return ((payload_size + kTsPayload - 1) / kTsPayload + kSideTables) * kTsPacket;
}

}  // namespace

struct MpegTsMuxer::Impl {
    CodecConfig video_config;
    std::optional<CodecConfig> audio_config;
    AVFormatContext* format_context = nullptr;
    AVIOContext* io_context = nullptr;
    AVStream* video_stream = nullptr;
    AVStream* audio_stream = nullptr;
    std::vector<std::uint8_t> output;
    bool header_written = false;
    // Empty until a video packet produced a chunk. Not a -1 sentinel: with B-frames an encoder's
    // first decode timestamps are negative, and their time must still count.
    std::optional<std::int64_t> last_video_dts_ms;
    // Set while the trailer is written: those bytes are never delivered, so they are not kept.
    bool discard_output = false;

    Impl(const CodecConfig& video, const std::optional<CodecConfig>& audio)
        : video_config(video), audio_config(audio) {}
    ~Impl();

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void open();
    void configure_stream(AVStream** out, const CodecConfig& config);
    static int write_packet(void* opaque, const std::uint8_t* buf, int buf_size);
};

void MpegTsMuxer::Impl::open() {
    if (avformat_alloc_output_context2(&format_context, nullptr, "mpegts", nullptr) < 0 ||
        format_context == nullptr) {
        throw std::runtime_error("failed to allocate mpegts format context");
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    if (buffer == nullptr) {
        throw std::runtime_error("failed to allocate AVIO buffer");
    }
#if LIBAVFORMAT_VERSION_MAJOR < 61
    // Older FFmpeg declares the buffer of the write callback non-const.
    auto* write_callback = +[](void* opaque, std::uint8_t* buf, int buf_size) {
        return write_packet(opaque, buf, buf_size);
    };
#else
    auto* write_callback = &Impl::write_packet;
#endif
    io_context =
        avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, write_callback, nullptr);
    if (io_context == nullptr) {
        av_free(buffer);
        throw std::runtime_error("failed to allocate AVIO context");
    }
    format_context->pb = io_context;
    format_context->flags |= AVFMT_FLAG_CUSTOM_IO;

    configure_stream(&video_stream, video_config);
    if (audio_config.has_value() && !audio_config->codec.empty()) {
        configure_stream(&audio_stream, *audio_config);
    }
    // By default an audio packet waits inside libavformat for the next one, so the last audio
    // packet of a broadcast would only come out with the trailer, which is never delivered.
    // Without a payload size to gather towards, every audio packet of more than a transport
    // packet's payload is written at once.
    av_opt_set_int(format_context->priv_data, "pes_payload_size", 0, 0);
    if (avformat_write_header(format_context, nullptr) < 0) {
        throw std::runtime_error("failed to write mpegts header");
    }
    header_written = true;
}

void MpegTsMuxer::Impl::configure_stream(AVStream** out, const CodecConfig& config) {
    AVStream* stream = avformat_new_stream(format_context, nullptr);
    if (stream == nullptr) {
        throw std::runtime_error("failed to create AVStream");
    }
    *out = stream;
    stream->id = static_cast<int>(format_context->nb_streams) - 1;
    stream->time_base =
        AVRational{config.time_base_num, config.time_base_den > 1 ? config.time_base_den : 1};

    AVCodecParameters* parameters = stream->codecpar;
    parameters->codec_type =
        config.kind == MediaKind::video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
    parameters->codec_id = codec_id_for(config.codec);

    if (!config.extradata.empty()) {
        const std::size_t size = config.extradata.size();
        if (size > static_cast<std::size_t>(std::numeric_limits<int>::max()) -
                       AV_INPUT_BUFFER_PADDING_SIZE) {
            throw std::runtime_error("codec extradata too large");
        }
        auto* extradata =
            static_cast<std::uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (extradata == nullptr) {
            throw std::runtime_error("failed to allocate codec extradata");
        }
        std::memcpy(extradata, config.extradata.data(), size);
        parameters->extradata = extradata;
        parameters->extradata_size = static_cast<int>(size);
    }

    if (config.kind == MediaKind::video) {
        parameters->width = config.width;
        parameters->height = config.height;
    } else {
        parameters->ch_layout = AVChannelLayout{};
        parameters->sample_rate = config.sample_rate;
        av_channel_layout_default(&parameters->ch_layout,
                                  config.channels < 1 ? 2 : config.channels);
    }
}

int MpegTsMuxer::Impl::write_packet(void* opaque, const std::uint8_t* buf, int buf_size) {
    auto* self = static_cast<Impl*>(opaque);
    if (self->discard_output || buf_size <= 0) {
        return buf_size;
    }
    // An exception must not unwind through FFmpeg's C frames.
    try {
        self->output.insert(self->output.end(), buf, buf + buf_size);
    } catch (const std::bad_alloc&) {
        return AVERROR(ENOMEM);
    }
    return buf_size;
}

MpegTsMuxer::Impl::~Impl() {
    if (header_written) {
        discard_output = true;
        av_write_trailer(format_context);
    }
    if (io_context != nullptr) {
        if (format_context != nullptr && format_context->pb == io_context) {
            format_context->pb = nullptr;
        }
        av_freep(&io_context->buffer);
        avio_context_free(&io_context);
    }
    avformat_free_context(format_context);
}

MpegTsMuxer::MpegTsMuxer(const CodecConfig& video, const std::optional<CodecConfig>& audio)
    : impl_(std::make_unique<Impl>(video, audio)) {
    impl_->open();
}

MpegTsMuxer::~MpegTsMuxer() = default;
MpegTsMuxer::MpegTsMuxer(MpegTsMuxer&&) noexcept = default;
MpegTsMuxer& MpegTsMuxer::operator=(MpegTsMuxer&&) noexcept = default;

std::optional<MuxedChunk> MpegTsMuxer::write_packet(const EncodedMediaPacket& packet) {
    if (!impl_ || packet.data.empty()) {
        return std::nullopt;
    }
    Impl& impl = *impl_;
    const bool is_video = packet.kind == MediaKind::video;
    AVStream* stream = is_video ? impl.video_stream : impl.audio_stream;
    if (stream == nullptr ||
        packet.data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }

    impl.output.clear();
    impl.output.reserve(expected_output_size(packet.data.size()));

    const AVRational source = packet_time_base(packet.timebase_den);
    AVPacket av_packet{};
    // FFmpeg only reads the payload of a packet without a buffer; it copies what it keeps.
    av_packet.data = const_cast<std::uint8_t*>(packet.data.data());
    av_packet.size = static_cast<int>(packet.data.size());
    av_packet.stream_index = stream->index;
    av_packet.flags = packet.keyframe ? AV_PKT_FLAG_KEY : 0;
    av_packet.pts = av_rescale_q(packet.pts, source, stream->time_base);
    av_packet.dts = av_rescale_q(packet.dts, source, stream->time_base);
    av_packet.pos = -1;
    // A timestamp too large for the stream's clock comes back as FFmpeg's "no timestamp", which
    // FFmpeg would accept and fill in, and which would throw the video time count off.
    if (av_packet.pts == AV_NOPTS_VALUE || av_packet.dts == AV_NOPTS_VALUE) {
        return std::nullopt;
    }
    // The output is not seekable, so libavformat flushes the I/O buffer after every packet: a
    // chunk holds whole transport packets, and a keyframe's bytes come with the keyframe.
    if (av_write_frame(impl.format_context, &av_packet) < 0) {
        return std::nullopt;
    }
    // Even without a payload size to gather towards, libavformat keeps an audio frame that fits
    // in one transport packet (silence makes such frames) until the next packet: flushed here, so
    // that the last audio before a stop reaches the last segment.
    if (!is_video && av_write_frame(impl.format_context, nullptr) < 0) {
        return std::nullopt;
    }
    if (impl.output.empty()) {
        return std::nullopt;
    }

    MuxedChunk chunk;
    if (is_video) {
        const std::int64_t dts_ms = av_rescale_q(packet.dts, source, AVRational{1, 1000});
        if (impl.last_video_dts_ms.has_value()) {
            const std::int64_t elapsed = std::clamp<std::int64_t>(
                dts_ms - *impl.last_video_dts_ms, 0, std::numeric_limits<std::int32_t>::max());
            chunk.duration_ms = static_cast<std::int32_t>(elapsed);
        }
        impl.last_video_dts_ms = dts_ms;
        chunk.keyframe = packet.keyframe;
    }
    chunk.bytes = std::move(impl.output);
    impl.output = {};
    return chunk;
}

}  // namespace ryvoobs
