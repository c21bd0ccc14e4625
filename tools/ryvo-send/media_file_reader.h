#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "capture/codec_config.h"
#include "capture/encoded_media_packet.h"

namespace ryvoobs {

// Every timestamp the sender handles counts in 1/90000 s, the transport stream's own clock.
inline constexpr std::int32_t kMediaClockRate = 90000;

// Input that cannot be sent; the message is one line for the user.
class MediaInputError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One packet and how long it lasts, both on the media clock.
struct TimedPacket {
    EncodedMediaPacket packet;
    std::int64_t duration = 0;
};

// Demuxes the first video and the first audio stream of a media file into the packets an encoder
// would hand over: H.264 and HEVC in Annex-B form (converted from MP4-style length prefixes where
// the container stores them so), raw AAC frames whose AudioSpecificConfig is the audio
// extradata, AV1 as stored.
class MediaFileReader {
  public:
    // Opens and probes the file; throws MediaInputError when it is missing, unreadable, not a
    // media file, has no video, or carries a codec that cannot be sent.
    explicit MediaFileReader(const std::string& path);
    ~MediaFileReader();

    MediaFileReader(const MediaFileReader&) = delete;
    MediaFileReader& operator=(const MediaFileReader&) = delete;

    const CodecConfig& video() const;
    const std::optional<CodecConfig>& audio() const;

    // The next packet in file order, timestamps as the file has them; no value at the end.
    // Throws MediaInputError when the file cannot be read on.
    std::optional<TimedPacket> next();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ryvoobs
