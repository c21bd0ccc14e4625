#pragma once

#include <optional>
#include <string>

namespace ryvoobs {

// Whether the FFmpeg this program runs with writes a codec into an MPEG transport stream in a
// form that players read back as that codec. AV1 is the one that depends on it: libavformat
// before 61.7.100 (FFmpeg 7.1) stores it as private data, which decodes as nothing.

// The libavformat version (as AV_VERSION_INT gives it) from which AV1 is carried properly.
inline constexpr unsigned kLibavformatCarryingAv1 = (61u << 16) | (7u << 8) | 100u;

// Why a video codec (the muxer's lower-case name) cannot be delivered with libavformat of
// `libavformat_version`, as a message for the user; nothing when it can.
std::optional<std::string> transport_stream_codec_refusal(const std::string& codec,
                                                          unsigned libavformat_version);
// The same for the libavformat linked in.
std::optional<std::string> transport_stream_codec_refusal(const std::string& codec);

bool transport_stream_carries_av1();

}  // namespace ryvoobs
