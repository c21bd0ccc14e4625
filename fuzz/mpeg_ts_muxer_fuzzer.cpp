#include <algorithm>
#include <optional>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "capture/mpeg_ts_muxer.h"
#include "fuzz_support.h"

using namespace ryvoobs;

namespace {

// The input, read from the front; past its end every byte reads as zero.
struct Reader {
    const std::uint8_t* data;
    std::size_t size;

    std::uint64_t little_endian(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes && size > 0; ++i, --size) {
            value |= std::uint64_t{*data++} << (8 * i);
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

// One packet record: flags (bit 0 audio, bit 1 keyframe, bit 2 the other kind's time base, bit 3
// an absolute 64-bit decode time instead of a step, bit 4 a 32-bit time base denominator of its
// own), a signed 16-bit decode-time step or the absolute time, the denominator when flagged, a
// signed 8-bit presentation offset, a payload length byte and that many payload bytes (fewer when
// the input ends).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // H.264 at 60 fps, and AAC-LC at 48 kHz in stereo (its AudioSpecificConfig as extradata).
    CodecConfig video{.kind = MediaKind::video, .codec = "h264", .width = 1280, .height = 720};
    video.time_base_den = 60;
    CodecConfig audio{.kind = MediaKind::audio, .codec = "aac", .extradata = {0x11, 0x90}};
    audio.sample_rate = 48000;
    audio.channels = 2;
    audio.time_base_den = 48000;
    MpegTsMuxer muxer(video, audio);
    Reader input{data, size};
    std::int64_t video_dts = 0;
    std::int64_t audio_dts = 0;
    while (input.size > 0) {
        const auto flags = input.little_endian(1);
        EncodedMediaPacket packet;
        packet.kind = (flags & 1) != 0 ? MediaKind::audio : MediaKind::video;
        packet.keyframe = (flags & 2) != 0;
        std::int64_t& dts = packet.kind == MediaKind::audio ? audio_dts : video_dts;
        dts = (flags & 8) != 0
                  ? static_cast<std::int64_t>(input.little_endian(8))
                  : wrapping_add(dts, static_cast<std::int16_t>(input.little_endian(2)));
        const bool native_time_base = (flags & 4) == 0;
        packet.timebase_den = (packet.kind == MediaKind::audio) == native_time_base ? 48000 : 60;
        if ((flags & 16) != 0) {
            packet.timebase_den = static_cast<std::int32_t>(input.little_endian(4));
        }
        packet.dts = dts;
        packet.pts = wrapping_add(dts, static_cast<std::int8_t>(input.little_endian(1)));
        const std::size_t length = std::min<std::size_t>(input.little_endian(1), input.size);
        packet.data = std::vector<std::uint8_t>(input.data, input.data + length);
        input.data += length;
        input.size -= length;
        if (const std::optional<MuxedChunk> chunk = muxer.write_packet(packet)) {
            fuzz::require(!chunk->bytes.empty() && chunk->bytes.size() % 188 == 0);
        }
    }
    return 0;
}
