#pragma once

#include <optional>
#include <string>

#include "config/plugin_config.h"

namespace ryvoobs {

inline constexpr const char* kNativeStreamCodecMessage =
    "Ryvo requires H.264 video and AAC audio. Update OBS encoder settings before streaming.";

// What the plug-in's service forces on the video encoder: segments are cut in front of
// keyframes, so a steady keyframe cadence and bitrate keep them even in length and size.
inline constexpr int kNativeStreamKeyframeIntervalSeconds = 2;
inline constexpr const char* kNativeStreamRateControl = "CBR";

// Why OBS's Start Streaming must not go ahead through the plug-in's service, given the result of
// loading the configuration file (`load_error` is the reader's message when it failed); nothing
// when it may.
std::optional<std::string> native_stream_start_refusal(const std::optional<PluginConfig>& config,
                                                       const std::string& load_error);

// The plug-in's output carries H.264 video and AAC audio and nothing else, whatever the case of
// the encoders' codec names; a null codec is a missing encoder.
bool native_stream_codecs_supported(const char* video_codec, const char* audio_codec);

}  // namespace ryvoobs
