#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

extern "C" {
#include <libavutil/log.h>
}

#include "capture/mpeg_ts_muxer.h"

using namespace ryvoobs;

namespace {

CodecConfig video_config() {
    CodecConfig config;
    config.kind = MediaKind::video;
    config.codec = "h264";
    config.width = 1280;
    config.height = 720;
    config.time_base_den = 60;
    return config;
}

CodecConfig audio_config() {
    CodecConfig config;
    config.kind = MediaKind::audio;
    config.codec = "aac";
    // AudioSpecificConfig of AAC-LC, 48 kHz, stereo.
    config.extradata = {0x11, 0x90};
    config.sample_rate = 48000;
    config.channels = 2;
    config.time_base_den = 48000;
    return config;
}

// One packet record: flags (bit 0 audio, bit 1 keyframe, bit 2 the other kind's time base),
// a signed 16-bit decode-time step, a signed 8-bit presentation offset, a payload length byte
// and that many payload bytes (fewer when the input ends).
struct Reader {
    const std::uint8_t* data;
    std::size_t size;

    std::uint8_t byte() {
        if (size == 0) {
            return 0;
        }
        --size;
        return *data++;
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MpegTsMuxer muxer(video_config(), audio_config());
    Reader input{data, size};
    std::int64_t video_dts = 0;
    std::int64_t audio_dts = 0;
    while (input.size > 0) {
        const std::uint8_t flags = input.byte();
        const auto step = static_cast<std::int16_t>(input.byte() | (input.byte() << 8));
        const auto offset = static_cast<std::int8_t>(input.byte());
        const std::size_t length = input.byte();

        EncodedMediaPacket packet;
        packet.kind = (flags & 1) != 0 ? MediaKind::audio : MediaKind::video;
        packet.keyframe = (flags & 2) != 0;
        const bool native_time_base = (flags & 4) == 0;
        packet.timebase_den = (packet.kind == MediaKind::audio) == native_time_base ? 48000 : 60;
        std::int64_t& dts = packet.kind == MediaKind::audio ? audio_dts : video_dts;
        dts += step;
        packet.dts = dts;
        packet.pts = dts + offset;
        packet.data.assign(input.data, input.data + std::min(length, input.size));
        input.data += packet.data.size();
        input.size -= packet.data.size();
        if (const std::optional<MuxedChunk> chunk = muxer.write_packet(packet)) {
            if (chunk->bytes.empty() || chunk->bytes.size() % 188 != 0) {
                std::abort();
            }
        }
    }
    return 0;
}
