#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/media_kind.h"
#include "capture/packet_payload.h"

namespace ryvoobs {

// One encoded packet; its payload keeps the encoder's bytes alive for as long as it is queued.
struct EncodedMediaPacket {
    MediaKind kind = MediaKind::video;
    PacketPayload data;
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
