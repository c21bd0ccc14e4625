#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "capture/codec_config.h"
#include "capture/encoded_media_packet.h"

namespace ryvoobs {

// The transport-stream bytes that one packet produced.
struct MuxedChunk {
    std::vector<std::uint8_t> bytes;
    // Video time since the previous video chunk; 0 for the first chunk and for audio.
    std::int32_t duration_ms = 0;
    // Set only for a video keyframe, so that segments can be cut in front of it.
    bool keyframe = false;
};

// Muxes encoded packets into an MPEG transport stream held in memory, one packet at a time. Used
// by one thread at a time; it has no lock of its own.
class MpegTsMuxer {
  public:
    // Writes the stream header. An audio config with an empty codec means "no audio stream".
    // Throws std::runtime_error for an unsupported codec or when FFmpeg cannot be set up; nothing
    // leaks on throw.
    MpegTsMuxer(const CodecConfig& video, const std::optional<CodecConfig>& audio);
    ~MpegTsMuxer();

    MpegTsMuxer(const MpegTsMuxer&) = delete;
    MpegTsMuxer& operator=(const MpegTsMuxer&) = delete;
    MpegTsMuxer(MpegTsMuxer&&) noexcept;
    MpegTsMuxer& operator=(MpegTsMuxer&&) noexcept;

    // No value when the packet is empty, has no stream, has a timestamp beyond the stream's clock,
    // is refused by FFmpeg or produced no bytes yet. Never throws for a bad packet.
    std::optional<MuxedChunk> write_packet(const EncodedMediaPacket& packet);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ryvoobs
