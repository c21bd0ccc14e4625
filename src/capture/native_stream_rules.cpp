#include "capture/native_stream_rules.h"

#include <strings.h>

namespace ryvoobs {

std::optional<std::string> native_stream_start_refusal(const std::optional<PluginConfig>& config,
                                                       const std::string& load_error) {
    if (!config) {
        return load_error.empty() ? "Ryvo config could not be loaded." : load_error;
    }
    if (!config->enabled) {
        return "Ryvo is turned off. Turn Ryvo on in the Ryvo status dock before streaming.";
    }
    if (config->stream_id.empty() || config->api_key.empty()) {
        if (config->auth_mode == AuthMode::portal) {
            return "Finish linking this OBS install in Ryvo Portal before starting the stream.";
        }
        return "Ryvo needs a linked stream before OBS can start streaming.";
    }
    return std::nullopt;
}

bool native_stream_codecs_supported(const char* video_codec, const char* audio_codec) {
    // Case does not matter: OBS's own AAC encoders name their codec "AAC".
    return video_codec != nullptr && audio_codec != nullptr &&
           strcasecmp(video_codec, "h264") == 0 && strcasecmp(audio_codec, "aac") == 0;
}

}  // namespace ryvoobs
