#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/media_kind.h"

namespace ryvoobs {

// One encoded packet, owned by value so that it outlives the encoder's buffer.
struct EncodedMediaPacket {
    MediaKind kind = MediaKind::video;
    std::vector<std::uint8_t> data;
    // Both timestamps count in units of 1/timebase_den seconds; timebase_num is carried along but
    // takes no part in any conversion.
    std::int64_t pts = 0;
    std::int64_t dts = 0;
    std::int32_t timebase_num = 1;
    std::int32_t timebase_den = 1000;
    bool keyframe = false;
    std::size_t track_index = 0;
};

}  // namespace ryvoobs
