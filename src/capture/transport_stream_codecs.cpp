#include "capture/transport_stream_codecs.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace ryvoobs {

std::optional<std::string> transport_stream_codec_refusal(const std::string& codec,
                                                          unsigned libavformat_version) {
    if (codec == "av1" && libavformat_version < kLibavformatCarryingAv1) {
        return "AV1 video cannot be delivered with this system's FFmpeg (libavformat " +
               std::to_string(AV_VERSION_MAJOR(libavformat_version)) + "." +
               std::to_string(AV_VERSION_MINOR(libavformat_version)) +
               "; AV1 needs FFmpeg 7.1 or newer). Choose an H.264 or HEVC encoder in OBS.";
    }
    return std::nullopt;
}

std::optional<std::string> transport_stream_codec_refusal(const std::string& codec) {
    return transport_stream_codec_refusal(codec, avformat_version());
}

bool transport_stream_carries_av1() {
    return !transport_stream_codec_refusal("av1");
}

}  // namespace ryvoobs
