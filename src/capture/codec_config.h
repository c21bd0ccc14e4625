#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/media_kind.h"

namespace ryvoobs {

// One elementary stream as the encoder describes it.
struct CodecConfig {
    MediaKind kind = MediaKind::video;
    // The encoder's codec name: "h264", "hevc", "av1" or "aac"; may be empty.
    std::string codec;
    std::vector<std::uint8_t> extradata;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t sample_rate = 0;
    std::int32_t channels = 0;
    std::int32_t time_base_num = 1;
    std::int32_t time_base_den = 1000;
};

}  // namespace ryvoobs
