#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// One packet record: flags (bit 0 audio, bit 1 keyframe, bit 2 the other kind's time base, bit 3
// an absolute 64-bit decode time instead of a step, bit 4 a 32-bit time base denominator of its
// own), a signed 16-bit decode-time step or the absolute time, the denominator when flagged, a
// signed 8-bit presentation offset, a payload length byte and that many payload bytes (fewer when
// the input ends).
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

    std::uint64_t little_endian(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= std::uint64_t{byte()} << (8 * i);
        }
        return value;
    }
};

// Timestamps at the ends of the 64-bit range are part of what is explored; stepping past an end
// wraps instead of overflowing.
std::int64_t wrapping_add(std::int64_t value, std::int64_t step) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(value) +
                                     static_cast<std::uint64_t>(step));
}

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
        EncodedMediaPacket packet;
        packet.kind = (flags & 1) != 0 ? MediaKind::audio : MediaKind::video;
        packet.keyframe = (flags & 2) != 0;
        std::int64_t& dts = packet.kind == MediaKind::audio ? audio_dts : video_dts;
        if ((flags & 8) != 0) {
            dts = static_cast<std::int64_t>(input.little_endian(8));
        } else {
            const auto step = static_cast<std::int16_t>(input.little_endian(2));
            dts = wrapping_add(dts, step);
        }
        const bool native_time_base = (flags & 4) == 0;
        packet.timebase_den = (packet.kind == MediaKind::audio) == native_time_base ? 48000 : 60;
        if ((flags & 16) != 0) {
            packet.timebase_den = static_cast<std::int32_t>(input.little_endian(4));
        }
        packet.dts = dts;
        packet.pts = wrapping_add(dts, static_cast<std::int8_t>(input.byte()));
        const std::size_t length = input.byte();
        packet.data =
            std::vector<std::uint8_t>(input.data, input.data + std::min(length, input.size));
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
